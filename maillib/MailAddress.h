// Mail addresses and ordered address lists, and the parsing of an address from header text.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/SysUtils.h"

namespace maillib {

class TmsMailAddress {
 public:
  rtl::ShortString Name;     // display name, may be empty
  rtl::ShortString Address;  // the mailbox without angle brackets

  void Clear();
  void Assign(const TmsMailAddress& other);
};

// An ordered list that owns its addresses; its order is that of rendering and of the envelope.
class TmsAddressList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EListError for an index out of range.
  TmsMailAddress& Items(int index) const;
  void Add(std::unique_ptr<TmsMailAddress> item) { items_.push_back(std::move(item)); }
  TmsMailAddress& AddAddress(std::string_view address, std::string_view name);
  void Clear() { items_.clear(); }
  void Assign(const TmsAddressList& other);

 private:
  std::vector<std::unique_ptr<TmsMailAddress>> items_;
};

// Trims blanks, then removes every leading and every trailing double quote.
std::string Unquote(std::string_view text);
// Fills target from "Name <box>", "<box> Name", "box (Name)" or a bare "box". Raises Exception
// "Unable to parse email address" for a "<" without a later ">", leaving target unchanged.
void ParseAddress(std::string_view text, TmsMailAddress& target);

// Whether an address can go into the envelope as it stands: one local@domain mailbox, ASCII,
// without the blanks and brackets that would end or split "MAIL FROM:<...>" or "RCPT TO:<...>".
bool IsEnvelopeMailbox(std::string_view address);

}  // namespace maillib
