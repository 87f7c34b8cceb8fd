#include "rtl/HiddenWindow.h"

#include <mutex>

#include "rtl/Exception.h"

namespace rtl {
namespace {

constexpr const char* kClassName = "TPUtilWindow";

LRESULT CALLBACK UtilWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* method = reinterpret_cast<TWndMethod*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
  if (method == nullptr || !*method) return DefWindowProcA(wnd, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  (*method)(message);
  return message.Result;
}

void RegisterUtilClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA cls{};
    cls.lpfnWndProc = UtilWindowProc;
    cls.lpszClassName = kClassName;
    RegisterClassA(&cls);
  });
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  RegisterUtilClass();
  HWND wnd = CreateWindowExA(0, kClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, nullptr);
  if (wnd == nullptr) throw EOutOfResources("Cannot create a hidden window");
  SetWindowLongPtrA(wnd, GWLP_USERDATA,
                    reinterpret_cast<LONG_PTR>(new TWndMethod(std::move(method))));
  return wnd;
}

void DeallocateHWnd(HWND wnd) {
  auto* method = reinterpret_cast<TWndMethod*>(SetWindowLongPtrA(wnd, GWLP_USERDATA, 0));
  DestroyWindow(wnd);
  delete method;
}

}  // namespace rtl
