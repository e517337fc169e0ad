/*
 * Locating and launching the server program, with stand-in programs: small
 * shell scripts written into a temporary directory, which record their
 * arguments and, for some tests, connect back to the control port. Every
 * stand-in that may outlive its test records its process id and is stopped
 * by the fixture.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "vek_internal.h"

using namespace vekt;
namespace fs = std::filesystem;

namespace {

const char* const kEnvNames[] = {"PATH", "VEK_HOME", "VEK_SERVER", "VEKSERVER", "VEK_TEST_IDLE_EXIT"};

/* Set in a child that returned through exit() instead of _exit(). */
pid_t g_test_pid = 0;
std::string g_atexit_marker;
void atexit_marker() {
  if (getpid() != g_test_pid && !g_atexit_marker.empty()) {
    FILE* f = fopen(g_atexit_marker.c_str(), "w");
    if (f) fclose(f);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_client();
    for (const char* name : kEnvNames) {
      const char* v = getenv(name);
      saved_.emplace_back(name, v ? std::string(v) : std::string("\x01unset"));
    }
    unsetenv("VEK_HOME");
    unsetenv("VEK_SERVER");
    unsetenv("VEKSERVER");
    char tmpl[] = "/tmp/vekt_launch_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    setenv("PATH", (dir_ + "/nothing").c_str(), 1);
    VEKClientInitialize(VEK_PROTOCOL_VERSION);
    VEKClientSetVEKserverPath("");
  }

  void TearDown() override {
    /* Stand-ins that may still run, by the ids they recorded. */
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().extension() != ".pid") continue;
      pid_t pid = (pid_t)atol(read_file(entry.path()).c_str());
      if (pid > 1) kill(pid, SIGTERM);
    }
    for (pid_t pid : started_)
      if (pid > 1) kill(pid, SIGTERM);
    /* Collect our own children as they end (bounded). */
    auto start = std::chrono::steady_clock::now();
    while (seconds_since(start) < 3) {
      pid_t r = waitpid(-1, nullptr, WNOHANG);
      if (r < 0) break; /* none left */
      if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const auto& [name, value] : saved_) {
      if (value == "\x01unset") unsetenv(name.c_str());
      else setenv(name.c_str(), value.c_str(), 1);
    }
    VEKClientSetVEKserverPath("");
    VEKClientDebug(0);
    std::error_code ec;
    fs::remove_all(dir_, ec);
    reset_client();
  }

  /* A shell script at dir_/rel (directories created), mode given. */
  std::string script(const std::string& rel, const std::string& body, mode_t mode = 0755) {
    std::string path = dir_ + "/" + rel;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path);
    out << "#!/bin/sh\nPATH=/usr/bin:/bin\n" << body;
    out.close();
    chmod(path.c_str(), mode);
    return path;
  }

  /* Records $0 and its arguments into dir_/<tag>.args, one per line. */
  std::string recorder(const std::string& rel, const std::string& tag = "run") {
    std::string args = dir_ + "/" + tag + ".args";
    return script(rel, "for a in \"$0\" \"$@\"; do echo \"$a\"; done > '" + args + ".tmp'\nmv '" + args +
                           ".tmp' '" + args + "'\n");
  }

  /* Connects to the -control port and sends the 4 bytes given as printf
   * escapes, then stays connected for linger seconds. */
  std::string connector(const std::string& rel, const std::string& bytes, int linger = 0) {
    std::string body =
        "echo $$ > '" + dir_ + "/connector.pid'\n"
        "while [ $# -gt 0 ]; do [ \"$1\" = -control ] && ctl=$2; shift; done\n"
        "exec /bin/bash -c 'exec 3<>/dev/tcp/127.0.0.1/'$ctl'; printf \"" + bytes + "\" >&3; exec sleep " +
        std::to_string(linger) + "'\n";
    return script(rel, body);
  }

  std::vector<std::string> recorded_args(const std::string& tag = "run", int wait_ms = 5000) {
    std::string path = dir_ + "/" + tag + ".args";
    auto start = std::chrono::steady_clock::now();
    while (!fs::exists(path) && seconds_since(start) * 1000 < wait_ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  std::string dir_;
  std::vector<std::pair<std::string, std::string>> saved_;
  std::vector<pid_t> started_;
};

TEST_F(Launch, DeprecatedVariableFailsEvenBesideAValidServer) {
  std::string server = recorder("a/VEKserver");
  setenv("VEK_SERVER", server.c_str(), 1);
  setenv("VEKSERVER", "", 1);
  ErrorCapture errors;
  char path[VEK_PATH_MAX] = "stale";
  EXPECT_EQ(1, VEKClientLocateVEKserver(path));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_STREQ("", path);
  EXPECT_TRUE(errors.contains("Use VEK_SERVER environment variable instead of VEKSERVER")) << errors.joined();
  unsetenv("VEKSERVER");
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(server, path);
}

TEST_F(Launch, SetPathComesFirstAndOverlongPathsAreRefused) {
  std::string a = recorder("a/VEKserver");
  std::string b = recorder("b/VEKserver");
  setenv("VEK_SERVER", b.c_str(), 1);
  char path[VEK_PATH_MAX];
  VEKClientSetVEKserverPath(a.c_str());
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(a, path);
  VEKClientSetVEKserverPath((dir_ + "/missing").c_str());
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(b, path);

  /* 1023 characters fit the buffer, 1024 do not. */
  std::string deep = dir_;
  while (deep.size() + 1 + 200 + 10 < 1023) deep += "/" + std::string(200, 'd');
  deep += "/" + std::string(1023 - deep.size() - 1 - 10, 'e') + "/VEKserver";
  ASSERT_EQ(1023u, deep.size());
  fs::create_directories(fs::path(deep).parent_path());
  std::ofstream(deep) << "#!/bin/sh\n";
  unsetenv("VEK_SERVER");
  VEKClientSetVEKserverPath(deep.c_str());
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(deep, path);
  ErrorCapture errors;
  VEKClientSetVEKserverPath((deep + "x").c_str());
  EXPECT_TRUE(errors.contains("VEKClientSetVEKserverPath(): path longer than 1023 characters ignored"))
      << errors.joined();
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(deep, path);
  VEKClientSetVEKserverPath(nullptr);
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(deep, path);

  EXPECT_EQ(1, VEKClientLocateVEKserver(nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  _vek_client_linked_version = 0;
  errors.clear();
  EXPECT_EQ(1, VEKClientLocateVEKserver(path));
  unsigned short port = 0;
  EXPECT_EQ(1, VEKClientRunVEKserver(&port));
  _vek_client_linked_version = VEK_PROTOCOL_VERSION;
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_STREQ("", path);
  EXPECT_EQ(2u, errors.messages().size()) << errors.joined();
  EXPECT_TRUE(errors.contains("VEKClient library has not been initialized")) << errors.joined();
}

TEST_F(Launch, HomeCandidatesAreTriedInOrder) {
  std::string home = dir_ + "/home";
  std::string linux_server = recorder("home/bin/linux/VEKserver");
  setenv("VEK_HOME", home.c_str(), 1);
  std::string trace = dir_ + "/trace.txt";
  setenv("VEK_SERVER_TRACE", "2", 1);
  setenv("VEK_CLIENT_TRACE_FILE", trace.c_str(), 1);
  _vek_trace_reset_for_tests();
  _vek_trace_init();
  char path[VEK_PATH_MAX];
  int r = VEKClientLocateVEKserver(path);
  _vek_trace_reset_for_tests();
  unsetenv("VEK_SERVER_TRACE");
  unsetenv("VEK_CLIENT_TRACE_FILE");
  _vek_trace_init();
  EXPECT_EQ(0, r);
  EXPECT_EQ(linux_server, path);
  std::string text = read_file(trace);
  size_t first = text.find("Checking if file exists: " + home + "/bin/linux64-gcc44/VEKserver");
  size_t second = text.find("Checking if file exists: " + linux_server);
  EXPECT_NE(std::string::npos, first) << text;
  EXPECT_NE(std::string::npos, second) << text;
  EXPECT_LT(first, second) << text;

  std::string bin_server = recorder("home/bin/VEKserver");
  fs::remove(linux_server);
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(bin_server, path);

  /* A home too long for the buffer is passed over, not cut. */
  std::string in_path = recorder("p/VEKserver");
  setenv("VEK_HOME", (home + std::string(1100, '/')).c_str(), 1);
  setenv("PATH", (dir_ + "/p").c_str(), 1);
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(in_path, path);
}

TEST_F(Launch, PathSearchStopsAtAnEmptyElementAndSkipsWhatCannotBeAProgram) {
  std::string in_path = recorder("opt/VEKserver");
  fs::create_directories(dir_ + "/isdir/VEKserver");
  ErrorCapture errors;
  char path[VEK_PATH_MAX];
  setenv("PATH", ("/usr/bin::" + dir_ + "/opt").c_str(), 1);
  EXPECT_EQ(1, VEKClientLocateVEKserver(path));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_STREQ("", path);
  EXPECT_TRUE(errors.contains("VEKserver executable has not been found")) << errors.joined();
  setenv("PATH", (":" + dir_ + "/opt").c_str(), 1);
  EXPECT_EQ(1, search_in_path("VEKserver", '/', path));

  std::string long_element = "/" + std::string(1100, 'x');
  setenv("PATH", (long_element + ":" + dir_ + "/isdir:" + dir_ + "/missing:" + dir_ + "/opt").c_str(), 1);
  EXPECT_EQ(0, search_in_path("VEKserver", '/', path));
  EXPECT_EQ(in_path, path);
  EXPECT_EQ(0, VEKClientLocateVEKserver(path));
  EXPECT_EQ(in_path, path);
  unsetenv("PATH");
  EXPECT_EQ(1, search_in_path("VEKserver", '/', path));
}

TEST_F(Launch, SilentServerLeavesTheSuggestedPortAfterThreeSeconds) {
  VEKClientSetVEKserverPath(recorder("VEKserver").c_str());
  unsigned short port = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, VEKClientRunVEKserver(&port));
  double spent = seconds_since(start);
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
  EXPECT_GE(spent, 2.9);
  EXPECT_LT(spent, 5.0);
  EXPECT_GE(port, 1024);
  EXPECT_LE(port, 2047);
  std::vector<std::string> args = recorded_args();
  ASSERT_EQ(5u, args.size());
  EXPECT_EQ(dir_ + "/VEKserver", args[0]);
  EXPECT_EQ("-control", args[1]);
  EXPECT_GT(atoi(args[2].c_str()), 0);
  EXPECT_EQ("-port", args[3]);
  EXPECT_EQ(std::to_string(port), args[4]);
}

TEST_F(Launch, GivenPortIsPassedAndKeptAndDebugAddsItsFlag) {
  VEKClientSetVEKserverPath(recorder("VEKserver").c_str());
  VEKClientDebug(1);
  unsigned short port = 5600;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, VEKClientRunVEKserver(&port));
  EXPECT_GE(seconds_since(start), 0.9);
  EXPECT_EQ(5600, port);
  EXPECT_EQ((std::vector<std::string>{dir_ + "/VEKserver", "-debug", "-port", "5600"}), recorded_args());
}

TEST_F(Launch, ControlConnectionNamesThePort) {
  /* Found through PATH and executed with its full path. */
  connector("bin/VEKserver", "\\x00\\x00\\x17\\x71");
  setenv("PATH", (dir_ + "/bin").c_str(), 1);
  unsigned short port = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, VEKClientRunVEKserver(&port));
  EXPECT_LT(seconds_since(start), 2.5);
  EXPECT_EQ(6001, port);
}

TEST_F(Launch, BadControlAnswersFailWithCode2WithoutHanging) {
  struct Case {
    const char* what;
    const char* bytes;
  };
  /* The control connection has its own limit, whatever the answer wait. */
  _vek_answer_timeout_ms = 30000;
  int k = 0;
  for (const Case& c : {Case{"connects and says nothing", ""}, Case{"two bytes of four", "\\x00\\x01"},
                        Case{"port 0", "\\x00\\x01\\x00\\x00"}}) {
    SCOPED_TRACE(c.what);
    fs::remove(dir_ + "/connector.pid");
    VEKClientSetVEKserverPath(connector("c" + std::to_string(k++) + "/VEKserver", c.bytes, 8).c_str());
    ErrorCapture errors;
    unsigned short port = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, VEKClientRunVEKserver(&port));
    EXPECT_LT(seconds_since(start), 7.5);
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
    EXPECT_EQ(0, port);
    EXPECT_EQ(30000, _vek_answer_timeout_ms);
    /* A short or missing port is a codec failure and raises no message; a
     * port 0 is refused with one. */
    if (k < 3) EXPECT_TRUE(errors.messages().empty()) << errors.joined();
    else EXPECT_EQ(1u, errors.messages().size()) << errors.joined();
    pid_t pid = (pid_t)atol(read_file(dir_ + "/connector.pid").c_str());
    if (pid > 1) started_.push_back(pid);
  }
}

TEST_F(Launch, FailedExecIsReportedToTheCallerAndRunsNoExitHandler) {
  g_test_pid = getpid();
  g_atexit_marker = dir_ + "/child_ran_atexit";
  static bool registered = false;
  if (!registered) {
    registered = true;
    atexit(atexit_marker);
  }
  /* Readable, so located, but not executable. */
  VEKClientSetVEKserverPath(script("VEKserver", "exit 0\n", 0644).c_str());
  vekt::ErrorCapture errors;
  unsigned short port = 5601;
  EXPECT_EQ(1, VEKClientRunVEKserver(&port));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(5601, port);
  EXPECT_TRUE(errors.contains("_vek_exec_server: Permission denied"));
  /* Without a port the failure is not waited out for three seconds either. */
  port = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, VEKClientRunVEKserver(&port));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_FALSE(fs::exists(g_atexit_marker));
  g_atexit_marker.clear();
}

TEST_F(Launch, ReferenceServerReportsItsPort) {
#ifndef VEK_TEST_SERVER
  GTEST_SKIP() << "the reference server is not built";
#else
  if (!fs::exists(VEK_TEST_SERVER)) GTEST_SKIP() << "no " << VEK_TEST_SERVER;
  /* It stops by itself when left idle, and the fixture stops it anyway. */
  setenv("VEK_TEST_IDLE_EXIT", "20", 1);
  VEKClientSetVEKserverPath(VEK_TEST_SERVER);
  unsigned short port = 0;
  ASSERT_EQ(0, VEKClientRunVEKserver(&port));
  /* Our child named VEKserver, found by its parent id. */
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string stat = read_file(entry.path().string() + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos || stat.find("(VEKserver)") == std::string::npos) continue;
    std::istringstream rest(stat.substr(close_paren + 2));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == getpid()) started_.push_back((pid_t)atol(entry.path().filename().c_str()));
  }
  EXPECT_EQ(1u, started_.size());
  EXPECT_NE(0, port);
  ASSERT_EQ(0, VEKClientConnect("127.0.0.1", port, ""));
  EXPECT_EQ(0, VEKClientSetUnitMode(1));
  EXPECT_EQ(0, VEKClientDisconnect());
#endif
}

}  // namespace
