// Creating, modifying and deleting items: the argument layout of each
// request, the version-dependent parts, and the local refusals.
#include <cmath>
#include <limits>

#include "client_test.h"

using namespace vekt;

namespace {

class Edit : public ClientTest {};

const double x[] = {1.5, -2}, y[] = {3, 4e-300}, z[] = {-0.0, 7};

std::function<int()> variable(const char *name, int nbits, int format, const char *unit) {
  return [=] { return VEKClientNewDoubleVariable(name, nbits, format, 8, 2, unit); };
}

TEST_F(Edit, Requests) {
  const Bytes done = kw("SDONE");
  const std::vector<std::string> points = {"CARCH", "CPFILEAPP"}, vars = {"CARCH", "CVARMNEW"};
  /* A new variable accepted: its request ends with the unit's part. */
  auto made = [&](const char *row, const char *keyword, const char *name, int nbits, int format, const Bytes &unit_part,
                  const char *unit, int version = kModern) {
    return ex(row, {{kw(keyword).str(name).i32(nbits).i32(format).i32(8).i32(2).append(unit_part), done}},
              variable(name, nbits, format, unit), 0, "", version,
              version == kModern ? vars : std::vector<std::string>{"CVARMNEW"});
  };
  const vek_long too_many = std::numeric_limits<vek_long>::max();
  run({
      ex("study deletion refused", {{kw("CSTUDYDEL"), kw("SERROR").str("in use")}}, VEKClientDeleteStudy,
         VEK_RESULT_ANSWER, "Server: in use"),
      ex("rotation", {{kw("GRIDMODR").dbl(10).dbl(-20.5).dbl(30), done}},
         calls(VEKClientGridModifyRotation, 10, -20.5, 30)),
      ex("mesh", {{kw("GRIDMODM").dbl(1).dbl(2).dbl(3), done}}, calls(VEKClientGridModifyMesh, 1, 2, 3)),
      ex("origin", {{kw("GRIDMODO").dbl(-1e6).dbl(0.25).dbl(NAN), done}},
         calls(VEKClientGridModifyOrigin, -1e6, 0.25, NAN)),
      ex("study with its place at 410", {{kw("CSTUDYNEW").str("S1").str("/data/s1"), done}},
         calls(VEKClientNewStudy, "S1", "/data/s1"), 0, "", 410),
      ex("study without its place at 409", {{kw("CSTUDYNEW").str("S1"), done}},
         calls(VEKClientNewStudy, "S1", "/data/s1"), 0, "", 409),
      ex("study without its place at 400500", {{kw("CSTUDYNEW").str("S1"), done}},
         calls(VEKClientNewStudy, "S1", "/data/s1"), 0, "", 400500),
      ex("no study name", {}, calls(VEKClientNewStudy, nullptr, "x"), VEK_RESULT_USAGE),
      ex("directory of 9999 characters", {{kw("CDIRNEW").str(std::string(9999, 'n')), done}},
         [] { return VEKClientNewDirectory(std::string(9999, 'n').c_str()); }),
      ex(
          "directory of 10000", {}, [] { return VEKClientNewDirectory(std::string(10000, 'n').c_str()); },
          VEK_RESULT_COMMUNICATION),
      // Axis by axis, Z only in 3-D.
      ex("3-D grid",
         {{kw("CGFILENEW").str("g3").i32(3).dbl(1).dbl(10).i32(5).dbl(2).dbl(20).i32(6).dbl(3).dbl(30).i32(7), done}},
         calls(VEKClientNewGridFile, "g3", 3, 1, 2, 3, 10, 20, 30, 5, 6, 7)),
      ex("2-D grid", {{kw("CGFILENEW").str("g2").i32(2).dbl(1).dbl(10).i32(5).dbl(2).dbl(20).i32(6), done}},
         calls(VEKClientNewGridFile, "g2", 2, 1, 2, 99, 10, 20, 99, 5, 6, 99)),
      ex("1-D grid", {}, calls(VEKClientNewGridFile, "g", 1, 0, 0, 0, 1, 1, 1, 1, 1, 1), VEK_RESULT_USAGE,
         "VEKClientNewGridFile(): invalid dimension."),
      ex("4-D grid", {}, calls(VEKClientNewGridFile, "g", 4, 0, 0, 0, 1, 1, 1, 1, 1, 1), VEK_RESULT_USAGE),
      // Points: count, dimension, then only the arrays given.
      ex("2-D points", {{kw("CPFILENEW").str("p").i64(2).i32(2).append(doubles({1.5, -2, 3, 4e-300})), done}},
         calls(VEKClientNewPointsFile, "p", 2, x, y, nullptr)),
      ex("no points", {{kw("CPFILENEW").str("p").i64(0).i32(2), done}},
         calls(VEKClientNewPointsFile, "p", 0, x, y, nullptr)),
      ex("points appended", {{kw("CPFILEAPP").i64(1).i32(2).dbl(1.5).dbl(3), done}},
         calls(VEKClientPointsFileAppend, 1, x, y, nullptr), 0, "", kModern, points),
      ex("points appended unsupported", {}, calls(VEKClientPointsFileAppend, 1, x, y, nullptr), VEK_RESULT_ANSWER,
         "Server Request not recognized (CPFILEAPP)"),
      ex("no Y", {}, calls(VEKClientNewPointsFile, "p", 2, x, nullptr, z), VEK_RESULT_USAGE,
         "VEKClientNewPointsFile(): X and Y coordinates arrays cannot be NULL."),
      ex("negative count", {}, calls(VEKClientNewPointsFile, "p", -1, x, y, nullptr), VEK_RESULT_USAGE),
      // Checked before the support: a bad call is a usage error anywhere.
      ex("count beyond size_t", {}, calls(VEKClientPointsFileAppend, too_many, x, y, nullptr), VEK_RESULT_USAGE),
      // A name ending in the macro suffix after one character names a macro.
      made("macro", "CVARMNEW", "a[xxxxx]", 32, 4, Bytes().i32(0), nullptr),
      made("suffix alone", "CVARFNEW", "[xxxxx]", 32, 4, Bytes().i32(0), nullptr),
      made("suffix inside", "CVARFNEW", "a[xxxxx]b", 32, 4, Bytes().i32(0), nullptr),
      // Extended servers: a presence flag, then at most 10 characters.
      made("unit cut", "CVARFNEW", "v", 1, 0, Bytes().i32(1).str("abcdefghij"), "abcdefghijk"),
      made("empty unit", "CVARFNEW", "v", 1, 0, Bytes().i32(1).str(""), ""),
      // Older servers: always a string of at most 5.
      made("unit at 400500", "CVARFNEW", "v", 32, 2, Bytes().str("metre"), "metres", 400500),
      made("no unit at 400500", "CVARMNEW", "m[xxxxx]", 32, 2, Bytes().str(""), nullptr, 400500),
      ex("format 5", {}, variable("v", 32, 5, nullptr), VEK_RESULT_USAGE,
         "VEKClientNewDoubleVariable(): wrong output format type.", kModern, vars),
      ex("format -1", {}, variable("v", 32, -1, nullptr), VEK_RESULT_USAGE, "", kModern, vars),
      ex("no variable name", {}, variable(nullptr, 32, 0, nullptr), VEK_RESULT_USAGE, "", kModern, vars),
      // Even a float variable needs a server that lists "CVARMNEW".
      ex("no CVARMNEW", {}, variable("v", 32, 0, "m"), VEK_RESULT_USAGE, "Server Request not recognized (CVARMNEW)"),
  });
}

}  // namespace
