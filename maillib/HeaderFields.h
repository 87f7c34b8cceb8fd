// Header fields read from the raw header text: fields matched by their whole name, values
// unfolded but not decoded, and the decoding of a phrase (a display name or a file name) made
// of plain and RFC 2047 encoded words.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "maillib/Headers.h"

namespace maillib {

// Whether the line begins a header field: a name of printable characters, then a colon.
bool IsHeaderFieldLine(std::string_view line);
bool IsContinuationLine(std::string_view line);
// Whether the line begins the field of exactly that name, case ignored.
bool IsField(std::string_view line, std::string_view name);
// The unfolded, undecoded value of every field of that name, in order.
std::vector<std::string> RawFieldValues(const TmsHeaders& headers, std::string_view name);
// The header lines without every field of these names and their continuation lines.
TmsHeaders WithoutFields(const TmsHeaders& headers, std::initializer_list<const char*> names);
// Encoded words decoded, and the blanks between two adjacent encoded words dropped (RFC 2047 6.2),
// while every other blank stays.
std::string DecodePhrase(std::string_view text);

}  // namespace maillib
