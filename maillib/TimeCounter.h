// TTimeCounter: a countdown of whole seconds on a one-second window timer of the thread that
// made it, so it counts only while that thread pumps its messages. TimedOut stays set until the
// owner clears it.
#pragma once

#include "rtl/Timer.h"

namespace maillib {

class TTimeCounter {
 public:
  TTimeCounter();

  int TimeOut = 60;
  bool TimedOut = false;

  void Start();
  void Stop();

 private:
  rtl::TTimer timer_;
  int count_ = 0;
};

}  // namespace maillib
