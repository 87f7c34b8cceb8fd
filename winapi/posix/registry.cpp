// The registry functions over the machine hive. HKEY_CLASSES_ROOT is a view of
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes, as on Windows. An open key is remembered by its path, so
// a key deleted by another handle or process reads as ERROR_KEY_DELETED.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "winapi/posix/hive.h"

namespace lark {
namespace {

struct OpenKey {
  std::vector<std::string> path;
  REGSAM access;
};

struct KeyTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, OpenKey> keys;
  uintptr_t next = 0x1000;
};

KeyTable& Keys() {
  static auto* table = new KeyTable;
  return *table;
}

constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

bool LookupKey(HKEY hKey, OpenKey& out) {
  if (hKey == HKEY_LOCAL_MACHINE) {
    out = OpenKey{{}, KEY_ALL_ACCESS};
    return true;
  }
  if (hKey == HKEY_CLASSES_ROOT) {
    out = OpenKey{{"SOFTWARE", "Classes"}, KEY_ALL_ACCESS};
    return true;
  }
  auto& table = Keys();
  std::lock_guard lock(table.mutex);
  auto it = table.keys.find(reinterpret_cast<uintptr_t>(hKey));
  if (it == table.keys.end()) return false;
  out = it->second;
  return true;
}

HKEY AddKey(OpenKey key) {
  auto& table = Keys();
  std::lock_guard lock(table.mutex);
  table.next += 4;
  table.keys.emplace(table.next, std::move(key));
  return reinterpret_cast<HKEY>(table.next);
}

void AppendPath(std::vector<std::string>& path, LPCSTR subKey) {
  if (subKey == nullptr) return;
  std::string_view rest(subKey);
  while (!rest.empty()) {
    auto slash = rest.find('\\');
    if (auto part = rest.substr(0, slash); !part.empty()) path.emplace_back(part);
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
}

// Windows' limits on names; a name holding a line break could not be written as one line of
// the hive's text and would leave the whole hive unreadable, so such names never reach it.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

bool Storable(std::string_view name, size_t limit) {
  return name.size() <= limit && name.find_first_of("\r\n") == std::string_view::npos;
}

RegKey* Walk(RegKey& root, const std::vector<std::string>& path) {
  RegKey* key = &root;
  for (const auto& part : path) {
    key = key->Find(part);
    if (key == nullptr) return nullptr;
  }
  return key;
}

// Runs fn on the key an open handle stands for.
LSTATUS OnKey(HKEY hKey, REGSAM needed, bool write, const std::function<DWORD(RegKey&)>& fn) {
  OpenKey open;
  if (!LookupKey(hKey, open)) return ERROR_INVALID_HANDLE;
  if ((open.access & needed) != needed) return ERROR_ACCESS_DENIED;
  auto body = [&](RegKey& root) -> DWORD {
    RegKey* key = Walk(root, open.path);
    return key == nullptr ? ERROR_KEY_DELETED : fn(*key);
  };
  auto& hive = Hive::Machine();
  return static_cast<LSTATUS>(write ? hive.Write(body) : hive.Read(body));
}

LSTATUS CopyName(const std::string& name, LPSTR buffer, LPDWORD chars) {
  if (chars == nullptr) return ERROR_INVALID_PARAMETER;
  if (buffer == nullptr || name.size() + 1 > *chars) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LSTATUS CopyData(const regfile::Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (type != nullptr) *type = value.type;
  if (size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  DWORD needed = static_cast<DWORD>(value.data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) std::memcpy(data, value.data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, bool create, PHKEY result,
                     LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey parent;
  if (!LookupKey(hKey, parent)) return ERROR_INVALID_HANDLE;
  OpenKey key{parent.path, samDesired};
  AppendPath(key.path, lpSubKey);
  if (create && !std::all_of(key.path.begin() + static_cast<std::ptrdiff_t>(parent.path.size()),
                             key.path.end(),
                             [](const std::string& part) { return Storable(part, kMaxKeyName); })) {
    return ERROR_INVALID_PARAMETER;
  }
  auto& hive = Hive::Machine();
  if ((samDesired & kWriteAccess) && !hive.Writable()) return ERROR_ACCESS_DENIED;
  bool createdAny = false;
  LSTATUS status = static_cast<LSTATUS>(hive.Read([&](RegKey& root) -> DWORD {
    return Walk(root, key.path) != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }));
  if (status == ERROR_FILE_NOT_FOUND && create) {
    if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    status = static_cast<LSTATUS>(hive.Write([&](RegKey& root) -> DWORD {
      // HKEY_CLASSES_ROOT always exists, as on Windows; an opened key may have been deleted.
      bool predefined = hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CLASSES_ROOT;
      if (!predefined && Walk(root, parent.path) == nullptr) return ERROR_KEY_DELETED;
      RegKey* node = &root;
      for (const auto& part : key.path) {
        bool created = false;
        node = node->FindOrCreate(part, created);
        createdAny = createdAny || created;
      }
      return ERROR_SUCCESS;
    }));
  }
  if (status != ERROR_SUCCESS) return status;
  if (disposition != nullptr) {
    *disposition = createdAny ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  *result = AddKey(std::move(key));
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace lark

using lark::RegKey;

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired,
                             PHKEY phkResult) {
  return lark::OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                               SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return lark::OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  std::string name = lpValueName != nullptr ? lpValueName : "";
  return lark::OnKey(hKey, KEY_QUERY_VALUE, false, [&](RegKey& key) -> DWORD {
    auto* value = key.FindValue(name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    return lark::CopyData(*value, lpType, lpData, lpcbData);
  });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  regfile::Value value{lpValueName != nullptr ? lpValueName : "", dwType,
                       std::string(reinterpret_cast<const char*>(lpData), cbData)};
  if (!lark::Storable(value.name, lark::kMaxValueName)) return ERROR_INVALID_PARAMETER;
  return lark::OnKey(hKey, KEY_SET_VALUE, true, [&](RegKey& key) -> DWORD {
    if (auto* existing = key.FindValue(value.name)) {
      existing->type = value.type;
      existing->data = value.data;
    } else {
      key.values.push_back(value);
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string wanted = lark::UpperCase(lpValueName != nullptr ? lpValueName : "");
  return lark::OnKey(hKey, KEY_SET_VALUE, true, [&](RegKey& key) -> DWORD {
    auto removed = std::erase_if(key.values, [&](const regfile::Value& value) {
      return lark::UpperCase(value.name) == wanted;
    });
    return removed > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

namespace {

LSTATUS DeleteSubKey(HKEY hKey, LPCSTR lpSubKey, bool tree) {
  std::vector<std::string> path;
  lark::AppendPath(path, lpSubKey);
  if (path.empty()) {
    if (!tree) return ERROR_ACCESS_DENIED;
    return lark::OnKey(hKey, 0, true, [](RegKey& key) -> DWORD {
      key.values.clear();
      key.subkeys.clear();
      return ERROR_SUCCESS;
    });
  }
  return lark::OnKey(hKey, 0, true, [&](RegKey& key) -> DWORD {
    RegKey* parent = &key;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
      parent = parent->Find(path[i]);
      if (parent == nullptr) return ERROR_FILE_NOT_FOUND;
    }
    RegKey* target = parent->Find(path.back());
    if (target == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!tree && !target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->subkeys.erase(lark::UpperCase(path.back()));
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return DeleteSubKey(hKey, lpSubKey, false);
}

LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  return DeleteSubKey(hKey, lpSubKey, true);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                             LPSTR, LPDWORD, void*) {
  return lark::OnKey(hKey, KEY_ENUMERATE_SUB_KEYS, false, [&](RegKey& key) -> DWORD {
    if (dwIndex >= key.subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key.subkeys.begin();
    std::advance(it, dwIndex);
    return lark::CopyName(it->second->name, lpName, lpcchName);
  });
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return lark::OnKey(hKey, KEY_QUERY_VALUE, false, [&](RegKey& key) -> DWORD {
    if (dwIndex >= key.values.size()) return ERROR_NO_MORE_ITEMS;
    const auto& value = key.values[dwIndex];
    if (LSTATUS status = lark::CopyName(value.name, lpValueName, lpcchValueName);
        status != ERROR_SUCCESS) {
      return status;
    }
    return lark::CopyData(value, lpType, lpData, lpcbData);
  });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  auto& table = lark::Keys();
  std::lock_guard lock(table.mutex);
  return table.keys.erase(reinterpret_cast<uintptr_t>(hKey)) > 0 ? ERROR_SUCCESS
                                                                 : ERROR_INVALID_HANDLE;
}
