#include "maillib/Boundary.h"

#include <chrono>
#include <mutex>
#include <random>

#include "maillib/codecs.h"

namespace maillib {
namespace {

struct Generator {
  std::mutex mutex;
  std::minstd_rand random;
  bool fixed = false;
};

Generator& TheGenerator() {
  static auto* generator = new Generator;
  return *generator;
}

void ReseedFromClock(std::minstd_rand& random) {
  auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  random.seed(static_cast<unsigned>(now));
  PumpMessages();
}

}  // namespace

std::string NewBoundary() {
  auto& generator = TheGenerator();
  std::lock_guard lock(generator.mutex);
  auto& random = generator.random;
  if (!generator.fixed) {
    for (int i = 0; i < 101; ++i) ReseedFromClock(random);
    int extra = static_cast<int>(random() % 30);
    for (int i = 0; i <= extra; ++i) ReseedFromClock(random);
  }
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += static_cast<char>('0' + random() % 9);
  return digits;
}

void SetBoundarySeed(unsigned seed) {
  auto& generator = TheGenerator();
  std::lock_guard lock(generator.mutex);
  generator.random.seed(seed);
  generator.fixed = true;
}

}  // namespace maillib
