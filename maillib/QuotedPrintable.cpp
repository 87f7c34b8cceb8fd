#include "maillib/QuotedPrintable.h"

#include "maillib/codecs.h"
#include "rtl/Exception.h"

namespace maillib {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool NeedsEscape(unsigned char c) {
  // DEL (127) is a control character too: RFC 2045 allows only 33 to 126 and the blank.
  return c < 32 || c == '=' || c >= 127;
}

std::string Escape(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (unsigned char c : piece) {
    if (NeedsEscape(c)) {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

size_t EscapedLength(std::string_view piece) {
  size_t length = 0;
  for (unsigned char c : piece) length += NeedsEscape(c) ? 3 : 1;
  return length;
}

}  // namespace

// Reads up to the next line break, appending to the paragraph. CR LF, a lone LF and a lone CR
// are each one break, so the blank lines of a text with LF or CR line ends are kept; a break
// that ends the stream ends the last line and is not data. In Exact mode only CR LF breaks.
TQuotedPrintable::TParagraphEnd TQuotedPrintable::ReadParagraph(ByteReader& reader,
                                                                std::string& paragraph) {
  while (!reader.AtEnd()) {
    if (paragraph.size() >= kParagraphSize) return peFull;
    char byte = reader.Next();
    PumpMessages();
    if (byte == '\n' && !Exact) return peBreak;
    if (byte == '\r') {
      if (!reader.AtEnd()) {
        byte = reader.Next();
        PumpMessages();
        if (byte == '\n') return peBreak;
        reader.StepBack();
      }
      if (!Exact) return peBreak;
      byte = '\r';
    }
    paragraph += byte;
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
      if (EscapedLength(rest) + (blankEnd ? 2 : 0) + (softEnd ? 1 : 0) <= kMaxLineLength) {
        std::string last = Escape(rest);
        if (blankEnd) last.replace(last.size() - 1, 1, "=20");
        sink_(softEnd ? last + "=" : std::move(last));
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
    sink_(Escape(text.substr(start, length)) + "=");
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
    std::string decoded;
    for (size_t i = 0; i < line.size(); ++i) {
      int high = line[i] == '=' && i + 1 < line.size() ? HexValue(line[i + 1]) : -1;
      int low = high >= 0 && i + 2 < line.size() ? HexValue(line[i + 2]) : -1;
      if (high >= 0 && low >= 0) {
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
      } else if (high >= 0 && i + 2 == line.size()) {
        decoded += static_cast<char>(high);  // a single digit at the end of the line
        ++i;
      } else {
        decoded += line[i];
      }
    }
    if (!soft && (line.empty() || line.back() != 26)) decoded += "\r\n";
    // Received text may join any number of soft lines into one paragraph: it is kept whole.
    paragraph += decoded;
    if (!soft) {
      stream_->WriteString(paragraph);
      PumpMessages();
      paragraph.clear();
    }
  }
  if (!paragraph.empty()) stream_->WriteString(paragraph);
}

}  // namespace maillib
