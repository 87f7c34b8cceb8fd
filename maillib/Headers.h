// TmsHeaders: the raw header lines a message carries besides the fields the composer writes,
// one physical line each (continuation lines start with a blank or tab), with look-ups that
// unfold and decode; and the helpers that pick parameters out of header values.
#pragma once

#include <string>
#include <string_view>

#include "rtl/StringList.h"

namespace maillib {

class TmsHeaders : public rtl::TStringList {
 public:
  // The first field of that name, unfolded; decoded and bounded to 255 characters unless it is
  // Content-Type, X-UIDL or References.
  std::string GetFieldValue(std::string_view name) const;
  // Every comma-separated item of every field of that name (a plain prefix match, without a
  // colon), into target; commas inside double quotes on a field's first line are kept.
  void GetFieldValues(std::string_view name, rtl::TStringList& target) const;
  // Deletes the first field of that name with its continuation lines.
  void RemoveField(std::string_view name);
  // Deletes every field whose name begins with "X-", with their continuation lines.
  void RemoveXFields();
};

// The value of a parameter "name=value" (or name="value") inside a header value; a plain
// substring search, so "name" also finds the end of "filename".
std::string GetHeaderParam(std::string_view param, std::string_view value);
// The text before the first space or semicolon, trimmed: the bare type of a Content-Type.
std::string FirstToken(std::string_view value);

}  // namespace maillib
