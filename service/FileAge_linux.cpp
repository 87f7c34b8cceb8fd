#include <chrono>
#include <filesystem>

#include "service/QueueTestSupport.h"

namespace service_test {

void MakeOlder(const std::string& path, int seconds) {
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(seconds));
}

}  // namespace service_test
