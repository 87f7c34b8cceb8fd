// The service "Larkpost" for the tests, in the current machine root: the state probe, which
// reports the state a test asks for and counts the starts and stops it was sent.
#pragma once

#include "winapi/winapi.h"

namespace config_testing {

class TestService {
 public:
  // Registers the probe; it is not started.
  TestService();
  // Stops a probe that still runs, so that no test leaves a service behind.
  ~TestService();
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  // Has the running probe report `state`; 0 has it die without a report.
  void SetState(DWORD state) const;
  // Whether the control manager reports `state` within a generous bound.
  bool Reaches(DWORD state) const;
  DWORD Starts() const { return Counter("Starts"); }
  DWORD Stops() const { return Counter("Stops"); }

 private:
  bool WriteState(DWORD state) const;
  DWORD Counter(const char* value) const;
  DWORD CurrentState() const;
};

}  // namespace config_testing
