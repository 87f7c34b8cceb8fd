// Prints a text value of the process's HKEY_LOCAL_MACHINE (arguments: key, value name), so that a
// test sees which registry a program started with a machine root gets. Exit code 2: no value.
#include <cstdio>

#include "winapi/winapi.h"

int main(int argc, char** argv) {
  char text[256];
  DWORD size = sizeof text;
  if (argc != 3 || RegGetValueA(HKEY_LOCAL_MACHINE, argv[1], argv[2], RRF_RT_REG_SZ, nullptr, text,
                                &size) != ERROR_SUCCESS) {
    return 2;
  }
  std::printf("%s\n", text);
  return 0;
}
