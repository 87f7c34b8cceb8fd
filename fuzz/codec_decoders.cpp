// The line decoders and the encoded-word decoding over any text: they end, keep to their
// bounds, refuse exactly the characters outside their alphabets, and give back what the
// matching encoder made.
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "maillib/QuotedPrintable.h"
#include "maillib/codecs.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t kLineLimit = rtl::kShortStringLength;

bool InBase64Alphabet(char c) {
  return c == '=' || maillib::kBase64Alphabet.find(c) != std::string_view::npos;
}

bool InUUAlphabet(char c) { return c == ' ' || c == '`' || (c >= 33 && c <= 95); }

template <class Valid>
bool AllValid(std::string_view line, Valid valid) {
  for (char c : line.substr(0, kLineLimit)) {
    if (!valid(c)) return false;
  }
  return true;
}

void CheckBase64(std::string_view text) {
  bool refused = false;
  std::string decoded;
  try {
    decoded = maillib::Base64DecodeLine(text);
  } catch (const rtl::EInOutError& e) {
    FUZZ_CHECK(e.Message() == "Invalid Character", "Base64DecodeLine raised " + e.Message());
    refused = true;
  }
  FUZZ_CHECK(refused != AllValid(text, InBase64Alphabet),
             "Base64DecodeLine refused the wrong text: " + fuzz::Shown(text));
  FUZZ_CHECK(decoded.size() <= (kLineLimit + 3) / 4 * 3, "Base64 line decoded too long");

  // 189 bytes make 252 characters, the longest encoding a bounded line holds whole.
  std::string_view bytes = text.substr(0, 189);
  std::string encoded = maillib::Base64EncodeLine(bytes);
  FUZZ_CHECK(encoded.size() % 4 == 0 && AllValid(encoded, InBase64Alphabet),
             "Base64EncodeLine made " + fuzz::Shown(encoded));
  std::string back = maillib::Base64DecodeLine(encoded);
  FUZZ_CHECK(back == bytes, "Base64 round trip of " + fuzz::Shown(bytes) + " gave " +
                                fuzz::Shown(back) + " through " + fuzz::Shown(encoded));
}

void CheckUU(std::string_view text) {
  bool refused = false;
  try {
    maillib::UUDecodeLine(text);
  } catch (const rtl::EInOutError& e) {
    FUZZ_CHECK(e.Message() == "Invalid Character", "UUDecodeLine raised " + e.Message());
    refused = true;
  }
  FUZZ_CHECK(refused != AllValid(text, InUUAlphabet),
             "UUDecodeLine refused the wrong text: " + fuzz::Shown(text));

  std::string_view bytes = text.substr(0, 45);
  std::string encoded = maillib::UUEncodeLine(bytes);
  FUZZ_CHECK(AllValid(encoded, InUUAlphabet), "UUEncodeLine made " + fuzz::Shown(encoded));
  std::string back = maillib::UUDecodeLine(encoded);
  FUZZ_CHECK(back == bytes, "uuencode round trip of " + fuzz::Shown(bytes) + " gave " +
                                fuzz::Shown(back) + " through " + fuzz::Shown(encoded));
}

void CheckQuotedPrintableLines(std::string_view text) {
  rtl::TStringList lines;
  lines.SetText(text);
  rtl::TMemoryStream stream;
  try {
    maillib::TQuotedPrintable(&stream, &lines).Decode();
  } catch (const rtl::Exception& e) {
    FUZZ_CHECK(e.Message() == "Paragraph is too large",
               "quoted-printable Decode raised " + e.Message());
  }
  // Decoding never makes a line longer: an escape shrinks, and each break becomes CR LF.
  FUZZ_CHECK(stream.Data().size() <= text.size() + 2 * static_cast<size_t>(lines.Count()),
             "quoted-printable Decode grew the text");
  FUZZ_CHECK(maillib::DecodeQWord(text).size() <= text.size(),
             "DecodeQWord grew " + fuzz::Shown(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckBase64(text);
  CheckUU(text);
  CheckQuotedPrintableLines(text);
  std::string value = maillib::DecodeEncodedWords(text);
  FUZZ_CHECK(value.size() <= kLineLimit,
             "DecodeEncodedWords gave more than 255 characters for " + fuzz::Shown(text));
  return 0;
}
