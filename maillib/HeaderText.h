// Header text that strict relays and readers take as it is meant: display names quoted when they
// hold specials, 8-bit text as RFC 2047 encoded words folded to 78 characters, 8-bit or quoted
// file names as RFC 2231 parameters, and no header line longer than RFC 5322 allows.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace maillib {

inline constexpr size_t kFoldedLineLength = 78;
inline constexpr size_t kMaxHeaderLineLength = 998;

bool HasEightBit(std::string_view text);

// Whether bytes are well-formed UTF-8, fed in pieces that may split a character.
class TUtf8Check {
 public:
  void Feed(std::string_view bytes);
  bool Valid() const { return valid_ && pending_ == 0; }

 private:
  bool valid_ = true;
  int pending_ = 0;       // continuation bytes still due
  unsigned minimum_ = 0;  // smallest code point the current sequence may encode
  unsigned value_ = 0;
};

bool IsUtf8(std::string_view text);

// Text in the named charset (any case; an RFC 2231 language after "*" ignored) as UTF-8: UTF-8
// and US-ASCII text as it is when well-formed, iso-8859-1/2/15, windows-1250/1251/1252 and koi8-r
// through tables. Nothing for any other charset, or for text that is not what its charset says.
std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view text);
// At most limit bytes of a UTF-8 text, never ending inside a character.
std::string_view Utf8Prefix(std::string_view text, size_t limit);

// text in double quotes, with "\" before each double quote and backslash.
std::string QuotedString(std::string_view text);

// The physical lines of one header field: a prefix (the field name and what follows it), then
// items separated by blanks, a new line (starting with a blank) wherever the next item would
// pass 78 characters. Encoded text is written as Q-encoded words in the given charset, each
// holding whole characters of a UTF-8 text and cut to fit the line it starts on.
class THeaderFolder {
 public:
  THeaderFolder(std::string prefix, std::string charset);

  void AddPlain(std::string_view token);
  void AddEncoded(std::string_view text);
  // Adds text to the end of the last line, without a blank or a break.
  void Append(std::string_view text) { lines_.back() += text; }
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  size_t Separator() const { return atStart_ ? 0 : 1; }
  void NewLine();

  std::string charset_;
  bool utf8_;
  std::vector<std::string> lines_;
  bool atStart_ = true;
};

// The lines of a header field whose text holds 8-bit bytes: each run of blank-separated words
// that hold such bytes becomes encoded words, so that a phrase in an address keeps its address.
// line is one physical line: "Name: value", or a continuation line starting with a blank.
std::vector<std::string> EncodeHeaderLine(std::string_view line, const std::string& charset);

// A header line of more than 998 characters folded at blanks; a part without a blank is cut.
std::vector<std::string> FoldLongHeaderLine(std::string_view line);

// An RFC 2231 extended parameter value: charset''text with every byte that is not an attribute
// character percent-encoded.
std::string ExtendedParameterValue(std::string_view text, std::string_view charset);

}  // namespace maillib
