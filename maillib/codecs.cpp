#include "maillib/codecs.h"

#include <algorithm>
#include <array>
#include <optional>

#include "maillib/HeaderText.h"
#include "maillib/QuotedPrintable.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "winapi/winapi.h"

namespace maillib {
namespace {

constexpr int kInvalid = -1;
constexpr int kPad = 255;

// Base64's 24-bit groups: k bytes (1 to 3) give k + 1 characters, shifted as if the group were
// full.
std::string EncodeGroups(std::string_view bytes, std::string_view alphabet) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t k = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t j = 0; j < 3; ++j) {
      group = (group << 8) | (j < k ? static_cast<unsigned char>(bytes[i + j]) : 0);
    }
    for (size_t c = 0; c <= k; ++c) out += alphabet[(group >> (18 - 6 * c)) & 63];
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return kPad;
  return kInvalid;
}

int UUValue(char c) {
  if (c == ' ' || c == '`') return 0;
  if (c >= 33 && c <= 95) return c - 32;
  return kInvalid;
}

// Decodes groups of four characters into three bytes; a short last group gives as many bytes
// as its characters carry whole (two characters one byte, three two) and nothing is read past
// the line.
template <class Value>
std::string DecodeGroups(std::string_view text, Value value, bool shortGroupsPadded) {
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    size_t k = std::min<size_t>(4, text.size() - i);
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      int v = j < k ? value(text[i + j]) : 0;
      if (v == kInvalid) throw rtl::EInOutError("Invalid Character");
      group = (group << 6) | static_cast<uint32_t>(v);  // "=" (255) spills into the low bits
    }
    size_t bytes = k == 4 || shortGroupsPadded ? 3 : k - 1;
    for (size_t b = 0; b < bytes; ++b) out += static_cast<char>((group >> (16 - 8 * b)) & 0xFF);
  }
  return out;
}

// The text of a word "charset?letter?text" decoded to UTF-8, or nothing when the word has not
// that shape, its letter is neither B nor Q, its Base64 text holds a character outside the
// alphabet or its charset cannot be converted. Such a word is kept as it stands instead of
// failing every lookup of its header: a message whose Date holds one could otherwise never be
// built.
std::optional<std::string> DecodeWord(const std::string& word) {
  size_t question = word.find('?');
  if (question == std::string::npos || question + 2 >= word.size() || word[question + 2] != '?') {
    return std::nullopt;
  }
  const char letter = word[question + 1];
  const std::string text = word.substr(question + 3);
  std::string bytes;
  if (letter == 'Q' || letter == 'q') {
    // "_" stands for a blank only inside Q-encoded text (RFC 2047 4.2), never in the text around.
    std::string blanks = text;
    std::replace(blanks.begin(), blanks.end(), '_', ' ');
    bytes = DecodeQWord(blanks);
  } else if (letter != 'B' && letter != 'b') {
    return std::nullopt;
  } else {
    try {
      bytes = Base64DecodeLine(text);
    } catch (const rtl::EInOutError&) {
      return std::nullopt;
    }
  }
  return CharsetToUtf8(std::string_view(word).substr(0, question), bytes);
}

constexpr std::string_view kUUAlphabet =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

}  // namespace

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

std::string Base64EncodeLine(std::string_view bytes) {
  PumpMessages();
  std::string out = EncodeGroups(bytes.substr(0, rtl::kShortStringLength), kBase64Alphabet);
  while (out.size() % 4 != 0) out += '=';
  return rtl::BoundedString(out);
}

std::string Base64DecodeLine(std::string_view line) {
  PumpMessages();
  line = line.substr(0, rtl::kShortStringLength);
  std::string out = DecodeGroups(line, Base64Value, false);
  size_t padding = 0;
  while (padding < line.size() && line[line.size() - 1 - padding] == '=') ++padding;
  out.resize(out.size() > padding ? out.size() - padding : 0);
  return out;
}

void TBase64Decoder::Feed(std::string_view text) {
  PumpMessages();
  for (char c : text) {
    const int value = Base64Value(c);
    if (value == kPad) {
      // Padding completes the quantum with the bytes its characters carry; a lone character
      // carries none.
      AppendShortQuantum(bytes_);
      group_ = 0;
      count_ = 0;
    } else if (value != kInvalid) {
      group_ = (group_ << 6) | static_cast<uint32_t>(value);
      if (++count_ == 4) {
        for (int shift = 16; shift >= 0; shift -= 8) bytes_ += static_cast<char>(group_ >> shift);
        group_ = 0;
        count_ = 0;
      }
    }
  }
}

std::string TBase64Decoder::Bytes() const {
  std::string out = bytes_;
  AppendShortQuantum(out);
  return out;
}

void TBase64Decoder::AppendShortQuantum(std::string& out) const {
  if (count_ < 2) return;
  const uint32_t group = group_ << (6 * (4 - count_));
  for (int b = 0; b < count_ - 1; ++b) out += static_cast<char>(group >> (16 - 8 * b));
}

std::string UUEncodeLine(std::string_view bytes) {
  PumpMessages();
  if (bytes.size() > 45) throw rtl::Exception("UUEncodeLine takes at most 45 bytes");
  size_t n = bytes.size();
  std::string out = EncodeGroups(bytes, kUUAlphabet);
  out.resize(n == 45 ? 60 : 4 * n / 3 + (n % 3 != 0 ? 1 : 0));
  return kUUAlphabet[n] + out;
}

std::string UUDecodeLine(std::string_view line) {
  PumpMessages();
  line = line.substr(0, rtl::kShortStringLength);
  if (line.empty()) return "";
  int n = UUValue(line[0]);
  if (n == kInvalid) throw rtl::EInOutError("Invalid Character");
  std::string out = DecodeGroups(line.substr(1), UUValue, true);
  if (out.size() > static_cast<size_t>(n)) out.resize(static_cast<size_t>(n));
  return out;
}

std::string DecodeQWord(std::string_view text) {
  rtl::TStringList lines;
  lines.Add(std::string(text));
  rtl::TMemoryStream stream;
  TQuotedPrintable(&stream, &lines).Decode();
  auto decoded = rtl::SplitLines(stream.Data());
  return decoded.empty() ? "" : decoded[0];
}

std::string DecodeEncodedWords(std::string_view input) {
  std::string value = rtl::BoundedString(input);
  size_t searchFrom = 0;
  for (size_t s; (s = value.find("=?", searchFrom)) != std::string::npos;) {
    // The end is the first "?=" after the opener that does not open the text of a B or Q word.
    // The search starts behind the opener: in "=?=" the opener's own "?" is no end, and a word
    // ending inside its opener would rebuild the value unchanged, for ever.
    size_t e = std::string::npos;
    for (size_t i = s + 2; i + 1 < value.size(); ++i) {
      if (value[i] != '?' || value[i + 1] != '=') continue;
      bool opensText =
          i >= 2 && value[i - 2] == '?' && (value[i - 1] == 'B' || value[i - 1] == 'Q');
      if (!opensText) {
        e = i;
        break;
      }
    }
    if (e == std::string::npos) {
      value.resize(s);
      break;
    }
    std::optional<std::string> decoded = DecodeWord(value.substr(s + 2, e - s - 2));
    if (!decoded) {
      // A malformed word is kept as it stands; the search goes on after it.
      searchFrom = e + 2;
      continue;
    }
    value = value.substr(0, s) + *decoded + rtl::Trim(value.substr(e + 2));
    value = std::string(Utf8Prefix(value, rtl::kShortStringLength));
  }
  return value;
}

}  // namespace maillib
