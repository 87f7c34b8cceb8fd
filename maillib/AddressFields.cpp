#include "maillib/AddressFields.h"

#include <algorithm>
#include <memory>

#include "maillib/HeaderFields.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

// Walks text and tells, for each character, whether it stands outside quoted strings, comments
// and angle brackets, where the list's separators count.
template <class OnChar>
void Walk(std::string_view text, OnChar onChar) {
  bool quoted = false;
  bool escaped = false;
  int comment = 0;
  bool angle = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool outside = !quoted && comment == 0 && !angle && !escaped;
    onChar(i, c, outside);
    if (escaped) {
      escaped = false;
    } else if (c == '\\' && (quoted || comment > 0)) {
      escaped = true;
    } else if (quoted) {
      quoted = c != '"';
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment > 0) {
      --comment;
    } else if (comment == 0 && c == '"') {
      quoted = true;
    } else if (comment == 0 && (c == '<' || c == '>')) {
      angle = c == '<';
    }
  }
}

// The text of a display name: quotes removed, quoted pairs resolved, encoded words decoded.
std::string DisplayText(std::string_view raw) {
  std::string text;
  bool quoted = false;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '"') {
      quoted = !quoted;
    } else if (raw[i] == '\\' && quoted && i + 1 < raw.size()) {
      text += raw[++i];
    } else {
      text += raw[i];
    }
  }
  return rtl::Trim(DecodePhrase(rtl::Trim(text)));
}

// The position of the first c that stands outside quoted strings and comments, or npos.
size_t FindOutside(std::string_view text, char c) {
  size_t found = std::string_view::npos;
  bool quoted = false;
  int comment = 0;
  for (size_t i = 0; i < text.size() && found == std::string_view::npos; ++i) {
    if (text[i] == '\\' && (quoted || comment > 0)) {
      ++i;
    } else if (quoted) {
      quoted = text[i] != '"';
    } else if (comment > 0) {
      comment += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
    } else if (text[i] == c) {
      found = i;
    } else if (text[i] == '"') {
      quoted = true;
    } else if (text[i] == '(') {
      comment = 1;
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> SplitAddressList(std::string_view text) {
  std::vector<std::string> items;
  size_t start = 0;
  auto finish = [&](size_t end) {
    std::string item = rtl::Trim(text.substr(start, end - start));
    if (!item.empty()) items.push_back(std::move(item));
    start = end + 1;
  };
  Walk(text, [&](size_t i, char c, bool outside) {
    if (!outside) return;
    if (c == ',' || c == ';') {
      finish(i);
    } else if (c == ':') {
      start = i + 1;  // a group's label
    }
  });
  finish(text.size());
  return items;
}

void ParseRawAddress(std::string_view text, TmsMailAddress& target) {
  if (size_t open = FindOutside(text, '<'); open != std::string_view::npos) {
    size_t close = text.find('>', open);
    if (close == std::string_view::npos) throw rtl::Exception("Unable to parse email address");
    std::string rest = std::string(text.substr(0, open)) + std::string(text.substr(close + 1));
    target.Address = Unquote(text.substr(open + 1, close - open - 1));
    target.Name = DisplayText(rest);
  } else if (size_t paren = FindOutside(text, '('); paren != std::string_view::npos) {
    // "box (Name)": the comment names the box, wherever it stands.
    std::string_view comment = text.substr(paren + 1);
    const size_t end = std::min(comment.rfind(')'), comment.size());
    std::string box(text.substr(0, paren));
    if (end < comment.size()) box += comment.substr(end + 1);
    target.Address = Unquote(box);
    target.Name = DisplayText(comment.substr(0, end));
  } else {
    target.Address = rtl::Trim(text);
    target.Name = "";
  }
}

void AddFieldAddresses(const TmsHeaders& headers, std::string_view name, TmsAddressList& list) {
  for (const std::string& value : RawFieldValues(headers, name)) {
    for (const std::string& item : SplitAddressList(value)) {
      auto address = std::make_unique<TmsMailAddress>();
      ParseRawAddress(item, *address);
      if (!address->Address.empty()) list.Add(std::move(address));
    }
  }
}

}  // namespace maillib
