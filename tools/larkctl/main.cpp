// larkctl: the administrator's command line for the machine facilities Larkpost shares.
#include <iostream>
#include <string>
#include <vector>

#include "tools/larkctl/EventsCommand.h"
#include "tools/larkctl/HelpOption.h"
#include "tools/larkctl/RegCommand.h"
#include "tools/larkctl/ServiceCommand.h"

namespace {

void PrintUsage(std::ostream& out) {
  out << "Usage: larkctl reg query|add|delete|export|import ...\n"
         "       larkctl service query|start|run|stop|pause|continue|interrogate|list [NAME]\n"
         "       larkctl events [--source NAME] [--since TIME] [-n N] [--follow] [--json]\n"
         "       larkctl --version\n"
         "       larkctl COMMAND /?   for the operations of one command (or --help)\n";
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
  if (command == "reg") return larkctl::RunRegCommand(args, std::cin, std::cout, std::cerr);
  if (command == "service") return larkctl::RunServiceCommand(args, std::cout, std::cerr);
  if (command == "events") return larkctl::RunEventsCommand(args, std::cout, std::cerr);
  if (larkctl::IsHelpOption(command)) {
    PrintUsage(std::cout);
    return 0;
  }
  if (command == "--version") {
    std::cout << "larkctl " LARKPOST_VERSION "\n";
    return 0;
  }
  std::cerr << "ERROR: Unknown command '" << command << "'.\n";
  PrintUsage(std::cerr);
  return 2;
}
