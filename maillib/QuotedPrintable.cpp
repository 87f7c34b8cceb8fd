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

// Reads up to the next line break: CR LF, LF CR, CR CR and LF LF each count as one break. The
// last byte of the stream always belongs to the paragraph, even a CR or LF.
void TQuotedPrintable::ReadParagraph(ByteReader& reader, std::string& paragraph) {
  paragraph.clear();
  char byte;
  while (!reader.AtEnd()) {
    if (paragraph.size() >= kParagraphSize) TooLarge();
    byte = reader.Next();
    PumpMessages();
    if (reader.AtEnd()) {
      paragraph += byte;
      break;
    }
    if (byte == '\r' || byte == '\n') {
      byte = reader.Next();
      PumpMessages();
      if (byte != '\r' && byte != '\n') reader.StepBack();
      break;
    }
    paragraph += byte;
  }
}

// Pieces of at most 65 source characters, broken before a blank where there is one; every piece
// but the last ends in a soft break.
void TQuotedPrintable::AppendPieces(const std::string& paragraph) {
  size_t start = 0;
  for (;;) {
    size_t remaining = paragraph.size() - start;
    if (remaining < kPieceLength) {
      sink_(Escape(std::string_view(paragraph).substr(start)));
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
