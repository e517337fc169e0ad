/*
 * The reference server facing what only it can get wrong: a project it must
 * refuse, requests it does not know or cannot parse, writes that must not
 * change anything, the value rules of reads and writes, and the layouts that
 * each announced version implies.
 */
#include <gtest/gtest.h>
#include <math.h>

#include <fstream>
#include <functional>

#include "server_harness.h"

using vsrv::Project;
using vsrv::Server;

namespace {

void write_text(const std::string &path, const std::string &text) {
  std::ofstream f(path, std::ios::trunc | std::ios::binary);
  f << text;
}

void replace_text(const std::string &path, const std::string &from, const std::string &to) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << path;
  write_text(path, text.replace(at, from.size(), to));
}

}  // namespace

/* A project or a setting the server cannot work with: it ends by itself with
 * status 2 and says why on its standard error. */
TEST(ServerStartup, RefusesAMalformedProjectOrSetting) {
  using Spoil = std::function<void(const Project &)>;
  const struct {
    const char *why;
    Spoil spoil;
    std::vector<std::string> env;
  } cases[] = {
      {"does not exist", [](const Project &p) { std::filesystem::remove_all(p.path); }, {}},
      {"Grid3D/file.json: file.json is not valid JSON",
       [](const Project &p) { write_text(p.file("Demo/Mining/Grid3D/file.json"), "{ \"type\": \"grid\", "); }, {}},
      {"Cu.bin: holds 40 bytes", [](const Project &p) { std::filesystem::resize_file(p.file("Demo/Mining/Samples/Cu.bin"), 40); }, {}},
      {"Gravity.bin", [](const Project &p) { std::filesystem::remove(p.file("Demo/Mining/Lines/Gravity.bin")); }, {}},
      {"line counts add up to 12",
       [](const Project &p) { replace_text(p.file("Demo/Mining/Lines/file.json"), "\"s_number\": 12", "\"s_number\": 13"); }, {}},
      {"Empty/file.json", [](const Project &p) { std::filesystem::create_directory(p.file("Demo/Mining/Empty")); }, {}},
      {"VEK_TEST_VERSION", nullptr, {"VEK_TEST_VERSION=abc"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    Project p;
    if (c.spoil) c.spoil(p);
    Server s;
    EXPECT_FALSE(vsrv::start(s, p.path, c.env));
    ASSERT_TRUE(vsrv::wait_exit(s, 5000));
    EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 2) << s.status;
    std::string text = vsrv::stderr_text(s);
    EXPECT_NE(std::string::npos, text.find(c.why)) << text;
  }
}

class ServerTest : public ::testing::Test {
 protected:
  Project proj;
  Server srv;
  void SetUp() override {
    ASSERT_TRUE(vsrv::start(srv, proj.path)) << vsrv::stderr_text(srv);
    ASSERT_EQ(0, vsrv::connect(srv));
  }
  void TearDown() override {
    if (VEKClientIsConnected()) VEKClientDisconnect();
    vsrv::stop_clean(srv);
  }
  /* Sends raw bytes as one request and returns the answer keyword ("" when
   * none came); an "SERROR" text is left in *error. */
  std::string raw_request(const vekt::Bytes &b, std::string *error = nullptr) {
    _vek_empty_write_buffer();
    _vek_empty_read_buffer();
    if (!_vek_write_bytes(VEK_SOCK, b.b.data(), b.b.size())) return "";
    char answer[16];
    if (_vek_send_and_wait(answer)) return "";
    if (strcmp(answer, "SERROR") == 0 && error) {
      char *text = nullptr;
      if (_vek_read_string(VEK_SOCK, &text, 10000)) *error = text;
      free(text);
    }
    return answer;
  }
  std::vector<std::string> studies() {
    int n = 0;
    char **names = nullptr;
    EXPECT_EQ(0, VEKClientGetStudyList(&n, &names));
    return vsrv::names_of(n, names);
  }
};

TEST_F(ServerTest, UnknownAndMalformedRequestsLeaveTheSessionUsable) {
  vekt::ErrorCapture errors;
  std::string text;
  /* Unknown keyword with arguments the server cannot know. */
  EXPECT_EQ("SERROR", raw_request(vekt::kw("CNOSUCH").i32(7).str("x").dbl(1.5), &text));
  EXPECT_NE(std::string::npos, text.find("Unknown request 'CNOSUCH'")) << text;
  EXPECT_EQ(std::vector<std::string>{"Demo"}, studies());

  /* A keyword whose length no keyword has. */
  EXPECT_EQ("SERROR", raw_request(vekt::Bytes().u32(0x7fffffff).fill(64, 'A'), &text));
  EXPECT_EQ(std::vector<std::string>{"Demo"}, studies());

  /* A count that says how many texts follow, out of its range. */
  ASSERT_EQ(0, vsrv::target("Grid3D", "Grade"));
  EXPECT_EQ("SERROR", raw_request(vekt::kw("CVARUNIT").i32(-5).str("m").str("m"), &text));
  EXPECT_NE(std::string::npos, text.find("Malformed arguments of request 'CVARUNIT'")) << text;
  /* The session, its current items included, is intact. */
  VEKVariableInfo info;
  EXPECT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_STREQ("g/t", info.unit);

  /* A negative array count cannot be skipped: the rest is drained. */
  EXPECT_EQ("SERROR", raw_request(vekt::kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(1.234e30).i64(-3).dbl(1), &text));
  EXPECT_EQ(24u, vsrv::read_all().size());
}

TEST_F(ServerTest, DamageFoundLaterIsAnErrorAndDeletionClearsTheItemsBelow) {
  vekt::ErrorCapture errors;
  /* A description spoilt while the server runs. */
  std::ofstream(proj.file("Demo/Mining/Grid2D/file.json"), std::ios::trunc) << "[1,2";
  ASSERT_EQ(0, vsrv::target("Samples", "Cu"));
  EXPECT_EQ(1, VEKClientSetFile("Grid2D"));
  EXPECT_TRUE(errors.contains("File 'Grid2D' is damaged")) << errors.joined();
  /* The current items did not move. */
  EXPECT_EQ(12u, vsrv::read_all().size());
  /* A data file cut short under the current File. */
  std::filesystem::resize_file(proj.file("Demo/Mining/Samples/Cu.bin"), 16);
  int code;
  EXPECT_TRUE(vsrv::read_all(&code).empty());
  EXPECT_EQ(3, code);
  std::vector<double> v(12, 1.0);
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(1, 2, 0, 1.234e30, 2, v.data()));
  /* A whole write replaces the data without reading it. */
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 12, v.data()));
  EXPECT_EQ(v, vsrv::read_all());

  /* Deleting the current File forgets it and what was below it. */
  ASSERT_EQ(0, VEKClientSetSelection("Inside"));
  ASSERT_EQ(0, VEKClientDeleteFile());
  VEKVariableInfo vi;
  EXPECT_EQ(1, VEKClientGetVariableInfo(&vi));
  EXPECT_TRUE(errors.contains("No current File"));
  EXPECT_EQ(1, VEKClientSetSelection("Inside"));
  int n;
  char **names;
  ASSERT_EQ(0, VEKClientGetFileList(&n, &names));
  EXPECT_EQ((std::vector<std::string>{"Cores", "Grid2D", "Grid3D", "Lines"}), vsrv::names_of(n, names));
  ASSERT_EQ(0, VEKClientDeleteDirectory());
  EXPECT_EQ(1, VEKClientGetFileList(&n, &names));
  ASSERT_EQ(0, VEKClientDeleteStudy());
  EXPECT_EQ(1, VEKClientGetDirectoryList(&n, &names));
  EXPECT_TRUE(studies().empty());
  for (auto &e : std::filesystem::directory_iterator(proj.path)) EXPECT_EQ(".vek.lock", e.path().filename());
}

TEST_F(ServerTest, ItemsOutsideTheTreeAreRefused) {
  vekt::ErrorCapture errors;
  EXPECT_EQ(1, VEKClientSetStudy("../.."));
  EXPECT_EQ(3, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientNewStudy("../escape", "x"));
  EXPECT_EQ(1, VEKClientNewStudy(".hidden", "x"));
  EXPECT_EQ(1, VEKClientNewStudy("a/b", "x"));
  EXPECT_EQ(1, VEKClientNewStudy("", "x"));
  EXPECT_EQ(1, VEKClientNewStudy(std::string(129, 'n').c_str(), "x"));
  EXPECT_EQ(0, VEKClientNewStudy(std::string(128, 'n').c_str(), "x"));
  EXPECT_FALSE(std::filesystem::exists(proj.dir + "/escape"));
  EXPECT_EQ(2u, studies().size());
  /* Listing and setting need the level above. */
  int n;
  char **names;
  EXPECT_EQ(1, VEKClientGetDirectoryList(&n, &names));
  EXPECT_TRUE(errors.contains("No current Study"));
  EXPECT_EQ(1, VEKClientSetVariable("Grade"));
}

TEST_F(ServerTest, RefusedWritesChangeNothing) {
  vekt::ErrorCapture errors;
  ASSERT_EQ(0, vsrv::target("Grid3D", "Grade"));
  std::vector<double> before = vsrv::read_all();
  ASSERT_EQ(24u, before.size());
  std::vector<double> v(30, 7.0);
  /* A count that does not match the File. */
  EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, 1.234e30, 23, v.data()));
  EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, 1.234e30, 25, v.data()));
  /* Ranges outside the File, or a count that does not match the range. */
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(0, 3, 0, 1.234e30, 4, v.data()));
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(20, 25, 0, 1.234e30, 6, v.data()));
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(5, 4, 0, 1.234e30, 0, v.data()));
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(1, 3, 0, 1.234e30, 2, v.data()));
  double test;
  vek_long n;
  double *data = nullptr;
  EXPECT_EQ(1, VEKClientReadDoubleVariableSub(24, 25, 0, &test, &n, &data));
  EXPECT_EQ(3, VEKClientGetLastError());
  EXPECT_EQ(0, VEKClientReadDoubleVariableSub(24, 24, 0, &test, &n, &data));
  EXPECT_EQ(1, n);
  VEKClientFreePointer(data);
  /* Coordinates of a grid follow from its geometry. */
  ASSERT_EQ(0, VEKClientSetVariable("X"));
  EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, 1.234e30, 24, v.data()));
  ASSERT_EQ(0, VEKClientSetVariable("Grade"));
  EXPECT_EQ(before, vsrv::read_all());

  /* A request cut short: the connection dies in the middle of the values. */
  EXPECT_EQ(0, _vek_request("CWRITVARF"));
  vek_long first = -1, count = 24;
  int flag = 0;
  double tv = 1.234e30;
  ASSERT_TRUE(_vek_write_long(VEK_SOCK, &first) && _vek_write_long(VEK_SOCK, &first) &&
              _vek_write_int(VEK_SOCK, &flag) && _vek_write_double(VEK_SOCK, &tv) &&
              _vek_write_long(VEK_SOCK, &count));
  for (int i = 0; i < 10; i++) ASSERT_TRUE(_vek_write_double(VEK_SOCK, &v[0]));
  ASSERT_TRUE(_vek_flush_write(VEK_SOCK));
  _vek_close_client();
  /* The server notices, ends that session and takes the next one. */
  ASSERT_EQ(0, vsrv::connect(srv));
  ASSERT_EQ(0, vsrv::target("Grid3D", "Grade"));
  EXPECT_EQ(before, vsrv::read_all());
}

/* Counts that promise far more values than arrive: the server holds only
 * what came, and the peer's going away ends that session only. */
TEST_F(ServerTest, HostileCountsEndOnlyTheirSession) {
  ASSERT_EQ(0, vsrv::target("Samples"));
  vekt::Bytes b = vekt::kw("CPFILENEW").str("Huge").i64(200000000).i32(3);
  for (int i = 0; i < 1000; i++) b.dbl(1.0);
  ASSERT_TRUE(_vek_write_bytes(VEK_SOCK, b.b.data(), b.b.size()) && _vek_flush_write(VEK_SOCK));
  _vek_close_client();
  ASSERT_EQ(0, vsrv::connect(srv));
  ASSERT_EQ(0, vsrv::target("Samples", "Au"));
  vekt::Bytes w = vekt::kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(1.234e30).i64(1000000000000LL);
  for (int i = 0; i < 1000; i++) w.dbl(2.0);
  ASSERT_TRUE(_vek_write_bytes(VEK_SOCK, w.b.data(), w.b.size()) && _vek_flush_write(VEK_SOCK));
  _vek_close_client();
  ASSERT_EQ(0, vsrv::connect(srv));
  ASSERT_EQ(0, vsrv::target("Samples", "Au"));
  std::vector<double> au = vsrv::read_all();
  ASSERT_EQ(12u, au.size());
  EXPECT_EQ(1.5, au[0]);
  int exists = 1;
  ASSERT_EQ(0, VEKClientFileExists("Huge", &exists));
  EXPECT_EQ(0, exists);
}

TEST_F(ServerTest, SelectionAndUndefinedValues) {
  ASSERT_EQ(0, vsrv::target("Samples", "Cu"));
  std::vector<double> cu = vsrv::read_all();
  ASSERT_EQ(12u, cu.size());
  EXPECT_EQ(1.234e30, cu[4]); /* undefined in the sample project */

  /* Under "Inside" (samples 4 to 9) a read hides the rest and a write
   * changes only the selected samples. */
  ASSERT_EQ(0, VEKClientSetSelection("Inside"));
  std::vector<double> w(12);
  for (int i = 0; i < 12; i++) w[(size_t)i] = 100 + i;
  w[5] = -999.0; /* this write's own test value: stored as undefined */
  w[6] = NAN;
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, -999.0, 12, w.data()));
  std::vector<double> under = vsrv::read_all();
  ASSERT_EQ(0, VEKClientSetSelection(nullptr));
  std::vector<double> all = vsrv::read_all();
  for (size_t i = 0; i < 12; i++) {
    bool inside = i >= 3 && i <= 8;
    if (!inside) {
      EXPECT_EQ(1.234e30, under[i]) << i;
      EXPECT_EQ(cu[i], all[i]) << i;
    } else if (i == 5) {
      EXPECT_EQ(1.234e30, all[i]);
    } else if (i == 6) {
      EXPECT_TRUE(std::isnan(all[i]));
    } else {
      EXPECT_EQ(100.0 + (double)i, all[i]) << i;
    }
  }

  /* A 1-bit variable holds 0 or 1 whatever is written. */
  ASSERT_EQ(0, VEKClientNewDoubleVariable("Mask", 1, 0, 1, 0, nullptr));
  int n;
  char **names;
  ASSERT_EQ(0, VEKClientGetVariableListByType(-3, &n, &names));
  EXPECT_EQ((std::vector<std::string>{"Inside", "Mask"}), vsrv::names_of(n, names));
  ASSERT_EQ(0, VEKClientSetVariable("Mask"));
  std::vector<double> m = {0, 1, 2, -1, 1.234e30, NAN, 0, 0, 0, 0, 0, 5};
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 12, m.data()));
  EXPECT_EQ((std::vector<double>{0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1}), vsrv::read_all());

  /* Deleting the current selection clears it. */
  ASSERT_EQ(0, VEKClientSetSelection("Mask"));
  ASSERT_EQ(0, VEKClientDeleteVariable());
  ASSERT_EQ(0, VEKClientSetVariable("Cu"));
  std::vector<double> after = vsrv::read_all();
  ASSERT_EQ(12u, after.size());
  EXPECT_EQ(cu[0], after[0]);
  EXPECT_EQ(103.0, after[3]);
}

TEST_F(ServerTest, MacroItemsAreCreatedByWritingAndNamedByAlpha) {
  vekt::ErrorCapture errors;
  ASSERT_EQ(0, vsrv::target("Grid2D"));
  ASSERT_EQ(0, VEKClientNewDoubleVariable("Sim[xxxxx]", 32, 0, 10, 3, "m"));
  ASSERT_EQ(0, VEKClientSetVariable("Sim[xxxxx]"));
  std::vector<double> v(20, 1.0);
  /* No index yet: nothing to read or write. */
  EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, 1.234e30, 20, v.data()));
  EXPECT_TRUE(errors.contains("No macro index"));
  ASSERT_EQ(0, VEKClientSetIndice(7));
  int code;
  EXPECT_TRUE(vsrv::read_all(&code).empty());
  EXPECT_EQ(3, code);
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 20, v.data()));
  ASSERT_EQ(0, VEKClientSetIndice(2));
  v.assign(20, 2.0);
  ASSERT_EQ(0, VEKClientWriteDoubleVariableSub(1, 5, 0, 1.234e30, 5, v.data()));
  int n;
  int *ind;
  ASSERT_EQ(0, VEKClientGetMacroIndices(&n, &ind));
  ASSERT_EQ(2, n);
  EXPECT_EQ(2, ind[0]);
  EXPECT_EQ(7, ind[1]);
  VEKClientFreePointer(ind);
  std::vector<double> item2 = vsrv::read_all();
  ASSERT_EQ(20u, item2.size());
  EXPECT_EQ(2.0, item2[4]);
  EXPECT_EQ(1.234e30, item2[5]);
  /* "Sim[00007]" names item 7. */
  ASSERT_EQ(0, VEKClientSetVariable("Sim[00007]"));
  EXPECT_EQ(std::vector<double>(20, 1.0), vsrv::read_all());
  EXPECT_EQ(1, VEKClientSetVariable("Sim[00003]"));
  EXPECT_EQ(1, VEKClientSetIndice(-1));

  ASSERT_EQ(0, vsrv::target("Grid3D", "Simu[xxxxx]"));
  ASSERT_EQ(0, VEKClientSetAlphaIndice("high"));
  std::vector<double> high = vsrv::read_all();
  ASSERT_EQ(24u, high.size());
  EXPECT_DOUBLE_EQ(1.5, high[0]);
  EXPECT_EQ(1, VEKClientSetAlphaIndice("nothing"));
  /* A character variable holds no numbers. */
  ASSERT_EQ(0, VEKClientSetVariable("Lithology"));
  EXPECT_TRUE(vsrv::read_all(&code).empty());
  EXPECT_EQ(3, code);
}

/* Reads longer than one of the server's sends: every piece in its place, a
 * macro item's offset, a sub-range and the selection kept across pieces. */
TEST_F(ServerTest, LongReadsKeepEveryValueInPlace) {
  const int n = 100003, first = 40000;
  ASSERT_EQ(0, vsrv::target("Grid2D"));
  ASSERT_EQ(0, VEKClientNewGridFile("Long", 2, 0, 0, 0, 1, 1, 1, n, 1, 1));
  ASSERT_EQ(0, VEKClientSetFile("Long"));
  ASSERT_EQ(0, VEKClientNewDoubleVariable("Sel", 1, 0, 1, 0, nullptr));
  ASSERT_EQ(0, VEKClientNewDoubleVariable("M[xxxxx]", 64, 0, 10, 3, nullptr));
  std::vector<double> sel(n), ramp(n), other(n, -1.0);
  for (int i = 0; i < n; i++) sel[(size_t)i] = i % 3 != 0, ramp[(size_t)i] = i;
  ASSERT_EQ(0, VEKClientSetVariable("Sel"));
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, n, sel.data()));
  ASSERT_EQ(0, VEKClientSetVariable("M[xxxxx]"));
  for (int index : {1, 2}) {
    ASSERT_EQ(0, VEKClientSetIndice(index));
    ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, n, (index == 1 ? other : ramp).data()));
  }
  ASSERT_EQ(0, VEKClientSetSelection("Sel"));
  for (const char *var : {"M[00002]", "X"}) { /* stored, computed */
    ASSERT_EQ(0, VEKClientSetVariable(var));
    double test;
    vek_long count;
    double *data = nullptr;
    ASSERT_EQ(0, VEKClientReadDoubleVariableSub(first + 1, n, 0, &test, &count, &data));
    ASSERT_EQ(n - first, count);
    for (int i = first; i < n; i++)
      ASSERT_EQ(i % 3 ? (double)i : 1.234e30, data[i - first]) << var << " sample " << i;
    VEKClientFreePointer(data);
  }
}

/* The answers follow the layout of the version the server announces: every
 * request the client may send to such a server must come back readable. */
TEST(ServerVersions, AnswersFollowTheAnnouncedLayout) {
  const int versions[] = {100, 406, 408, 410, 411, 400500, 800000, 900000, 1300029, 1300030};
  for (int version : versions) {
    SCOPED_TRACE("version " + std::to_string(version));
    Project proj;
    Server srv;
    ASSERT_TRUE(vsrv::start(srv, proj.path, {"VEK_TEST_VERSION=" + std::to_string(version)}));
    ASSERT_EQ(0, vsrv::connect(srv));
    EXPECT_EQ(version, VEKClientGetServerVersion());
    ASSERT_EQ(0, vsrv::target("Cores", "Grade"));
    VEKFileInfo fi;
    ASSERT_EQ(0, VEKClientGetFileInfo(&fi));
    EXPECT_EQ(VEK_FILE_TYPE_CORE_LINES, fi.type);
    EXPECT_STREQ(version >= 900000 ? "Xb" : "", fi.xb_var_name);
    EXPECT_STREQ("Z", fi.zg_var_name);
    EXPECT_EQ(0, fi.fault_info.auth_priority);
    VEKVariableInfo vi;
    memset(&vi, 0, sizeof vi);
    ASSERT_EQ(0, VEKClientGetVariableInfo(&vi));
    EXPECT_EQ(32, vi.bit_length);
    std::vector<double> g = vsrv::read_all();
    ASSERT_EQ(5u, g.size());
    g[1] = 3.25;
    ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 5, g.data()));
    EXPECT_EQ(g, vsrv::read_all());
    if (version > 400000) { /* only announcing servers create variables */
      ASSERT_EQ(0, VEKClientNewDoubleVariable("Unit", 32, 0, 10, 3, "cm"));
      ASSERT_EQ(0, VEKClientSetVariable("Unit"));
      ASSERT_EQ(0, VEKClientGetVariableInfo(&vi));
      EXPECT_STREQ("cm", vi.unit);
      EXPECT_EQ(1, vi.length_var);
    }
    ASSERT_EQ(0, VEKClientNewStudy("New", "/phys"));
    ASSERT_EQ(0, VEKClientDisconnect());
    vsrv::stop_clean(srv);
  }
}

TEST(ServerVersions, OlderServersAndMovedSessions) {
  Project proj;
  /* Without "CARCH" longs stay 4 bytes on both sides. */
  {
    Server srv;
    ASSERT_TRUE(vsrv::start(srv, proj.path, {"VEK_TEST_SUPPORTED=CVARMNEW,CLFILECNT"}));
    ASSERT_EQ(0, vsrv::connect(srv));
    EXPECT_EQ(0, _vek_server64);
    ASSERT_EQ(0, vsrv::target("Lines", "Gravity"));
    std::vector<double> g = vsrv::read_all();
    ASSERT_EQ(12u, g.size());
    /* Without "CCOMGET" the description carries the comment. */
    VEKVariableInfo vi;
    ASSERT_EQ(0, VEKClientGetVariableInfo(&vi));
    EXPECT_STREQ("mGal", vi.unit);
    double test;
    int n;
    double *data = nullptr;
    ASSERT_EQ(0, VEKClientReadLineDoubleVariable(3, &test, &n, &data));
    ASSERT_EQ(3, n);
    EXPECT_EQ(g[9], data[0]);
    EXPECT_EQ(g[11], data[2]);
    VEKClientFreePointer(data);
    double line[3] = {1, 2, 3};
    EXPECT_EQ(3, VEKClientWriteLineDoubleVariable(3, 1.234e30, 2, line)); /* count must be the line's */
    EXPECT_EQ(0, VEKClientWriteLineDoubleVariable(3, 1.234e30, 3, line));
    g[9] = 1, g[10] = 2, g[11] = 3;
    EXPECT_EQ(g, vsrv::read_all());
    EXPECT_EQ(0, VEKClientDisconnect());
    vsrv::stop_clean(srv);
  }
  /* "SNEWPORT": the session moves to a port of its own. */
  {
    Server srv;
    ASSERT_TRUE(vsrv::start(srv, proj.path, {"VEK_TEST_NEWPORT=1"}));
    ASSERT_EQ(0, vsrv::connect(srv));
    ASSERT_EQ(0, vsrv::target("Samples", "Au"));
    EXPECT_EQ(12u, vsrv::read_all().size());
    EXPECT_EQ(0, VEKClientDisconnect());
    /* and the server takes the next client on its first port */
    ASSERT_EQ(0, vsrv::connect(srv));
    EXPECT_EQ(0, VEKClientDisconnect());
    vsrv::stop_clean(srv);
  }
}
