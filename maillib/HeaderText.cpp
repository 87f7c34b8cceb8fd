#include "maillib/HeaderText.h"

#include <algorithm>

#include "rtl/SysUtils.h"

namespace maillib {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// RFC 2047 allows 75 characters in an encoded word.
constexpr size_t kEncodedWordLength = 75;
// Below this much room for its text, an encoded word starts a new line rather than hold a
// character or two.
constexpr size_t kLeastWordText = 12;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsAlphaNumeric(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Only the characters RFC 2047 allows unencoded in a phrase, so an encoded word may stand in a
// display name as well as in unstructured text.
void AppendQ(std::string& out, unsigned char c) {
  if (IsAlphaNumeric(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/') {
    out += static_cast<char>(c);
  } else if (c == ' ') {
    out += '_';
  } else {
    out += '=';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
}

bool IsAttributeChar(unsigned char c) {
  return IsAlphaNumeric(c) ||
         std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// The length of the character that starts at text[i]: a lead byte and its continuation bytes.
size_t Utf8CharLength(std::string_view text, size_t i) {
  size_t end = i + 1;
  while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  return end - i;
}

}  // namespace

bool HasEightBit(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 128; });
}

void TUtf8Check::Feed(std::string_view bytes) {
  for (unsigned char b : bytes) {
    if (!valid_) return;
    if (pending_ > 0) {
      if ((b & 0xC0) != 0x80) {
        valid_ = false;
        return;
      }
      value_ = (value_ << 6) | (b & 0x3F);
      if (--pending_ == 0) {
        valid_ =
            value_ >= minimum_ && value_ <= 0x10FFFF && !(value_ >= 0xD800 && value_ <= 0xDFFF);
      }
    } else if (b < 0x80) {
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      pending_ = 1, minimum_ = 0x80, value_ = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      pending_ = 2, minimum_ = 0x800, value_ = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      pending_ = 3, minimum_ = 0x10000, value_ = b & 0x07;
    } else {
      valid_ = false;
    }
  }
}

bool IsUtf8(std::string_view text) {
  TUtf8Check check;
  check.Feed(text);
  return check.Valid();
}

std::string QuotedString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

THeaderFolder::THeaderFolder(std::string prefix, std::string charset)
    : charset_(std::move(charset)) {
  const std::string lower = rtl::LowerCase(charset_);
  utf8_ = lower == "utf-8" || lower == "utf8";
  lines_.push_back(std::move(prefix));
}

void THeaderFolder::NewLine() {
  lines_.emplace_back(" ");
  atStart_ = true;
}

void THeaderFolder::AddPlain(std::string_view token) {
  if (!atStart_ && lines_.back().size() + 1 + token.size() > kFoldedLineLength) NewLine();
  if (!atStart_) lines_.back() += ' ';
  lines_.back() += token;
  atStart_ = false;
}

void THeaderFolder::AddEncoded(std::string_view text) {
  const std::string open = "=?" + charset_ + "?Q?";
  const size_t overhead = open.size() + 2;
  size_t i = 0;
  while (i < text.size()) {
    auto room = [this] {
      size_t used = lines_.back().size() + Separator();
      return std::min(kEncodedWordLength, used < kFoldedLineLength ? kFoldedLineLength - used : 0);
    };
    if (room() < overhead + kLeastWordText && lines_.back() != " ") NewLine();
    const size_t limit = room();
    std::string word = open;
    bool holdsText = false;
    while (i < text.size()) {
      const size_t length = utf8_ ? Utf8CharLength(text, i) : 1;
      std::string encoded;
      for (size_t k = i; k < i + length; ++k) AppendQ(encoded, static_cast<unsigned char>(text[k]));
      if (holdsText && word.size() + encoded.size() + 2 > limit) break;
      word += encoded;
      holdsText = true;
      i += length;
    }
    if (!atStart_) lines_.back() += ' ';
    lines_.back() += word + "?=";
    atStart_ = false;
  }
}

std::vector<std::string> EncodeHeaderLine(std::string_view line, const std::string& charset) {
  size_t valueStart = 0;
  if (line.empty() || !IsBlank(line[0])) {
    size_t colon = line.find(':');
    valueStart = colon == std::string_view::npos ? 0 : colon + 1;
  }
  while (valueStart < line.size() && IsBlank(line[valueStart])) ++valueStart;
  THeaderFolder folder(std::string(line.substr(0, valueStart)), charset);
  std::vector<std::string_view> words;
  for (std::string_view rest = line.substr(valueStart);;) {
    size_t blank = rest.find(' ');
    words.push_back(rest.substr(0, blank));
    if (blank == std::string_view::npos) break;
    rest.remove_prefix(blank + 1);
  }
  for (size_t i = 0; i < words.size();) {
    if (!HasEightBit(words[i])) {
      folder.AddPlain(words[i++]);
      continue;
    }
    // The blanks between encoded words vanish when they are decoded, so a run of 8-bit words is
    // encoded together, blanks and all.
    size_t end = i;
    while (end < words.size() && HasEightBit(words[end])) ++end;
    const char* first = words[i].data();
    const char* last = words[end - 1].data() + words[end - 1].size();
    folder.AddEncoded(std::string_view(first, static_cast<size_t>(last - first)));
    i = end;
  }
  return folder.Lines();
}

std::vector<std::string> FoldLongHeaderLine(std::string_view line) {
  std::vector<std::string> out;
  while (line.size() > kMaxHeaderLineLength) {
    const size_t firstText = line.find_first_not_of(" \t");
    const size_t lastText = line.find_last_not_of(" \t");
    size_t cut = 0;
    // A fold needs text on both sides: a line of blanks alone would read as an empty line.
    for (size_t p = kMaxHeaderLineLength; p > firstText && cut == 0; --p) {
      if (IsBlank(line[p]) && p < lastText) cut = p;
    }
    if (cut == 0) {
      out.emplace_back(line.substr(0, kMaxHeaderLineLength));
      return out;
    }
    out.emplace_back(line.substr(0, cut));
    line.remove_prefix(cut);
  }
  out.emplace_back(line);
  return out;
}

std::string ExtendedParameterValue(std::string_view text, std::string_view charset) {
  std::string out = std::string(charset) + "''";
  for (unsigned char c : text) {
    if (IsAttributeChar(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace maillib
