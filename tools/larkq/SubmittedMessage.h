// A message as a program hands it to sendmail: its header block and its body, line by line and
// byte for byte as written, so that it can be queued whole and sent as its author composed it.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "maillib/Headers.h"

namespace larkq {

struct TSubmittedMessage {
  // The header block's lines: fields and their continuation lines.
  maillib::TmsHeaders Headers;
  std::vector<std::string> Body;

  // The text split into lines at CR LF, LF or a lone CR. The header block ends at the first line
  // that is neither a field nor a continuation: an empty line is the separator, any other line
  // starts the body (and gets a separator when sent), so nothing is dropped. A leading mailbox
  // "From " line is no part of the message and goes; a field line over 998 characters is folded
  // at its blanks.
  static TSubmittedMessage Split(std::string_view text);

  // The message's lines as they are queued: the header block, an empty line, the body.
  std::vector<std::string> Lines() &&;
  // The first value of a field, unfolded and trimmed; empty when there is none.
  std::string Value(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Whether the message was resent (RFC 5322 3.6.6): it has a Resent- field.
  bool Resent() const;
  // Replaces the value of every field of these names by rewrite(value): the text after the
  // colon with its continuation lines joined by "\n", split there again afterwards.
  void RewriteFields(std::initializer_list<std::string_view> names,
                     const std::function<std::string(std::string_view)>& rewrite);
};

}  // namespace larkq
