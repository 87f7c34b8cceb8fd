#include "rtl/Registry.h"

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace rtl {

std::string RegTypeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_NONE:
      return "REG_NONE";
    default:
      return "REG_TYPE_" + std::to_string(type);
  }
}

TRegistry::TRegistry(REGSAM access) : access_(access) {}

TRegistry::~TRegistry() { CloseKey(); }

void TRegistry::SetRootKey(HKEY root) {
  CloseKey();
  root_ = root;
}

void TRegistry::CloseKey() {
  if (current_ != nullptr) RegCloseKey(current_);
  current_ = nullptr;
  currentPath_.clear();
}

HKEY TRegistry::BaseFor(const std::string& key) const {
  bool relative = key.empty() || key[0] != '\\';
  return relative && current_ != nullptr ? current_ : root_;
}

std::string TRegistry::FullPath(const std::string& key) const {
  std::string path = key;
  while (!path.empty() && path.back() == '\\') path.pop_back();
  if (!path.empty() && path[0] == '\\') return path.substr(1);
  if (current_ == nullptr || currentPath_.empty()) return path;
  return path.empty() ? currentPath_ : currentPath_ + "\\" + path;
}

bool TRegistry::Open(const std::string& key, REGSAM access, bool canCreate) {
  HKEY opened = nullptr;
  std::string subKey = key.empty() || key[0] != '\\' ? key : key.substr(1);
  LSTATUS status = canCreate
                       ? RegCreateKeyExA(BaseFor(key), subKey.c_str(), 0, nullptr,
                                         REG_OPTION_NON_VOLATILE, access, nullptr, &opened, nullptr)
                       : RegOpenKeyExA(BaseFor(key), subKey.c_str(), 0, access, &opened);
  if (status != ERROR_SUCCESS) return false;
  std::string path = FullPath(key);
  CloseKey();
  current_ = opened;
  currentPath_ = path;
  return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  return Open(key, access_, canCreate);
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) { return Open(key, KEY_READ, false); }

bool TRegistry::KeyExists(const std::string& key) {
  HKEY probe = nullptr;
  std::string subKey = key.empty() || key[0] != '\\' ? key : key.substr(1);
  if (RegOpenKeyExA(BaseFor(key), subKey.c_str(), 0, KEY_READ, &probe) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(probe);
  return true;
}

bool TRegistry::DeleteKey(const std::string& key) {
  std::string subKey = key.empty() || key[0] != '\\' ? key : key.substr(1);
  return !subKey.empty() && RegDeleteTreeA(BaseFor(key), subKey.c_str()) == ERROR_SUCCESS;
}

bool TRegistry::ValueExists(const std::string& name) {
  return RegQueryValueExA(current_, name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

bool TRegistry::DeleteValue(const std::string& name) {
  return RegDeleteValueA(current_, name.c_str()) == ERROR_SUCCESS;
}

std::vector<std::string> TRegistry::GetKeyNames() {
  std::vector<std::string> names;
  char name[1024];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(current_, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return names;
    }
    names.emplace_back(name, size);
  }
}

std::vector<std::string> TRegistry::GetValueNames() {
  std::vector<std::string> names;
  char name[16384];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumValueA(current_, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return names;
    }
    names.emplace_back(name, size);
  }
}

std::string TRegistry::ReadString(const std::string& name) {
  DWORD type = REG_NONE, size = 0;
  if (RegQueryValueExA(current_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      size == 0) {
    return "";
  }
  std::string data(size, '\0');
  if (RegQueryValueExA(current_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &size) != ERROR_SUCCESS) {
    throw ERegistryException(Format(SRegGetDataFailed, name.c_str()));
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw ERegistryException(Format(SInvalidRegType, name.c_str()));
  }
  data.resize(size);
  return data.substr(0, data.find('\0'));
}

int TRegistry::ReadInteger(const std::string& name) {
  DWORD type = REG_NONE, value = 0, size = sizeof value;
  if (RegQueryValueExA(current_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &size) != ERROR_SUCCESS) {
    throw ERegistryException(Format(SRegGetDataFailed, name.c_str()));
  }
  if (type != REG_DWORD) throw ERegistryException(Format(SInvalidRegType, name.c_str()));
  return static_cast<int>(value);
}

bool TRegistry::ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

void TRegistry::PutData(const std::string& name, DWORD type, const void* data, DWORD size) {
  if (RegSetValueExA(current_, name.c_str(), 0, type, static_cast<const BYTE*>(data), size) !=
      ERROR_SUCCESS) {
    throw ERegistryException(Format(SRegSetDataFailed, name.c_str()));
  }
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  PutData(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
  PutData(name, REG_EXPAND_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void TRegistry::WriteInteger(const std::string& name, int value) {
  DWORD data = static_cast<DWORD>(value);
  PutData(name, REG_DWORD, &data, sizeof data);
}

void TRegistry::WriteBool(const std::string& name, bool value) {
  WriteInteger(name, value ? 1 : 0);
}

}  // namespace rtl
