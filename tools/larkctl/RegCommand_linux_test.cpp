// The Linux machine layer keeps the registry in a hive file: one that does not parse is reported
// with its path and line, and never overwritten.
#include <gtest/gtest.h>

#include <sstream>

#include "testing/TempDir.h"
#include "tools/larkctl/RegCommand.h"

namespace {

struct Result {
  int code;
  std::string err;
};

Result Reg(std::vector<std::string> args) {
  std::istringstream in;
  std::ostringstream out, err;
  int code = larkctl::RunRegCommand(args, in, out, err);
  return {code, err.str()};
}

TEST(RegCommandTest, ABrokenHiveIsReportedWithItsLineAndKept) {
  testing_support::MachineRoot root;
  root.WriteHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"cut\"=\"short\n");
  Result result = Reg({"query", "HKLM\\SOFTWARE"});
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find("The configuration registry database is corrupt."), std::string::npos);
  EXPECT_NE(result.err.find(root.HivePath() + ":4: unterminated string"), std::string::npos)
      << result.err;
  EXPECT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Quobex\\LRKP", "/v", "x", "/d", "y"}).code, 1);
  EXPECT_EQ(root.ReadHive(), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"cut\"=\"short\n");
}

}  // namespace
