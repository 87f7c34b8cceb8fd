// Built-in modules beside the DLLs: a name registered here answers LoadLibraryA before any DLL,
// and GetProcAddress answers for its handle from the table; every other name and handle is the
// real call's. The handle of a built-in module is the address of its entry, which no image can
// be mapped at.
#include <algorithm>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "winapi/win32/internal.h"

namespace lark {
namespace {

struct Module {
  std::vector<LarkModuleExport> exports;
  std::vector<std::string> names;  // owns the export names
  std::unordered_map<std::string_view, FARPROC> byExport;
  int references = 0;
};

struct ModuleTable {
  // Look-ups share it: the socket binding looks a function up for each call, from every worker.
  std::shared_mutex mutex;
  std::map<std::string, std::unique_ptr<Module>> byName;   // lower-case names
  std::map<std::string, std::unique_ptr<Module>> winsock;  // the real DLLs' exports, once read
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

void Fill(Module& module, const LarkModuleExport* exports, DWORD count) {
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
    if (reinterpret_cast<HMODULE>(module.get()) == handle) return module.get();
  }
  return nullptr;
}

// What the Linux layer's built-in Winsock modules export: the Winsock 1.1 calls the socket
// binding makes, and for ws2_32.dll the address look-up calls besides.
constexpr const char* kWinsockNames[] = {
    "accept",
    "bind",
    "closesocket",
    "connect",
    "gethostbyname",
    "gethostname",
    "getservbyname",
    "getsockname",
    "htons",
    "inet_addr",
    "listen",
    "recv",
    "send",
    "setsockopt",
    "shutdown",
    "socket",
    "WSAAsyncGetHostByName",
    "WSAAsyncGetServByName",
    "WSAAsyncSelect",
    "WSACancelAsyncRequest",
    "WSACancelBlockingCall",
    "WSACleanup",
    "WSAGetLastError",
    "WSAIsBlocking",
    "WSAStartup",
};
constexpr const char* kWinsock2Names[] = {
    "FreeAddrInfoExW", "GetAddrInfoExCancel", "GetAddrInfoExOverlappedResult",
    "GetAddrInfoExW",  "inet_ntop",           "inet_pton",
    "InetNtopA",       "InetPtonA",
};

// The real DLL's procedures under those names, read once; the DLL stays loaded.
Module* RealWinsock(ModuleTable& table, const std::string& name) {
  if (name != "wsock32.dll" && name != "ws2_32.dll") return nullptr;
  auto& module = table.winsock[name];
  if (module) return module.get();
  HMODULE dll = LoadLibraryA(name.c_str());
  if (dll == nullptr) return nullptr;
  std::vector<LarkModuleExport> exports;
  auto add = [&](const char* procName) {
    if (FARPROC proc = GetProcAddress(dll, procName); proc != nullptr) {
      exports.push_back({procName, proc});
    }
  };
  std::for_each(std::begin(kWinsockNames), std::end(kWinsockNames), add);
  if (name == "ws2_32.dll")
    std::for_each(std::begin(kWinsock2Names), std::end(kWinsock2Names), add);
  module = std::make_unique<Module>();
  Fill(*module, exports.data(), static_cast<DWORD>(exports.size()));
  return module.get();
}

}  // namespace
}  // namespace lark

HMODULE WINAPI LarkLoadLibraryA(LPCSTR lpLibFileName) {
  auto& table = lark::Modules();
  {
    std::lock_guard lock(table.mutex);
    auto it = table.byName.find(lark::Lower(lpLibFileName != nullptr ? lpLibFileName : ""));
    if (it != table.byName.end()) {
      ++it->second->references;
      return reinterpret_cast<HMODULE>(it->second.get());
    }
  }
  return LoadLibraryA(lpLibFileName);
}

FARPROC WINAPI LarkGetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  auto& table = lark::Modules();
  {
    std::shared_lock lock(table.mutex);
    if (lark::Module* module = lark::ByHandle(table, hModule); module != nullptr) {
      if (module->references == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      // A name, not an ordinal: built-in modules export by name only.
      if (!IS_INTRESOURCE(lpProcName)) {
        if (auto it = module->byExport.find(lpProcName); it != module->byExport.end()) {
          return it->second;
        }
      }
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
  }
  return GetProcAddress(hModule, lpProcName);
}

BOOL WINAPI LarkFreeLibrary(HMODULE hLibModule) {
  auto& table = lark::Modules();
  {
    std::lock_guard lock(table.mutex);
    if (lark::Module* module = lark::ByHandle(table, hLibModule); module != nullptr) {
      if (module->references == 0) return lark::Fail(ERROR_INVALID_HANDLE);
      --module->references;
      return TRUE;
    }
  }
  return FreeLibrary(hLibModule);
}

void WINAPI LarkRegisterModuleA(LPCSTR name, const LarkModuleExport* exports, DWORD count) {
  auto& table = lark::Modules();
  std::lock_guard lock(table.mutex);
  auto& module = table.byName[lark::Lower(name)];
  if (!module) module = std::make_unique<lark::Module>();
  lark::Fill(*module, exports, count);
}

DWORD WINAPI LarkGetModuleExportsA(LPCSTR name, const LarkModuleExport** exports) {
  auto& table = lark::Modules();
  std::lock_guard lock(table.mutex);
  const std::string key = lark::Lower(name);
  lark::Module* module = nullptr;
  if (auto it = table.byName.find(key); it != table.byName.end()) {
    module = it->second.get();
  } else {
    module = lark::RealWinsock(table, key);
  }
  if (module == nullptr) return 0;
  *exports = module->exports.data();
  return static_cast<DWORD>(module->exports.size());
}
