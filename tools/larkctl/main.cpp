// larkctl: the administrator's command line for the machine facilities Larkpost shares.
#include <iostream>
#include <string>
#include <vector>

#include "tools/larkctl/RegCommand.h"

namespace {

void PrintUsage(std::ostream& out) {
  out << "Usage: larkctl reg query|add|delete|export|import ...\n"
         "       larkctl reg /?   for the reg operations\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintUsage(std::cerr);
    return 2;
  }
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "reg") {
    if (!args.empty() && (args[0] == "/?" || args[0] == "--help" || args[0] == "-h")) {
      larkctl::PrintRegUsage(std::cout);
      return 0;
    }
    return larkctl::RunRegCommand(args, std::cin, std::cout, std::cerr);
  }
  if (command == "--help" || command == "-h" || command == "/?") {
    PrintUsage(std::cout);
    return 0;
  }
  std::cerr << "ERROR: Unknown command '" << command << "'.\n";
  PrintUsage(std::cerr);
  return 2;
}
