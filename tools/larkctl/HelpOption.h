// The ways an administrator asks a larkctl command for its usage: reg.exe's "/?" and the usual
// "--help" and "-h".
#pragma once

#include <string>

namespace larkctl {

inline bool IsHelpOption(const std::string& arg) {
  return arg == "/?" || arg == "-?" || arg == "--help" || arg == "-h";
}

}  // namespace larkctl
