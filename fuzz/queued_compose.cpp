// A queued pair as a producer may leave it (any .ini text, any body, attachments named by it)
// loaded, built and composed as the delivery sends it: the text has CR LF line ends only, ends
// in one, never holds a line that a relay would read as the end of the data or lose a dot of,
// and its body reads back as the queued lines once the relay has removed the doubled dots.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "mailer/SMTPCust.h"
#include "maillib/Message.h"
#include "maillib/QuotedPrintable.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"

namespace {

namespace fs = std::filesystem;

// Attachments are files of the fuzz input: each name the .ini gives keeps its last component
// (so its extension still picks the type and the encoding) and lies in a folder of this run.
std::string AttachmentPath(const std::string& dir, std::string_view named) {
  named = named.substr(
      named.find_last_of("/\\") == std::string_view::npos ? 0 : named.find_last_of("/\\") + 1);
  std::string name;
  for (char c : named.substr(0, 40)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      name += c;
    }
  }
  if (name.empty() || name == "." || name == "..") name = "a";
  return dir + "/" + name;
}

std::vector<std::string> WireLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < text.size(); start = end + 2) {
    end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

void CheckLineEnds(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == '\n',
                 "a bare CR at " + std::to_string(i) + " of\n" + text);
    } else if (text[i] == '\n') {
      FUZZ_CHECK(i > 0 && text[i - 1] == '\r',
                 "a bare LF at " + std::to_string(i) + " of\n" + text);
    }
  }
  FUZZ_CHECK(text.empty() || text.ends_with("\r\n"), "the text does not end in CR LF");
}

// The lines of the body a relay hands on: one leading dot removed from every line.
std::vector<std::string> Received(const std::vector<std::string>& lines, size_t from) {
  std::vector<std::string> received;
  for (size_t i = from; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    FUZZ_CHECK(line != ".", "a lone '.' would end the data at line " + std::to_string(i));
    FUZZ_CHECK(line.empty() || line[0] != '.' || line.starts_with(".."),
               "a leading dot is not doubled: " + fuzz::Shown(line));
    received.push_back(line.starts_with(".") ? line.substr(1) : line);
  }
  return received;
}

std::string QuotedPrintableDecoded(const std::vector<std::string>& lines) {
  rtl::TStringList list;
  for (const auto& line : lines) list.Add(line);
  rtl::TMemoryStream stream;
  maillib::TQuotedPrintable(&stream, &list).Decode();
  return stream.Data();
}

void CheckBody(const maillib::TmsMessage& message, const std::vector<std::string>& lines) {
  auto received = Received(lines, 0);
  size_t separator = 0;
  while (separator < received.size() && !received[separator].empty()) ++separator;
  FUZZ_CHECK(separator < received.size(), "no blank line ends the header");
  if (message.Attachments.Count() != 0) return;
  // A queued body is read from its file when composed, so it is read back the same way here.
  std::vector<std::string> body(message.Body.begin(), message.Body.end());
  if (message.BodyText() != nullptr) {
    rtl::ForEachLine(*message.BodyText(), [&](const std::string& line) { body.push_back(line); });
  }
  std::string bodyText;
  for (const auto& line : body) bodyText += line + "\r\n";
  std::vector<std::string> after(received.begin() + static_cast<std::ptrdiff_t>(separator) + 1,
                                 received.end());
  if (message.Encoding == maillib::meUU) {
    FUZZ_CHECK(after == body, "the uuencoded message's body is not its lines");
    return;
  }
  const std::string& encoding = separator > 0 ? received[separator - 1] : "";
  if (encoding == "Content-Transfer-Encoding: 7bit") {
    FUZZ_CHECK(after == body, "the 7bit body is not the message's lines");
  } else if (encoding == "Content-Transfer-Encoding: quoted-printable" && !body.empty()) {
    FUZZ_CHECK(QuotedPrintableDecoded(after) == bodyText,
               "the quoted-printable body does not decode to the message's lines");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseFreshMachineRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzz::SplitInput(data, size, 3);
  const std::string queue = fuzz::UseFreshMachineRoot() + "/queue";
  const std::string files = fuzz::UseFreshMachineRoot() + "/files";
  fs::remove_all(files);
  fs::create_directories(files);
  fs::create_directories(queue);
  FUZZ_CHECK(fuzz::WriteBytes(queue + "/msg1.ini", parts[0]) &&
                 fuzz::WriteBytes(queue + "/msg1.tmp", parts[1]),
             "cannot write the queued pair");

  mailer::TCustomMailer mailer;
  mailer.QueueFile = queue + "/msg1.ini";
  mailer.LoadFromQueue();
  rtl::TStringList attachments;
  for (const std::string& named : mailer.Attachments) {
    std::string path = AttachmentPath(files, named);
    FUZZ_CHECK(fuzz::WriteBytes(path, parts[2]), "cannot write an attachment");
    attachments.Add(path);
  }
  mailer.Attachments = attachments;

  maillib::TmsMessage message;
  try {
    mailer.BuildMessage(message);
  } catch (const mailer::EEmptyFromAddress&) {
    FUZZ_CHECK(mailer.FromAddress.empty(), "a sender was taken for blank");
    return 0;
  }
  try {
    message.Validate();
  } catch (const maillib::EMessageError&) {
    return 0;
  }
  rtl::TMemoryStream stream;
  try {
    message.EncodeToStream(stream);
  } catch (const rtl::EListError& e) {
    // The stored type of a message without attachments may name a multipart type, which has no
    // part to start with.
    FUZZ_CHECK(message.Attachments.Count() == 0 && message.ContentType().starts_with("multipart/"),
               "composing raised " + e.Message());
    return 0;
  }
  const std::string& text = stream.Data();
  CheckLineEnds(text);
  CheckBody(message, WireLines(text));
  return 0;
}
