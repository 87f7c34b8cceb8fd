// The service control manager against a real service program (service_probe), in a fresh machine
// root; and the console facilities that program also exercises.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/Eventually.h"
#include "testing/TempDir.h"
#include "winapi/winapi.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Eventually;

const std::string kProbe = LARKPOST_SERVICE_PROBE;
const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
// Generous: the probe may be built with sanitizers that take a while to start.
constexpr auto kStateLimit = 20000ms;

std::vector<std::string> Environment(std::vector<std::string> extra = {}) {
  for (char** entry = environ; *entry != nullptr; ++entry) extra.emplace_back(*entry);
  return extra;
}

// A program the test runs itself, its standard output on a pipe.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args,
                 const std::vector<std::string>& env = Environment()) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv, envp;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    fd_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  void Signal(int signo) const { kill(pid_, signo); }

  // The next line of output, or nullopt at the end of it or when none came in time.
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 10000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[256];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // The wait status once the program ended, nullopt when it did not in time.
  std::optional<int> Wait(std::chrono::milliseconds limit = 10000ms) {
    Eventually(
        [&] {
          int status = 0;
          if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
          return status_.has_value();
        },
        limit);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

bool ProcessGone(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

std::vector<long> ZombieChildren() {
  std::vector<long> zombies;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && state == 'Z' &&
        parent == getpid()) {
      zombies.push_back(std::stol(entry.path().filename().string()));
    }
  }
  return zombies;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr);
  }

  void TearDown() override {
    // A failed test must not leave its services running.
    for (const auto& name : installed_) {
      if (auto pid = Dword(name, "Pid"); pid && !ProcessGone(*pid)) kill(*pid, SIGKILL);
    }
    for (SC_HANDLE handle : handles_) CloseServiceHandle(handle);
    CloseServiceHandle(manager_);
  }

  SC_HANDLE Keep(SC_HANDLE handle) {
    if (handle != nullptr) handles_.push_back(handle);
    return handle;
  }

  // Installs the probe under `name`, behaving as `behaviour` says.
  SC_HANDLE Install(const std::string& name, const std::string& behaviour,
                    DWORD start = SERVICE_DEMAND_START, const char* account = nullptr,
                    const std::string& image = kProbe) {
    SC_HANDLE service = Keep(CreateServiceA(
        manager_, name.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
        SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, account, nullptr));
    EXPECT_NE(service, nullptr) << GetLastError();
    HKEY parameters = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kServices + name + "\\Parameters").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(parameters, "Behaviour", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(behaviour.c_str()),
                   static_cast<DWORD>(behaviour.size() + 1));
    RegCloseKey(parameters);
    installed_.push_back(name);
    return service;
  }

  static SERVICE_STATUS Query(SC_HANDLE service) {
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(service, &status)) << GetLastError();
    return status;
  }

  static bool Reaches(SC_HANDLE service, DWORD state) {
    return Eventually([&] { return Query(service).dwCurrentState == state; }, kStateLimit);
  }

  static DWORD Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status = nullptr) {
    SERVICE_STATUS ignored{};
    return ControlService(service, control, status != nullptr ? status : &ignored) ? ERROR_SUCCESS
                                                                                   : GetLastError();
  }

  static std::optional<std::string> Value(const std::string& name, const char* value,
                                          const std::string& subkey = "\\Parameters") {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServices + name + subkey).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::string data(4096, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    LSTATUS status =
        RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return data;
  }

  static std::optional<DWORD> Dword(const std::string& name, const char* value,
                                    const std::string& subkey = "\\Parameters") {
    auto data = Value(name, value, subkey);
    if (!data || data->size() != sizeof(DWORD)) return std::nullopt;
    DWORD number;
    std::memcpy(&number, data->data(), sizeof number);
    return number;
  }

  static bool KeyExists(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServices + name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  std::string RunDir(const std::string& name) const {
    return root_.Path() + "/run/services/" + name;
  }

  testing_support::MachineRoot root_;
  SC_HANDLE manager_ = nullptr;
  std::vector<SC_HANDLE> handles_;
  std::vector<std::string> installed_;
};

TEST_F(ServiceTest, TheDatabaseKeepsWin32Rules) {
  SC_HANDLE created =
      Keep(CreateServiceA(manager_, "LarkProbe", "Lark Probe", SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                          kProbe.c_str(), nullptr, nullptr, "Tcpip\0Dnscache\0", nullptr, nullptr));
  ASSERT_NE(created, nullptr) << GetLastError();
  EXPECT_EQ(Value("LarkProbe", "ImagePath", ""), kProbe + '\0');
  EXPECT_EQ(Value("LarkProbe", "DisplayName", ""), std::string("Lark Probe\0", 11));
  EXPECT_EQ(Value("LarkProbe", "ObjectName", ""), std::string("LocalSystem\0", 12));
  EXPECT_EQ(Value("LarkProbe", "DependOnService", ""), std::string("Tcpip\0Dnscache\0\0", 16));
  EXPECT_EQ(Dword("LarkProbe", "Type", ""), SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(Dword("LarkProbe", "Start", ""), SERVICE_DEMAND_START);
  EXPECT_EQ(Dword("LarkProbe", "ErrorControl", ""), SERVICE_ERROR_NORMAL);

  auto create = [&](const char* name, const char* display, const std::string& image = kProbe) {
    SC_HANDLE handle =
        Keep(CreateServiceA(manager_, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr,
                            nullptr, nullptr, nullptr, nullptr));
    return handle != nullptr ? ERROR_SUCCESS : GetLastError();
  };
  EXPECT_EQ(create("larkprobe", nullptr), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(create("Other", "LARK PROBE"), 1078u);  // ERROR_DUPLICATE_SERVICE_NAME
  EXPECT_EQ(create("Other", "larkPROBE"), 1078u);
  EXPECT_EQ(create("a/b", nullptr), ERROR_INVALID_NAME);

  SC_HANDLE opened = Keep(OpenServiceA(manager_, "LARKPROBE", SERVICE_ALL_ACCESS));
  ASSERT_NE(opened, nullptr);
  SERVICE_STATUS status = Query(opened);
  EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  status.dwCurrentState = 0;
  EXPECT_EQ(Control(opened, SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(Control(opened, 300), ERROR_INVALID_PARAMETER);

  auto openError = [&](const std::string& name) {
    SC_HANDLE handle = Keep(OpenServiceA(manager_, name.c_str(), SERVICE_QUERY_STATUS));
    return handle != nullptr ? ERROR_SUCCESS : GetLastError();
  };
  EXPECT_EQ(openError("NoSuchService"), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(openError(std::string(256, 'x')), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(openError(std::string(257, 'x')), ERROR_INVALID_NAME);
  EXPECT_EQ(openError(""), ERROR_INVALID_NAME);
  EXPECT_EQ(openError("Lark\\Probe"), ERROR_INVALID_NAME);
  EXPECT_EQ(openError(".."), ERROR_INVALID_NAME);

  EXPECT_TRUE(DeleteService(opened));
  EXPECT_FALSE(KeyExists("LarkProbe"));
  EXPECT_FALSE(DeleteService(opened));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(openError("LarkProbe"), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(create("LarkProbe", nullptr), ERROR_SUCCESS);
}

TEST_F(ServiceTest, ProgramPathsMayHoldBlanksAndVariables) {
  std::string dir = root_.Path() + "/with blank";
  fs::create_directories(dir);
  fs::copy_file(kProbe, dir + "/probe");
  auto runs = [&](const char* name, const std::string& image) {
    SC_HANDLE service =
        Keep(CreateServiceA(manager_, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr,
                            nullptr, nullptr, nullptr, nullptr));
    if (service == nullptr || !StartServiceA(service, 0, nullptr)) return false;
    bool running = Reaches(service, SERVICE_RUNNING);
    return Control(service, SERVICE_CONTROL_STOP) == ERROR_SUCCESS &&
           Reaches(service, SERVICE_STOPPED) && running;
  };
  // Given unquoted, a path with a blank is stored quoted, so that it reads back as one path.
  EXPECT_TRUE(runs("Blank", dir + "/probe"));
  EXPECT_EQ(Value("Blank", "ImagePath", ""), "\"" + dir + "/probe\"" + '\0');
  // ImagePath is REG_EXPAND_SZ: variables are the starter's; arguments follow the program.
  setenv("LARK_PROBE_DIR", dir.c_str(), 1);
  EXPECT_TRUE(runs("Expanded", "\"%LARK_PROBE_DIR%/probe\" --flag"));
  unsetenv("LARK_PROBE_DIR");
  EXPECT_EQ(Value("Expanded", "ImagePath", ""),
            "\"%LARK_PROBE_DIR%/probe\" --flag" + std::string(1, '\0'));
}

TEST_F(ServiceTest, HandlesCarryTheirAccessRights) {
  ASSERT_NE(Install("LarkProbe", "normal"), nullptr);
  SC_HANDLE queryOnly = Keep(OpenServiceA(manager_, "LarkProbe", SERVICE_QUERY_STATUS));
  ASSERT_NE(queryOnly, nullptr);
  EXPECT_EQ(Query(queryOnly).dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(StartServiceA(queryOnly, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Control(queryOnly, SERVICE_CONTROL_STOP), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteService(queryOnly));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  SC_HANDLE connectOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(connectOnly, nullptr);
  EXPECT_EQ(CreateServiceA(connectOnly, "Another", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           kProbe.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseServiceHandle(connectOnly));
  EXPECT_FALSE(CloseServiceHandle(connectOnly));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SERVICE_STATUS status;
  EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(manager_), &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_EQ(OpenSCManagerA("elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(ServiceTest, StartRefusesWhatWindowsRefuses) {
  auto startError = [&](const std::string& name, const std::string& image,
                        DWORD start = SERVICE_DEMAND_START) {
    SC_HANDLE service = Keep(CreateServiceA(
        manager_, name.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
        SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_NE(service, nullptr);
    return StartServiceA(service, 0, nullptr) ? ERROR_SUCCESS : GetLastError();
  };
  EXPECT_EQ(startError("Disabled", kProbe, SERVICE_DISABLED), ERROR_SERVICE_DISABLED);
  EXPECT_EQ(startError("NoFile", root_.Path() + "/missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(startError("NoDir", root_.Path() + "/missing/probe"), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(startError("Relative", "service_probe"), ERROR_PATH_NOT_FOUND);
  std::string plain = root_.Path() + "/plain";
  std::ofstream(plain) << "not a program\n";
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(startError("NotExecutable", plain), ERROR_ACCESS_DENIED);
  // A program that ends without ever calling the dispatcher.
  std::string quitter = fs::exists("/bin/true") ? "/bin/true" : "/usr/bin/true";
  EXPECT_EQ(startError("Quitter", quitter), ERROR_SERVICE_REQUEST_TIMEOUT);

  SC_HANDLE quit = Keep(OpenServiceA(manager_, "Quitter", SERVICE_ALL_ACCESS));
  EXPECT_EQ(Query(quit).dwCurrentState, SERVICE_STOPPED);
  // A start that failed leaves no runtime state behind.
  EXPECT_TRUE(fs::is_empty(root_.Path() + "/run/services"));
}

TEST_F(ServiceTest, StartControlAndStopFollowTheReportedStatus) {
  SC_HANDLE service = Install("LarkProbe", "inspect");
  ASSERT_NE(service, nullptr);
  LPCSTR args[] = {"alpha", "beta gamma", "", "x;41"};
  ASSERT_TRUE(StartServiceA(service, 4, args)) << GetLastError();
  EXPECT_NE(Query(service).dwCurrentState, SERVICE_STOPPED);
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

  EXPECT_EQ(Value("LarkProbe", "LastArgs"),
            std::string("LarkProbe\nalpha\nbeta gamma\n\nx;41\n") + '\0');
  EXPECT_EQ(Dword("LarkProbe", "SecondDispatch"), ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(Dword("LarkProbe", "OtherHandler"), ERROR_SERVICE_DOES_NOT_EXIST);

  SERVICE_STATUS status{};
  EXPECT_EQ(Control(service, SERVICE_CONTROL_INTERROGATE, &status), ERROR_SUCCESS);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);
  EXPECT_EQ(Control(service, SERVICE_CONTROL_PAUSE, &status), ERROR_SUCCESS);
  EXPECT_EQ(status.dwCurrentState, SERVICE_PAUSED);
  EXPECT_EQ(Query(service).dwCurrentState, SERVICE_PAUSED);
  EXPECT_EQ(Control(service, SERVICE_CONTROL_CONTINUE, &status), ERROR_SUCCESS);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  status = {};
  EXPECT_EQ(Control(service, 6 /* PARAMCHANGE, not accepted */, &status),
            ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(Control(service, 200), ERROR_SUCCESS);  // user-defined codes always reach the handler
  EXPECT_EQ(Control(service, 11), ERROR_INVALID_PARAMETER);

  // The reply carries the status as it is when the handler returns; the service may already
  // have finished stopping by then.
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP, &status), ERROR_SUCCESS);
  EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING ||
              status.dwCurrentState == SERVICE_STOPPED)
      << status.dwCurrentState;
  ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
  EXPECT_EQ(Query(service).dwWin32ExitCode, 0u);
  EXPECT_TRUE(Eventually([&] { return Dword("LarkProbe", "AfterStop").has_value(); }));
  EXPECT_EQ(Dword("LarkProbe", "AfterStop"), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_TRUE(Eventually([&] { return !fs::exists(RunDir("LarkProbe") + "/control"); }));
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ServiceTest, OfTwoStartersAtOnceOneStartsTheService) {
  SC_HANDLE service = Install("LarkProbe", "normal");
  DWORD results[2] = {};
  std::thread other([&] { results[1] = StartServiceA(service, 0, nullptr) ? 0 : GetLastError(); });
  results[0] = StartServiceA(service, 0, nullptr) ? 0 : GetLastError();
  other.join();
  std::sort(std::begin(results), std::end(results));
  EXPECT_EQ(results[0], ERROR_SUCCESS);
  EXPECT_EQ(results[1], ERROR_SERVICE_ALREADY_RUNNING);
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));
}

TEST_F(ServiceTest, AMachineRootTooDeepForASocketPathStillRunsServices) {
  std::string deep = root_.Path() + "/" + std::string(100, 'd');
  ASSERT_TRUE(fs::create_directories(deep));
  setenv("LARKPOST_ROOT", deep.c_str(), 1);  // root_ puts the original back
  SC_HANDLE service = Install("LarkProbe", "normal");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));
}

TEST_F(ServiceTest, ARunningServiceMarkedForDeletionGoesWhenItStops) {
  SC_HANDLE service = Install("LarkProbe", "normal");
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));

  EXPECT_TRUE(DeleteService(service));
  EXPECT_EQ(Dword("LarkProbe", "DeleteFlag", ""), 1u);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(CreateServiceA(manager_, "larkprobe", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           kProbe.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(Query(service).dwCurrentState, SERVICE_RUNNING);

  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Eventually([&] { return !KeyExists("LarkProbe"); }, kStateLimit));
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));
  EXPECT_EQ(OpenServiceA(manager_, "LarkProbe", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceTest, AServiceWhoseProcessEndedReadsStoppedAndStartsAgain) {
  SC_HANDLE quitter = Install("Quitter", "exit");
  ASSERT_TRUE(StartServiceA(quitter, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(quitter, SERVICE_STOPPED));
  EXPECT_EQ(Query(quitter).dwWin32ExitCode, ERROR_PROCESS_ABORTED);

  SC_HANDLE service = Install("LarkProbe", "normal");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  auto killed = Dword("LarkProbe", "Pid");
  ASSERT_TRUE(killed);
  kill(static_cast<pid_t>(*killed), SIGKILL);
  ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
  SERVICE_STATUS status{};
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);

  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  EXPECT_NE(Dword("LarkProbe", "Pid"), killed);
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));
}

TEST_F(ServiceTest, SigtermStopsAServiceOrShutsItDown) {
  SC_HANDLE service = Install("LarkProbe", "normal");
  SC_HANDLE stubborn = Install("Stubborn", "ignore-stop");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(StartServiceA(stubborn, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  ASSERT_TRUE(Reaches(stubborn, SERVICE_RUNNING));
  SERVICE_STATUS status{};
  EXPECT_EQ(Control(stubborn, SERVICE_CONTROL_STOP, &status), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

  for (const char* name : {"LarkProbe", "Stubborn"}) {
    auto pid = Dword(name, "Pid");
    ASSERT_TRUE(pid);
    kill(static_cast<pid_t>(*pid), SIGTERM);
  }
  ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
  ASSERT_TRUE(Reaches(stubborn, SERVICE_STOPPED));
  EXPECT_EQ(Query(service).dwWin32ExitCode, 0u);
  EXPECT_EQ(Query(stubborn).dwWin32ExitCode, 0u);
  EXPECT_TRUE(Eventually([&] { return !fs::exists(RunDir("Stubborn") + "/control"); }));
}

TEST_F(ServiceTest, StoppedIsReportedOnlyOnceTheProcessIsGone) {
  SC_HANDLE service = Install("Busy", "busy");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  auto pid = Dword("Busy", "Pid");
  ASSERT_TRUE(pid);
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  ASSERT_TRUE(Reaches(service, SERVICE_STOPPED));
  EXPECT_TRUE(ProcessGone(*pid));
}

TEST_F(ServiceTest, ExitCodesOutliveTheProcess) {
  SC_HANDLE service = Install("Failing", "fail");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  std::optional<DWORD> pid;
  ASSERT_TRUE(Eventually([&] { return (pid = Dword("Failing", "Pid")).has_value(); }));
  ASSERT_TRUE(Eventually([&] { return ProcessGone(*pid); }, kStateLimit));
  SERVICE_STATUS status = Query(service);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 42u);
}

TEST_F(ServiceTest, InterruptHangUpAndQuitStopAService) {
  SC_HANDLE service = Install("LarkProbe", "normal");
  for (int signo : {SIGHUP, SIGINT, SIGQUIT}) {
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
    auto pid = Dword("LarkProbe", "Pid");
    ASSERT_TRUE(pid);
    kill(static_cast<pid_t>(*pid), signo);
    ASSERT_TRUE(Reaches(service, SERVICE_STOPPED)) << signo;
    EXPECT_EQ(Query(service).dwWin32ExitCode, 0u) << signo;
  }
}

TEST_F(ServiceTest, OnlyAProgramTheManagerStartedMayDispatch) {
  Child fromShell({kProbe});
  ASSERT_TRUE(fromShell.Started());
  EXPECT_EQ(fromShell.ReadLine(), "dispatcher 1063");
  // The variables a service's own children inherit do not make them services.
  Child inherited({kProbe}, Environment({"LARKPOST_SCM_SERVICE=LarkProbe", "LARKPOST_SCM_PID=1",
                                         "LARKPOST_SCM_READY=1"}));
  EXPECT_EQ(inherited.ReadLine(), "dispatcher 1063");
}

TEST_F(ServiceTest, AProgramThatNeverDispatchesIsEndedWithItsChildren) {
  setenv("LARKPOST_SERVICE_START_TIMEOUT", "300", 1);
  std::string pidFile = root_.Path() + "/child.pid";
  SC_HANDLE service = Install("Hanging", "normal", SERVICE_DEMAND_START, nullptr,
                              "/bin/sh -c \"sleep 86399 & echo $! >" + pidFile + "; wait\"");
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
  unsetenv("LARKPOST_SERVICE_START_TIMEOUT");
  std::string pid;
  ASSERT_TRUE(std::ifstream(pidFile) >> pid);
  EXPECT_TRUE(Eventually([&] { return ProcessGone(std::stol(pid)); }));
}

TEST_F(ServiceTest, ARunningServiceStaysControllableWhenTheDatabaseIsDamaged) {
  SC_HANDLE service = Install("LarkProbe", "normal");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  root_.WriteHive(root_.ReadHive() + "\"Broken\"=dword:zz\n");
  EXPECT_EQ(OpenServiceA(manager_, "NoSuchService", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BADDB);
  SC_HANDLE again = Keep(OpenServiceA(manager_, "larkprobe", SERVICE_ALL_ACCESS));
  ASSERT_NE(again, nullptr) << GetLastError();
  EXPECT_EQ(Control(again, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Reaches(again, SERVICE_STOPPED));
}

// The tests below act as root towards files and services of the user nobody.
class AccountTest : public ServiceTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("nobody") == nullptr) GTEST_SKIP() << "needs root and nobody";
    ServiceTest::SetUp();
    nobody_ = *getpwnam("nobody");
    fs::copy_file(kProbe, probe_);  // a copy nobody can reach, wherever the build tree lies
    chmod(root_.Path().c_str(), 0755);
  }
  std::string probe_ = root_.Path() + "/probe";
  passwd nobody_{};
};

TEST_F(AccountTest, AServiceRunsAsItsAccountInAFreshEnvironment) {
  SC_HANDLE service = Install("AsNobody", "normal", SERVICE_DEMAND_START, ".\\nobody", probe_);
  setenv("LARK_STARTER_ONLY", "1", 1);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  unsetenv("LARK_STARTER_ONLY");
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  std::ifstream fields(RunDir("AsNobody") + "/status");
  long pid = 0;
  for (int i = 0; i < 8; ++i) fields >> pid;
  std::string proc = "/proc/" + std::to_string(pid), line, environment;
  for (std::ifstream status(proc + "/status"); line.rfind("Uid:", 0) != 0;) {
    ASSERT_TRUE(std::getline(status, line));
  }
  std::string uid = std::to_string(nobody_.pw_uid);
  EXPECT_EQ(line, "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
  EXPECT_EQ(fs::read_symlink(proc + "/cwd"), "/");
  std::getline(std::ifstream(proc + "/environ"), environment, '\x01');
  EXPECT_EQ(environment.find("LARK_STARTER_ONLY"), std::string::npos);
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));

  SC_HANDLE unknown = Install("NoSuchUser", "normal", SERVICE_DEMAND_START, "no-such-user", probe_);
  EXPECT_FALSE(StartServiceA(unknown, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_LOGON_FAILED);
}

TEST_F(AccountTest, RootRunsNoProgramAnotherUserOwns) {
  ASSERT_EQ(chown(probe_.c_str(), nobody_.pw_uid, nobody_.pw_gid), 0);
  SC_HANDLE service = Install("Weak", "normal", SERVICE_DEMAND_START, nullptr, probe_);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
  char problem[512] = {};
  LarkGetServiceProblemA(problem, sizeof problem);
  EXPECT_EQ(std::string(problem), probe_ + " can be changed by a user other than root.");
}

TEST_F(AccountTest, StateLeftByAnotherUserIsNotTheService) {
  SC_HANDLE real = Install("LarkProbe", "normal");
  SC_HANDLE forged = Install("Forged", "normal");
  ASSERT_TRUE(StartServiceA(real, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(real, SERVICE_RUNNING));
  // nobody's copy of the real status names a live process; its "control" leads to the real one.
  fs::create_directories(RunDir("Forged"));
  fs::copy_file(RunDir("LarkProbe") + "/status", RunDir("Forged") + "/status");
  fs::create_symlink(RunDir("LarkProbe") + "/control", RunDir("Forged") + "/control");
  for (const char* entry : {"", "/status", "/control"}) {
    ASSERT_EQ(lchown((RunDir("Forged") + entry).c_str(), nobody_.pw_uid, nobody_.pw_gid), 0);
  }
  EXPECT_EQ(Query(forged).dwCurrentState, SERVICE_STOPPED);
  EXPECT_NE(Control(forged, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_EQ(Query(real).dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ServiceTest, OtherUsersMayQueryButNotControl) {
  if (geteuid() != 0 || !fs::exists("/usr/sbin/runuser")) {
    GTEST_SKIP() << "needs root and runuser to act as another user";
  }
  SC_HANDLE service = Install("LarkProbe", "normal");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Reaches(service, SERVICE_RUNNING));
  // A copy the other user can reach, wherever the build tree lies.
  std::string probe = root_.Path() + "/probe";
  fs::copy_file(kProbe, probe);
  fs::permissions(probe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(root_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
  Child other({"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/env",
               "LARKPOST_ROOT=" + root_.Path(), probe, "control", "LarkProbe", "1"});
  EXPECT_EQ(other.ReadLine(), "query 4");
  EXPECT_EQ(other.ReadLine(), "control 5");
  EXPECT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_TRUE(Reaches(service, SERVICE_STOPPED));
}

TEST_F(ServiceTest, FiftyStartsAndStopsLeaveNothingBehind) {
  SC_HANDLE service = Install("LarkProbe", "normal");
  std::vector<DWORD> pids;
  for (int cycle = 0; cycle < 50; ++cycle) {
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << "cycle " << cycle << ": " << GetLastError();
    ASSERT_TRUE(Reaches(service, SERVICE_RUNNING)) << "cycle " << cycle;
    auto pid = Dword("LarkProbe", "Pid");
    ASSERT_TRUE(pid);
    pids.push_back(*pid);
    ASSERT_EQ(Control(service, SERVICE_CONTROL_STOP), ERROR_SUCCESS) << "cycle " << cycle;
    ASSERT_TRUE(Reaches(service, SERVICE_STOPPED)) << "cycle " << cycle;
  }
  EXPECT_TRUE(Eventually([&] { return !fs::exists(RunDir("LarkProbe") + "/control"); }));
  for (DWORD pid : pids) EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); })) << pid;
  EXPECT_EQ(ZombieChildren(), std::vector<long>{});
}

TEST(ConsoleTest, SignalsArriveAsControlEventsLastHandlerFirst) {
  Child console({kProbe, "console"});
  EXPECT_EQ(console.ReadLine(), "remove-again 87");
  ASSERT_EQ(console.ReadLine(), "ready 0");
  console.Signal(SIGINT);
  EXPECT_EQ(console.ReadLine(), "takes 0");
  // Nobody takes the shutdown event: the process ends as SIGTERM ends it.
  console.Signal(SIGTERM);
  EXPECT_EQ(console.ReadLine(), "takes 6");
  EXPECT_EQ(console.ReadLine(), "declines 6");
  auto status = console.Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;

  Child ignoring({kProbe, "console", "ignore-ctrl-c"});
  EXPECT_EQ(ignoring.ReadLine(), "remove-again 87");
  ASSERT_EQ(ignoring.ReadLine(), "ready 0");
  ignoring.Signal(SIGINT);
  ignoring.Signal(SIGTERM);
  EXPECT_EQ(ignoring.ReadLine(), "takes 6");
}

TEST(ModuleFileNameTest, NamesTheRunningProgramAndCutsAsWindowsDoes) {
  std::string expected = fs::canonical(program_invocation_name).string();
  char buffer[4096];
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  ASSERT_EQ(std::string(buffer, length), expected);

  std::vector<char> exact(length + 1, 'x');
  EXPECT_EQ(GetModuleFileNameA(nullptr, exact.data(), length + 1), length);
  EXPECT_EQ(std::string(exact.data()), expected);

  std::vector<char> shorter(length, 'x');
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, shorter.data(), length), length);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(shorter.data()), expected.substr(0, length - 1));

  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(buffer), buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
