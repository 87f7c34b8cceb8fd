#include "config/FailedDirectory.h"

#include <filesystem>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "settings/RegSet.h"
#include "winapi/winapi.h"

namespace config {

void CreateFailedDirectory(const std::string& quePath) {
  const std::string failed = settings::FailedPathOf(quePath);
  std::error_code ignored;
  if (std::filesystem::is_directory(failed, ignored)) return;
  // The queue directory is the template: an unprivileged service that owns the queue can then
  // move messages into Failed.
  if (!CreateDirectoryExA(quePath.c_str(), failed.c_str(), nullptr)) {
    throw rtl::Exception(rtl::SysErrorMessage(GetLastError()));
  }
}

}  // namespace config
