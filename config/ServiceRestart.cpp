#include "config/ServiceRestart.h"

#include <chrono>
#include <thread>

#include "config/ContrLarkq.h"

namespace config {
namespace {

// Polls until `done` holds for the state or the wait is over; a monotonic clock, so that a
// change of the time of day (or midnight) neither ends the wait early nor stretches it.
template <class Done>
DWORD AwaitState(Done done, const std::function<void()>& whileWaiting) {
  const auto start = std::chrono::steady_clock::now();
  DWORD state = QueryState();
  while (!done(state) &&
         std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
                 .count() <= kRestartWaitSeconds) {
    whileWaiting();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    state = QueryState();
  }
  return state;
}

bool IsUp(DWORD state) { return state == SERVICE_RUNNING || state == SERVICE_PAUSED; }

}  // namespace

TRestartResult RestartService(const std::function<void()>& whileWaiting) {
  RequestRestartStop();
  // A service that cannot be opened, or refuses the stop, will not stop however long we wait.
  if (RequestError() != ERROR_SUCCESS) return {TRestartResult::roCannotStop, RequestError()};
  if (AwaitState([](DWORD state) { return state == SERVICE_STOPPED; }, whileWaiting) !=
      SERVICE_STOPPED) {
    return {TRestartResult::roNotStopped};
  }
  // Updated only once the service is up again: a refused start, or a service that ends at once,
  // is reported with its reason instead.
  RequestStart();
  if (RequestError() != ERROR_SUCCESS) return {TRestartResult::roNotStarted, RequestError()};
  DWORD state =
      AwaitState([](DWORD state) { return IsUp(state) || state == SERVICE_STOPPED; }, whileWaiting);
  if (IsUp(state)) return {TRestartResult::roUpdated};
  if (state != SERVICE_STOPPED)
    return {TRestartResult::roNotStarted, ERROR_SERVICE_REQUEST_TIMEOUT};
  DWORD exitCode = ServiceStatus().dwWin32ExitCode;
  return {TRestartResult::roNotStarted,
          exitCode != ERROR_SUCCESS ? exitCode : DWORD{ERROR_SERVICE_NOT_ACTIVE}};
}

}  // namespace config
