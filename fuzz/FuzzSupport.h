// What the fuzz targets share: a check that ends the run the way libFuzzer reports a crash (so
// a broken promise is kept as a reproducer), a fresh machine root, and the cutting of one input
// into the parts a target feeds to different readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

[[noreturn]] void Fail(const char* file, int line, const std::string& what);

// Quotes text for a failure message, with every byte outside printable ASCII escaped.
std::string Shown(std::string_view text);

// Points LARKPOST_ROOT at a new empty directory that lives as long as the process, so a target
// never reads or changes the machine's own registry; returns the directory.
const std::string& UseFreshMachineRoot();

// The input cut at its first count - 1 NUL bytes; the last part keeps the rest, NULs included.
// Missing parts are empty.
std::vector<std::string> SplitInput(const uint8_t* data, size_t size, size_t count);

// Writes bytes to path, replacing the file; false when it cannot be written.
bool WriteBytes(const std::string& path, std::string_view bytes);

}  // namespace fuzz

#define FUZZ_CHECK(condition, what)                             \
  do {                                                          \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, (what)); \
  } while (false)
