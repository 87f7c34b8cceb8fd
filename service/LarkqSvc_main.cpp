// larkpost, the delivery service program: -INSTALL registers it with the control manager under
// its full path, -REMOVE unregisters it, -DEBUG runs it in the foreground until Ctrl-C, and
// without a switch it is the service the control manager starts.
#include <string>
#include <vector>

#include "service/LarkqSvc.h"

int main(int argc, char** argv) {
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
