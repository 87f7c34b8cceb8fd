// A tiny service for the framework's end-to-end test. Its behaviour comes from the value
// "Behaviour" of its Parameters key: "wait" (the default) waits for the stop, "ignore" never
// looks at it, "raise" fails at once. PROBE_START_TYPE=2 installs it to start automatically.
#include <cstdlib>
#include <string>

#include "rtl/Registry.h"
#include "svchost/SvcObj.h"

namespace {

class TProbeService : public svchost::TService {
 public:
  TProbeService() : TService("LarkProbe", "Lark Probe Service") {
    if (const char* startType = std::getenv("PROBE_START_TYPE")) StartType = std::atoi(startType);
  }
  ~TProbeService() override { TerminateAndWaitFor(); }

 protected:
  void Execute() override {
    std::string behaviour = Behaviour();
    if (behaviour == "ignore") {
      for (;;) Sleep(50);
    }
    if (behaviour == "raise") throw svchost::EService("the probe was told to fail");
    LogMessage(svchost::ekInformation, "LarkProbe running");
    TService::Execute();
  }

 private:
  std::string Behaviour() {
    rtl::TRegistry registry(KEY_READ);
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!registry.OpenKeyReadOnly("SYSTEM\\CurrentControlSet\\Services\\LarkProbe\\Parameters"))
      return "wait";
    return registry.ReadString("Behaviour");
  }
};

}  // namespace

int main(int argc, char** argv) {
  try {
    new TProbeService;
    svchost::RunServices(std::vector<std::string>(argv + 1, argv + argc));
    svchost::WaitForDispatcher();
  } catch (const std::exception&) {
  }
  svchost::FreeServices();
  return svchost::ProcessExitCode();
}
