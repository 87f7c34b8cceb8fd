#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/TempDir.h"

namespace {

// The service runs as its own account, so each refusal is met by a reader that is not root.
TEST(PasswordFileTest, OnlyAFileOfTheServiceAccountThatNobodyElseMayReadIsTaken) {
  if (std::system("test $(id -u) = 0 && command -v runuser >/dev/null") != 0) GTEST_SKIP();
  testing_support::TempDir dir;
  const std::string script =
      "cd " + dir.Path() +
      " && printf 's3cret\\r\\n' >good && echo >empty && head -c 1025 "
      "/dev/zero >long && echo s | tee group others roots >/dev/null && chmod 600 good empty long "
      "&& chmod 620 group && chmod 604 others && ln -s good link && chown -hR nobody . && chown "
      "root roots && timeout 30 runuser -u nobody -- " PASSWORD_PROBE
      " good long empty group others roots missing link";
  FILE* probe = popen(script.c_str(), "r");
  std::string out;
  for (int ch; probe != nullptr && (ch = std::fgetc(probe)) != EOF;) out += static_cast<char>(ch);
  if (probe != nullptr) pclose(probe);
  EXPECT_EQ(
      out,
      "s3cret\n"
      "The password file long is longer than 1 KB\n"
      "The password file empty is empty\n"
      "The password file group has mode 0620, open to group or others: it needs chmod 600\n"
      "The password file others has mode 0604, open to group or others: it needs chmod 600\n"
      "The password file roots is owned by user id 0, not by nobody, the account that reads it\n"
      "The password file missing does not exist\n"
      "The password file link is a symbolic link, not a regular file\n");
}

}  // namespace
