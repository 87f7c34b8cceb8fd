// A fresh directory for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

#include "winapi/winapi.h"

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path of a name inside the directory, joined as the programs join paths on this platform.
  std::string operator/(const std::string& name) const { return path_ + LARK_PATH_DELIM + name; }

  void WriteFile(const std::string& name, const std::string& contents) const;
  std::string ReadFile(const std::string& name) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

// Makes GetTempPathA give path (null: the default again): it reads TMPDIR on Linux, TMP on
// Windows.
void SetTempPath(const char* path);

// Makes a fresh directory the machine root of the process (and of the programs it starts) for
// the lifetime of the object.
class MachineRoot {
 public:
  MachineRoot();
  ~MachineRoot();
  const std::string& Path() const { return dir_.Path(); }
  std::string HivePath() const { return dir_ / kHive; }
  void WriteHive(const std::string& text) const { dir_.WriteFile(kHive, text); }
  std::string ReadHive() const { return dir_.ReadFile(kHive); }

 private:
  static constexpr const char* kHive = "registry/HKEY_LOCAL_MACHINE.reg";
  TempDir dir_;
  std::string previous_;
  bool hadPrevious_;
};

}  // namespace testing_support
