#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "testing/TempDir.h"
#include "winapi/RegFile.h"
#include "winapi/winapi.h"

namespace {

using testing_support::MachineRoot;

class RegistryTest : public ::testing::Test {
 protected:
  HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    return key;
  }
  std::string Query(HKEY key, const char* name, DWORD* type = nullptr) {
    DWORD size = 0, kind = 0;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, &kind, nullptr, &size);
    if (status != ERROR_SUCCESS) return "<error " + std::to_string(status) + ">";
    std::string data(size, '\0');
    EXPECT_EQ(
        RegQueryValueExA(key, name, nullptr, &kind, reinterpret_cast<BYTE*>(data.data()), &size),
        ERROR_SUCCESS);
    if (type != nullptr) *type = kind;
    return data;
  }
  void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }
  MachineRoot root_;
};

TEST_F(RegistryTest, ValuesOfEveryTypeComeBackAsWritten) {
  HKEY key = Create("SOFTWARE\\Quobex\\LRKP\\");
  Set(key, "QuePath", REG_SZ, std::string("/var/spool/q\0", 13));
  Set(key, "Expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15));
  Set(key, "Threads", REG_DWORD, std::string("\x10\0\0\0", 4));
  Set(key, "Blob", REG_BINARY, std::string("\0\1\2", 3));
  RegCloseKey(key);

  HKEY read = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\QUOBEX\\lrkp", 0, KEY_READ, &read),
            ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(Query(read, "quepath", &type), std::string("/var/spool/q\0", 13));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Query(read, "Expand", &type), std::string("%SystemRoot%\\x\0", 15));
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(Query(read, "Threads", &type), std::string("\x10\0\0\0", 4));
  EXPECT_EQ(Query(read, "Blob"), std::string("\0\1\2", 3));
  EXPECT_EQ(Query(read, "Missing"), "<error 2>");

  DWORD small = 2;
  BYTE buffer[2];
  EXPECT_EQ(RegQueryValueExA(read, "QuePath", nullptr, nullptr, buffer, &small), ERROR_MORE_DATA);
  EXPECT_EQ(small, 13u);
  EXPECT_EQ(RegSetValueExA(read, "X", 0, REG_SZ, buffer, 1), ERROR_ACCESS_DENIED);
  RegCloseKey(read);
}

TEST_F(RegistryTest, AHiveEditedByHandIsReadBack) {
  root_.WriteHive(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n\"QuePath\"=\"/q\"\n"
      "\"Threads\"=dword:00000004\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quobex\\LRKP", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "QuePath"), std::string("/q\0", 3));
  EXPECT_EQ(Query(key, "Threads"), std::string("\4\0\0\0", 4));
  RegCloseKey(key);
}

TEST_F(RegistryTest, AHiveThatCannotBeParsedIsReportedAndNeverReplaced) {
  const std::string broken = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:zz\n";
  root_.WriteHive(broken);

  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &key), ERROR_BADDB);
  char problem[512];
  LarkRegGetProblemA(problem, sizeof problem);
  EXPECT_EQ(std::string(problem).find(root_.HivePath() + ":4:"), 0u) << problem;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_BADDB);
  EXPECT_EQ(
      RegSetValueExA(HKEY_LOCAL_MACHINE, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
      ERROR_BADDB);
  EXPECT_EQ(root_.ReadHive(), broken);
}

TEST_F(RegistryTest, NamesTheHiveCannotHoldAreRefusedAndChangeNothing) {
  HKEY key = Create("SOFTWARE\\Names");
  Set(key, "kept", REG_SZ, std::string("1\0", 2));
  const std::string before = root_.ReadHive();

  HKEY refused = nullptr;
  std::string longKey(256, 'k'), longValue(16384, 'v');
  for (std::string subKey : {std::string("Line\nBreak"), std::string("Carriage\rReturn"),
                             "SOFTWARE\\Names\\" + longKey}) {
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &refused, nullptr),
              ERROR_INVALID_PARAMETER)
        << subKey.substr(0, 40);
  }
  EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".x\r\nHKEY_LOCAL_MACHINE", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &refused, nullptr),
            ERROR_INVALID_PARAMETER);
  for (const std::string& name : {std::string("x\r\n\"y\"=\"z"), std::string("a\rb"), longValue}) {
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_INVALID_PARAMETER)
        << name.substr(0, 40);
  }
  EXPECT_EQ(root_.ReadHive(), before);

  // The longest names Windows allows are kept, and the hive still reads back.
  HKEY longest = Create(("SOFTWARE\\Names\\" + std::string(255, 'k')).c_str());
  Set(longest, std::string(16383, 'v').c_str(), REG_DWORD, std::string("\1\0\0\0", 4));
  RegCloseKey(longest);
  auto parsed = regfile::Parse(root_.ReadHive());
  EXPECT_EQ(parsed.errorLine, 0) << parsed.error;
  EXPECT_EQ(Query(key, "kept"), std::string("1\0", 2));
  RegCloseKey(key);
}

TEST_F(RegistryTest, AShortDwordInTheHiveIsADamagedLine) {
  root_.WriteHive("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:00\n");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &key), ERROR_BADDB);
  char problem[512];
  LarkRegGetProblemA(problem, sizeof problem);
  EXPECT_EQ(std::string(problem).find(root_.HivePath() + ":4:"), 0u) << problem;
}

TEST_F(RegistryTest, AWriterReadsTheHiveAgainWhateverItsTimesSay) {
  HKEY key = Create("SOFTWARE\\Stamp");
  Set(key, "A", REG_SZ, std::string("1\0", 2));
  // A change written through a shared mapping: the first store updates the file's times, later
  // stores to the same page do not, so the file changes while its times and size stay.
  int fd = open(root_.HivePath().c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  auto size = static_cast<size_t>(st.st_size);
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(mapped, MAP_FAILED);
  char* text = static_cast<char*>(mapped);
  std::string_view view(text, size);
  auto at = view.find("\"A\"=\"1\"");
  ASSERT_NE(at, std::string_view::npos);
  text[at + 5] = '2';
  Query(key, "A");  // the reader takes the file with its new times as the one it knows
  text[at + 5] = '3';
  Set(key, "B", REG_SZ, std::string("x\0", 2));
  munmap(mapped, size);

  std::string hive = root_.ReadHive();
  EXPECT_NE(hive.find("\"A\"=\"3\""), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"B\"=\"x\""), std::string::npos) << hive;
  RegCloseKey(key);
}

TEST_F(RegistryTest, ClassesRootIsAViewOfSoftwareClasses) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".pdf", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  Set(key, "Content Type", REG_SZ, std::string("application/pdf\0", 16));
  RegCloseKey(key);
  HKEY view = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.pdf", 0, KEY_READ, &view),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(view, "Content Type"), std::string("application/pdf\0", 16));
  RegCloseKey(view);
}

TEST_F(RegistryTest, EnumerationDeletionAndDeletedKeys) {
  HKEY parent = Create("SOFTWARE\\T");
  RegCloseKey(Create("SOFTWARE\\T\\beta"));
  HKEY alpha = Create("SOFTWARE\\T\\Alpha");
  RegCloseKey(Create("SOFTWARE\\T\\Alpha\\Inner"));
  Set(parent, "one", REG_SZ, std::string("1\0", 2));
  Set(parent, "two", REG_SZ, std::string("2\0", 2));

  char name[64];
  DWORD size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha");
  size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(parent, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "beta");
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(parent, 2, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  size = 3;
  EXPECT_EQ(RegEnumValueA(parent, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  size = sizeof name;
  ASSERT_EQ(RegEnumValueA(parent, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "two");

  EXPECT_EQ(RegDeleteKeyA(parent, "Alpha"), ERROR_ACCESS_DENIED);  // it still has a subkey
  EXPECT_EQ(RegDeleteTreeA(parent, "Alpha"), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(alpha, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyA(parent, "beta"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "beta"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(parent, "one"), ERROR_SUCCESS);
  EXPECT_EQ(Query(parent, "one"), "<error 2>");
  RegCloseKey(alpha);
  RegCloseKey(parent);
  EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, WritersOnSeveralThreadsLoseNoValue) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([this, t] {
      HKEY key = Create("SOFTWARE\\Concurrent");
      for (int i = 0; i < 100; ++i) {
        std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        Set(key, name.c_str(), REG_SZ, std::string("v\0", 2));
      }
      RegCloseKey(key);
    });
  }
  for (auto& writer : writers) writer.join();
  HKEY key = Create("SOFTWARE\\Concurrent");
  DWORD count = 0;
  char name[64];
  for (DWORD size = sizeof name;
       RegEnumValueA(key, count, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       size = sizeof name) {
    ++count;
  }
  EXPECT_EQ(count, 200u);
  RegCloseKey(key);
}

}  // namespace
