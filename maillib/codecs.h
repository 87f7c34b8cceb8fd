// Content transfer codecs and the small stream utilities of the mail library.
#pragma once

namespace maillib {

// The library's cooperative yield: removes, translates and dispatches every window message
// waiting in the calling thread's queue, never blocking. With an empty queue it costs no system
// call, since the codecs call it once per byte.
void PumpMessages();

}  // namespace maillib
