// Multipart boundaries: eight decimal digits from 0 to 8 drawn from the process-wide generator,
// reseeded from the time of day, or from a fixed seed so that composed text is reproducible.
#pragma once

#include <string>

namespace maillib {

std::string NewBoundary();
// From now on boundaries come from this seed alone, in a fixed sequence.
void SetBoundarySeed(unsigned seed);

}  // namespace maillib
