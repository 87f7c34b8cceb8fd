// String helpers with the runtime's semantics, which the system's texts and rules depend on.
#pragma once

#include <string>
#include <string_view>

namespace rtl {

// printf-style formatting to a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Removes every character up to and including the blank (control characters too) at both ends.
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);
std::string UpperCase(std::string_view text);  // ASCII letters only
std::string LowerCase(std::string_view text);
std::string IntToStr(long long value);
// The system's text for an error code, without its line end; "System error N." when it has none.
std::string SysErrorMessage(unsigned long code);

// A 32-bit integer in decimal, or hexadecimal after "$" or "0x", with an optional sign and
// leading blanks; anything else raises EConvertError "'%s' is not a valid integer value".
int StrToInt(std::string_view text);
int StrToIntDef(std::string_view text, int fallback);
// The rule of integers stored in profile files: a text longer than two characters that begins
// with "0x" or "0X" is hexadecimal after the prefix; a text that does not convert gives fallback.
int ProfileStrToInt(std::string_view text, int fallback);

// Several text fields hold at most 255 characters; a longer assignment keeps the first 255.
inline constexpr size_t kShortStringLength = 255;
std::string BoundedString(std::string_view text);

// A text field that holds at most 255 characters: every assignment goes through BoundedString.
class ShortString {
 public:
  ShortString() = default;
  ShortString(std::string_view text) : text_(BoundedString(text)) {}  // NOLINT: implicit
  ShortString(const char* text) : ShortString(std::string_view(text)) {}
  ShortString(const std::string& text) : ShortString(std::string_view(text)) {}
  operator const std::string&() const { return text_; }
  const std::string& str() const { return text_; }
  bool empty() const { return text_.empty(); }
  size_t size() const { return text_.size(); }
  bool operator==(std::string_view other) const { return text_ == other; }

 private:
  std::string text_;
};

}  // namespace rtl
