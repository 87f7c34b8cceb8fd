// Per-thread state of the machine layer: created on first use, or by CreateThread for the
// threads it makes; the windows a thread owns are destroyed when it ends.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <exception>
#include <unordered_map>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

struct ContextRegistry {
  std::mutex mutex;
  std::unordered_map<DWORD, std::weak_ptr<ThreadContext>> byId;
  DWORD nextId = 0;
};

ContextRegistry& Registry() {
  static auto* registry = new ContextRegistry;
  return *registry;
}

struct ContextHolder {
  std::shared_ptr<ThreadContext> ctx;
  ~ContextHolder() {
    if (!ctx) return;
    DestroyWindowsOfThread(ctx->id);
    auto& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.byId.erase(ctx->id);
  }
};

thread_local ContextHolder holder;

}  // namespace

ThreadContext::ThreadContext() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.nextId += 4;
  id = registry.nextId;
}

ThreadContext::~ThreadContext() { close(wakeFd_); }

void ThreadContext::Wake() {
  // The thread itself looks at its queue, its objects and its own state before it next blocks,
  // so it needs no wake-up (a socket notifies its own thread at every reply).
  if (holder.ctx.get() == this) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void ThreadContext::DrainWake() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
}

void ThreadContext::CheckPoint() {
  if (!thread) return;
  for (;;) {
    if (thread->terminateRequested.load()) {
      // A destructor running during the unwind may still reach a wait point; let it finish.
      // Inside a bracket (a destructor waiting for another thread) throwing would leave a
      // noexcept function and abort the process: the end waits for the bracket to close.
      if (std::uncaught_exceptions() > 0 || noTermination > 0) return;
      throw ThreadTerminationUnwind{};
    }
    if (thread->suspendCount.load() <= 0 || heldLocks > 0) return;
    pollfd p{wakeFd_, POLLIN, 0};
    poll(&p, 1, -1);
    DrainWake();
  }
}

bool ThreadContext::HasMessage() {
  if (postedCount.load() > 0) return true;
  std::lock_guard lock(queueMutex);
  if (quitPosted) return true;
  auto now = Clock::now();
  for (const auto& timer : timers) {
    if (timer.due <= now) return true;
  }
  return false;
}

Clock::duration ThreadContext::UntilNextTimer() {
  std::lock_guard lock(queueMutex);
  auto least = Clock::duration::max();
  auto now = Clock::now();
  for (const auto& timer : timers) {
    least = std::min(least, std::max(Clock::duration::zero(), timer.due - now));
  }
  return least;
}

void ThreadContext::AddSource(std::shared_ptr<MessageSource> source) {
  std::lock_guard lock(queueMutex);
  sources_.push_back(std::move(source));
  sourceCount_ = sources_.size();
  Wake();  // a wait in progress takes the new source into its poll set
}

void ThreadContext::RemoveSource(const MessageSource* source) {
  std::lock_guard lock(queueMutex);
  std::erase_if(sources_, [source](const auto& s) { return s.get() == source; });
  sourceCount_ = sources_.size();
}

std::vector<std::shared_ptr<MessageSource>> ThreadContext::Sources() {
  std::lock_guard lock(queueMutex);
  return sources_;
}

bool ThreadContext::SourcePollDue() {
  if (sourceCount_.load(std::memory_order_relaxed) == 0) return false;
  return Clock::now() - lastSourcePoll_ >= std::chrono::milliseconds(1);
}

void ThreadContext::PollSources() {
  if (sourceCount_.load(std::memory_order_relaxed) == 0) return;
  lastSourcePoll_ = Clock::now();
  std::vector<pollfd> fds;
  const auto polled = PrepareSources(fds);
  if (!fds.empty() && poll(fds.data(), fds.size(), 0) > 0) DeliverSources(polled, fds.data());
}

std::vector<std::shared_ptr<MessageSource>> ThreadContext::PrepareSources(
    std::vector<pollfd>& fds) {
  std::vector<std::shared_ptr<MessageSource>> polled;
  for (auto& source : Sources()) {
    source->Poll(0);
    if (short events = source->Interest(); events != 0) {
      fds.push_back({source->Fd(), events, 0});
      polled.push_back(std::move(source));
    }
  }
  return polled;
}

void ThreadContext::DeliverSources(const std::vector<std::shared_ptr<MessageSource>>& polled,
                                   const pollfd* first) {
  for (size_t i = 0; i < polled.size(); ++i) {
    if (first[i].revents != 0) polled[i]->Poll(first[i].revents);
  }
}

std::shared_ptr<ThreadContext> NewContext() {
  auto ctx = std::make_shared<ThreadContext>();
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.byId[ctx->id] = ctx;
  return ctx;
}

void AdoptContext(std::shared_ptr<ThreadContext> ctx) { holder.ctx = std::move(ctx); }

ThreadContext& CurrentContext() {
  if (!holder.ctx) holder.ctx = NewContext();
  return *holder.ctx;
}

std::shared_ptr<ThreadContext> FindContext(DWORD threadId) {
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.byId.find(threadId);
  return it == registry.byId.end() ? nullptr : it->second.lock();
}

}  // namespace lark
