#include "testing/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "winapi/winapi.h"

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = fs::temp_directory_path() / ("larkpost-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TempDir::WriteFile(const std::string& name, const std::string& contents) const {
  auto path = fs::path(*this / name);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string TempDir::ReadFile(const std::string& name) const {
  std::ifstream in(*this / name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + (*this / name));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool TempDir::Exists(const std::string& name) const { return fs::exists(*this / name); }

void SetTempPath(const char* path) {
  SetEnvironmentVariableA("TMPDIR", path);
  SetEnvironmentVariableA("TMP", path);
}

MachineRoot::MachineRoot() {
  const char* previous = std::getenv("LARKPOST_ROOT");
  hadPrevious_ = previous != nullptr;
  if (hadPrevious_) previous_ = previous;
  LarkSetMachineRootA(dir_.Path().c_str());
}

MachineRoot::~MachineRoot() { LarkSetMachineRootA(hadPrevious_ ? previous_.c_str() : nullptr); }

}  // namespace testing_support
