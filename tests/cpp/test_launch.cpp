// Locating and launching the server program, with stand-in programs (see
// stand_in.h); the R tests launch the reference server itself.
#include <pthread.h>

#include <iterator>
#include <set>
#include <sstream>

#include "stand_in.h"

using namespace vekt;

namespace {

TEST_F(Launch, TheServerIsLookedForInOrder) {
  /* A path of 1023 characters fits the buffer, 1024 do not. */
  std::string deep = dir_;
  while (deep.size() + 1 + 200 + 10 < 1023) deep += "/" + std::string(200, 'd');
  deep += "/" + std::string(1023 - deep.size() - 1 - 10, 'e') + "/VEKserver";
  fs::create_directories(fs::path(deep).parent_path());
  std::ofstream(deep) << "#!/bin/sh\n";
  const std::string home = dir_ + "/home", d = dir_;
  auto env = [](const char *name, const std::string &value) { setenv(name, value.c_str(), 1); };
  auto set = [](const std::string &path) { VEKClientSetVEKserverPath(path.c_str()); };
  const struct {
    const char *name;
    std::function<void()> setup;
    std::string found;  // empty: not found (code 1)
    std::string message = "";
  } rows[] = {
      {"the path set first", [&] { set(d + "/a/VEKserver"), env("VEK_SERVER", d + "/b/VEKserver"); },
       d + "/a/VEKserver"},
      {"then VEK_SERVER", [&] { set(d + "/missing"), env("VEK_SERVER", d + "/b/VEKserver"); }, d + "/b/VEKserver"},
      {"VEKSERVER fails even beside a valid server",
       [&] { env("VEK_SERVER", d + "/b/VEKserver"), env("VEKSERVER", ""); }, "",
       "Use VEK_SERVER environment variable instead of VEKSERVER"},
      {"VEK_HOME's 64-bit place first", [&] { env("VEK_HOME", home); }, home + "/bin/linux64-gcc44/VEKserver"},
      {"then its linux place", [&] { env("VEK_HOME", home), fs::remove(home + "/bin/linux64-gcc44/VEKserver"); },
       home + "/bin/linux/VEKserver"},
      {"then its bin", [&] { env("VEK_HOME", home), fs::remove(home + "/bin/linux/VEKserver"); },
       home + "/bin/VEKserver"},
      // A home too long for the buffer is passed over, not cut.
      {"then PATH", [&] { env("VEK_HOME", home + std::string(1100, '/')), env("PATH", d + "/p"); }, d + "/p/VEKserver"},
      {"PATH ends at an empty element", [&] { env("PATH", "/usr/bin::" + d + "/p"); }, "",
       "VEKserver executable has not been found"},
      {"PATH passes over what cannot be a program",
       [&] { env("PATH", "/" + std::string(1100, 'x') + ":" + d + "/isdir:" + d + "/missing:" + d + "/p"); },
       d + "/p/VEKserver"},
      {"no PATH at all", [] { unsetenv("PATH"); }, ""},
      {"a candidate of 1024 characters, cut, would name home/bin/VEKserve",
       [&] { env("VEK_HOME", home + std::string(1010 - home.size(), '/')); }, ""},
      {"a set path of 1023 characters", [&] { set(deep); }, deep},
      {"one of 1024 is refused, the previous kept",
       [&] { set(deep), set(deep + "x"), VEKClientSetVEKserverPath(nullptr); }, deep,
       "VEKClientSetVEKserverPath(): path longer than 1023 characters ignored"},
      {"not initialised", [] { _vek_client_linked_version = 0; }, "", "VEKClient library has not been initialized"},
  };
  for (const char *rel : {"a", "b", "home/bin/linux64-gcc44", "home/bin/linux", "home/bin", "p"})
    recorder(std::string(rel) + "/VEKserver");
  recorder("home/bin/VEKserve");
  fs::create_directories(dir_ + "/isdir/VEKserver");
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    for (const char *name : {"VEK_HOME", "VEK_SERVER", "VEKSERVER"}) unsetenv(name);
    setenv("PATH", (dir_ + "/nothing").c_str(), 1);
    VEKClientSetVEKserverPath("");
    ErrorCapture errors;
    r.setup();
    char path[VEK_PATH_MAX] = "stale";
    EXPECT_EQ(r.found.empty(), VEKClientLocateVEKserver(path));
    EXPECT_EQ(r.found, path);
    EXPECT_TRUE(r.message.empty() || errors.contains(r.message)) << errors.joined();
    _vek_client_linked_version = VEK_PROTOCOL_VERSION;
  }
  EXPECT_EQ(1, VEKClientLocateVEKserver(nullptr));
  _vek_client_linked_version = 0;
  unsigned short port = 0;
  EXPECT_EQ(1, VEKClientRunVEKserver(&port));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
}

TEST_F(Launch, ASilentServerLeavesTheSuggestedPort) {
  VEKClientSetVEKserverPath(recorder("VEKserver", 5).c_str());
  unsigned short port = 0;
  EXPECT_EQ(0, VEKClientRunVEKserver(&port));
  EXPECT_GE(port, 1024);
  EXPECT_LE(port, 2047);
  std::vector<std::string> args = recorded_args();
  int pids[4];
  ASSERT_EQ(1, _vek_reap_servers(pids, 4));
  started_.push_back(pids[0]);
  ASSERT_EQ(5u, args.size());
  EXPECT_GT(atoi(args[2].c_str()), 0);
  EXPECT_EQ((std::vector<std::string>{dir_ + "/VEKserver", "-control", args[2], "-port", std::to_string(port)}), args);
}

TEST_F(Launch, AGivenPortIsPassedAndKeptAndDebugAddsItsFlag) {
  VEKClientSetVEKserverPath(recorder("VEKserver").c_str());
  VEKClientDebug(1);
  unsigned short port = 5600;
  EXPECT_EQ(0, VEKClientRunVEKserver(&port));
  EXPECT_EQ(5600, port);
  EXPECT_EQ((std::vector<std::string>{dir_ + "/VEKserver", "-debug", "-port", "5600"}), recorded_args());
}

TEST_F(Launch, TheControlConnectionNamesThePort) {
  /* The control connection has its own limit, whatever the answer wait. */
  _vek_answer_timeout_ms = 30000;
  const struct {
    const char *name;
    const char *bytes;
    int code;
    unsigned short port;
    size_t messages;
  } rows[] = {
      {"port 6001", "\\x00\\x00\\x17\\x71", 0, 6001, 0},
      {"the low 16 bits", "\\x00\\x03\\x17\\x72", 0, 6002, 0},
      // A program that says anything else is no server.
      {"connects and says nothing", "", VEK_RESULT_COMMUNICATION, 0, 0},
      {"two bytes of four", "\\x00\\x01", VEK_RESULT_COMMUNICATION, 0, 0},
      {"port 0", "\\x00\\x01\\x00\\x00", VEK_RESULT_COMMUNICATION, 0, 1},
  };
  // The hook outlives this test: it may only write a variable that does.
  static int kind;
  kind = VEK_FAIL_NONE;
  _vek_failure_function = [](int, int k) { kind = k; };
  int k = 0;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove(dir_ + "/connector.pid");
    // Found through PATH and run by its full path.
    setenv("PATH", (dir_ + "/c" + std::to_string(k) + ":/nowhere").c_str(), 1);
    connector("c" + std::to_string(k++) + "/VEKserver", r.bytes, r.code ? 8 : 0);
    ErrorCapture errors;
    unsigned short port = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(r.code != 0, VEKClientRunVEKserver(&port));
    EXPECT_LT(seconds_since(start), 7.5);
    EXPECT_EQ(r.code, VEKClientGetLastError());
    EXPECT_EQ(r.port, port);
    EXPECT_EQ(30000, _vek_answer_timeout_ms);
    EXPECT_EQ(r.messages, errors.messages().size()) << errors.joined();
    EXPECT_EQ(r.code ? VEK_FAIL_LAUNCH : VEK_FAIL_NONE, kind);
    kind = VEK_FAIL_NONE;
    pid_t pid = (pid_t)atol(read_file(dir_ + "/connector.pid").c_str());
    if (pid > 1) started_.push_back(pid);
  }
  _vek_failure_function = nullptr;
}

// A program that ends before it reports will never report, nor will one
// that cannot be run: the launch fails at once (not after the three seconds
// of the port's wait), saying why, a given port kept, the program reaped.
TEST_F(Launch, AProgramThatEndsOrCannotRunFailsAtOnce) {
  const char *denied = "_vek_exec_server: Permission denied";
  const struct {
    const char *name;
    const char *body;
    mode_t mode;  // 0644: readable, so located, but not executable
    unsigned short port;
    int code;
    const char *message;
  } rows[] = {
      {"exit status", "exit 3\n", 0755, 0, VEK_RESULT_COMMUNICATION,
       "the server program ended (status 3) before reporting its port"},
      {"a signal", "kill -9 $$\n", 0755, 0, VEK_RESULT_COMMUNICATION,
       "the server program ended (signal 9) before reporting its port"},
      {"not executable, a port given", "exit 0\n", 0644, 5601, VEK_RESULT_USAGE, denied},
      {"not executable", "exit 0\n", 0644, 0, VEK_RESULT_COMMUNICATION, denied},
  };
  int k = 0;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    VEKClientSetVEKserverPath(script("ends_" + std::to_string(k++), r.body, r.mode).c_str());
    ErrorCapture errors;
    unsigned short port = r.port;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, VEKClientRunVEKserver(&port));
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_EQ(r.code, VEKClientGetLastError());
    EXPECT_EQ(r.port ? r.port : port, port);
    EXPECT_TRUE(errors.contains(r.message)) << errors.joined();
    EXPECT_EQ(0, _vek_reap_servers(nullptr, 0));
  }
}

// The server gets none of the terminal's signals (a session and a group of
// its own) and starts with a new program's signals, whatever the host
// blocks or ignores.
TEST_F(Launch, TheServerRunsInASessionOfItsOwnWithDefaultSignals) {
  std::string out = dir_ + "/seen";
  const std::string tmp = "'" + out + ".tmp'";
  std::string path =
      script("VEKserver", "set -- $(cut -d')' -f2 /proc/$$/stat)\necho $$ $3 $4 > " + tmp +
                              "\ngrep -E '^Sig(Blk|Ign)' /proc/$$/status | tr -s '\\t' ' ' >> " + tmp +
                              "\necho fds $(ls /proc/$$/fd) >> " + tmp + "\necho err $(readlink /proc/$$/fd/2) >> " +
                              tmp + "\nmv " + tmp + " '" + out + "'\n");
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &block, &saved));
  void (*saved_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  int stray = dup2(open("/dev/null", O_RDONLY), 7);  // not close-on-exec
  char name[] = "VEKserver";
  char *argv[] = {name, nullptr};
  int pid = _vek_exec_server(path.c_str(), argv);
  close(stray);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  signal(SIGPIPE, saved_pipe);
  ASSERT_GT(pid, 0);
  started_.push_back(pid);
  std::string p = std::to_string(pid);
  EXPECT_EQ(p + " " + p + " " + p, recorded("seen"));  // its pid, its group, its session
  // The standard signals (1 to 31); the C library keeps some above.
  std::string all = read_file(out);
  for (const char *set : {"SigBlk: ", "SigIgn: "}) {
    size_t at = all.find(set);
    ASSERT_NE(std::string::npos, at) << all;
    EXPECT_EQ(0u, strtoull(all.c_str() + at + 8, nullptr, 16) & 0x7FFFFFFFu) << all;
  }
  // The standard streams stay open for the server's messages; nothing else of ours goes with it.
  std::istringstream fds(all.substr(all.find("fds ") + 4, all.find("\nerr ") - all.find("fds ") - 4));
  std::set<std::string> have(std::istream_iterator<std::string>{fds}, {});
  EXPECT_EQ(0u, have.count("7")) << all;
  char err[4096] = "";
  EXPECT_GT(readlink("/proc/self/fd/2", err, sizeof err - 1), 0);
  EXPECT_NE(std::string::npos, all.find("err " + std::string(err) + "\n")) << all;
}

// Stopping a server stops all it started, and waits for them; one that
// ignores SIGTERM is killed after the grace time. Nothing that is not an
// unreaped server of ours is touched.
TEST_F(Launch, StoppingAServerStopsAllItStarted) {
  const struct {
    const char *name;
    const char *body;
    int grace_ms;
    double at_most_s;
  } rows[] = {
      {"ends on SIGTERM", "", 2000, 1.5},
      {"ignores SIGTERM", "trap '' TERM\n", 300, 1.5},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove(dir_ + "/child.pid");
    std::string path = script(
        "server", std::string(r.body) + "sleep 60 &\necho $! > '" + dir_ + "/child.pid'\nwhile :; do sleep 1; done\n");
    char name[] = "VEKserver";
    char *argv[] = {name, nullptr};
    int pid = _vek_exec_server(path.c_str(), argv);
    ASSERT_GT(pid, 0);
    pid_t child = (pid_t)atol(recorded("child.pid").c_str());
    ASSERT_GT(child, 1);
    int stranger = (int)getpid();
    EXPECT_EQ(0, _vek_stop_servers(&stranger, 1, r.grace_ms));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, _vek_stop_servers(nullptr, 0, r.grace_ms));
    EXPECT_LT(seconds_since(start), r.at_most_s);
    EXPECT_FALSE(alive(pid));
    for (int i = 0; i < 50 && alive(child); i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(alive(child));
    EXPECT_EQ(0, _vek_reap_servers(nullptr, 0));
  }
}

}  // namespace
