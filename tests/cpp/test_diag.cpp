// Diagnostics: the error function, debug messages and the trace file.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>

#include "trace_fixture.h"

using namespace vekt;

namespace {

TEST_F(Diag, ErrorsAreOneLineCutToTheBufferAndDebugMessagesFollowTheMode) {
  ASSERT_EQ(st_def_error, VEK_ERROR_FUNCTION);
  testing::internal::CaptureStderr();
  _vek_error("boom %d", 42);
  _vek_is_server = 1;
  _vek_error("%s", "from the server");
  _vek_is_server = 0;
  EXPECT_EQ("VEKClient ERROR: boom 42\nVEKserver ERROR: from the server\n", testing::internal::GetCapturedStderr());

  ErrorCapture errors;
  errno = ECONNREFUSED;
  _vek_perror("_vek_connect(%s:%d), connect", "h", 7);
  errno = 0;
  _vek_perror("no system error");
  h_errno = HOST_NOT_FOUND;
  _vek_herror("lookup %s", "x");
  const std::string huge(5000, 'y');
  _vek_error("%s", huge.c_str());
  errno = EPIPE;
  _vek_perror("%s", huge.c_str());
  _vek_error("%s", std::string(1023, 'w').c_str());        // fills the buffer: kept whole
  _vek_error("%s", std::string(1024, 'z').c_str());        // one more: cut, and says so
  const std::string cut = std::string(1020, 'y') + "...";  // no room left for the system text
  EXPECT_EQ(std::vector<std::string>({"_vek_connect(h:7), connect: " + std::string(strerror(ECONNREFUSED)),
                                      "no system error", "lookup x: " + std::string(hstrerror(HOST_NOT_FOUND)), cut,
                                      cut, std::string(1023, 'w'), std::string(1020, 'z') + "..."}),
            errors.messages());

  // Debug messages follow the mode; off with no trace they are not even
  // formatted (a bad pointer is never read).
  testing::internal::CaptureStdout();
  _vek_debug("%s", (const char *)1);
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

TEST_F(Diag, TheTraceFileIsDecidedOncePerProcess) {
  for (const char *level : {(const char *)nullptr, "0", "-3", "abc", ""}) {
    open_trace(level, path);
    EXPECT_EQ(0, _vek_trace_level) << (level ? level : "(unset)");
    EXPECT_FALSE(exists(path));
  }
  // A file that cannot be opened turns the trace off quietly.
  open_trace("3", dir + "/missing/dir/trace.txt");
  EXPECT_EQ(0, _vek_trace_level);
  _vek_trace_func_start("F", 1);
  _vek_trace_func_end("%d", 0);

  open_trace("3x", path);  // the leading number counts
  EXPECT_EQ(3, _vek_trace_level);
  const std::regex head("Tracing VEKClient\\. Level 3\\. Date [A-Z][a-z]{2} \\d\\d \\d{4}");
  std::vector<std::string> first = new_lines();
  EXPECT_TRUE(first.size() == 1 && std::regex_match(first[0], head)) << testing::PrintToString(first);
  setenv("VEK_SERVER_TRACE", "5", 1);
  _vek_trace_init();
  EXPECT_EQ(3, _vek_trace_level);
  _vek_client_linked_version = 0;
  EXPECT_EQ(0, VEKClientInitialize(VEK_PROTOCOL_VERSION));
  EXPECT_EQ(std::vector<std::string>({"Function VEKClientInitialize(1300030)",
                                      "  Full library version: 2015.3-160211 (15.03-160211)",
                                      "  Protocol Version: 1300030", "Function returned 0"}),
            new_lines());
  // Ending the trace closes its file.
  int fd = fileno(_vek_trace_file);
  _vek_trace_end();
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));

  // Without a file name: the process id names it; a name from the
  // environment is cut to 199 characters.
  std::string def = "/tmp/VEKClient_trace_" + std::to_string(getpid()) + ".txt";
  reset_trace();
  setenv("VEK_SERVER_TRACE", "1", 1);
  _vek_trace_init();
  _vek_trace_end();
  EXPECT_EQ(1u, lines_of(def).size());
  unlink(def.c_str());
  std::string longname = dir + "/" + std::string(250 - dir.size(), 'n');
  open_trace("1", longname);
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
  EXPECT_EQ(std::vector<std::string>({"Function G(1,a)", "  Function Open", "    Function H", "    Function returned",
                                      "  Function returned 50%s%n", "Function returned 0"}),
            new_lines());

  for (int i = 0; i < 6; i++) _vek_trace_func_start(("F" + std::to_string(i)).c_str(), 0);
  _vek_trace("inner");
  for (int i = 0; i < 6; i++) _vek_trace_func_end(NULL);
  const std::string guard = "Error in debug print (wrong indent) !!!!!!";
  EXPECT_EQ(std::vector<std::string>({"Function F0", "  Function F1", "    Function F2", "      Function F3",
                                      "        Function F4", guard, "          Function F5", "          inner",
                                      "        Function returned", "      Function returned", "    Function returned",
                                      "  Function returned", "Function returned", guard, "Function returned"}),
            new_lines());
}

TEST_F(Diag, LevelsDecideWhatAnExchangeWrites) {
  Peer p;
  connect(p, kModern, {"CARCH"});
  for (int mode = 1; mode <= 3; mode++) p.expect(kw("CUNITMODE").i32(mode)).send(kw("SDONE"));
  p.expect(kw("CREADVARF").i64(-1).i64(-1).i32(0))
      .send(kw("SDATAF").i64(12).dbl(-1).append(doubles(std::vector<double>(12, 2.5))));
  p.expect(kw("CUNITMODE").i32(4)).send(kw("SERROR").str("no"));
  p.expect(kw("CSELSET").str("")).send(kw("SDONE"));
  p.expect(kw("CVARSET").str("v")).send(kw("SDONE"));
  open_trace("2", path);
  ErrorCapture errors;
  new_lines();
  // Level 2 adds the packets, level 3 the values, but keywords are not traced as values.
  const std::vector<std::string> expected[] = {
      {"Function VEKClientSetUnitMode(1)", "  Debug: Sending CUNITMODE to server.",
       "  Debug: Reply from server = SDONE.", "Function returned 0"},
      {"Function VEKClientSetUnitMode(2)", "  Start Packet CUNITMODE", "  Debug: Sending CUNITMODE to server.",
       "  Received Packet SDONE", "  Debug: Reply from server = SDONE.", "Function returned 0"},
      {"Function VEKClientSetUnitMode(3)", "  Start Packet CUNITMODE", "  Debug: Sending CUNITMODE to server.",
       "  Write Int(3)", "  Received Packet SDONE", "  Debug: Reply from server = SDONE.", "Function returned 0"}};
  for (int level = 1; level <= 3; level++) {
    _vek_trace_level = level;
    EXPECT_EQ(0, VEKClientSetUnitMode(level));
    EXPECT_EQ(expected[level - 1], new_lines()) << level;
  }
  // A vector shows its first ten values, then how many more.
  double tv, *data = nullptr;
  vek_long n;
  EXPECT_EQ(0, VEKClientReadDoubleVariable(0, &tv, &n, &data));
  VEKClientFreePointer(data);
  std::vector<std::string> read = new_lines();
  EXPECT_EQ(10, std::count(read.begin(), read.end(), "  Read Dbl(2.5)"));
  EXPECT_EQ(1, std::count(read.begin(), read.end(), "  ... + some other 2 values"));
  EXPECT_EQ(0, _vek_disable_rw_trace);  // restored
  _vek_trace_level = 1;
  EXPECT_EQ(1, VEKClientSetUnitMode(4));
  std::vector<std::string> failed = new_lines();
  EXPECT_NE(failed.end(), std::find(failed.begin(), failed.end(), "  Error: Server: no"));
  EXPECT_EQ("Function returned 3", failed.back());
  // A null selection shows as such; setting a variable ends without a code.
  EXPECT_EQ(0, VEKClientSetSelection(nullptr));
  EXPECT_EQ(0, VEKClientSetVariable("v"));
  std::vector<std::string> sets = new_lines();
  EXPECT_EQ("Function VEKClientSetSelection((nil))", sets.front());
  EXPECT_EQ("Function returned", sets.back());
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
