// What a runtime exception says, as the log shows it: "ClassName: message" ("ok" when none).
#pragma once

#include <functional>
#include <string>

#include "rtl/Exception.h"

namespace testing_support {

inline std::string ExceptionText(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
}

}  // namespace testing_support
