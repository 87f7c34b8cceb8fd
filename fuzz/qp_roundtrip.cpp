// The quoted-printable encoder's promise: text made of lines that end in CR LF comes back byte
// for byte from decoding, whatever bytes the lines hold, and every encoded line is plain
// printable ASCII whose "=" starts an escape or is a soft break.
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "maillib/QuotedPrintable.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Bare CR and LF are line breaks to the encoder, so the input's lines are cut at LF and lose
// their CRs: what is left is the text the promise covers.
std::string LinesOf(std::string_view data) {
  std::string text;
  for (char c : data) {
    if (c == '\n') {
      text += "\r\n";
    } else if (c != '\r') {
      text += c;
    }
  }
  return text + "\r\n";
}

void CheckEncodedLine(const std::string& line, bool last, const std::string& text) {
  FUZZ_CHECK(line.size() <= maillib::TQuotedPrintable::kMaxLineLength,
             "encoded line longer than 76 characters: " + fuzz::Shown(line));
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    FUZZ_CHECK(
        c == ' ' || (c >= 33 && c <= 126),
        "encoded line holds a byte to escape: " + fuzz::Shown(line) + " for " + fuzz::Shown(text));
    if (c != '=') continue;
    bool softBreak = i + 1 == line.size();
    bool escape = i + 2 < line.size() && IsHexDigit(line[i + 1]) && IsHexDigit(line[i + 2]);
    FUZZ_CHECK(softBreak || escape, "a bare '=' in " + fuzz::Shown(line));
    FUZZ_CHECK(!(softBreak && last), "the last line ends in a soft break: " + fuzz::Shown(line));
    if (escape) i += 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = LinesOf(std::string_view(reinterpret_cast<const char*>(data), size));
  rtl::TMemoryStream source;
  source.WriteString(text);
  rtl::TStringList encoded;
  try {
    maillib::TQuotedPrintable(&source, &encoded).Encode();
  } catch (const rtl::Exception& e) {
    FUZZ_CHECK(e.Message() == "Paragraph is too large", "Encode raised " + e.Message());
    return 0;
  }
  for (int i = 0; i < encoded.Count(); ++i) {
    CheckEncodedLine(encoded[i], i + 1 == encoded.Count(), text);
  }
  rtl::TMemoryStream decoded;
  maillib::TQuotedPrintable(&decoded, &encoded).Decode();
  FUZZ_CHECK(decoded.Data() == text,
             "round trip of " + fuzz::Shown(text) + " gave " + fuzz::Shown(decoded.Data()));
  return 0;
}
