// What larkq's tests share: running a command in-process, the loaded body's text, and the
// settings key the commands read.
#pragma once

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mailer/QueuedBody.h"
#include "mailer/SMTPCust.h"
#include "rtl/Registry.h"
#include "settings/RegSet.h"
#include "testing/CommandRun.h"

namespace larkq_test {

using testing_support::Result;
using testing_support::RunCommand;

// The loaded body's text, every line followed by CR LF.
inline std::string BodyText(const mailer::TCustomMailer& mailer) {
  auto text = mailer.QueuedBody->Text(0);
  std::string bytes(static_cast<size_t>(text->Size()), '\0');
  bytes.resize(text->Read(bytes.data(), bytes.size()));
  return bytes;
}

// The service's settings key of the test's machine root, open for writing. What is written
// through it reaches the commands on either platform: the hive on Linux, the machine root's own
// registry on Windows.
inline std::unique_ptr<rtl::TRegistry> SettingsKey() {
  auto key = std::make_unique<rtl::TRegistry>();
  key->SetRootKey(HKEY_LOCAL_MACHINE);
  if (!key->OpenKey(std::string("\\") + settings::kSettingsKey, true)) {
    throw std::runtime_error("cannot open the settings key for writing");
  }
  return key;
}

}  // namespace larkq_test
