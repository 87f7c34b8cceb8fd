#include "maillib/MailAddress.h"

#include "rtl/Exception.h"
#include "rtl/StringList.h"

namespace maillib {

void TmsMailAddress::Clear() {
  Name = "";
  Address = "";
}

void TmsMailAddress::Assign(const TmsMailAddress& other) {
  Name = other.Name;
  Address = other.Address;
}

TmsMailAddress& TmsAddressList::Items(int index) const {
  rtl::CheckListIndex(index, Count());
  return *items_[static_cast<size_t>(index)];
}

TmsMailAddress& TmsAddressList::AddAddress(std::string_view address, std::string_view name) {
  auto item = std::make_unique<TmsMailAddress>();
  item->Address = address;
  item->Name = name;
  items_.push_back(std::move(item));
  return *items_.back();
}

void TmsAddressList::Assign(const TmsAddressList& other) {
  if (&other == this) return;
  Clear();
  for (const auto& item : other.items_) AddAddress(item->Address.str(), item->Name.str());
}

std::string Unquote(std::string_view text) {
  std::string out = rtl::Trim(text);
  size_t first = out.find_first_not_of('"');
  if (first == std::string::npos) return "";
  size_t last = out.find_last_not_of('"');
  return out.substr(first, last - first + 1);
}

void ParseAddress(std::string_view text, TmsMailAddress& target) {
  if (size_t open = text.find('<'); open != std::string_view::npos) {
    size_t close = text.find('>');
    if (close == std::string_view::npos || close < open) {
      throw rtl::Exception("Unable to parse email address");
    }
    std::string rest = std::string(text.substr(0, open)) + std::string(text.substr(close + 1));
    target.Address = Unquote(text.substr(open + 1, close - open - 1));
    target.Name = Unquote(rest);
  } else if (size_t paren = text.find('('); paren != std::string_view::npos) {
    target.Address = Unquote(text.substr(0, paren));
    // The last character is taken for the closing parenthesis, whatever it is.
    std::string_view inner = text.substr(paren + 1);
    target.Name = Unquote(inner.substr(0, inner.empty() ? 0 : inner.size() - 1));
  } else {
    target.Address = text;
    target.Name = "";
  }
}

bool IsEnvelopeMailbox(std::string_view address) {
  const size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size() ||
      address.find('@', at + 1) != std::string_view::npos) {
    return false;
  }
  for (unsigned char c : address) {
    if (c <= ' ' || c >= 127 || std::string_view("<>(),;:\"\\").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace maillib
