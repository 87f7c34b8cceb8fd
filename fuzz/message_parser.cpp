// The message parser reads whatever a program hands `larkq sendmail`: it must end on every
// input, raising nothing but the runtime's own errors (a header block it cannot read, a message
// too large), a body our composer wrote must come back line for line, and base64 content comes
// back byte for byte however its writer wrapped the lines.
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "maillib/Decoder.h"
#include "maillib/Message.h"
#include "maillib/codecs.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"

namespace {

void ParseAnything(std::string_view input) {
  maillib::TmsMessage message;
  rtl::TMemoryStream stream;
  stream.WriteString(std::string(input));
  try {
    message.DecodeFromStream(stream);
  } catch (const rtl::Exception&) {
  } catch (const std::exception& e) {
    fuzz::Fail(__FILE__, __LINE__,
               std::string("the parser raised ") + e.what() + " for " + fuzz::Shown(input));
  }
}

// The input's lines as a body the composer can carry: no NUL, no line break inside a line, no
// uuencode begin line (which makes the body a uuencoded message), and a last line of text, since
// a final "." is the end of data to the parser.
rtl::TStringList BodyOf(std::string_view input) {
  rtl::TStringList body;
  std::string line;
  auto add = [&] {
    if (maillib::IsUUBegin(line)) line.insert(0, ">");
    body.Add(line);
    line.clear();
  };
  for (char c : input) {
    if (c == '\n') {
      add();
    } else if (c != '\r') {
      line += c == '\0' ? ' ' : c;
    }
  }
  add();
  body.Add("end of text");
  return body;
}

// The composed text as the receiving relay stores it: the dot of data transparency removed.
std::string Received(maillib::TmsMessage& message) {
  rtl::TMemoryStream stream;
  message.EncodeToStream(stream);
  std::string text;
  for (const std::string& line : rtl::SplitLines(stream.Data())) {
    text += (line.starts_with('.') ? line.substr(1) : line) + "\r\n";
  }
  return text;
}

void CheckRoundTrip(std::string_view input) {
  maillib::TmsMessage sent;
  sent.Sender.Address = "bob@x.test";
  sent.Recipients.AddAddress("ann@x.test", "Ann");
  sent.Subject = "Round trip";
  sent.Body = BodyOf(input);
  const std::string text = Received(sent);
  maillib::TmsMessage received;
  rtl::TMemoryStream stream;
  stream.WriteString(text);
  received.DecodeFromStream(stream);
  FUZZ_CHECK(received.Body.Text() == sent.Body.Text(),
             "the body did not come back: sent " + fuzz::Shown(sent.Body.Text()) + ", got " +
                 fuzz::Shown(received.Body.Text()) + " from " + fuzz::Shown(text));
}

// The input as the base64 content of a nested part, wrapped at a width its first byte chooses
// (any, not only a multiple of 4), with the line ends its second byte chooses.
void CheckBase64Wrap(std::string_view input) {
  const size_t width = input.empty() ? 76 : 1 + static_cast<unsigned char>(input[0]) % 100;
  const char* end = input.size() > 1 && input[1] % 2 != 0 ? "\n" : "\r\n";
  std::string encoded;
  for (size_t i = 0; i < input.size(); i += 57)
    encoded += maillib::Base64EncodeLine(input.substr(i, 57));
  std::string text = std::string("Content-Type: multipart/mixed; boundary=o") + end + end + "--o" +
                     end + "Content-Type: multipart/related; boundary=i" + end + end + "--i" + end +
                     "Content-Type: application/octet-stream" + end +
                     "Content-Transfer-Encoding: base64" + end + end;
  for (size_t i = 0; i < encoded.size(); i += width) text += encoded.substr(i, width) + end;
  text += std::string("--i--") + end + "--o--" + end;
  maillib::TmsMessage received;
  rtl::TMemoryStream stream;
  stream.WriteString(text);
  received.DecodeFromStream(stream);
  FUZZ_CHECK(received.Attachments.Count() == 1 && received.Attachments.Items(0).Bytes() == input,
             "base64 wrapped at " + std::to_string(width) + " did not come back from " +
                 fuzz::Shown(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::UseFreshMachineRoot();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ParseAnything(input);
  CheckRoundTrip(input);
  CheckBase64Wrap(input);
  return 0;
}
