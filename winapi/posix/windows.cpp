// Per-thread message queues, hidden windows and window timers. A window belongs to the thread
// that created it: messages posted to it from any thread land in that thread's queue, and timers
// become WM_TIMER messages only when that thread reads its queue.
#include <algorithm>
#include <map>
#include <unordered_map>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

constexpr size_t kQueueLimit = 10000;

struct Window {
  std::shared_ptr<ThreadContext> owner;
  WNDPROC proc;
  LONG_PTR userData = 0;
};

struct WindowTable {
  std::mutex mutex;
  std::map<std::string, WNDPROC> classes;  // by lower-case name
  std::unordered_map<uintptr_t, Window> windows;
  uintptr_t next = 0x10000;
};

WindowTable& Windows() {
  static auto* table = new WindowTable;
  return *table;
}

std::string ClassKey(LPCSTR name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::shared_ptr<ThreadContext> OwnerOf(HWND hwnd) {
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  auto it = table.windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == table.windows.end() ? nullptr : it->second.owner;
}

BOOL Post(ThreadContext& ctx, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard lock(ctx.queueMutex);
    if (ctx.posted.size() >= kQueueLimit) return Fail(ERROR_NOT_ENOUGH_QUOTA);
    ctx.posted.push_back(MSG{hwnd, msg, wParam, lParam, GetTickCount(), {0, 0}});
    ctx.postedCount.fetch_add(1);
  }
  ctx.Wake();
  return TRUE;
}

// NULL takes window and thread messages, -1 thread messages only, a window its own.
bool Matches(const MSG& msg, HWND filter, UINT low, UINT high) {
  if (filter == reinterpret_cast<HWND>(-1)) {
    if (msg.hwnd != nullptr) return false;
  } else if (filter != nullptr && msg.hwnd != filter) {
    return false;
  }
  return (low == 0 && high == 0) || (msg.message >= low && msg.message <= high);
}

void ForgetWindow(ThreadContext& ctx, HWND hwnd) {
  std::lock_guard lock(ctx.queueMutex);
  auto& posted = ctx.posted;
  auto end = std::remove_if(posted.begin(), posted.end(),
                            [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
  ctx.postedCount.fetch_sub(static_cast<size_t>(posted.end() - end));
  posted.erase(end, posted.end());
  std::erase_if(ctx.timers, [hwnd](const Timer& timer) { return timer.hwnd == hwnd; });
}

}  // namespace

std::shared_ptr<ThreadContext> WindowOwner(HWND hwnd) { return OwnerOf(hwnd); }

void DestroyWindowsOfThread(DWORD threadId) {
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  std::erase_if(table.windows,
                [threadId](const auto& entry) { return entry.second.owner->id == threadId; });
}

}  // namespace lark

using lark::Windows;

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr) {
    lark::Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  if (!table.classes.emplace(lark::ClassKey(lpWndClass->lpszClassName), lpWndClass->lpfnWndProc)
           .second) {
    lark::Fail(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  return static_cast<ATOM>(0xC000 + table.classes.size());
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE) {
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  if (table.classes.erase(lark::ClassKey(lpClassName)) == 0) {
    return lark::Fail(ERROR_CANNOT_FIND_WND_CLASS);
  }
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR, DWORD, int, int, int, int, HWND,
                            void*, HINSTANCE, LPVOID) {
  auto owner = lark::FindContext(GetCurrentThreadId());
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  auto cls = table.classes.find(lark::ClassKey(lpClassName));
  if (cls == table.classes.end()) {
    lark::Fail(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  table.next += 2;
  table.windows.emplace(table.next, lark::Window{owner, cls->second});
  return reinterpret_cast<HWND>(table.next);
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  auto owner = lark::OwnerOf(hWnd);
  if (!owner) return lark::Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (owner->id != GetCurrentThreadId()) return lark::Fail(ERROR_ACCESS_DENIED);
  WNDPROC proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hWnd, GWLP_WNDPROC));
  if (proc != nullptr) proc(hWnd, WM_DESTROY, 0, 0);
  {
    auto& table = Windows();
    std::lock_guard lock(table.mutex);
    table.windows.erase(reinterpret_cast<uintptr_t>(hWnd));
  }
  lark::ForgetWindow(*owner, hWnd);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) { return lark::OwnerOf(hWnd) ? TRUE : FALSE; }

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  auto it = table.windows.find(reinterpret_cast<uintptr_t>(hWnd));
  if (it == table.windows.end()) return lark::Fail(ERROR_INVALID_WINDOW_HANDLE);
  LONG_PTR previous;
  if (nIndex == GWLP_USERDATA) {
    previous = it->second.userData;
    it->second.userData = dwNewLong;
  } else if (nIndex == GWLP_WNDPROC) {
    previous = reinterpret_cast<LONG_PTR>(it->second.proc);
    it->second.proc = reinterpret_cast<WNDPROC>(dwNewLong);
  } else {
    return lark::Fail(ERROR_INVALID_PARAMETER);
  }
  return previous;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  auto& table = Windows();
  std::lock_guard lock(table.mutex);
  auto it = table.windows.find(reinterpret_cast<uintptr_t>(hWnd));
  if (it == table.windows.end()) return lark::Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (nIndex == GWLP_USERDATA) return it->second.userData;
  if (nIndex == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(it->second.proc);
  return lark::Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (hWnd == nullptr) return lark::Post(lark::CurrentContext(), nullptr, Msg, wParam, lParam);
  auto owner = lark::OwnerOf(hWnd);
  // A message for a window that is gone is dropped quietly, as a late notification must be.
  if (!owner) return lark::Fail(ERROR_INVALID_WINDOW_HANDLE);
  return lark::Post(*owner, hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  auto ctx = lark::FindContext(idThread);
  if (!ctx) return lark::Fail(ERROR_INVALID_PARAMETER);
  return lark::Post(*ctx, nullptr, Msg, wParam, lParam);
}

void WINAPI PostQuitMessage(int nExitCode) {
  auto& ctx = lark::CurrentContext();
  std::lock_guard lock(ctx.queueMutex);
  ctx.quitPosted = true;
  ctx.quitCode = nExitCode;
}

BOOL WINAPI PeekMessageA(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  auto& ctx = lark::CurrentContext();
  ctx.CheckPoint();
  if (ctx.SourcePollDue()) ctx.PollSources();
  // The empty queue is the common case (the codecs pump once per byte): no lock, no clock.
  if (ctx.postedCount.load(std::memory_order_relaxed) == 0 && !ctx.quitPosted &&
      ctx.timers.empty()) {
    return FALSE;
  }
  const bool remove = (wRemoveMsg & PM_REMOVE) != 0;
  std::lock_guard lock(ctx.queueMutex);
  for (auto it = ctx.posted.begin(); it != ctx.posted.end(); ++it) {
    if (!lark::Matches(*it, hWnd, wMsgFilterMin, wMsgFilterMax)) continue;
    *lpMsg = *it;
    if (remove) {
      ctx.posted.erase(it);
      ctx.postedCount.fetch_sub(1);
    }
    return TRUE;
  }
  if (ctx.quitPosted) {
    *lpMsg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(ctx.quitCode), 0, GetTickCount(), {0, 0}};
    if (remove) ctx.quitPosted = false;
    return TRUE;
  }
  auto now = lark::Clock::now();
  for (auto& timer : ctx.timers) {
    if (timer.due > now) continue;
    MSG msg{timer.hwnd,     WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.proc),
            GetTickCount(), {0, 0}};
    if (!lark::Matches(msg, hWnd, wMsgFilterMin, wMsgFilterMax)) continue;
    // However many periods passed, one WM_TIMER; the next is due a full period from now.
    if (remove) timer.due = now + timer.interval;
    *lpMsg = msg;
    return TRUE;
  }
  return FALSE;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam,
                                               GetTickCount());
    return 0;
  }
  if (lpMsg->hwnd == nullptr) return 0;
  WNDPROC proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(lpMsg->hwnd, GWLP_WNDPROC));
  if (proc == nullptr) return 0;
  return proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  auto& ctx = lark::CurrentContext();
  if (hWnd != nullptr) {
    auto owner = lark::OwnerOf(hWnd);
    if (!owner) return lark::Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (owner.get() != &ctx) return lark::Fail(ERROR_ACCESS_DENIED);
  }
  auto interval = std::chrono::milliseconds(std::max<UINT>(uElapse, USER_TIMER_MINIMUM));
  std::lock_guard lock(ctx.queueMutex);
  if (hWnd == nullptr) {
    UINT_PTR id = 1;
    while (std::any_of(ctx.timers.begin(), ctx.timers.end(),
                       [id](const lark::Timer& t) { return t.hwnd == nullptr && t.id == id; })) {
      ++id;
    }
    nIDEvent = id;
  }
  auto due = lark::Clock::now() + interval;
  for (auto& timer : ctx.timers) {
    if (timer.hwnd == hWnd && timer.id == nIDEvent) {
      timer = lark::Timer{hWnd, nIDEvent, interval, due, lpTimerFunc};
      return nIDEvent == 0 ? 1 : nIDEvent;
    }
  }
  ctx.timers.push_back(lark::Timer{hWnd, nIDEvent, interval, due, lpTimerFunc});
  return nIDEvent == 0 ? 1 : nIDEvent;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  auto& ctx = lark::CurrentContext();
  std::lock_guard lock(ctx.queueMutex);
  auto removed = std::erase_if(ctx.timers, [hWnd, uIDEvent](const lark::Timer& timer) {
    return timer.hwnd == hWnd && timer.id == uIDEvent;
  });
  return removed > 0 ? TRUE : lark::Fail(ERROR_INVALID_PARAMETER);
}
