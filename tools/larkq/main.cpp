// larkq: the queue from the command line.
#include <iostream>
#include <string>
#include <vector>

#include "tools/larkq/AddCommand.h"
#include "tools/larkq/ComposeCommand.h"
#include "tools/larkq/ListCommand.h"
#include "tools/larkq/SendCommand.h"

namespace {

void PrintUsage(std::ostream& out) {
  out << "Usage: larkq list [QUEUEDIR] [--failed] [--json]\n"
         "       larkq add --from ADDR --to ADDR --relay HOST [options] [QUEUEDIR]\n"
         "       larkq compose FILE.ini [--seed N]\n"
         "       larkq send FILE.ini\n"
         "  list     what is queued, oldest first (QUEUEDIR defaults to the QuePath setting)\n"
         "  add      write a queued message (larkq add --help for its options)\n"
         "  compose  print the exact text a queued message would be sent as\n"
         "  send     deliver one queued message now (its files stay in place)\n";
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
  if (command == "list") return larkq::RunListCommand(args, std::cout, std::cerr);
  if (command == "add") return larkq::RunAddCommand(args, std::cin, std::cout, std::cerr);
  if (command == "compose") return larkq::RunComposeCommand(args, std::cout, std::cerr);
  if (command == "send") return larkq::RunSendCommand(args, std::cout, std::cerr);
  if (command == "--help" || command == "-h") {
    PrintUsage(std::cout);
    return 0;
  }
  std::cerr << "larkq: unknown command '" << command << "'\n";
  PrintUsage(std::cerr);
  return 2;
}
