// A test driver for peers written in other languages: parses the message text on standard input
// with TmsMessage::DecodeFromStream and prints what the message holds as one JSON object, every
// text hex-encoded so that any byte survives.
#include <iostream>
#include <iterator>
#include <string>

#include "maillib/Decoder.h"

namespace {

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out + "\"";
}

std::string Addresses(const maillib::TmsAddressList& list) {
  std::string out = "[";
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) out += ",";
    out += "[" + Hex(list.Items(i).Name.str()) + "," + Hex(list.Items(i).Address.str()) + "]";
  }
  return out + "]";
}

std::string Texts(const rtl::TStringList& lines) {
  std::string out = "[";
  for (int i = 0; i < lines.Count(); ++i) out += (i > 0 ? "," : "") + Hex(lines[i]);
  return out + "]";
}

std::string Attachments(const maillib::TmsAttList& list) {
  std::string out = "[";
  for (int i = 0; i < list.Count(); ++i) {
    maillib::TmsAttItem& item = list.Items(i);
    out += std::string(i > 0 ? "," : "") + "{\"name\":" + Hex(item.FileName.str()) +
           ",\"type\":" + Hex(item.ContentType.str()) +
           ",\"encoding\":" + std::to_string(item.Encoding) + ",\"bytes\":" + Hex(item.Bytes()) +
           "}";
  }
  return out + "]";
}

}  // namespace

int main() {
  std::string input(std::istreambuf_iterator<char>(std::cin), {});
  rtl::TMemoryStream stream;
  stream.WriteString(input);
  maillib::TmsMessage message;
  try {
    message.DecodeFromStream(stream);
  } catch (const std::exception& error) {
    std::cerr << rtl::ClassNameOf(error) << ": " << error.what() << "\n";
    return 1;
  }
  std::cout << "{\"sender\":[" << Hex(message.Sender.Name.str()) << ","
            << Hex(message.Sender.Address.str()) << "],\"to\":" << Addresses(message.Recipients)
            << ",\"cc\":" << Addresses(message.CC) << ",\"bcc\":" << Addresses(message.BCC)
            << ",\"subject\":" << Hex(message.Subject.str()) << ",\"body\":" << Texts(message.Body)
            << ",\"headers\":" << Texts(message.Headers)
            << ",\"attachments\":" << Attachments(message.Attachments)
            << ",\"encoding\":" << static_cast<int>(message.Encoding)
            << ",\"charset\":" << static_cast<int>(message.CharSet)
            << ",\"custom_charset\":" << Hex(message.CustomCharSet)
            << ",\"content_type\":" << Hex(message.ContentType()) << "}\n";
  return 0;
}
