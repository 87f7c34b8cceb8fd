// Runs a command in-process as its program's main would, keeping its exit code and both outputs.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

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

}  // namespace testing_support
