#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "testing/TempDir.h"
#include "winapi/winapi.h"

extern char** environ;

namespace {

using testing_support::TempDir;

// Waits at most `seconds` for a child process; false (and the child killed) when it takes longer
// or fails.
bool ChildSucceeds(pid_t pid, int seconds) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool ended = pidfd >= 0;
  if (ended) {
    pollfd ready{pidfd, POLLIN, 0};
    ended = poll(&ready, 1, seconds * 1000) == 1;
    close(pidfd);
  }
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool RunAsNobody(std::vector<std::string> args) {
  args.insert(args.begin(), {"runuser", "-u", "nobody", "--"});
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "runuser", nullptr, nullptr, argv.data(), environ) != 0) return false;
  return ChildSucceeds(pid, 30);
}

std::string Get(const std::string& file, const char* section, const char* key,
                const char* fallback = "", DWORD size = 1024) {
  std::string buffer(size == 0 ? 1 : size, '\x7f');
  DWORD length =
      GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, file.c_str());
  return buffer.substr(0, length);
}

TEST(ProfileTest, ReadsWithTheWin32Rules) {
  TempDir dir;
  dir.WriteFile("m.ini",
                "stray=before any section\r\n"
                "[ Connection ]\r\n"
                "RemoteHost = relay.example  \r\n"
                "; Failures=9\r\n"
                "Quoted=\"  kept  \"\r\n"
                "Single='x'\r\n"
                "Mixed=\"x'\r\n"
                "Doubled=\"\"x\"\"\r\n"
                "Semi=a ;b\r\n"
                "Empty=\r\n"
                "remotehost=second key of the same name\r\n"
                "[connection]\r\n"
                "Failures=3\r\n"
                "[Message]\n"
                "Subject=LF only\r"
                "Body=CR only\n");
  std::string file = dir / "m.ini";
  EXPECT_EQ(Get(file, "connection", "REMOTEHOST"), "relay.example");
  EXPECT_EQ(Get(file, " Connection ", " RemoteHost "), "relay.example");
  EXPECT_EQ(Get(file, "Connection", "Quoted"), "  kept  ");
  EXPECT_EQ(Get(file, "Connection", "Single"), "x");
  EXPECT_EQ(Get(file, "Connection", "Mixed"), "\"x'");
  EXPECT_EQ(Get(file, "Connection", "Doubled"), "\"x\"");
  EXPECT_EQ(Get(file, "Connection", "Semi"), "a ;b");
  EXPECT_EQ(Get(file, "Connection", "Empty", "fallback"), "");
  // The first section of a name is the only one looked at, and a comment is not a key.
  EXPECT_EQ(Get(file, "Connection", "Failures", "0  "), "0");
  EXPECT_EQ(Get(file, "Message", "Subject"), "LF only");
  EXPECT_EQ(Get(file, "Message", "Body"), "CR only");
  EXPECT_EQ(Get(file, "Nowhere", "stray", "none"), "none");
  EXPECT_EQ(Get(dir / "missing.ini", "A", "B", "dflt "), "dflt");

  EXPECT_EQ(Get(file, "Connection", "RemoteHost", "", 5), "rela");
  EXPECT_EQ(Get(file, "Connection", "RemoteHost", "", 1), "");
  EXPECT_EQ(Get(file, "Message", nullptr), std::string("Subject\0Body\0", 13));
}

TEST(ProfileTest, IntegersReadAsWindowsReadsThem) {
  TempDir dir;
  dir.WriteFile("n.ini", "[S]\r\na=42A9\r\nb=abc\r\nc=-1\r\nd=4294967297\r\ne=\r\n");
  std::string file = dir / "n.ini";
  EXPECT_EQ(GetPrivateProfileIntA("S", "a", 7, file.c_str()), 42u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "b", 7, file.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "c", 7, file.c_str()), 0xFFFFFFFFu);
  EXPECT_EQ(GetPrivateProfileIntA("S", "d", 7, file.c_str()), 1u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "missing", 7, file.c_str()), 7u);
}

TEST(ProfileTest, WritesKeepEveryOtherLine) {
  TempDir dir;
  dir.WriteFile("w.ini", "; header comment\n[Connection]\nRemoteHost=a\n\n[Message]\nSubject=s\n");
  std::string file = dir / "w.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("connection", "Failures", "1", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "FAILURES", "2", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Message", "Subject", "", file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("New", "k", "v", file.c_str()));
  EXPECT_EQ(dir.ReadFile("w.ini"),
            "; header comment\r\n[Connection]\r\nRemoteHost=a\r\nFailures=2\r\n\r\n"
            "[Message]\r\nSubject=\r\n[New]\r\nk=v\r\n");

  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "RemoteHost", nullptr, file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "absent", nullptr, file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Message", nullptr, nullptr, file.c_str()));
  EXPECT_EQ(dir.ReadFile("w.ini"),
            "; header comment\r\n[Connection]\r\nFailures=2\r\n\r\n[New]\r\nk=v\r\n");

  ASSERT_TRUE(WritePrivateProfileStringA("Fresh", "key", "value", (dir / "new.ini").c_str()));
  EXPECT_EQ(dir.ReadFile("new.ini"), "[Fresh]\r\nkey=value\r\n");
  EXPECT_FALSE(WritePrivateProfileStringA("A", "b", "c", (dir / "no/dir.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "b", "c", file.c_str()));
}

TEST(ProfileTest, ALinkPlantedInAWritableDirectoryIsNeverFollowed) {
  if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0) {
    GTEST_SKIP() << "needs root and runuser to plant links as another user";
  }
  TempDir dir;
  dir.WriteFile("private/victim", "secret=1\r\n");
  dir.WriteFile("queue/msg.ini", "[Connection]\r\nFailures=0\r\n");
  std::string victim = dir / "private/victim", queue = dir / "queue";
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(queue.c_str(), 0777), 0);
  // Links at every name a writer with a predictable scheme would use, and one in place of a
  // queued file.
  std::string temp =
      queue + "/msg.ini.~" + std::to_string(getpid()) + "-" + std::to_string(gettid());
  ASSERT_TRUE(RunAsNobody({"ln", "-s", victim, temp}));
  ASSERT_TRUE(RunAsNobody({"ln", "-s", victim, queue + "/link.ini"}));

  EXPECT_TRUE(
      WritePrivateProfileStringA("Connection", "Failures", "1", (queue + "/msg.ini").c_str()));
  EXPECT_EQ(dir.ReadFile("queue/msg.ini"), "[Connection]\r\nFailures=1\r\n");
  EXPECT_FALSE(
      WritePrivateProfileStringA("Connection", "Failures", "1", (queue + "/link.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(std::filesystem::is_symlink(queue + "/link.ini"));

  EXPECT_EQ(dir.ReadFile("private/victim"), "secret=1\r\n");
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST(ProfileTest, AReaderFollowsNoLinkAndIsNotHeldByAFifo) {
  TempDir dir;
  dir.WriteFile("secret.ini", "[Connection]\r\nRemoteHost=inside\r\n");
  ASSERT_EQ(symlink((dir / "secret.ini").c_str(), (dir / "linked.ini").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
  char value[64];
  for (const char* name : {"linked.ini", "fifo.ini"}) {
    GetPrivateProfileStringA("Connection", "RemoteHost", "none", value, sizeof value,
                             (dir / name).c_str());
    EXPECT_STREQ(value, "none") << name;
  }
  GetPrivateProfileStringA("Connection", "RemoteHost", "none", value, sizeof value,
                           (dir / "secret.ini").c_str());
  EXPECT_STREQ(value, "inside");
}

// Readers keep the lines of the file they read last; whatever changes the file, in place or by
// replacing it, the next read sees the change.
TEST(ProfileTest, EveryChangeOfAFileIsSeenByTheNextRead) {
  TempDir dir;
  const std::string file = dir / "m.ini";
  auto overwrite = [&](const char* value) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);  // same inode, same size
    out << "[Connection]\r\nFailures=" << value << "\r\n";
  };
  overwrite("1");
  EXPECT_EQ(Get(file, "Connection", "Failures"), "1");
  overwrite("2");
  EXPECT_EQ(Get(file, "Connection", "Failures"), "2");
  // A file left alone for a while is the kind whose lines are kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(Get(file, "Connection", "Failures"), "2");
  EXPECT_EQ(Get(file, "Connection", "Failures"), "2");
  overwrite("3");
  EXPECT_EQ(Get(file, "Connection", "Failures"), "3");
  ASSERT_TRUE(WritePrivateProfileStringA("Connection", "Failures", "4", file.c_str()));
  EXPECT_EQ(Get(file, "Connection", "Failures"), "4");
  std::filesystem::remove(file);
  EXPECT_EQ(Get(file, "Connection", "Failures", "gone"), "gone");
}

TEST(ProfileTest, WritersInSeveralProcessesLoseNoKeyAndLeaveNoTemporaryFile) {
  TempDir dir;
  std::string file = dir / "shared.ini";
  dir.WriteFile("shared.ini.~0123456789abcdef", "left by a writer that died");
  dir.WriteFile("shared.ini.~mine", "not a temporary file of a profile write");
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> writers;
  for (char writer : {'a', 'b'}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char go;
      (void)!read(gate[0], &go, 1);  // both start when the gate closes
      for (int i = 0; i < 300; ++i) {
        std::string key = std::string(1, writer) + std::to_string(i);
        if (!WritePrivateProfileStringA("Keys", key.c_str(), "v", file.c_str())) _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : writers) EXPECT_TRUE(ChildSucceeds(pid, 120));

  std::string keys = Get(file, "Keys", nullptr, "", 65536);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), '\0'), 600);
  for (const char* key : {"a0", "a299", "b0", "b299"})
    EXPECT_EQ(Get(file, "Keys", key), "v") << key;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"shared.ini", "shared.ini.~mine"}));
}

TEST(ProfileTest, ABareFileNameLivesInTheMachineRoot) {
  testing_support::MachineRoot root;
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "bare.ini"));
  EXPECT_EQ(Get("bare.ini", "S", "k"), "v");
  EXPECT_TRUE(std::ifstream(root.Path() + "/windows/bare.ini").good());
}

// Any local user may lock a queued file they can read; that holds up no writer. A lock another
// writer keeps is waited for a bounded time and then reported as a sharing violation.
TEST(ProfileTest, AReadersLockHoldsUpNoWriterAndAWritersLockIsWaitedForBoundedly) {
  if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0) {
    GTEST_SKIP() << "needs root and runuser to lock the file as another user";
  }
  testing_support::MachineRoot root;
  TempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  dir.WriteFile("msg.ini", "[Connection]\r\nFailures=0\r\n");
  const std::string file = dir / "msg.ini";
  auto holdLock = [](std::vector<std::string> args, int release) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, release, 0);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  };
  auto lockedByOthers = [](const std::string& path) {
    for (int i = 0; i < 2000; ++i) {
      if (std::system(("flock -n " + path + " true").c_str()) != 0) return true;
    }
    return false;
  };
  for (bool byNobody : {true, false}) {
    // The first write made the one lock file that this file's writers share.
    const std::string locked =
        byNobody ? file
                 : std::filesystem::directory_iterator(root.Path() + "/run/profile-locks")
                       ->path()
                       .string();
    std::vector<std::string> args{"flock", locked, "cat"};
    if (byNobody) args.insert(args.begin(), {"runuser", "-u", "nobody", "--"});
    int release[2];
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    pid_t holder = holdLock(args, release[0]);
    close(release[0]);
    ASSERT_TRUE(lockedByOthers(locked));
    EXPECT_EQ(WritePrivateProfileStringA("Connection", "Failures", "1", file.c_str()),
              byNobody ? TRUE : FALSE);
    if (!byNobody) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    close(release[1]);
    EXPECT_TRUE(ChildSucceeds(holder, 10));
  }
  EXPECT_EQ(dir.ReadFile("msg.ini"), "[Connection]\r\nFailures=1\r\n");
}

}  // namespace
