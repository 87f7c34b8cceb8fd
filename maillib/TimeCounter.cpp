#include "maillib/TimeCounter.h"

namespace maillib {

TTimeCounter::TTimeCounter() {
  timer_.SetEnabled(false);
  timer_.SetInterval(1000);
  timer_.SetOnTimer([this] {
    if (--count_ <= 0) TimedOut = true;
  });
}

void TTimeCounter::Start() {
  count_ = TimeOut;
  timer_.SetEnabled(true);
}

void TTimeCounter::Stop() { timer_.SetEnabled(false); }

}  // namespace maillib
