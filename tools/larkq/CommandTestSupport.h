// Runs a larkq command in-process as its main would, keeping its exit code and both outputs.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "mailer/QueuedBody.h"
#include "mailer/SMTPCust.h"

namespace larkq_test {

struct Result {
  int code;
  std::string out;
  std::string err;
};

template <class Command>
Result RunCommand(Command command, const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int code = command(args, out, err);
  return {code, out.str(), err.str()};
}

// The loaded body's text, every line followed by CR LF.
inline std::string BodyText(const mailer::TCustomMailer& mailer) {
  auto text = mailer.QueuedBody->Text(0);
  std::string bytes(static_cast<size_t>(text->Size()), '\0');
  bytes.resize(text->Read(bytes.data(), bytes.size()));
  return bytes;
}

}  // namespace larkq_test
