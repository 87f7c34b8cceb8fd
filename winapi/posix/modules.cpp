// Built-in modules standing in for DLLs: a name, and the functions it exports by name. A name
// no built-in module has is loaded as a shared library, as a DLL would be.
#include <dlfcn.h>

#include <atomic>
#include <map>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "winapi/posix/internal.h"

namespace lark {
namespace {

struct Module {
  std::vector<LarkModuleExport> exports;
  std::vector<std::string> names;  // owns the export names
  // The socket binding looks a function up for each call it makes, from every worker at once.
  std::unordered_map<std::string_view, FARPROC> byExport;
  uintptr_t handle;
  int references = 0;
};

struct ModuleTable {
  // Look-ups share it: only loading, freeing and registering take it alone.
  std::shared_mutex mutex;
  std::map<std::string, Module> byName;  // lower-case names
  uintptr_t nextHandle = 0x10000000;
  // Shared libraries loaded by name, with their references: a library loaded only where a
  // feature needs it costs no process its start.
  std::map<void*, int> libraries;
};

ModuleTable& Modules() {
  static auto* table = new ModuleTable;
  return *table;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void Register(ModuleTable& table, std::string_view name, const LarkModuleExport* exports,
              DWORD count) {
  Module& module = table.byName[Lower(name)];
  if (module.handle == 0) {
    table.nextHandle += 0x1000;
    module.handle = table.nextHandle;
  }
  module.byExport.clear();
  module.names.clear();
  module.exports.clear();
  for (DWORD i = 0; i < count; ++i) module.names.emplace_back(exports[i].name);
  for (DWORD i = 0; i < count; ++i) {
    module.exports.push_back({module.names[i].c_str(), exports[i].proc});
    // The first of two exports of one name is the one found, as a search in order finds it.
    module.byExport.emplace(module.names[i], exports[i].proc);
  }
}

Module* ByHandle(ModuleTable& table, HMODULE handle) {
  for (auto& [name, module] : table.byName) {
    if (module.handle == reinterpret_cast<uintptr_t>(handle)) return &module;
  }
  return nullptr;
}

void EnsureWinsock(ModuleTable& table) {
  if (table.byName.count("wsock32.dll") == 0) {
    const LarkModuleExport* exports;
    DWORD count = WinsockExports(&exports);
    Register(table, "wsock32.dll", exports, count);
    count = Winsock2Exports(&exports);
    Register(table, "ws2_32.dll", exports, count);
  }
}

std::atomic<UINT> errorMode{0};

}  // namespace
}  // namespace lark

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  auto& table = lark::Modules();
  std::lock_guard lock(table.mutex);
  lark::EnsureWinsock(table);
  auto it = table.byName.find(lark::Lower(lpLibFileName != nullptr ? lpLibFileName : ""));
  if (it == table.byName.end()) {
    void* library = lpLibFileName != nullptr && *lpLibFileName != '\0'
                        ? dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL)
                        : nullptr;
    if (library == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    ++table.libraries[library];
    return static_cast<HMODULE>(library);
  }
  ++it->second.references;
  return reinterpret_cast<HMODULE>(it->second.handle);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  auto& table = lark::Modules();
  std::shared_lock lock(table.mutex);
  lark::Module* module = lark::ByHandle(table, hModule);
  if (module == nullptr && table.libraries.count(hModule) > 0) {
    if (lpProcName != nullptr) {
      if (void* proc = dlsym(hModule, lpProcName); proc != nullptr) {
        return reinterpret_cast<FARPROC>(proc);
      }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (module == nullptr || module->references == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (lpProcName != nullptr) {
    if (auto it = module->byExport.find(lpProcName); it != module->byExport.end()) {
      return it->second;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  auto& table = lark::Modules();
  std::lock_guard lock(table.mutex);
  if (auto library = table.libraries.find(hLibModule); library != table.libraries.end()) {
    if (--library->second == 0) {
      table.libraries.erase(library);
      dlclose(hLibModule);
    }
    return TRUE;
  }
  lark::Module* module = lark::ByHandle(table, hLibModule);
  if (module == nullptr || module->references == 0) return lark::Fail(ERROR_INVALID_HANDLE);
  --module->references;
  return TRUE;
}

UINT WINAPI SetErrorMode(UINT uMode) { return lark::errorMode.exchange(uMode); }

void WINAPI LarkRegisterModuleA(LPCSTR name, const LarkModuleExport* exports, DWORD count) {
  auto& table = lark::Modules();
  std::lock_guard lock(table.mutex);
  lark::EnsureWinsock(table);
  lark::Register(table, name, exports, count);
}

DWORD WINAPI LarkGetModuleExportsA(LPCSTR name, const LarkModuleExport** exports) {
  auto& table = lark::Modules();
  std::lock_guard lock(table.mutex);
  lark::EnsureWinsock(table);
  auto it = table.byName.find(lark::Lower(name));
  if (it == table.byName.end()) return 0;
  *exports = it->second.exports.data();
  return static_cast<DWORD>(it->second.exports.size());
}
