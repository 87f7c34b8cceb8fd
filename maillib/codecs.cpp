#include "maillib/codecs.h"

#include <algorithm>
#include <array>
#include <cstring>
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

constexpr std::string_view kUUAlphabet =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

// The two characters of every 12-bit half of a 24-bit group, so a group of three bytes costs two
// lookups instead of four shifts and masks.
struct TPairTable {
  std::array<std::array<char, 2>, 4096> pairs{};
  constexpr explicit TPairTable(std::string_view alphabet) {
    for (size_t i = 0; i < pairs.size(); ++i) pairs[i] = {alphabet[i >> 6], alphabet[i & 63]};
  }
};

constexpr TPairTable kBase64Pairs(kBase64Alphabet);
constexpr TPairTable kUUPairs(kUUAlphabet);

// Base64's 24-bit groups: k bytes (1 to 3) give k + 1 characters, shifted as if the group were
// full. Writes ceil(4n / 3) characters at out and returns where they end.
char* EncodeGroups(std::string_view bytes, std::string_view alphabet, const TPairTable& table,
                   char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t whole = bytes.size() / 3 * 3;
  for (size_t i = 0; i < whole; i += 3, out += 4) {
    const uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
    std::memcpy(out, table.pairs[group >> 12].data(), 2);
    std::memcpy(out + 2, table.pairs[group & 0xFFF].data(), 2);
  }
  const size_t k = bytes.size() - whole;
  if (k == 0) return out;
  const uint32_t group = uint32_t{in[whole]} << 16 | (k == 2 ? uint32_t{in[whole + 1]} << 8 : 0);
  for (size_t c = 0; c <= k; ++c) *out++ = alphabet[(group >> (18 - 6 * c)) & 63];
  return out;
}

// Character values with kPad for "=" and kInvalid outside the alphabet.
constexpr std::array<int16_t, 256> kBase64Values = [] {
  std::array<int16_t, 256> values{};
  values.fill(kInvalid);
  for (size_t i = 0; i < kBase64Alphabet.size(); ++i) {
    values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int16_t>(i);
  }
  values['='] = kPad;
  return values;
}();

constexpr std::array<int16_t, 256> kUUValues = [] {
  std::array<int16_t, 256> values{};
  values.fill(kInvalid);
  values[' '] = 0;
  values['`'] = 0;
  for (int c = 33; c <= 95; ++c) values[static_cast<size_t>(c)] = static_cast<int16_t>(c - 32);
  return values;
}();

// The stream decoder's view of a character: its value, or one of two flags above six bits, so
// one test of four or'ed values tells a plain quantum from one that needs a closer look.
constexpr uint8_t kStreamPad = 0x40;
constexpr uint8_t kStreamSkip = 0x80;
constexpr std::array<uint8_t, 256> kStreamValues = [] {
  std::array<uint8_t, 256> values{};
  for (size_t c = 0; c < values.size(); ++c) {
    const int16_t value = kBase64Values[c];
    values[c] = value == kPad       ? kStreamPad
                : value == kInvalid ? kStreamSkip
                                    : static_cast<uint8_t>(value);
  }
  return values;
}();

// Decodes groups of four characters into three bytes; a short last group gives as many bytes
// as its characters carry whole (two characters one byte, three two) and nothing is read past
// the line.
std::string DecodeGroups(std::string_view text, const std::array<int16_t, 256>& values,
                         bool shortGroupsPadded) {
  std::string out((text.size() + 3) / 4 * 3, '\0');
  char* end = out.data();
  for (size_t i = 0; i < text.size(); i += 4) {
    size_t k = std::min<size_t>(4, text.size() - i);
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      int v = j < k ? values[static_cast<unsigned char>(text[i + j])] : 0;
      if (v == kInvalid) throw rtl::EInOutError("Invalid Character");
      group = (group << 6) | static_cast<uint32_t>(v);  // "=" (255) spills into the low bits
    }
    size_t bytes = k == 4 || shortGroupsPadded ? 3 : k - 1;
    for (size_t b = 0; b < bytes; ++b) *end++ = static_cast<char>((group >> (16 - 8 * b)) & 0xFF);
  }
  out.resize(static_cast<size_t>(end - out.data()));
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
  bytes = bytes.substr(0, rtl::kShortStringLength);
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  EncodeGroups(bytes, kBase64Alphabet, kBase64Pairs, out.data());
  if (out.size() > rtl::kShortStringLength) out.resize(rtl::kShortStringLength);
  return out;
}

std::string Base64DecodeLine(std::string_view line) {
  PumpMessages();
  line = line.substr(0, rtl::kShortStringLength);
  std::string out = DecodeGroups(line, kBase64Values, false);
  size_t padding = 0;
  while (padding < line.size() && line[line.size() - 1 - padding] == '=') ++padding;
  out.resize(out.size() > padding ? out.size() - padding : 0);
  return out;
}

void TBase64Decoder::Feed(std::string_view text) {
  PumpMessages();
  const size_t start = bytes_.size();
  // Room for every quantum the pending characters and the text can complete. The room grows
  // twofold, so that a long text fed line by line is moved a few times, not once a line.
  const size_t room = start + text.size() / 4 * 3 + 6;
  if (room > bytes_.capacity()) bytes_.reserve(std::max(room, 2 * bytes_.capacity()));
  bytes_.resize(room);
  char* out = bytes_.data() + start;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = in + text.size();
  while (in != end) {
    if (count_ == 0) {
      for (; end - in >= 4; in += 4, out += 3) {
        const uint32_t a = kStreamValues[in[0]], b = kStreamValues[in[1]];
        const uint32_t c = kStreamValues[in[2]], d = kStreamValues[in[3]];
        if ((a | b | c | d) > 63) break;
        const uint32_t group = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<char>(group >> 16);
        out[1] = static_cast<char>(group >> 8);
        out[2] = static_cast<char>(group);
      }
      if (in == end) break;
    }
    const uint8_t value = kStreamValues[*in++];
    if (value == kStreamPad) {
      // Padding completes the quantum with the bytes its characters carry; a lone character
      // carries none.
      out = PutShortQuantum(out);
      group_ = 0;
      count_ = 0;
    } else if (value != kStreamSkip) {
      group_ = (group_ << 6) | value;
      if (++count_ == 4) {
        for (int shift = 16; shift >= 0; shift -= 8) *out++ = static_cast<char>(group_ >> shift);
        group_ = 0;
        count_ = 0;
      }
    }
  }
  bytes_.resize(static_cast<size_t>(out - bytes_.data()));
}

void TBase64Decoder::Reserve(size_t characters) {
  bytes_.reserve(bytes_.size() + characters / 4 * 3 + 6);
}

std::string TBase64Decoder::TakeBytes() {
  const size_t size = bytes_.size();
  bytes_.resize(size + 2);
  bytes_.resize(static_cast<size_t>(PutShortQuantum(bytes_.data() + size) - bytes_.data()));
  group_ = 0;
  count_ = 0;
  return std::move(bytes_);
}

char* TBase64Decoder::PutShortQuantum(char* out) const {
  if (count_ < 2) return out;
  const uint32_t group = group_ << (6 * (4 - count_));
  for (int b = 0; b < count_ - 1; ++b) *out++ = static_cast<char>(group >> (16 - 8 * b));
  return out;
}

std::string UUEncodeLine(std::string_view bytes) {
  PumpMessages();
  if (bytes.size() > 45) throw rtl::Exception("UUEncodeLine takes at most 45 bytes");
  const size_t n = bytes.size();
  std::string out(1 + (n + 2) / 3 * 4, kUUAlphabet[n]);
  char* end = EncodeGroups(bytes, kUUAlphabet, kUUPairs, out.data() + 1);
  out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

std::string UUDecodeLine(std::string_view line) {
  PumpMessages();
  line = line.substr(0, rtl::kShortStringLength);
  if (line.empty()) return "";
  int n = kUUValues[static_cast<unsigned char>(line[0])];
  if (n == kInvalid) throw rtl::EInOutError("Invalid Character");
  std::string out = DecodeGroups(line.substr(1), kUUValues, true);
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
