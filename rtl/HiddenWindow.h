// Hidden message windows: a handler that receives the messages posted to a window of the
// calling thread, when that thread pumps its queue.
#pragma once

#include <functional>

#include "winapi/winapi.h"

namespace rtl {

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

using TWndMethod = std::function<void(TMessage&)>;

HWND AllocateHWnd(TWndMethod method);
void DeallocateHWnd(HWND wnd);

}  // namespace rtl
