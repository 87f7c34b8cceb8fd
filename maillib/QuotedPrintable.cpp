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

std::string Escape(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (unsigned char c : piece) {
    // DEL (127) is a control character too: RFC 2045 allows only 33 to 126 and the blank.
    if (c < 32 || c == '=' || c >= 127) {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void TooLarge() { throw rtl::Exception("Paragraph is too large"); }

}  // namespace

// Reads up to the next line break. CR LF, a lone LF and a lone CR are each one break, so the
// blank lines of a text with LF or CR line ends are kept; a break that ends the stream ends the
// last line and is not data.
void TQuotedPrintable::ReadParagraph(ByteReader& reader, std::string& paragraph) {
  paragraph.clear();
  while (!reader.AtEnd()) {
    if (paragraph.size() >= kParagraphSize) TooLarge();
    char byte = reader.Next();
    PumpMessages();
    if (byte == '\n') return;
    if (byte == '\r') {
      if (!reader.AtEnd()) {
        byte = reader.Next();
        PumpMessages();
        if (byte != '\n') reader.StepBack();
      }
      return;
    }
    paragraph += byte;
  }
}

// Pieces of at most 65 source characters, broken before a blank where there is one; every piece
// but the last ends in a soft break. A blank that ends the last piece is escaped: transports
// strip blanks at the end of a line (RFC 2045).
void TQuotedPrintable::AppendPieces(const std::string& paragraph) {
  size_t start = 0;
  for (;;) {
    size_t remaining = paragraph.size() - start;
    if (remaining < kPieceLength) {
      std::string last = Escape(std::string_view(paragraph).substr(start));
      if (!last.empty() && last.back() == ' ') last.replace(last.size() - 1, 1, "=20");
      sink_(std::move(last));
      return;
    }
    size_t length = kPieceLength;
    for (size_t k = kPieceLength; k >= 1; --k) {
      if (start + k < paragraph.size() && paragraph[start + k] == ' ') {
        length = k;
        break;
      }
    }
    sink_(Escape(std::string_view(paragraph).substr(start, length)) + "=");
    start += length;
  }
}

void TQuotedPrintable::Encode() {
  stream_->SetPosition(0);
  ByteReader reader(*stream_);
  std::string paragraph;
  paragraph.reserve(kParagraphSize);
  do {
    ReadParagraph(reader, paragraph);
    AppendPieces(paragraph);
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
    if (paragraph.size() + decoded.size() >= kParagraphSize - 1) TooLarge();
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
