// Reads a password file as the user it runs as and prints the password or why it was refused,
// so that tests can check the refusals as an unprivileged service account meets them.
#include <iostream>

#include "settings/RelaySettings.h"

int main(int argc, char** argv) {
  try {
    std::cout << settings::ReadPasswordFile(argc > 1 ? argv[1] : "");
  } catch (const std::exception& e) {
    std::cout << e.what();
  }
}
