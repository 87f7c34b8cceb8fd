// Runs a larkq command in-process as its main would, keeping its exit code and both outputs.
#pragma once

#include <sstream>
#include <string>
#include <vector>

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

}  // namespace larkq_test
