// The Linux machine layer loads a module it does not have built in as a shared library.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "net/agwsock.h"

namespace {

std::string Failure(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
}

// A name no built-in module has is loaded as the system's shared library of that name, as a DLL
// would be: the C library has the byte-order and address functions but no WSA ones.
TEST(WinsockBindingTest, ASharedLibraryIsLoadedAndBoundByName) {
  net::TagWinsock library("libc.so.6");
  library.Load();
  EXPECT_EQ(library.htons(0x1234), 0x3412);
  EXPECT_EQ(library.inet_addr("127.0.0.1"), 0x0100007Fu);
  EXPECT_EQ(Failure([&] { library.WSAStartup(0x0202, nullptr); }),
            "EWinsockDLLError: Function WSAStartup not found");
  library.Unload();
  EXPECT_EQ(Failure([&] { library.htons(1); }), "EWinsockDLLError: Winsock is not loaded");
}

}  // namespace
