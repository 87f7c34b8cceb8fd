// A machine root set through LARKPOST_ROOT also holds the process's own HKEY_LOCAL_MACHINE (and
// HKEY_CLASSES_ROOT, a view of its SOFTWARE\Classes, as on Linux), so that tests and programs
// run for one machine root never read or change the machine's settings. A process started with
// the variable set takes the same registry before main: the build links this file whole.
#include <cstdio>
#include <cstdlib>

#include "winapi/win32/internal.h"

namespace lark {
namespace {

// Under HKEY_CURRENT_USER: writable without administrator rights, and kept across processes.
constexpr const char* kRootsKey = "Software\\Larkpost\\Machine roots\\";

LSTATUS Redirect(HKEY predefined, HKEY base, const char* subKey) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExA(base, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegOverridePredefKey(predefined, key);
  RegCloseKey(key);
  return status;
}

}  // namespace

// Points HKEY_LOCAL_MACHINE at the machine root's own key, or back at the machine's when root is
// null; 0 or a Win32 error.
DWORD RedirectMachineRegistry(const char* root) {
  if (root == nullptr) {
    LSTATUS status = RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    LSTATUS machine = RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    return status != ERROR_SUCCESS ? status : machine;
  }
  const std::string path = std::string(kRootsKey) + root;
  HKEY machine = nullptr;
  LSTATUS status =
      RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &machine, nullptr);
  if (status != ERROR_SUCCESS) return status;
  // Classes first, while HKEY_LOCAL_MACHINE is still the key it is made under.
  status = Redirect(HKEY_CLASSES_ROOT, machine, "SOFTWARE\\Classes");
  if (status == ERROR_SUCCESS) status = RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine);
  RegCloseKey(machine);
  return status;
}

namespace {

// A program that went on with the machine's own registry would change the settings of the machine
// it was told to keep apart from.
[[maybe_unused]] const bool redirectedAtStart = [] {
  const char* root = std::getenv("LARKPOST_ROOT");
  if (root == nullptr || *root == '\0') return false;
  if (DWORD error = RedirectMachineRegistry(root); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "The registry of the machine root %s cannot be set up (error %lu).\n",
                 root, static_cast<unsigned long>(error));
    std::_Exit(1);
  }
  return true;
}();

}  // namespace
}  // namespace lark
