// An event viewer shows an entry of the service by its identifier's text in the program's message
// table, filled with the entry's one string.
#include <gtest/gtest.h>

#include <string>

#include "svchost/NTObj.h"

namespace {

TEST(EventMessagesTest, EachKindShowsItsStringWhole) {
  for (auto kind : {svchost::ekSuccess, svchost::ekInformation, svchost::ekWarning,
                    svchost::ekError, svchost::ekFailure}) {
    const char* started = "Larkpost Service Started";
    DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(started)};
    char text[256] = "";
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                       GetModuleHandleA(nullptr), svchost::TEventLog::EventId(kind), 0, text,
                       sizeof text, reinterpret_cast<va_list*>(strings));
    EXPECT_EQ(std::string(text, length), "Larkpost Service Started\r\n") << kind;
  }
}

}  // namespace
