#include "tools/larkctl/RegCommand.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/TempDir.h"

namespace {

struct Result {
  int code;
  std::string out;
  std::string err;
};

Result Reg(std::vector<std::string> args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  int code = larkctl::RunRegCommand(args, in, out, err);
  return {code, out.str(), err.str()};
}

const std::string kKey = "HKLM\\SOFTWARE\\Quobex\\LRKP";

TEST(RegCommandTest, EveryValueTypeRoundTripsThroughExportAndImport) {
  testing_support::MachineRoot root;
  ASSERT_EQ(Reg({"add", kKey, "/v", "QuePath", "/d", "/var/spool/larkpost"}).code, 0);
  ASSERT_EQ(Reg({"add", kKey, "/v", "EventLogging", "/t", "REG_SZ", "/d", "Both"}).code, 0);
  ASSERT_EQ(Reg({"add", kKey, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\q"}).code,
            0);
  ASSERT_EQ(Reg({"add", kKey, "/v", "Threads", "/t", "REG_DWORD", "/d", "0x28"}).code, 0);
  ASSERT_EQ(Reg({"add", kKey, "/v", "Largest", "/t", "REG_DWORD", "/d", "4294967295"}).code, 0);
  ASSERT_EQ(Reg({"add", kKey, "/v", "Blob", "/t", "REG_BINARY", "/d", "00ff7f"}).code, 0);
  ASSERT_EQ(Reg({"add", kKey, "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"}).code, 0);
  ASSERT_EQ(Reg({"add", kKey, "/ve", "/d", "default"}).code, 0);
  Result before = Reg({"query", kKey});
  ASSERT_EQ(before.code, 0);
  EXPECT_NE(before.out.find("    Threads    REG_DWORD    0x28\n"), std::string::npos);
  EXPECT_NE(before.out.find("    Largest    REG_DWORD    0xffffffff\n"), std::string::npos);
  EXPECT_NE(before.out.find("    Path    REG_EXPAND_SZ    %SystemRoot%\\q\n"), std::string::npos);
  EXPECT_NE(before.out.find("    (Default)    REG_SZ    default\n"), std::string::npos);

  Result exported = Reg({"export", kKey});
  ASSERT_EQ(exported.code, 0);
  testing_support::TempDir dir;
  dir.WriteFile("saved.reg", exported.out);
  ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Quobex", "/f"}).code, 0);
  EXPECT_EQ(Reg({"query", kKey}).code, 1);
  Result imported = Reg({"import", dir / "saved.reg"});
  ASSERT_EQ(imported.code, 0) << imported.err;
  EXPECT_EQ(Reg({"query", kKey}).out, before.out);
  EXPECT_EQ(Reg({"export", kKey}).out, exported.out);
}

TEST(RegCommandTest, AsksBeforeOverwritingOrDeleting) {
  testing_support::MachineRoot root;
  ASSERT_EQ(Reg({"add", kKey, "/v", "Threads", "/t", "REG_DWORD", "/d", "4"}).code, 0);
  Result refused = Reg({"add", kKey, "/v", "Threads", "/t", "REG_DWORD", "/d", "8"}, "no\n");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.out.find("The operation was cancelled."), std::string::npos);
  EXPECT_NE(Reg({"query", kKey, "/v", "threads"}).out.find("0x4"), std::string::npos);
  EXPECT_EQ(Reg({"add", kKey, "/v", "Threads", "/t", "REG_DWORD", "/d", "8"}, "yes\n").code, 0);
  EXPECT_NE(Reg({"query", kKey, "/v", "Threads"}).out.find("0x8"), std::string::npos);
  EXPECT_EQ(Reg({"delete", kKey, "/v", "Threads"}, "").code, 1);  // no answer means no
  EXPECT_EQ(Reg({"delete", kKey, "/v", "Threads"}, "y\n").code, 0);
  Result missing = Reg({"query", kKey, "/v", "Threads"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err,
            "ERROR: The system was unable to find the specified registry key or value.\n");
}

TEST(RegCommandTest, WrongArgumentsPrintTheUsageAndExitTwo) {
  testing_support::MachineRoot root;
  for (auto args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"query"},
           {"query", "HKCU\\Software"},
           {"add", kKey, "/v"},
           {"add", kKey, "/v", "T", "/t", "REG_DWORD", "/d", "twelve"},
           {"add", kKey, "/v", "T", "/t", "REG_DWORD", "/d", "4294967296"},
           {"add", kKey, "/v", "T", "/t", "REG_QWORD", "/d", "1"},
           {"add", kKey, "/v", "B", "/t", "REG_BINARY", "/d", "abc"},
           {"delete", "HKLM"},
           {"query", kKey, "/x"}}) {
    Result result = Reg(args);
    EXPECT_EQ(result.code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(result.err.find("Usage:"), std::string::npos);
  }
}

TEST(RegCommandTest, HelpAtAnyOperationGoesToStandardOutput) {
  testing_support::MachineRoot root;
  for (auto args : std::vector<std::vector<std::string>>{
           {"--help"}, {"/?"}, {"query", "--help"}, {"add", kKey, "/?"}, {"import", "-h"}}) {
    Result result = Reg(args);
    EXPECT_EQ(result.code, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(result.out.find("Usage:\n  larkctl reg query"), 0u);
    EXPECT_EQ(result.err, "");
  }
  // A value that reads like a help option is still a value.
  ASSERT_EQ(Reg({"add", kKey, "/v", "Note", "/d", "--help"}).code, 0);
  EXPECT_NE(Reg({"query", kKey, "/v", "Note"}).out.find("REG_SZ    --help"), std::string::npos);
}

TEST(RegCommandTest, ABrokenImportFileIsReportedWithItsLine) {
  testing_support::MachineRoot root;
  testing_support::TempDir dir;
  dir.WriteFile("bad.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"n\"=dword:nothex\n");
  Result result = Reg({"import", dir / "bad.reg"});
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find(dir / "bad.reg" + ":3:"), std::string::npos) << result.err;
  EXPECT_EQ(Reg({"import", dir / "none.reg"}).code, 1);
}

TEST(RegCommandTest, AnImportIsAllOrNothingAndNeverDeletesARoot) {
  testing_support::MachineRoot root;
  ASSERT_EQ(Reg({"add", kKey, "/v", "QuePath", "/d", "/var/spool/larkpost"}).code, 0);
  ASSERT_EQ(Reg({"add", "HKCR\\.eml", "/ve", "/d", "message"}).code, 0);
  const std::string before = Reg({"export"}).out;
  const std::string good =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n\"QuePath\"=\"/elsewhere\"\n"
      "[-HKEY_CLASSES_ROOT\\.eml]\n";
  struct Case {
    std::string text;
    int line;
  } cases[] = {
      {"REGEDIT4\n\n[-HKEY_LOCAL_MACHINE]\n", 3},
      {"REGEDIT4\n\n[-HKEY_CLASSES_ROOT]\n", 3},
      {good + "\"Threads\"=dword:00\n", 6},
      {good + "[HKEY_CURRENT_USER\\Software]\n", 6},
      {good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(256, 'k') + "]\n", 6},
      {good + "\"" + std::string(16384, 'v') + "\"=\"x\"\n", 6},
  };
  testing_support::TempDir dir;
  for (const auto& c : cases) {
    dir.WriteFile("bad.reg", c.text);
    Result result = Reg({"import", dir / "bad.reg"});
    EXPECT_EQ(result.code, 1) << c.text.substr(0, 100);
    EXPECT_EQ(result.err.find("ERROR: " + dir / "bad.reg" + ":" + std::to_string(c.line) + ": "),
              0u)
        << result.err.substr(0, 200);
    EXPECT_EQ(Reg({"export"}).out, before) << c.text.substr(0, 100);
  }
  dir.WriteFile("good.reg", good);
  ASSERT_EQ(Reg({"import", dir / "good.reg"}).code, 0);
  EXPECT_NE(Reg({"query", kKey, "/v", "QuePath"}).out.find("/elsewhere"), std::string::npos);
  EXPECT_EQ(Reg({"query", "HKCR\\.eml"}).code, 1);
}

}  // namespace
