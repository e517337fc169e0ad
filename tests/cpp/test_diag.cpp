// Diagnostics: the error function, debug messages and the trace file.
#include <gtest/gtest.h>

#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "peer.h"
#include "vek_internal.h"

using vekt::kw;
using vekt::Peer;

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The line without its "HH:MM:SS: " stamp; the stamp itself is checked.
std::string unstamped(const std::string& line) {
  static const std::regex stamp("^\\d\\d:\\d\\d:\\d\\d: ");
  EXPECT_TRUE(std::regex_search(line, stamp)) << line;
  return line.size() >= 10 ? line.substr(10) : line;
}

std::vector<std::string> unstamped(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(unstamped(l));
  return out;
}

class Diag : public ::testing::Test {
 protected:
  void SetUp() override {
    vekt::reset_client();
    reset_trace();
    char tmpl[] = "/tmp/vek_diag_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir = tmpl;
    path = dir + "/trace.txt";
  }
  void TearDown() override {
    reset_trace();
    _vek_is_server = 0;
    vekt::reset_client();
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  static void reset_trace() {
    _vek_trace_reset_for_tests();
    unsetenv("VEK_SERVER_TRACE");
    unsetenv("VEK_CLIENT_TRACE_FILE");
  }
  // Decides the trace again with this level text and file.
  void open_trace(const char* level, const std::string& file) {
    reset_trace();
    if (level) setenv("VEK_SERVER_TRACE", level, 1);
    setenv("VEK_CLIENT_TRACE_FILE", file.c_str(), 1);
    _vek_trace_init();
  }
  // Lines added to the trace file since the last call.
  std::vector<std::string> new_lines() {
    std::vector<std::string> all = lines_of(path);
    std::vector<std::string> out(all.begin() + (long)std::min(seen, all.size()), all.end());
    seen = all.size();
    return out;
  }
  std::string dir, path;
  size_t seen = 0;
};

TEST_F(Diag, DefaultErrorFunctionWritesOneTaggedLine) {
  ASSERT_EQ(st_def_error, VEK_ERROR_FUNCTION);
  testing::internal::CaptureStderr();
  _vek_error("boom %d", 42);
  _vek_is_server = 1;
  _vek_error("%s", "from the server");
  _vek_is_server = 0;
  EXPECT_EQ("VEKClient ERROR: boom 42\nVEKserver ERROR: from the server\n", testing::internal::GetCapturedStderr());
}

TEST_F(Diag, SystemTextsAreAppended) {
  vekt::ErrorCapture errors;
  errno = ECONNREFUSED;
  _vek_perror("_vek_connect(%s:%d), connect", "h", 7);
  errno = 0;
  _vek_perror("no system error");
  h_errno = HOST_NOT_FOUND;
  _vek_herror("lookup %s", "x");
  EXPECT_EQ(std::vector<std::string>({"_vek_connect(h:7), connect: " + std::string(strerror(ECONNREFUSED)),
                                      "no system error", "lookup x: " + std::string(hstrerror(HOST_NOT_FOUND))}),
            errors.messages());
}

TEST_F(Diag, OverlongMessagesAreCutNotOverflowed) {
  vekt::ErrorCapture errors;
  std::string huge(5000, 'y');
  _vek_error("%s", huge.c_str());
  errno = EPIPE;
  _vek_perror("%s", huge.c_str());
  ASSERT_EQ(2u, errors.messages().size());
  EXPECT_EQ(1023u, errors.messages()[0].size());
  EXPECT_EQ("y...", errors.messages()[0].substr(1019));
  EXPECT_LE(errors.messages()[1].size(), 1023u);
}

TEST_F(Diag, DebugMessagesFollowTheMode) {
  testing::internal::CaptureStdout();
  // Off with no trace: not even formatted (a bad pointer is never read).
  _vek_debug("%s", (const char*)1);
  VEKClientDebug(1);
  _vek_debug("x %d", 3);
  VEKClientDebug(0);
  _vek_debug("gone");
  EXPECT_EQ(
      "VEKClient Debug: Setting debug mode to on.\n"
      "VEKClient Debug: x 3\n"
      "VEKClient Debug: Setting debug mode to off.\n",
      testing::internal::GetCapturedStdout());
}

TEST_F(Diag, NoTraceWithoutAPositiveLevel) {
  for (const char* level : {(const char*)nullptr, "0", "-3", "abc", ""}) {
    open_trace(level, path);
    EXPECT_EQ(0, _vek_trace_level) << (level ? level : "(unset)");
    EXPECT_EQ(nullptr, _vek_trace_file);
    EXPECT_FALSE(exists(path));
  }
  // A file that cannot be opened turns the trace off quietly.
  open_trace("3", dir + "/missing/dir/trace.txt");
  EXPECT_EQ(0, _vek_trace_level);
  _vek_trace("nothing");
  _vek_trace_func_start("F", 1);
  _vek_trace_func_end("%d", 0);
}

TEST_F(Diag, TheFirstLineNamesProgramLevelAndDate) {
  open_trace("3x", path);  // the leading number counts
  EXPECT_EQ(3, _vek_trace_level);
  std::vector<std::string> lines = new_lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("\\d\\d:\\d\\d:\\d\\d: Tracing VEKClient\\. Level 3\\. "
                                                    "Date [A-Z][a-z]{2} \\d\\d \\d{4}")))
      << lines[0];
  // Decided once per process: a later change of the environment is ignored.
  setenv("VEK_SERVER_TRACE", "5", 1);
  _vek_trace_init();
  EXPECT_EQ(3, _vek_trace_level);

  _vek_client_linked_version = 0;
  EXPECT_EQ(0, VEKClientInitialize(VEK_PROTOCOL_VERSION));
  EXPECT_EQ(std::vector<std::string>({"Function VEKClientInitialize(1300030)",
                                      "  Full library version: 2015.3-160211 (15.03-160211)",
                                      "  Protocol Version: 1300030", "Function returned 0"}),
            unstamped(new_lines()));
}

TEST_F(Diag, DefaultFileNameCarriesThePid) {
  std::string def = "/tmp/VEKClient_trace_" + std::to_string(getpid()) + ".txt";
  unlink(def.c_str());
  reset_trace();
  setenv("VEK_SERVER_TRACE", "1", 1);
  _vek_trace_init();
  EXPECT_EQ(1, _vek_trace_level);
  _vek_trace_end();
  std::vector<std::string> lines = lines_of(def);
  unlink(def.c_str());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, unstamped(lines[0]).find("Tracing VEKClient. Level 1. Date "));

  // A name from the environment is cut to 199 characters.
  std::string longname = dir + "/" + std::string(250 - dir.size(), 'n');
  open_trace("1", longname);
  EXPECT_EQ(1, _vek_trace_level);
  _vek_trace_end();
  std::string cut = longname.substr(0, 199);
  EXPECT_TRUE(exists(cut));
  EXPECT_FALSE(exists(longname));
  unlink(cut.c_str());
}

TEST_F(Diag, EntryLinesJoinTheirArgumentsAndIndentationIsGuarded) {
  open_trace("1", path);
  new_lines();
  _vek_trace_func_start("G", 1);
  _vek_trace("(%d,%s)", 1, "a");
  _vek_trace_func_start("Open", 1);  // its argument line never comes
  _vek_trace_func_start("H", 0);
  _vek_trace_func_end(NULL);
  _vek_trace_func_end("%s", "50%s%n");  // a result is data, never a format
  _vek_trace_func_end("%d", 0);
  EXPECT_EQ(std::vector<std::string>({"Function G(1,a)", "  Function Open", "    Function H",
                                      "    Function returned", "  Function returned 50%s%n",
                                      "Function returned 0"}),
            unstamped(new_lines()));

  for (int i = 0; i < 6; i++) _vek_trace_func_start(("F" + std::to_string(i)).c_str(), 0);
  _vek_trace("inner");
  for (int i = 0; i < 6; i++) _vek_trace_func_end(NULL);
  const std::string guard = "Error in debug print (wrong indent) !!!!!!";
  EXPECT_EQ(std::vector<std::string>({
                "Function F0", "  Function F1", "    Function F2", "      Function F3", "        Function F4",
                guard, "          Function F5", "          inner",
                "        Function returned", "      Function returned", "    Function returned",
                "  Function returned", "Function returned", guard, "Function returned",
            }),
            unstamped(new_lines()));
}

TEST_F(Diag, LevelsDecideWhatAnExchangeWrites) {
  vekt::reset_client();
  Peer p;
  vekt::script_handshake(p, 1300030, {"CARCH", "CUNITMODE"});
  for (int mode = 1; mode <= 3; mode++) p.expect(kw("CUNITMODE").i32(mode)).send(kw("SDONE"));
  p.expect(kw("CUNITMODE").i32(4)).send(kw("SERROR").str("no"));
  vekt::script_goodbye(p);
  p.start();
  open_trace("2", path);
  vekt::ErrorCapture errors;
  ASSERT_EQ(0, vekt::connect_client(p));
  new_lines();

  _vek_trace_level = 1;
  EXPECT_EQ(0, VEKClientSetUnitMode(1));
  EXPECT_EQ(std::vector<std::string>({"Function VEKClientSetUnitMode(1)", "  Debug: Sending CUNITMODE to server.",
                                      "  Debug: Reply from server = SDONE.", "Function returned 0"}),
            unstamped(new_lines()));
  _vek_trace_level = 2;
  EXPECT_EQ(0, VEKClientSetUnitMode(2));
  EXPECT_EQ(std::vector<std::string>({"Function VEKClientSetUnitMode(2)", "  Start Packet CUNITMODE",
                                      "  Debug: Sending CUNITMODE to server.", "  Received Packet SDONE",
                                      "  Debug: Reply from server = SDONE.", "Function returned 0"}),
            unstamped(new_lines()));
  // Level 3 adds the values, but keywords are not traced as values.
  _vek_trace_level = 3;
  EXPECT_EQ(0, VEKClientSetUnitMode(3));
  EXPECT_EQ(std::vector<std::string>({"Function VEKClientSetUnitMode(3)", "  Start Packet CUNITMODE",
                                      "  Debug: Sending CUNITMODE to server.", "  Write Int(3)",
                                      "  Received Packet SDONE", "  Debug: Reply from server = SDONE.",
                                      "Function returned 0"}),
            unstamped(new_lines()));
  _vek_trace_level = 1;
  EXPECT_EQ(1, VEKClientSetUnitMode(4));
  std::vector<std::string> failed = unstamped(new_lines());
  EXPECT_NE(failed.end(), std::find(failed.begin(), failed.end(), "  Error: Server: no"));
  EXPECT_EQ("Function returned 3", failed.back());
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
