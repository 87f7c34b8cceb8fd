// A registry accessor in the manner of the classic TRegistry: a root key, one current key opened
// by a path, and typed reads and writes that raise ERegistryException with the runtime's texts.
#pragma once

#include <string>
#include <vector>

#include "winapi/winapi.h"

namespace rtl {

// The name of a value type as reg.exe writes it ("REG_SZ"); "REG_TYPE_N" for one it has no
// name for.
std::string RegTypeName(DWORD type);

class TRegistry {
 public:
  explicit TRegistry(REGSAM access = KEY_ALL_ACCESS);
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  HKEY RootKey() const { return root_; }
  void SetRootKey(HKEY root);  // closes the current key
  HKEY CurrentKey() const { return current_; }
  const std::string& CurrentPath() const { return currentPath_; }

  // A path starting with "\" is taken from the root; any other is relative to the current key
  // when one is open. Returns false when the key cannot be opened (or created).
  bool OpenKey(const std::string& key, bool canCreate);
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey();
  bool KeyExists(const std::string& key);
  bool DeleteKey(const std::string& key);  // with everything below it
  bool ValueExists(const std::string& name);
  bool DeleteValue(const std::string& name);
  std::vector<std::string> GetKeyNames();
  std::vector<std::string> GetValueNames();

  // REG_SZ or REG_EXPAND_SZ (unexpanded), up to the first NUL; a missing or empty value is "".
  std::string ReadString(const std::string& name);
  int ReadInteger(const std::string& name);  // REG_DWORD only
  bool ReadBool(const std::string& name);
  void WriteString(const std::string& name, const std::string& value);
  void WriteExpandString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int value);
  void WriteBool(const std::string& name, bool value);

 private:
  bool Open(const std::string& key, REGSAM access, bool canCreate);
  HKEY BaseFor(const std::string& key) const;
  std::string FullPath(const std::string& key) const;
  void PutData(const std::string& name, DWORD type, const void* data, DWORD size);

  REGSAM access_;
  HKEY root_ = HKEY_CURRENT_USER;
  HKEY current_ = nullptr;
  std::string currentPath_;
};

}  // namespace rtl
