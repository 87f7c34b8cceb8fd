#include "maillib/QuotedPrintable.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "maillib/codecs.h"
#include "rtl/Exception.h"

namespace maillib {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// DEL (127) is a control character too: RFC 2045 allows only 33 to 126 and the blank.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> needs{};
  for (size_t c = 0; c < needs.size(); ++c) needs[c] = c < 32 || c == '=' || c >= 127;
  return needs;
}();

constexpr std::array<int8_t, 256> kHexValues = [] {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (int c = 0; c < 10; ++c) values[static_cast<size_t>('0' + c)] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    values[static_cast<size_t>('A' + c)] = static_cast<int8_t>(10 + c);
    values[static_cast<size_t>('a' + c)] = static_cast<int8_t>(10 + c);
  }
  return values;
}();

bool NeedsEscape(unsigned char c) { return kNeedsEscape[c]; }

int HexValue(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

// Room for a piece of 65 bytes all escaped, with its soft break.
constexpr size_t kEscapedRoom = 3 * TQuotedPrintable::kPieceLength + 1;

// Writes the piece escaped at out, its last blank escaped too with blankEnd and a soft break
// after it with soft; returns the length written. Runs that need no escape are copied whole.
size_t Escape(std::string_view piece, bool blankEnd, bool soft, char* out) {
  char* end = out;
  const auto* in = reinterpret_cast<const unsigned char*>(piece.data());
  for (size_t i = 0, run = 0; i < piece.size(); i = run + 1) {
    run = i;
    while (run < piece.size() && !NeedsEscape(in[run])) ++run;
    std::memcpy(end, in + i, run - i);
    end += run - i;
    if (run == piece.size()) break;
    end[0] = '=';
    end[1] = kHex[in[run] >> 4];
    end[2] = kHex[in[run] & 15];
    end += 3;
  }
  if (blankEnd) {
    std::memcpy(end - 1, "=20", 3);
    end += 2;
  }
  if (soft) *end++ = '=';
  return static_cast<size_t>(end - out);
}

}  // namespace

// Reads up to the next line break, appending to the paragraph. CR LF, a lone LF and a lone CR
// are each one break, so the blank lines of a text with LF or CR line ends are kept; a break
// that ends the stream ends the last line and is not data. In Exact mode only CR LF breaks.
TQuotedPrintable::TParagraphEnd TQuotedPrintable::ReadParagraph(ByteReader& reader,
                                                                std::string& paragraph) {
  PumpMessages();
  while (!reader.AtEnd()) {
    if (paragraph.size() >= kParagraphSize) return peFull;
    const std::string_view buffered =
        reader.Buffered().substr(0, kParagraphSize - paragraph.size());
    size_t run = buffered.size();
    if (!Exact) {
      if (const void* lf = std::memchr(buffered.data(), '\n', run)) {
        run = static_cast<size_t>(static_cast<const char*>(lf) - buffered.data());
      }
    }
    if (const void* cr = std::memchr(buffered.data(), '\r', run)) {
      run = static_cast<size_t>(static_cast<const char*>(cr) - buffered.data());
    }
    paragraph.append(buffered.data(), run);
    reader.Skip(run);
    if (run == buffered.size()) continue;
    char byte = reader.Next();
    if (byte == '\n') return peBreak;
    if (!reader.AtEnd()) {
      byte = reader.Next();
      if (byte == '\n') return peBreak;
      reader.StepBack();
    }
    if (!Exact) return peBreak;
    paragraph += '\r';
  }
  return peStreamEnd;
}

// Pieces of at most 65 source characters, broken before a blank where there is one, and never
// longer than RFC 2045's 76 characters once escaped; every piece but the last ends in a soft
// break. A blank that ends the last piece is escaped: transports strip blanks at the end of a
// line. Of a paragraph that goes on, only pieces whose end is certain are written; returns how
// much of it was. With softEnd the last piece ends in a soft break too, and an empty one is left
// out.
size_t TQuotedPrintable::AppendPieces(const std::string& paragraph, bool complete, bool softEnd) {
  const std::string_view text = paragraph;
  size_t start = 0;
  for (;;) {
    size_t remaining = text.size() - start;
    if (!complete && remaining <= kPieceLength) return start;
    if (complete && remaining < kPieceLength) {
      std::string_view rest = text.substr(start);
      if (softEnd && rest.empty()) return text.size();
      bool blankEnd = !rest.empty() && rest.back() == ' ';
      char line[kEscapedRoom];
      const size_t length = Escape(rest, blankEnd, softEnd, line);
      if (length <= kMaxLineLength) {
        sink_(std::string(line, length));
        return text.size();
      }
    }
    // Room for the soft break's "=" at the end of the line.
    size_t longest = 0;
    for (size_t width = 0; longest < kPieceLength && longest < remaining; ++longest) {
      width += NeedsEscape(static_cast<unsigned char>(text[start + longest])) ? 3 : 1;
      if (width > kMaxLineLength - 1) break;
    }
    size_t length = longest;
    for (size_t k = longest; k >= 1; --k) {
      if (start + k < text.size() && text[start + k] == ' ') {
        length = k;
        break;
      }
    }
    char line[kEscapedRoom];
    sink_(std::string(line, Escape(text.substr(start, length), false, true, line)));
    start += length;
  }
}

void TQuotedPrintable::Encode() {
  stream_->SetPosition(0);
  ByteReader reader(*stream_);
  std::string paragraph;
  paragraph.reserve(kParagraphSize);
  TParagraphEnd end;
  do {
    // A line longer than the buffer is written in pieces as it is read.
    while ((end = ReadParagraph(reader, paragraph)) == peFull) {
      paragraph.erase(0, AppendPieces(paragraph, false));
    }
    AppendPieces(paragraph, true, Exact && end == peStreamEnd);
    paragraph.clear();
  } while (!reader.AtEnd());
}

void TQuotedPrintable::Decode() {
  std::string paragraph;
  for (const std::string& received : *lines_) {
    std::string_view line = received;
    bool soft = !line.empty() && line.back() == '=';
    if (soft) line.remove_suffix(1);
    const size_t start = paragraph.size();
    paragraph.resize(start + line.size() + 2);
    char* out = paragraph.data() + start;
    for (size_t i = 0; i < line.size();) {
      const size_t equals = std::min(line.find('=', i), line.size());
      std::memcpy(out, line.data() + i, equals - i);
      out += equals - i;
      i = equals;
      if (i == line.size()) break;
      int high = i + 1 < line.size() ? HexValue(line[i + 1]) : -1;
      int low = high >= 0 && i + 2 < line.size() ? HexValue(line[i + 2]) : -1;
      if (high >= 0 && low >= 0) {
        *out++ = static_cast<char>(high * 16 + low);
        i += 3;
      } else if (high >= 0 && i + 2 == line.size()) {
        *out++ = static_cast<char>(high);  // a single digit at the end of the line
        i += 2;
      } else {
        *out++ = '=';
        ++i;
      }
    }
    if (!soft && (line.empty() || line.back() != 26)) {
      *out++ = '\r';
      *out++ = '\n';
    }
    // Received text may join any number of soft lines into one paragraph: it is kept whole.
    paragraph.resize(static_cast<size_t>(out - paragraph.data()));
    if (!soft) {
      stream_->WriteString(paragraph);
      PumpMessages();
      paragraph.clear();
    }
  }
  if (!paragraph.empty()) stream_->WriteString(paragraph);
}

}  // namespace maillib
