// The reference server facing what only it can get wrong: a project it must
// refuse, requests it does not know or cannot parse, names and values it
// must refuse, the value rules of reads and writes, and the layouts that
// each announced version implies.
#include <math.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "record.h"
#include "server_harness.h"

using namespace vsrv;

/* A project or a setting the server cannot work with: it ends by itself with
 * status 2 and says why on its standard error. */
TEST(ServerStartup, RefusesAMalformedProjectOrSetting) {
  using Spoil = std::function<void(const Project &)>;
  namespace fs = std::filesystem;
  auto replacing = [](std::string file, std::string from, std::string to) -> Spoil {
    return [=](const Project &p) { replace_text(p.file("Demo/Mining/" + file), from, to); };
  };
  const std::string cu = "\"data\": \"Cu.bin\"";
  const struct {
    const char *why;
    Spoil spoil;
    std::vector<std::string> env = {};
    std::vector<std::string> args = {};
  } cases[] = {
      {"does not exist", [](const Project &p) { fs::remove_all(p.path); }},
      {"Grid3D/file.json: file.json is not valid JSON",
       [](const Project &p) { write_text(p.file("Demo/Mining/Grid3D/file.json"), "{ \"type\": \"grid\", "); }},
      {"Cu.bin: holds 40 bytes", [](const Project &p) { fs::resize_file(p.file("Demo/Mining/Samples/Cu.bin"), 40); }},
      {"Gravity.bin", [](const Project &p) { fs::remove(p.file("Demo/Mining/Lines/Gravity.bin")); }},
      {"\"inline\" holds 2 values where 12 are needed",
       replacing("Samples/file.json", cu, "\"inline\": \"000000000000f03f0000000000000040\"")},
      {"16 hexadecimal digits per value", replacing("Samples/file.json", cu, "\"inline\": \"00f03g\"")},
      {"16 hexadecimal digits per value", replacing("Samples/file.json", cu, "\"inline\": \"000000000000f03g\"")},
      {"line counts add up to 12", replacing("Lines/file.json", "\"s_number\": 12", "\"s_number\": 13")},
      {"variable 'X': unknown \"kind\"", replacing("Samples/file.json", "\"xg\"", "\"xgg\"")},
      {"\"type\" must be one of", replacing("Samples/file.json", "\"points\"", "\"pointz\"")},
      {"Empty/file.json", [](const Project &p) { fs::create_directory(p.file("Demo/Mining/Empty")); }},
      {"\"bit_length\" must be an integer",
       replacing("Samples/file.json", "\"bit_length\": 64", "\"bit_length\": 6.5")},
      {"\"ndig\" is out of range (1001)", replacing("Samples/file.json", "\"ndig\": 3", "\"ndig\": 1001")},
      {"\"DX\" must be a number", replacing("Grid2D/file.json", "\"DX\": 25.0", "\"DX\": \"25\"")},
      {"needs a \"grid\" object", replacing("Grid2D/file.json", "\"grid\": {", "\"grid\": 5, \"g\": {")},
      {"turns about Z only", replacing("Grid2D/file.json", "\"NZ\": 1", "\"NZ\": 1, \"angle_y\": 1")},
      {"\"unit\" must be a string", replacing("Samples/file.json", "\"unit\": \"m\"", "\"unit\": 1")},
      {"only macro variables have \"items\"", replacing("Samples/file.json", cu, cu + ", \"items\": []")},
      {"numeric values live in the \"data\" file", replacing("Samples/file.json", cu, cu + ", \"values\": []")},
      {"\"data\" is not a plain file name", replacing("Samples/file.json", cu, "\"data\": \"../Cu.bin\"")},
      {"macro index 1 appears twice", replacing("Grid3D/file.json", "\"index\": 2", "\"index\": 1")},
      {"every item must be an object", replacing("Grid3D/file.json", "\"items\": [", "\"items\": [ 1,")},
      {"every value must be a string", replacing("Grid3D/file.json", "\"granite\",", "2,")},
      {"needs \"core_names\"", replacing("Cores/file.json", "\"core_names\"", "\"core_namez\"")},
      {"\"xb\" must name a numeric variable", replacing("Cores/file.json", "\"xb\": \"Xb\"", "\"xb\": \"Nope\"")},
      {"\"xb\" must name a numeric variable",
       [](const Project &p) {
         replace_text(p.file("Demo/Mining/Cores/file.json"), "\"xb\": \"Xb\"", "\"xb\": \"Rock\"");
         replace_text(p.file("Demo/Mining/Cores/file.json"), "\"variables\": [",
                      "\"variables\": [{\"name\": \"Rock\", \"kind\": \"char\", \"bit_length\": 8, \"format\": 0, "
                      "\"ncar\": 10, \"ndig\": 3, \"unit\": \"\", \"unit_symbol\": \"\", \"alpha_length\": 8, "
                      "\"values\": [\"a\", \"b\", \"c\", \"d\", \"e\"]},");
       }},
      {"VEK_TEST_VERSION", nullptr, {"VEK_TEST_VERSION=abc"}},
      {"VEK_TEST_VERSION", nullptr, {"VEK_TEST_VERSION=12x"}},
      {"VEK_TEST_VERSION", nullptr, {"VEK_TEST_VERSION=0"}},
      {"VEK_TEST_VERSION", nullptr, {"VEK_TEST_VERSION=2000000001"}},
      {"VEK_TEST_IDLE_EXIT", nullptr, {"VEK_TEST_IDLE_EXIT=-1"}},
      {"VEK_TEST_IDLE_EXIT", nullptr, {"VEK_TEST_IDLE_EXIT=100000001"}},
      // Arguments after the harness's own "-control P".
      {"usage: VEKserver", nullptr, {}, {"-control", "7x"}},
      {"usage: VEKserver", nullptr, {}, {"-control", "0"}},
      {"usage: VEKserver", nullptr, {}, {"-control", "-1"}},
      {"usage: VEKserver", nullptr, {}, {"-control", "65536"}},
      {"usage: VEKserver", nullptr, {}, {"-port"}},
      {"usage: VEKserver", nullptr, {}, {"-verbose"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    Project p;
    if (c.spoil) c.spoil(p);
    Server s;
    EXPECT_FALSE(start(s, p.path, c.env, c.args));
    ASSERT_TRUE(wait_exit(s, 5000));
    EXPECT_TRUE(WIFEXITED(s.status) && WEXITSTATUS(s.status) == 2) << s.status;
    std::string text = stderr_text(s);
    EXPECT_NE(std::string::npos, text.find(c.why)) << text;
  }
  // The settings at their bounds are taken.
  for (const char *env : {"VEK_TEST_VERSION=2000000000", "VEK_TEST_IDLE_EXIT=100000000", "VEK_TEST_IDLE_EXIT=0"}) {
    Project p;
    Server s;
    EXPECT_TRUE(start(s, p.path, {env})) << env << stderr_text(s);
  }
}

/* With "-debug" the server says each request on the standard output it
 * inherits, here a file of the test's. */
TEST(ServerStartup, WithDebugTheServerSaysEachRequest) {
  Project p;
  Server s;
  const std::string out = p.dir + "/debug.txt";
  int saved = dup(1), f = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(f, 1);
  bool started = start(s, p.path, {}, {"-debug"});
  dup2(saved, 1);
  close(f), close(saved);
  ASSERT_TRUE(started);
  ASSERT_EQ(0, connect(s) || VEKClientSetStudy("Demo"));
  EXPECT_EQ(0, VEKClientDisconnect() || stop(s));
  std::ifstream in(out);
  std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, said.find("VEKserver Debug: Request CSTUDYSET")) << said;
}

/* A port given but taken gives way to a free one. Waiting for a client, a
 * server holds one socket, its listener: neither the failed attempt nor the
 * connection that reported the port stays open. */
TEST(ServerStartup, ATakenPortGivesWayToAFreeOne) {
  Project p;
  Server first, second;
  ASSERT_TRUE(start(first, p.path));
  ASSERT_TRUE(start(second, p.path, {}, {"-port", std::to_string(first.port)}));
  EXPECT_NE(first.port, second.port);
  for (Server *s : {&first, &second}) {
    for (long end = now_ms() + 2000; descriptors(*s, true) != 1 && now_ms() < end;) usleep(20000);
    EXPECT_EQ(1, descriptors(*s, true));
  }
  ASSERT_EQ(0, connect(second));
  EXPECT_EQ(0, VEKClientDisconnect());
  stop_clean(first);
  stop_clean(second);
}

TEST_F(ServerTest, UnknownAndMalformedRequestsLeaveTheSessionUsable) {
  vekt::ErrorCapture errors;
  ASSERT_EQ(0, target("Grid3D", "Grade"));
  const struct {
    const char *name;
    vekt::Bytes request;
    std::string error;
  } rows[] = {
      {"unknown, with arguments", vekt::kw("CNOSUCH").i32(7).str("x").dbl(1.5), "Unknown request 'CNOSUCH'"},
      {"a keyword of 20000 bytes", vekt::Bytes().str(std::string(20000, 'K')), "Malformed request keyword"},
      // A negative array count cannot be skipped: the rest is drained.
      {"a negative array count", vekt::kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(1.234e30).i64(-3).dbl(1), ""},
      // What the client never sends, the server still refuses.
      {"an output format of 5", vekt::kw("CVARFNEW").str("V").i32(32).i32(5).i32(10).i32(2).i32(0),
       "Unknown output format 5"},
      {"an output format of -1", vekt::kw("CVARFNEW").str("V").i32(32).i32(-1).i32(10).i32(2).i32(0),
       "Unknown output format -1"},
      {"a unit of 11 bytes", vekt::kw("CVARUNIT").i32(1).str("01234567890"), "at most 10 bytes"},
      {"a unit symbol of 11 bytes", vekt::kw("CVARUNIT").i32(2).str("m").str("01234567890"), "at most 10 bytes"},
      {"a bit length of 65", vekt::kw("CVARFNEW").str("V").i32(65).i32(0).i32(10).i32(2).i32(0),
       "A bit length lies between 1 and 64, not 65"},
      {"a bit length of 0", vekt::kw("CVARFNEW").str("V").i32(0).i32(0).i32(10).i32(2).i32(0),
       "A bit length lies between 1 and 64, not 0"},
      {"a variable type of 6", vekt::kw("CVARTLST").i32(6), "Variable type 6 is not a list filter"},
      {"a read from sample -1 to 5", vekt::kw("CREADVARF").i64(-1).i64(5).i32(0), "Samples -1 to 5 are outside"},
      {"no node along X", vekt::kw("CGFILENEW").str("N").i32(2).dbl(0).dbl(1).i32(0).dbl(0).dbl(1).i32(2), "one node"},
      {"no node along Y", vekt::kw("CGFILENEW").str("N").i32(2).dbl(0).dbl(1).i32(2).dbl(0).dbl(1).i32(0), "one node"},
      {"no node along Z",
       vekt::kw("CGFILENEW").str("N").i32(3).dbl(0).dbl(1).i32(2).dbl(0).dbl(1).i32(2).dbl(0).dbl(1).i32(0),
       "one node"},
      {"a variable type of -4", vekt::kw("CVARTLST").i32(-4), "Variable type -4 is not a list filter"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string text;
    EXPECT_EQ("SERROR", raw_request(r.request, &text));
    EXPECT_NE(std::string::npos, text.find(r.error)) << text;
    // The session, its current items included, is intact.
    VEKVariableInfo info;
    EXPECT_TRUE(VEKClientGetVariableInfo(&info) == 0 && strcmp("g/t", info.unit) == 0);
    EXPECT_EQ(24u, read_all().size());
  }
  // The coordinate filters the client keeps to itself, another client may send.
  for (int type : {2, 3, 4})
    EXPECT_EQ(std::vector<std::string>{std::string(1, "XYZ"[type - 2])},
              list_of([&](int *n, char ***l) { return _vek_list_exchange("CVARTLST", "SVARS", 1, &type, n, l); }));
  EXPECT_EQ("SCOMGET", raw_request(vekt::kw("CCOMGET")));  // asked only by clients of old servers
  // Without the level above, each request says which one is missing.
  ASSERT_EQ(0, VEKClientDisconnect() || connect(srv));
  for (const vekt::Bytes &b : {vekt::kw("CFILETLST").i32(3).i32(0),
                               vekt::kw("CVARTLST").i32(1),
                               vekt::kw("CDIRXIST").str("Mining"),
                               vekt::kw("CFILEXIST").str("Grid3D"),
                               vekt::kw("CVARXIST").str("Grade"),
                               vekt::kw("CDIRSET").str("Mining"),
                               vekt::kw("CFILESET").str("Grid3D"),
                               vekt::kw("CVARSET").str("Grade"),
                               vekt::kw("CINDSET").i32(1),
                               vekt::kw("CREADVARF").i64(-1).i64(-1).i32(0),
                               vekt::kw("CREADLINF").i32(1),
                               vekt::kw("CDIRNEW").str("D"),
                               vekt::kw("CGFILENEW").str("G").i32(2).dbl(0).dbl(1).i32(2).dbl(0).dbl(1).i32(2),
                               vekt::kw("CPFILENEW").str("P").i64(1).i32(2).dbl(1).dbl(2),
                               vekt::kw("CVARFNEW").str("V").i32(32).i32(0).i32(10).i32(2).i32(0),
                               vekt::kw("CVARDEL"),
                               vekt::kw("CFILEDEL"),
                               vekt::kw("CDIRDEL"),
                               vekt::kw("CSTUDYDEL"),
                               vekt::kw("GRIDMODR").dbl(0).dbl(0).dbl(0)}) {
    std::string text;
    EXPECT_EQ("SERROR", raw_request(b, &text));
    EXPECT_EQ("No current Study", text);
  }
}

/* Requests the server must refuse, and their neighbours it must take, in
 * order on one session: the code each leaves, and what it must not change. */
TEST_F(ServerTest, RefusalsAtTheirBoundaries) {
  vekt::ErrorCapture errors;
  const std::vector<double> v(30, 7.0);
  ASSERT_EQ(0, target("Grid3D", "Grade"));
  const std::vector<double> grade = read_all();
  ASSERT_EQ(0, VEKClientDisconnect());
  ASSERT_EQ(0, connect(srv));
  int n;  // the refused listing hands out nothing
  char **dirs;
  auto read_sub = [](vek_long first, vek_long last) {
    return [=] {
      double test, *data = nullptr;
      vek_long n;
      int r = VEKClientReadDoubleVariableSub(first, last, 0, &test, &n, &data);
      VEKClientFreePointer(data);
      return r ? VEKClientGetLastError() : (int)n - 1;
    };
  };
  auto write_sub = [&](vek_long first, vek_long last, vek_long count) {
    return [=, &v] { return VEKClientWriteDoubleVariableSub(first, last, 0, 1.234e30, count, v.data()) ? 3 : 0; };
  };
  auto placed = [](std::string name, std::string location) {
    return [=] { return VEKClientNewStudy(name.c_str(), location.c_str()) ? 3 : 0; };
  };
  auto study = [&](std::string name) { return placed(name, name); };
  auto grid = [](double x0, double y0, double z0, double dx, double dy) {
    return [=] { return VEKClientNewGridFile("G", 3, x0, y0, z0, dx, dy, 1, 2, 2, 2) ? 3 : 0; };
  };
  auto flat_turn = [](double y) {
    return [=] { return VEKClientSetFile("F") || VEKClientGridModifyRotation(30, y, 0) ? 3 : 0; };
  };
  auto mesh = [](const char *file, double x, double y, double z) {
    return [=] { return VEKClientSetFile(file) || VEKClientGridModifyMesh(x, y, z) ? 3 : 0; };
  };
  auto digits = [](int n) {
    return [=] {
      std::string name = "D" + std::to_string(n);
      return VEKClientNewDoubleVariable(name.c_str(), 32, VEK_FORMAT_TYPE_DECIMAL, 10, n, NULL) ? 3 : 0;
    };
  };
  const struct {
    const char *name;
    std::function<int()> call;
    int code;  // 0 done, else the code left
  } rows[] = {
      // Listing and setting need the level above.
      {"Directories of no Study", [&] { return VEKClientGetDirectoryList(&n, &dirs) ? 3 : 0; }, 3},
      {"a Variable of no File", [] { return VEKClientSetVariable("Grade") ? 3 : 0; }, 3},
      {"the target", [] { return target("Grid3D", "Grade") ? 3 : 0; }, 0},
      {"unit mode 0", [] { return VEKClientSetUnitMode(0) ? 3 : 0; }, 0},
      {"unit mode 1", [] { return VEKClientSetUnitMode(1) ? 3 : 0; }, 0},
      {"unit mode 2", [] { return VEKClientSetUnitMode(2) ? 3 : 0; }, 3},
      {"a unit of 10 bytes", [] { return VEKClientSetVariableUnit("0.00001234", "0123456789") ? 3 : 0; }, 0},
      {"a coordinate's unit", [] { return target("Samples", "X") || VEKClientSetVariableUnit("m", 0) ? 3 : 0; }, 3},
      {"a distance unit", [] { return target("Grid3D", "Grade") || VEKClientSetUnit("km") ? 3 : 0; }, 0},
      {"a distance unit of no length", [] { return VEKClientSetUnit("kg") ? 3 : 0; }, 3},
      {"creation units", [] { return VEKClientSetCreationUnits("m", "ft", "km") ? 3 : 0; }, 0},
      {"3-D points", [&] { return VEKClientNewPointsFile("P3", 3, v.data(), v.data(), v.data()) ? 3 : 0; }, 0},
      // Whole writes of another count; ranges outside the File or of
      // another count than given.
      {"23 values", [&] { return VEKClientWriteDoubleVariable(0, 1.234e30, 23, v.data()) ? 3 : 0; }, 3},
      {"25 values", [&] { return VEKClientWriteDoubleVariable(0, 1.234e30, 25, v.data()) ? 3 : 0; }, 3},
      {"from sample 0", write_sub(0, 3, 4), 3},
      {"past the end", write_sub(20, 25, 6), 3},
      {"backwards", write_sub(5, 4, 0), 3},
      {"a count short of the range", write_sub(1, 3, 2), 3},
      {"a read past the end", read_sub(24, 25), 3},
      {"the last sample", read_sub(24, 24), 0},
      // The coordinates of a grid follow from its geometry.
      {"a grid's coordinate",
       [&] { return VEKClientSetVariable("X") || VEKClientWriteDoubleVariable(0, 1.234e30, 24, v.data()) ? 3 : 0; }, 3},
      {"an alpha index", [] { return target("Grid3D", "Simu[xxxxx]") || VEKClientSetAlphaIndice("low") ? 3 : 0; }, 0},
      {"no such alpha index", [] { return VEKClientSetAlphaIndice("nothing") ? 3 : 0; }, 3},
      {"a macro item not closed", [] { return VEKClientSetVariable("Simu[00001x") ? 3 : 0; }, 3},
      {"a macro item not opened", [] { return VEKClientSetVariable("Simux00001]") ? 3 : 0; }, 3},
      {"a macro item", [] { return VEKClientSetVariable("Simu[00001]") ? 3 : 0; }, 0},
      {"a variable as the selection", [] { return target("Samples", "Au") || VEKClientSetSelection("Cu") ? 3 : 0; }, 3},
      {"no such selection", [] { return VEKClientSetSelection("Nope") ? 3 : 0; }, 3},
      {"a grid of mesh 0", grid(0, 0, 0, 1, 0), 3},
      {"a grid of a negative mesh", grid(0, 0, 0, 1, -1), 3},
      {"a grid of mesh NaN", grid(0, 0, 0, 1, NAN), 3},
      {"a grid of X mesh 0", grid(0, 0, 0, 0, 1), 3},
      {"a grid of X origin NaN", grid(NAN, 0, 0, 1, 1), 3},
      {"a grid of Y origin NaN", grid(0, NAN, 0, 1, 1), 3},
      {"a grid of Z origin infinite", grid(0, 0, INFINITY, 1, 1), 3},
      {"a grid", grid(0, 0, 0, 1, 1), 0},
      {"a grid of one node", [] { return VEKClientNewGridFile("One", 3, 0, 0, 0, 1, 1, 1, 1, 1, 1) ? 3 : 0; }, 0},
      {"2^28 nodes", [] { return VEKClientNewGridFile("Huge", 2, 0, 0, 0, 1, 1, 1, 16384, 16384, 1) ? 3 : 0; }, 3},
      {"2^28 - 1 nodes", [] { return VEKClientNewGridFile("Big", 2, 0, 0, 0, 1, 1, 1, 16383, 16385, 1) ? 3 : 0; }, 0},
      {"a flat grid", [] { return VEKClientNewGridFile("F", 2, 0, 0, 0, 1, 1, 1, 2, 2, 1) ? 3 : 0; }, 0},
      {"a flat grid turned about Z", flat_turn(0), 0},
      {"a flat grid turned about Y", flat_turn(20), 3},
      {"a mesh of 0 along X", mesh("G", 0, 1, 1), 3},
      {"a mesh of 0 along Y", mesh("G", 1, 0, 1), 3},
      {"a mesh of 0 along Z", mesh("G", 1, 1, 0), 3},
      {"a mesh of NaN", mesh("G", NAN, 1, 1), 3},
      {"a mesh", mesh("G", 1, 2, 3), 0},
      {"a flat grid's mesh, Z aside", mesh("F", 1, 2, 0), 0},
      {"output format 4",
       [] { return VEKClientNewDoubleVariable("F4", 32, VEK_FORMAT_TYPE_SHIFTED, 10, 2, NULL) ? 3 : 0; }, 0},
      {"1000 digits", digits(1000), 0},
      {"1001 digits", digits(1001), 3},
      // Names stay inside the tree.
      {"a Study up the tree", [] { return VEKClientSetStudy("../..") ? VEKClientGetLastError() : 0; }, 3},
      {"a new Study up the tree", study("../escape"), 3},
      {"a hidden Study", study(".hidden"), 3},
      {"a Study with a slash", study("a/b"), 3},
      {"a Study without name", study(""), 3},
      {"a name of 129", study(std::string(129, 'n')), 3},
      {"a name of 128", study(std::string(128, 'n')), 0},
      {"a name with DEL", study("a\x7f"), 3},
      {"a name with a tab", study("a\tb"), 3},
      {"a name cut inside a character", study("a\xc3"), 3},
      {"a name with a surrogate", study("a\xed\xa0\x80"), 3},
      {"first and last of 2, 3, 4 bytes", study("\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf"), 0},
      {"an argument text of 10000 bytes",
       [] { return VEKClientNewStudy("P", std::string(10000, 'p').c_str()) ? 3 : 0; }, 3},
      // A Study lives in its folder of the project, nowhere else.
      {"a Study placed outside", placed("Far", "/nonexistent/x"), 3},
      {"a Study placed in another folder", placed("Far", proj.path + "/Elsewhere"), 3},
      {"a Study placed under another name", placed("Far", "far"), 3},
      {"a Study placed below the project", placed("Far", proj.path + "/Demo/Far"), 3},
      {"a Study placed at its folder", placed("Here", proj.dir + "/project/./Here/"), 0},
      {"a Study placed at its folder, one letter", placed("H", "H/"), 0},
  };
  for (const auto &r : rows) EXPECT_EQ(r.code, r.call()) << r.name;
  EXPECT_TRUE(errors.contains("Unit mode 2 is not 0 or 1") && errors.contains("'kg' is not a length unit"))
      << errors.joined();
  VEKFileInfo points;
  ASSERT_EQ(0, VEKClientSetFile("P3") || VEKClientGetFileInfo(&points));
  EXPECT_EQ(3, points.dimension);
  EXPECT_STREQ("Z", points.zg_var_name);
  EXPECT_TRUE(errors.contains("No current Study") && errors.contains("not at '/nonexistent/x'")) << errors.joined();
  EXPECT_FALSE(std::filesystem::exists(proj.dir + "/escape"));
  EXPECT_EQ(5u, list_of(VEKClientGetStudyList).size());
  ASSERT_EQ(0, target("Grid3D", "Grade"));
  EXPECT_EQ(grade, read_all());
  std::vector<std::string> grids = list_of([](int *n, char ***x) { return VEKClientGetFileListByType(3, 0, n, x); });
  std::sort(grids.begin(), grids.end());
  EXPECT_EQ((std::vector<std::string>{"Big", "F", "G", "Grid2D", "Grid3D", "One"}), grids);
}

/* At every level a name through a slash or with a control character is
 * refused, even where an item could be found or made under it. */
TEST_F(ServerTest, NamesOutsideTheRulesAreRefusedAtEveryLevel) {
  const double xy[] = {1, 2};
  const std::pair<const char *, std::function<int()>> rows[] = {
      {"Study", [] { return VEKClientSetStudy("Demo/."); }},
      {"Directory", [] { return VEKClientSetDirectory("Mining/."); }},
      {"File", [] { return VEKClientSetFile("Grid3D/."); }},
      {"new Directory", [] { return VEKClientNewDirectory("a\tb"); }},
      {"new grid", [] { return VEKClientNewGridFile("a\tb", 2, 0, 0, 0, 1, 1, 1, 2, 2, 1); }},
      {"new points", [&] { return VEKClientNewPointsFile("a\tb", 2, xy, xy, nullptr); }},
      {"new variable", [] { return VEKClientNewDoubleVariable("a\tb", 32, 0, 10, 3, ""); }},
  };
  for (const auto &r : rows) {
    ASSERT_EQ(0, target("Grid3D", "Grade")) << r.first;
    EXPECT_EQ(1, r.second()) << r.first;
  }
  for (const auto &e : std::filesystem::recursive_directory_iterator(proj.path))
    EXPECT_EQ(std::string::npos, e.path().filename().string().find('\t')) << e.path();
  ASSERT_EQ(0, target("Grid3D"));
  for (const std::string &v : list_of(VEKClientGetVariableList)) EXPECT_NE("a\tb", v);
}

TEST_F(ServerTest, DamageFoundLaterIsAnErrorAndDeletionClearsTheItemsBelow) {
  vekt::ErrorCapture errors;
  /* A description spoilt while the server runs; the current items stay. */
  write_text(proj.file("Demo/Mining/Grid2D/file.json"), "[1,2");
  ASSERT_EQ(0, target("Samples", "Cu"));
  EXPECT_EQ(1, VEKClientSetFile("Grid2D"));
  EXPECT_TRUE(errors.contains("File 'Grid2D' is damaged")) << errors.joined();
  EXPECT_EQ(12u, read_all().size());
  /* A data file cut short under the current File: refused, and nothing of
   * it kept open. */
  std::filesystem::resize_file(proj.file("Demo/Mining/Samples/Cu.bin"), 16);
  int code;
  EXPECT_TRUE(read_all(&code).empty());
  EXPECT_EQ(3, code);
  const auto open_before = descriptors(srv);
  std::vector<double> v(12, 1.0);
  for (int i = 0; i < 2; i++) {
    EXPECT_TRUE(read_all().empty());
    EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(1, 2, 0, 1.234e30, 2, v.data()));
  }
  EXPECT_EQ(open_before, descriptors(srv));
  /* A whole write replaces the data without reading it. */
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 12, v.data()));
  EXPECT_EQ(v, read_all());

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
  EXPECT_EQ((std::vector<std::string>{"Cores", "Grid2D", "Grid3D", "Lines"}), names_of(n, names));
  ASSERT_EQ(0, VEKClientDeleteDirectory());
  EXPECT_EQ(1, VEKClientGetFileList(&n, &names));
  ASSERT_EQ(0, VEKClientDeleteStudy());
  EXPECT_EQ(1, VEKClientGetDirectoryList(&n, &names));
  EXPECT_TRUE(list_of(VEKClientGetStudyList).empty());
  for (auto &e : std::filesystem::directory_iterator(proj.path)) EXPECT_EQ(".vek.lock", e.path().filename());
}

/* Requests cut short, or counts that promise far more values than arrive:
 * the server holds only what came, and the peer's going away ends that
 * session only, changing nothing. */
TEST_F(ServerTest, RequestsCutShortEndOnlyTheirSession) {
  ASSERT_EQ(0, target("Samples", "Au"));
  const std::vector<double> au = read_all();
  const vekt::Bytes rows[] = {
      vekt::kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(1.234e30).i64(12).append(vekt::doubles({1, 2, 3})),
      vekt::kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(1.234e30).i64(1000000000000LL).fill(8000, 0x40),
      vekt::kw("CPFILENEW").str("Huge").i64(200000000).i32(3).fill(8000, 0x3f),
  };
  for (const auto &b : rows) {
    ASSERT_TRUE(_vek_write_bytes(VEK_SOCK, b.b.data(), b.b.size()) && _vek_flush_write(VEK_SOCK));
    _vek_close_client();
    ASSERT_EQ(0, connect(srv));
    ASSERT_EQ(0, target("Samples", "Au"));
    EXPECT_EQ(au, read_all());
  }
  int exists = 1;
  ASSERT_EQ(0, VEKClientFileExists("Huge", &exists));
  EXPECT_EQ(0, exists);
}

/* Reads longer than one of the server's sends: every piece in its place, a
 * macro item's offset, a sub-range and the selection kept across pieces.
 * The writes outrun the server, so the client also waits on a full socket. */
TEST_F(ServerTest, LongReadsKeepEveryValueInPlace) {
  const int n = 1000003, first = 400000;
  ASSERT_EQ(0, target("Grid2D"));
  ASSERT_EQ(0, VEKClientNewGridFile("Long", 2, 0, 0, 0, 1, 1, 1, n, 1, 1));
  ASSERT_EQ(0, VEKClientSetFile("Long"));
  ASSERT_EQ(0, VEKClientNewDoubleVariable("Sel", 1, 0, 1, 0, nullptr));
  ASSERT_EQ(0, VEKClientNewDoubleVariable("M[xxxxx]", 64, 0, 10, 3, nullptr));
  std::vector<double> sel(n), ramp(n), other(n, -1.0);
  for (int i = 0; i < n; i++) sel[(size_t)i] = i % 3 != 0, ramp[(size_t)i] = i;
  ASSERT_EQ(0, VEKClientSetVariable("Sel"));
  const long open_before = descriptors(srv);
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, n, sel.data()));
  EXPECT_EQ(open_before, descriptors(srv)); /* the new data file, written aside, is closed */
  ASSERT_EQ(0, VEKClientSetVariable("M[xxxxx]"));
  for (int index : {1, 2}) {
    ASSERT_EQ(0, VEKClientSetIndice(index));
    ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, n, (index == 1 ? other : ramp).data()));
  }
  ASSERT_EQ(0, VEKClientSetSelection("Sel"));
  for (const char *var : {"M[00002]", "X"}) { /* stored, computed */
    ASSERT_EQ(0, VEKClientSetVariable(var));
    double test, *data = nullptr;
    vek_long count;
    ASSERT_EQ(0, VEKClientReadDoubleVariableSub(first + 1, n, 0, &test, &count, &data));
    ASSERT_EQ(n - first, count);
    for (int i = first; i < n; i++) ASSERT_EQ(i % 3 ? (double)i : 1.234e30, data[i - first]) << var << " sample " << i;
    VEKClientFreePointer(data);
  }
  /* A whole write under the selection changes the selected samples alone. */
  ASSERT_EQ(0, VEKClientNewDoubleVariable("V", 64, 0, 10, 3, nullptr) || VEKClientSetVariable("V"));
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, n, ramp.data()) || VEKClientSetSelection(nullptr));
  std::vector<double> v = read_all();
  EXPECT_TRUE(v.size() == (size_t)n && v[0] == 1.234e30 && v[1] == 1 && v[3] == 1.234e30 && v[n - 2] == n - 2);
  ASSERT_EQ(0, VEKClientWriteDoubleVariableSub(1, n - 1, 0, 1.234e30, n - 1, other.data()));  // short of the end
  EXPECT_EQ(1.234e30, read_all().at(n - 1));
}

/* A grid's nodes sit at origin + Rz·Ry·Rx·(ix·DX, iy·DY, iz·DZ): one node
 * along each axis pins one column of the rotation (values worked out
 * apart from the server). */
TEST_F(ServerTest, GridNodesFollowTheRotationOfEachAxis) {
  ASSERT_EQ(0, target("Grid3D"));
  ASSERT_EQ(0, VEKClientNewGridFile("Turned", 3, 5, 6, 7, 1, 10, 100, 2, 2, 2));
  ASSERT_EQ(0, VEKClientSetFile("Turned"));
  VEKFileInfo fi;
  ASSERT_EQ(0, VEKClientGetFileInfo(&fi));
  EXPECT_EQ(0, fi.rotation);
  ASSERT_EQ(0, target("Grid3D"));  // turned about Z alone
  ASSERT_EQ(0, VEKClientGetFileInfo(&fi));
  EXPECT_TRUE(fi.rotation == 1 && fi.angle_z == 30 && fi.angle_y == 0);
  ASSERT_EQ(0, VEKClientSetFile("Turned"));
  ASSERT_EQ(0, VEKClientGridModifyRotation(30, 20, 10));
  ASSERT_EQ(0, VEKClientGetFileInfo(&fi));
  EXPECT_TRUE(fi.rotation == 1 && fi.angle_z == 30 && fi.angle_y == 20 && fi.angle_x == 10);
  const double nodes[3][3] = {/* node (0,0,1), (0,1,0), (1,0,0): samples 1, 2, 4 */
                              {42.852230637, 7.802831124, 99.54165784},
                              {0.590303895, 14.825641193, 8.631759112},
                              {5.813797681, 6.46984631, 6.657979857}};
  const char *axes[] = {"X", "Y", "Z"};
  for (int a = 0; a < 3; a++) {
    ASSERT_EQ(0, VEKClientSetVariable(axes[a]));
    std::vector<double> c = read_all();
    ASSERT_EQ(8u, c.size());
    EXPECT_EQ(5.0 + a, c[0]) << axes[a];
    for (int k = 0; k < 3; k++) EXPECT_NEAR(nodes[k][a], c[(size_t)(1 << k)], 1e-8) << axes[a] << " node " << k;
  }
}

/* Writes and creations at the layout of each version the server may
 * announce (what the reading requests answer there is in the record of the
 * sample project). */
TEST(ServerVersions, WritesAndCreationsFollowTheAnnouncedLayout) {
  for (int version : {100, 406, 408, 410, 411, 400500, 800000, 900000, 1300029, 1300030}) {
    SCOPED_TRACE("version " + std::to_string(version));
    Project proj;
    Server srv;
    ASSERT_TRUE(start(srv, proj.path, {"VEK_TEST_VERSION=" + std::to_string(version)}));
    ASSERT_EQ(0, connect(srv));
    EXPECT_EQ(version, VEKClientGetServerVersion());
    ASSERT_EQ(0, target("Cores", "Grade"));
    std::vector<double> g = read_all();
    ASSERT_EQ(5u, g.size());
    g[1] = 3.25;
    ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 5, g.data()));
    EXPECT_EQ(g, read_all());
    if (version > 400000) { /* only announcing servers create variables */
      VEKVariableInfo vi{};
      ASSERT_EQ(0, VEKClientNewDoubleVariable("Unit", 32, 0, 10, 3, "cm"));
      ASSERT_EQ(0, VEKClientSetVariable("Unit") || VEKClientGetVariableInfo(&vi));
      EXPECT_STREQ("cm", vi.unit);
      EXPECT_EQ(1, vi.length_var);
    }
    ASSERT_EQ(0, VEKClientNewStudy("New", (proj.path + "/New").c_str()));
    ASSERT_EQ(0, VEKClientDisconnect());
    stop_clean(srv);
  }
}

TEST(ServerVersions, OlderServersAndMovedSessions) {
  Project proj;
  /* Without "CARCH" longs stay 4 bytes on both sides; without "CCOMGET"
   * the description carries the comment. */
  {
    Server srv;
    ASSERT_TRUE(start(srv, proj.path, {"VEK_TEST_SUPPORTED=CVARMNEW,CLFILECNT"}));
    ASSERT_EQ(0, connect(srv));
    EXPECT_EQ(0, _vek_server64);
    ASSERT_EQ(0, target("Lines", "Gravity"));
    std::vector<double> g = read_all();
    ASSERT_EQ(12u, g.size());
    VEKVariableInfo vi;
    ASSERT_EQ(0, VEKClientGetVariableInfo(&vi));
    EXPECT_STREQ("mGal", vi.unit);
    double test, *data = nullptr;
    int n;
    ASSERT_EQ(0, VEKClientReadLineDoubleVariable(3, &test, &n, &data));
    EXPECT_EQ(std::vector<double>(g.begin() + 9, g.end()), std::vector<double>(data, data + n));
    VEKClientFreePointer(data);
    double line[3] = {1, 2, 3};
    EXPECT_EQ(3, VEKClientWriteLineDoubleVariable(3, 1.234e30, 2, line)); /* count must be the line's */
    EXPECT_EQ(0, VEKClientWriteLineDoubleVariable(3, 1.234e30, 3, line));
    g[9] = 1, g[10] = 2, g[11] = 3;
    EXPECT_EQ(g, read_all());
    EXPECT_EQ(0, VEKClientDisconnect());
    stop_clean(srv);
  }
  /* A client whose longs are 4 bytes says so, and the server's follow. */
  {
    Server srv;
    ASSERT_TRUE(start(srv, proj.path));
    vekt::reset_client(10000);
    VEKClientInitialize(1300030);
    _vek_client64 = 0;
    EXPECT_EQ(0, VEKClientConnect("127.0.0.1", srv.port, ""));
    EXPECT_EQ(0, target("Samples", "Au"));
    EXPECT_EQ(12u, read_all().size());
    EXPECT_EQ(0, VEKClientDisconnect());
    _vek_client64 = 1;
    stop_clean(srv);
  }
  /* "SNEWPORT": the session moves to a port of its own, and the server
   * takes the next client on its first port, keeping no descriptor of the
   * sessions that ended, nor of the projects they named. */
  Server srv;
  ASSERT_TRUE(start(srv, "", {"VEK_TEST_NEWPORT=1"}));  // each client names its project
  Project other;
  auto session = [&](const std::string &path) {
    ASSERT_EQ(0, connect(srv, path));
    ASSERT_EQ(0, target("Samples", "Au"));
    std::vector<double> au = read_all();
    ASSERT_EQ(12u, au.size());
    EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 12, au.data()));
    EXPECT_EQ(0, VEKClientDisconnect());
  };
  /* The count is taken once a first session has ended and the server has
   * settled: what it opens and closes around its first client (the
   * launcher's watch, the sweep of stale files) is not a session's. */
  auto settled = [&] {
    auto n = descriptors(srv);
    for (long end = now_ms() + 2000; now_ms() < end;) {
      usleep(100000);
      auto m = descriptors(srv);
      if (m == n) break;
      n = m;
    }
    return n;
  };
  session(proj.path);
  const auto before = settled();
  for (int i = 0; i < 4; i++) session(i % 2 ? proj.path : other.path);
  for (long end = now_ms() + 2000; descriptors(srv) != before && now_ms() < end;) usleep(20000);
  EXPECT_EQ(before, descriptors(srv));
  stop_clean(srv);
}

/* Every answer the sample project gives to the reading requests. */
TEST_F(ServerTest, TheSampleProjectAsTheReadingRequestsSeeIt) {
  Record record;
  std::ostringstream &out = record.out;
  auto said = [&] { record.said(); };
  auto names = [&](const std::string &what, auto &&call) {
    int n = 0;
    char **list = nullptr;
    int code = call(&n, &list);
    out << what << ":";
    for (const std::string &s : code ? std::vector<std::string>{"(failed)"} : names_of(n, list)) out << " " << s;
    out << "\n";
    said();
  };
  auto values = [&](const std::string &what, auto &&call) {
    double test = 0, *data = nullptr;
    vek_long n = 0;
    int code = call(&test, &n, &data);
    out << what << " code " << code << " test " << test << ":";
    for (vek_long i = 0; i < n; i++) out << " " << data[i];
    out << "\n";
    VEKClientFreePointer(data);
    said();
  };
  write_text(proj.file("Demo/Notes"), "a plain file, not a Directory");
  /* 0: the server's own; then one version of each layout. */
  for (int version : {0, 900000, 800000, 400500, 411, 410, 408, 406, 100}) {
    Server older;
    if (version) {
      ASSERT_TRUE(start(older, proj.path, {"VEK_TEST_VERSION=" + std::to_string(version)}));
      ASSERT_EQ(0, connect(older));
    }
    out << "#### version " << VEKClientGetServerVersion() << "\nrequests:";
    for (int i = 0; i < _vek_client_n_supported_requests; i++) out << " " << _vek_client_supported_requests[i];
    out << "\n";
    int exists = -1;
    names("studies", VEKClientGetStudyList);
    ASSERT_EQ(0, VEKClientSetStudy("Demo"));
    names("directories", VEKClientGetDirectoryList);
    ASSERT_EQ(0, VEKClientSetDirectory("Mining"));
    for (const char *name : {"Mining", "mining", "None", "Notes"})
      out << "directory " << name << " " << VEKClientDirectoryExists(name, &exists) << exists << "\n";
    for (int type = -2; type <= 4; type++)
      names("files of type " + std::to_string(type),
            [&](int *n, char ***l) { return VEKClientGetFileListByType(type, -1, n, l); });
    for (const std::string &file : list_of(VEKClientGetFileList)) {
      out << "== " << file << " " << VEKClientFileExists(file.c_str(), &exists) << exists << "\n";
      ASSERT_EQ(0, VEKClientSetFile(file.c_str()));
      VEKFileInfo f{};
      out << "info " << VEKClientGetFileInfo(&f) << " type " << f.type << " dim " << f.dimension << " samples "
          << f.s_number << " items " << f.item_number << " origin " << f.X0 << " " << f.Y0 << " " << f.Z0 << " mesh "
          << f.DX << " " << f.DY << " " << f.DZ << " nodes " << f.NX << " " << f.NY << " " << f.NZ << " rotation "
          << f.rotation << " angles " << f.angle_z << " " << f.angle_y << " " << f.angle_x << " names " << f.sn_var_name
          << "," << f.ln_var_name << "," << f.lname_var_name << "," << f.rn_var_name << "," << f.xg_var_name << ","
          << f.yg_var_name << "," << f.zg_var_name << "," << f.xb_var_name << "," << f.yb_var_name << ","
          << f.zb_var_name << "," << f.xe_var_name << "," << f.ye_var_name << "," << f.ze_var_name << "\n";
      for (int type = -4; type <= 6; type++)
        names("variables of type " + std::to_string(type),
              [&](int *n, char ***l) { return VEKClientGetVariableListByType(type, n, l); });
      for (const std::string &var : list_of(VEKClientGetVariableList)) {
        out << "- " << var << " " << VEKClientVariableExists(var.c_str(), &exists) << exists << "\n";
        ASSERT_EQ(0, VEKClientSetVariable(var.c_str()));
        VEKVariableInfo v{};
        out << "info " << VEKClientGetVariableInfo(&v) << " type " << v.type << " bits " << v.bit_length << " alpha "
            << v.alpha_length << " implicit " << v.implicit << " items " << v.i_number << " unit '" << v.unit << "' '"
            << v.unit_symbol << "' length " << v.length_var << "\n";
        int n = 0, *idx = nullptr;
        char **alpha = nullptr;
        out << "indices " << VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha) << ":";
        std::vector<int> items = {-1};
        for (int i = 0; i < n; i++) out << " " << idx[i] << "=" << (alpha ? alpha[i] : "");
        if (n > 0) items.assign(idx, idx + n);
        out << "\n";
        said();
        VEKClientFreePointer(idx);
        VEKClientFreeStringArray(n, alpha);
        for (int item : items) {
          if (item >= 0) out << "item " << item << " " << VEKClientSetIndice(item) << "\n";
          said();
          values("values", [](double *t, vek_long *c, double **d) { return VEKClientReadDoubleVariable(0, t, c, d); });
          values("samples 2 to 3",
                 [](double *t, vek_long *c, double **d) { return VEKClientReadDoubleVariableSub(2, 3, 0, t, c, d); });
        }
        for (int line = 0; line <= 4 && f.type != VEK_FILE_TYPE_POINTS && f.type != VEK_FILE_TYPE_GRID; line++)
          values("line " + std::to_string(line), [&](double *t, vek_long *c, double **d) {
            int count = 0, code = VEKClientReadLineDoubleVariable(line, t, &count, d);
            *c = count;
            return code;
          });
      }
    }
    ASSERT_EQ(0, target("Grid3D"));
    for (const char *name : {"Simu[00002]", "Simu[0000a]", "Simu[2]", "Simu[0002]", "Simu[000002]", "Simu[-0002]",
                             "Grade[00002]", "simu[00002]"})
      record.step(std::string("variable ") + name, VEKClientSetVariable(name));
    record.step("disconnect", VEKClientDisconnect());
  }
  record.expect("sample_project", proj.path);
}

/* What a run of changes leaves in the project's files: every request's result
 * and message, each description in full and each data file's values. */
TEST_F(ServerTest, TheProjectFilesAfterARunOfChanges) {
  Record record;
  std::ostringstream &out = record.out;
  auto step = [&](const char *what, int code) { record.step(what, code); };
  const double x[] = {1, 2, 3, 4.5}, y[] = {10, 20, 30, 40.5}, v[] = {0.25, -1, 1.234e30, 7, 8};
  step("study elsewhere", VEKClientNewStudy("New", (proj.path + "/Elsewhere").c_str()));
  step("study", VEKClientNewStudy("New", (proj.path + "/New").c_str()));
  step("set study", VEKClientSetStudy("New"));
  step("directory", VEKClientNewDirectory("D"));
  step("set directory", VEKClientSetDirectory("D"));
  step("creation units", VEKClientSetCreationUnits("km", "cm", "ft"));
  step("grid", VEKClientNewGridFile("G", 3, 1, 2, 3, 10, 20, 30, 2, 1, 2));
  step("points", VEKClientNewPointsFile("P", 3, x, y, nullptr));
  step("set points", VEKClientSetFile("P"));
  step("macro", VEKClientNewDoubleVariable("M[xxxxx]", 64, 0, 10, 3, nullptr));
  step("set macro", VEKClientSetVariable("M[xxxxx]"));
  for (int item : {3, 4}) {
    step("set item", VEKClientSetIndice(item));
    step("write item", VEKClientWriteDoubleVariable(0, 1.234e30, 3, item == 3 ? y : x));
  }
  step("append", VEKClientPointsFileAppend(1, x + 3, y + 3, nullptr));
  step("append nothing", VEKClientPointsFileAppend(0, x, y, nullptr));
  step("format 4", VEKClientNewDoubleVariable("F4", 32, 4, 10, 3, nullptr));
  step("format 5", VEKClientNewDoubleVariable("F5", 32, 5, 10, 3, nullptr));
  step("variable", VEKClientNewDoubleVariable("V", 32, 1, 12, 4, "g/t"));
  step("set variable", VEKClientSetVariable("V"));
  step("write", VEKClientWriteDoubleVariable(0, 7, 4, v));
  step("write 2 to 3", VEKClientWriteDoubleVariableSub(2, 3, 0, 1.234e30, 2, x));
  step("variable unit", VEKClientSetVariableUnit("%", "ppm"));
  step("one bit", VEKClientNewDoubleVariable("B", 1, 0, 1, 0, nullptr));
  step("set one bit", VEKClientSetVariable("B"));
  step("write one bit", VEKClientWriteDoubleVariable(0, 1.234e30, 4, v));
  step("doomed", VEKClientNewDoubleVariable("Doomed", 64, 0, 10, 3, nullptr));
  step("set doomed", VEKClientSetVariable("Doomed"));
  step("delete doomed", VEKClientDeleteVariable());
  step("set grid", VEKClientSetFile("G"));
  auto turned = [&](double z, double y, double x) {
    step("rotation", VEKClientGridModifyRotation(z, y, x));
    VEKFileInfo f{};
    step("info", VEKClientGetFileInfo(&f));
    out << "turned " << f.rotation << " " << f.angle_z << " " << f.angle_y << " " << f.angle_x << "\n";
  };
  for (const auto &a : std::vector<std::vector<double>>{{0, 0, 5}, {0, 10, 0}, {0, 0, 0}, {15, 0, 5}})
    turned(a[0], a[1], a[2]);
  step("mesh", VEKClientGridModifyMesh(2, 4, 8));
  step("origin", VEKClientGridModifyOrigin(-1, -2, -3));
  step("grid variable", VEKClientNewDoubleVariable("GV", 64, 0, 10, 3, "m"));
  step("set grid variable", VEKClientSetVariable("GV"));
  step("write grid", VEKClientWriteDoubleVariable(0, 1.234e30, 4, v));
  step("lines", target("Lines", "Gravity"));
  step("write line 2", VEKClientWriteLineDoubleVariable(2, 1.234e30, 5, v));
  const double nine[] = {11, 12, 13, 14, 15, 16, 17, 18, 19}; /* the data samples alone, behind the headers */
  step("write data samples", VEKClientNewDoubleVariable("G9", 64, 0, 10, 3, nullptr) || VEKClientSetVariable("G9") ||
                                 VEKClientWriteDoubleVariable(0, 1.234e30, 9, nine));
  step("cores", target("Cores"));
  step("delete cores", VEKClientDeleteFile());
  /* A File described with every optional field left out is written back in full. */
  std::filesystem::create_directory(proj.file("Demo/Mining/Minimal"));
  write_text(proj.file("Demo/Mining/Minimal/file.json"),
             R"({"type": "grid", "grid": {}, "variables": [{"name": "V", "inline": "000000000000f03f"},)"
             R"( {"name": "S", "kind": "selection", "inline": "000000000000f03f"}]})");
  step("minimal", target("Minimal", "V") || VEKClientWriteDoubleVariable(0, 1.234e30, 1, v));
  auto values = [&](const char *what) {
    int code = 0;
    out << what << " read";
    for (double d : read_all(&code)) out << " " << d;
    step("", code);
  };
  /* Under a selection a read hides the rest and a write changes only the
   * selected samples, taking its own test value as undefined. */
  step("samples", target("Samples", "Cu"));
  step("inside", VEKClientSetSelection("Inside"));
  const double w[] = {100, 101, 102, 103, 104, -999, NAN, 107, 108, 109, 110, 111};
  step("write inside", VEKClientWriteDoubleVariable(0, -999.0, 12, w));
  values("inside");
  step("no selection", VEKClientSetSelection(nullptr));
  values("all");
  step("mask", VEKClientNewDoubleVariable("Mask", 1, 0, 1, 0, nullptr));
  out << "selections:";
  for (auto &name : list_of([](int *n, char ***l) { return VEKClientGetVariableListByType(-3, n, l); }))
    out << " " << name;
  out << "\n";
  step("set mask", VEKClientSetVariable("Mask"));
  const double m[] = {0, 1, 2, -1, 1.234e30, NAN, 0, 0, 0, 0, 0, 5};
  step("write mask", VEKClientWriteDoubleVariable(0, 1.234e30, 12, m));
  values("mask");
  step("select mask", VEKClientSetSelection("Mask"));
  step("delete the selection", VEKClientDeleteVariable());
  step("set cu", VEKClientSetVariable("Cu"));
  values("cu with no selection");
  /* Macro items come by writing; "S[00007]" names item 7. */
  step("grid of a macro", target("Grid2D") || VEKClientNewGridFile("M", 2, 0, 0, 0, 1, 1, 1, 5, 4, 1));
  step("set it", VEKClientSetFile("M"));
  step("macro", VEKClientNewDoubleVariable("S[xxxxx]", 32, 0, 10, 3, "m"));
  step("set macro", VEKClientSetVariable("S[xxxxx]"));
  const std::vector<double> ones(20, 1.0), twos(20, 2.0);
  step("write with no item", VEKClientWriteDoubleVariable(0, 1.234e30, 20, ones.data()));
  step("item 7", VEKClientSetIndice(7));
  values("item 7 unwritten");
  step("write item 7", VEKClientWriteDoubleVariable(0, 1.234e30, 20, ones.data()));
  step("item 2", VEKClientSetIndice(2));
  step("write 1 to 5", VEKClientWriteDoubleVariableSub(1, 5, 0, 1.234e30, 5, twos.data()));
  step("write 2 to 3 over it", VEKClientWriteDoubleVariableSub(2, 3, 0, 1.234e30, 2, ones.data()));
  int n = 0, *items = nullptr;
  step("items", VEKClientGetMacroIndices(&n, &items));
  for (int i = 0; i < n; i++) out << " " << items[i];
  out << "\n";
  VEKClientFreePointer(items);
  values("item 2");
  for (const char *name : {"S[00007]", "S[00003]"}) {
    step(name, VEKClientSetVariable(name));
    values(name);
  }
  step("item -1", VEKClientSetIndice(-1));
  step("alpha high", target("Grid3D", "Simu[xxxxx]") || VEKClientSetAlphaIndice("high"));
  values("high");
  step("character", VEKClientSetVariable("Lithology"));
  values("character");
  for (const auto &[rel, text] : snapshot(proj.path)) {
    out << "== " << rel << "\n";
    if (rel.size() < 4 || rel.compare(rel.size() - 4, 4, ".bin") != 0) {
      out << text << "\n";
      continue;
    }
    for (size_t i = 0; i + 8 <= text.size(); i += 8) {
      uint64_t u = 0;
      for (int b = 7; b >= 0; b--) u = u << 8 | (uint8_t)text[i + (size_t)b];
      double d;
      memcpy(&d, &u, 8);
      out << " " << d;
    }
    out << "\n";
  }
  record.expect("changed_project", proj.path);
}
