#include "maillib/HeaderText.h"

#include <algorithm>
#include <array>
#include <map>

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

// The code points of the bytes 0x80 to 0xFF of an 8-bit charset (bytes it leaves undefined
// keep their own value, as readers of such mail do).
using TUpperHalf = std::array<char16_t, 128>;

// The code points of the bytes 0x80 to 0xBF, or 0xC0 to 0xFF, of an 8-bit charset.
using TQuarter = std::array<char16_t, 64>;

// 64 code points counting up from first: the letters most 8-bit charsets put in a row.
constexpr TQuarter Run(char16_t first) {
  TQuarter run{};
  for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<char16_t>(first + i);
  return run;
}

constexpr TUpperHalf Join(const TQuarter& low, const TQuarter& high) {
  TUpperHalf half{};
  for (size_t i = 0; i < low.size(); ++i) {
    half[i] = low[i];
    half[i + low.size()] = high[i];
  }
  return half;
}

constexpr TUpperHalf kWindows1252 =
    Join({0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
          0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
          0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0,
          0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB,
          0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6,
          0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF},
         Run(0x00C0));
// Latin-1 with eight signs replaced, the euro first.
constexpr TUpperHalf kIso8859_15 = Join(
    [] {
      TQuarter low = Run(0x0080);
      for (auto [at, point] :
           {std::pair{0x24, char16_t{0x20AC}}, std::pair{0x26, char16_t{0x0160}},
            std::pair{0x28, char16_t{0x0161}}, std::pair{0x34, char16_t{0x017D}},
            std::pair{0x38, char16_t{0x017E}}, std::pair{0x3C, char16_t{0x0152}},
            std::pair{0x3D, char16_t{0x0153}}, std::pair{0x3E, char16_t{0x0178}}}) {
        low[at] = point;
      }
      return low;
    }(),
    Run(0x00C0));
// The letters both Central European charsets put at 0xC0 to 0xFF.
constexpr TQuarter kCentralEuropeanHigh = {
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118,
    0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150,
    0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155,
    0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB,
    0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6,
    0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9};
constexpr TUpperHalf kIso8859_2 =
    Join({0x0080, 0x0081, 0x0082, 0x0083, 0x0084, 0x0085, 0x0086, 0x0087, 0x0088, 0x0089, 0x008A,
          0x008B, 0x008C, 0x008D, 0x008E, 0x008F, 0x0090, 0x0091, 0x0092, 0x0093, 0x0094, 0x0095,
          0x0096, 0x0097, 0x0098, 0x0099, 0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F, 0x00A0,
          0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A, 0x00A7, 0x00A8, 0x0160, 0x015E, 0x0164,
          0x0179, 0x00AD, 0x017D, 0x017B, 0x00B0, 0x0105, 0x02DB, 0x0142, 0x00B4, 0x013E, 0x015B,
          0x02C7, 0x00B8, 0x0161, 0x015F, 0x0165, 0x017A, 0x02DD, 0x017E, 0x017C},
         kCentralEuropeanHigh);
constexpr TUpperHalf kWindows1250 =
    Join({0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160,
          0x2039, 0x015A, 0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
          0x2013, 0x2014, 0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0,
          0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB,
          0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6,
          0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C},
         kCentralEuropeanHigh);
constexpr TUpperHalf kWindows1251 =
    Join({0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
          0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
          0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
          0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
          0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
          0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457},
         Run(0x0410));
constexpr TUpperHalf kKoi8R = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524, 0x252C, 0x2534, 0x253C, 0x2580,
    0x2584, 0x2588, 0x258C, 0x2590, 0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7, 0x2550, 0x2551, 0x2552, 0x0451,
    0x2553, 0x2554, 0x2555, 0x2556, 0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x255C, 0x255D, 0x255E,
    0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564, 0x2565, 0x2566, 0x2567, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x00A9, 0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x044F, 0x0440, 0x0441,
    0x0442, 0x0443, 0x0436, 0x0432, 0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413, 0x0425, 0x0418, 0x0419, 0x041A,
    0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A};

void AppendUtf8(std::string& out, unsigned point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// Mail labelled iso-8859-1 that holds bytes 0x80 to 0x9F was written in windows-1252, whose
// printable characters stand there; no writer means the control codes of the label.
const TUpperHalf* UpperHalfOf(const std::string& charset) {
  static const std::map<std::string, const TUpperHalf*> tables = {{"iso-8859-1", &kWindows1252},
                                                                  {"iso8859-1", &kWindows1252},
                                                                  {"iso_8859-1", &kWindows1252},
                                                                  {"latin1", &kWindows1252},
                                                                  {"windows-1252", &kWindows1252},
                                                                  {"cp1252", &kWindows1252},
                                                                  {"iso-8859-15", &kIso8859_15},
                                                                  {"iso8859-15", &kIso8859_15},
                                                                  {"latin-9", &kIso8859_15},
                                                                  {"iso-8859-2", &kIso8859_2},
                                                                  {"iso8859-2", &kIso8859_2},
                                                                  {"latin2", &kIso8859_2},
                                                                  {"windows-1250", &kWindows1250},
                                                                  {"cp1250", &kWindows1250},
                                                                  {"windows-1251", &kWindows1251},
                                                                  {"cp1251", &kWindows1251},
                                                                  {"koi8-r", &kKoi8R}};
  auto it = tables.find(charset);
  return it == tables.end() ? nullptr : it->second;
}

}  // namespace

std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view text) {
  const std::string name = rtl::LowerCase(charset.substr(0, charset.find('*')));
  if (name == "utf-8" || name == "utf8") {
    if (!IsUtf8(text)) return std::nullopt;
    return std::string(text);
  }
  if (name == "us-ascii" || name == "ascii") {
    if (HasEightBit(text)) return std::nullopt;
    return std::string(text);
  }
  const TUpperHalf* upper = UpperHalfOf(name);
  if (upper == nullptr) return std::nullopt;
  std::string out;
  for (unsigned char c : text) AppendUtf8(out, c < 0x80 ? c : (*upper)[c - 0x80]);
  return out;
}

std::string_view Utf8Prefix(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

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
