// Prints what ReadPasswordFile makes of each file named, for tests that run it as another user.
#include <iostream>

#include "settings/RelaySettings.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    try {
      std::cout << settings::ReadPasswordFile(argv[i]) << "\n";
    } catch (const std::exception& e) {
      std::cout << e.what() << "\n";
    }
  }
}
