// larkpost, the delivery service program: -INSTALL registers it with the control manager under
// its full path, -REMOVE unregisters it, -DEBUG runs it in the foreground until Ctrl-C, and
// without a switch it is the service the control manager starts.
#include <iostream>
#include <string>
#include <vector>

#include "service/LarkqSvc.h"

namespace {

constexpr const char* kUsage =
    "larkpost - the Larkpost mail-queue delivery service\n"
    "Usage: larkpost -INSTALL [-ACCOUNT USER]\n"
    "  or:  larkpost -REMOVE\n"
    "  or:  larkpost -DEBUG\n"
    "  or:  larkpost\n"
    "Delivers the messages web applications drop into the queue directory (the QuePath\n"
    "setting) to the relays each message names, counts failed attempts in the message's .ini,\n"
    "moves a message that failed too often into Failed/ and logs every outcome in larkq.log or\n"
    "the event log. Its settings are the values of HKLM\\SOFTWARE\\Quobex\\LRKP in the machine\n"
    "root's registry (larkctl reg).\n"
    "\n"
    "  -INSTALL           register the service Larkpost with this program's full path\n"
    "  -ACCOUNT USER      with -INSTALL: run the service as this local user\n"
    "  -REMOVE            stop the service if it runs, and unregister it\n"
    "  -DEBUG             run the service in the foreground, printing what it does\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "Without a switch the program is the service the control manager starts\n"
    "(larkctl service start Larkpost, or systemd through larkctl service run Larkpost).\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::cout << kUsage;
    return 0;
  }
  if (first == "--version") {
    std::cout << "larkpost " LARKPOST_VERSION "\n";
    return 0;
  }
  try {
    new service::TLarkqService;
    svchost::RunServices(std::vector<std::string>(argv + 1, argv + argc));
    svchost::WaitForDispatcher();
  } catch (const std::exception&) {
    // Nothing can be reported where there is no service to report through.
  }
  svchost::FreeServices();
  return svchost::ProcessExitCode();
}
