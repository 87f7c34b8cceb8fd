// larkq: the queue from the command line.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tools/larkq/AddCommand.h"
#include "tools/larkq/AdminCommands.h"
#include "tools/larkq/ComposeCommand.h"
#include "tools/larkq/ListCommand.h"
#include "tools/larkq/MailqCommand.h"
#include "tools/larkq/SendCommand.h"
#include "tools/larkq/SendmailCommand.h"

namespace {

void PrintUsage(std::ostream& out) {
  out << "Usage: larkq list [QUEUEDIR] [--failed] [--json]\n"
         "       larkq add --from ADDR --to ADDR --relay HOST [options] [QUEUEDIR]\n"
         "       larkq compose FILE.ini|NAME [--seed N]\n"
         "       larkq send [--helo NAME] FILE.ini|NAME\n"
         "       larkq show FILE.ini|NAME\n"
         "       larkq delete|retry FILE.ini|NAME...\n"
         "       larkq sendmail [-t] [-i] [-f ADDR] [ADDR...] < MESSAGE\n"
         "       larkq --version\n"
         "  list     what is queued, oldest first (QUEUEDIR defaults to the QuePath setting)\n"
         "  add      write a queued message\n"
         "  compose  print the exact text a queued message would be sent as\n"
         "  send     deliver one queued message now (its files stay in place)\n"
         "  show     a queued message as the service reads it\n"
         "  delete   remove queued messages\n"
         "  retry    set failed attempts back to 0; from Failed, back into the queue\n"
         "  sendmail queue a message read from standard input, as sendmail does (installed\n"
         "           as sendmail and mailq too)\n"
         "NAME is a message in the QuePath directory, such as msg02C6.ini or msg02C6 (show,\n"
         "delete and retry also look in its Failed directory).\n"
         "larkq COMMAND --help shows the options of one command.\n";
}

// The standard library cannot ask whether a stream is a terminal; /dev/stdin then names a
// character device, and the one such device a body is read from in a script is /dev/null.
bool StandardInputIsTerminal() {
  std::error_code error;
  auto device = std::filesystem::canonical("/dev/stdin", error);
  return !error && std::filesystem::is_character_file(device, error) && device != "/dev/null";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Installed under the names other mail systems use, it behaves as those programs do.
  const std::string program = std::filesystem::path(argc > 0 ? argv[0] : "").filename().string();
  if (program == "sendmail") return larkq::RunSendmailCommand(args, std::cin, std::cout, std::cerr);
  if (program == "mailq") return larkq::RunMailqCommand(args, std::cout, std::cerr);
  if (args.empty()) {
    PrintUsage(std::cerr);
    return 2;
  }
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "list") return larkq::RunListCommand(args, std::cout, std::cerr);
  if (command == "add") {
    return larkq::RunAddCommand(args, std::cin, StandardInputIsTerminal(), std::cout, std::cerr);
  }
  if (command == "compose") return larkq::RunComposeCommand(args, std::cout, std::cerr);
  if (command == "send") return larkq::RunSendCommand(args, std::cout, std::cerr);
  if (command == "show") return larkq::RunShowCommand(args, std::cout, std::cerr);
  if (command == "delete") return larkq::RunDeleteCommand(args, std::cout, std::cerr);
  if (command == "retry") return larkq::RunRetryCommand(args, std::cout, std::cerr);
  if (command == "sendmail") return larkq::RunSendmailCommand(args, std::cin, std::cout, std::cerr);
  if (command == "--help" || command == "-h") {
    PrintUsage(std::cout);
    return 0;
  }
  if (command == "--version") {
    std::cout << "larkq " LARKPOST_VERSION "\n";
    return 0;
  }
  std::cerr << "larkq: unknown command '" << command << "'\n";
  PrintUsage(std::cerr);
  return 2;
}
