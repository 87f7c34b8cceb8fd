// The Linux machine layer loads a module it does not have built in as a shared library.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "net/agwsock.h"
#include "testing/ExceptionText.h"

namespace {

using testing_support::ExceptionText;

// A name no built-in module has is loaded as the system's shared library of that name, as a DLL
// would be: the C library has the byte-order and address functions but no WSA ones.
TEST(WinsockBindingTest, ASharedLibraryIsLoadedAndBoundByName) {
  net::TagWinsock library("libc.so.6");
  library.Load();
  EXPECT_EQ(library.htons(0x1234), 0x3412);
  EXPECT_EQ(library.inet_addr("127.0.0.1"), 0x0100007Fu);
  EXPECT_EQ(ExceptionText([&] { library.WSAStartup(0x0202, nullptr); }),
            "EWinsockDLLError: Function WSAStartup not found");
  library.Unload();
  EXPECT_EQ(ExceptionText([&] { library.htons(1); }), "EWinsockDLLError: Winsock is not loaded");
}

}  // namespace
