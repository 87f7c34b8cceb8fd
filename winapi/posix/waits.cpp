// Waits on kernel objects and on the thread's message queue. Every wait is a wait point: it
// honours suspension and forced termination, and blocks in poll() on the thread's wake-up
// descriptor plus any descriptor an object watches, so it never spins.
#include <poll.h>

#include <algorithm>
#include <climits>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

void Unregister(const std::vector<std::shared_ptr<KernelObject>>& objects, ThreadContext* ctx) {
  if (objects.empty()) return;
  std::lock_guard lock(WaitMutex());
  for (const auto& object : objects) {
    auto& list = object->waiters;
    auto it = std::find(list.begin(), list.end(), ctx);
    if (it != list.end()) list.erase(it);
  }
}

// Checks the objects with WaitMutex held; returns the wait result or WAIT_TIMEOUT for "not yet".
DWORD TrySatisfy(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll) {
  if (objects.empty()) return WAIT_TIMEOUT;
  if (waitAll) {
    for (const auto& object : objects) {
      if (!object->IsSignaled()) return WAIT_TIMEOUT;
    }
    for (const auto& object : objects) object->Acquire();
    return WAIT_OBJECT_0;
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->IsSignaled()) {
      objects[i]->Acquire();
      return static_cast<DWORD>(WAIT_OBJECT_0 + i);
    }
  }
  return WAIT_TIMEOUT;
}

int PollTimeout(Clock::duration left) {
  if (left == Clock::duration::max()) return -1;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

}  // namespace

DWORD WaitEngine(DWORD count, const HANDLE* handles, bool waitAll, DWORD ms, bool forMessages) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandleAs<KernelObject>(handles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  ThreadContext& ctx = CurrentContext();
  const auto start = Clock::now();
  const auto limit =
      ms == INFINITE ? Clock::duration::max() : Clock::duration(std::chrono::milliseconds(ms));
  for (;;) {
    ctx.CheckPoint();
    std::vector<pollfd> fds{{ctx.WakeFd(), POLLIN, 0}};
    std::vector<std::shared_ptr<MessageSource>> polled;
    if (forMessages) polled = ctx.PrepareSources(fds);
    {
      // A wait on the queue alone (a socket's nap) needs no lock that every waiting thread
      // shares: a message posted after the look wakes the poll below through the descriptor.
      std::unique_lock lock(WaitMutex(), std::defer_lock);
      if (!objects.empty()) lock.lock();
      DWORD result = TrySatisfy(objects, waitAll);
      if (result != WAIT_TIMEOUT) return result;
      if (forMessages && ctx.HasMessage()) return WAIT_OBJECT_0 + count;
      for (const auto& object : objects) {
        object->waiters.push_back(&ctx);
        if (int fd = object->PollFd(); fd >= 0) fds.push_back({fd, POLLIN, 0});
      }
    }
    auto elapsed = Clock::now() - start;
    auto left = limit == Clock::duration::max() ? limit : limit - elapsed;
    // Once the time is up, sockets still get the one look that tells whether a notification is
    // due, as a wait that never blocks must give it.
    const bool expired = left <= Clock::duration::zero();
    if (expired && polled.empty()) {
      Unregister(objects, &ctx);
      return WAIT_TIMEOUT;
    }
    if (forMessages) left = std::min(left, ctx.UntilNextTimer());
    const int ready = poll(fds.data(), fds.size(), expired ? 0 : PollTimeout(left));
    if (fds[0].revents != 0) ctx.DrainWake();
    Unregister(objects, &ctx);
    if (ready > 0) ThreadContext::DeliverSources(polled, fds.data() + 1);
    if (expired) {
      std::unique_lock lock(WaitMutex(), std::defer_lock);
      if (!objects.empty()) lock.lock();
      DWORD result = TrySatisfy(objects, waitAll);
      if (result != WAIT_TIMEOUT) return result;
      return ctx.HasMessage() ? WAIT_OBJECT_0 + count : WAIT_TIMEOUT;
    }
  }
}

}  // namespace lark

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return lark::WaitEngine(1, &hHandle, false, dwMilliseconds, false);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  return lark::WaitEngine(nCount, lpHandles, bWaitAll, dwMilliseconds, false);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                       DWORD dwMilliseconds, DWORD) {
  return lark::WaitEngine(nCount, pHandles, fWaitAll, dwMilliseconds, true);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  lark::WaitEngine(0, nullptr, false, dwMilliseconds, false);
}
