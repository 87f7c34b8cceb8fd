// The message parser reads whatever a program hands `larkq sendmail`: it must end on every
// input, raising nothing but the runtime's own errors (a header block it cannot read, a message
// too large), and a body our composer wrote must come back line for line.
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "maillib/Decoder.h"
#include "maillib/Message.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::UseFreshMachineRoot();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ParseAnything(input);
  CheckRoundTrip(input);
  return 0;
}
