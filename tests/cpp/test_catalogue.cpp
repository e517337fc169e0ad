// Listing, existence tests and the Set requests: the bytes of each request,
// the local refusals, the fallbacks for servers without a request, and a
// list longer than its first allocation.
#include "client_test.h"

using namespace vekt;

namespace {

class Catalogue : public ClientTest {};

using ListFn = std::function<int(int *, char ***)>;

/* A list call that must hand out these names (an empty list is an empty
 * array, not a null one); a failed call hands out nothing. */
std::function<int()> lists(ListFn f, std::vector<std::string> want) {
  return [=] {
    int n = -1;
    char **names = (char **)&n;
    int r = f(&n, &names);
    if (r) EXPECT_TRUE(n == 0 && names == nullptr);
    else EXPECT_LE(n + 1, _vek_live_blocks());  // the array and each name: counted until freed
    EXPECT_EQ(want, take_names(n, names));
    return r;
  };
}
ListFn by_type(int type, int criterion) {
  return [=](int *n, char ***x) { return VEKClientGetFileListByType(type, criterion, n, x); };
}
ListFn vars_of(int type) {
  return [=](int *n, char ***x) { return VEKClientGetVariableListByType(type, n, x); };
}

std::function<int()> exists(int (*f)(const char *, int *), std::string name, int want) {
  return [=] {
    int e = -1;
    int r = f(name.c_str(), &e);
    EXPECT_EQ(want, e);
    return r;
  };
}

std::vector<std::string> numbered(int n) {
  std::vector<std::string> v;
  for (int i = 0; i < n; i++) v.push_back("n" + std::to_string(i));
  return v;
}

TEST_F(Catalogue, Lists) {
  const std::vector<std::string> filtered = {"CARCH", "CFILETLST", "CVARTLST"};
  Bytes grown = kw("SSTUDIES").i32(40); /* 20 names of 40, then one too long */
  for (const std::string &n : numbered(20)) grown.str(n);
  run({
      ex("studies", {{kw("CSTUDYLST"), names_answer("SSTUDIES", {"Alpha", "b", ""})}},
         lists(VEKClientGetStudyList, {"Alpha", "b", ""})),
      ex("no directories", {{kw("CDIRLST"), names_answer("SDIRS", {})}}, lists(VEKClientGetDirectoryList, {})),
      // Any type is asked of every server, even one without typed lists.
      ex("files of any type", {{kw("CFILELST"), names_answer("SFILES", {"g"})}}, lists(by_type(-1, -1), {"g"})),
      ex("files by criterion", {{kw("CFILETLST").i32(-1).i32(7), names_answer("SFILES", {})}},
         lists(by_type(-1, 7), {}), 0, "", kModern, filtered),
      ex("selections", {{kw("CVARTLST").i32(-3), names_answer("SVARS", {"sel"})}},
         lists(vars_of(VEK_VAR_TYPE_SELECTION), {"sel"}), 0, "", kModern, filtered),
      ex("macro variables", {{kw("CVARTLST").i32(5), names_answer("SVARS", {"m"})}},
         lists(vars_of(VEK_VAR_TYPE_MACRO), {"m"}), 0, "", kModern, filtered),
      ex("longer than the first allocation", {{kw("CSTUDYLST"), names_answer("SSTUDIES", numbered(40))}},
         lists(VEKClientGetStudyList, numbered(40))),
      // Refusals, before anything is sent.
      ex("filtered files unsupported", {}, lists(by_type(VEK_FILE_TYPE_GRID, -1), {}), VEK_RESULT_ANSWER,
         "Server Request not recognized (CFILETLST)"),
      ex("typed variables unsupported, before the type check", {}, lists(vars_of(VEK_VAR_TYPE_XG), {}),
         VEK_RESULT_ANSWER, "Server Request not recognized (CVARTLST)"),
      ex("coordinate variables", {}, lists(vars_of(VEK_VAR_TYPE_YG), {}), VEK_RESULT_USAGE,
         "Coordinates variable names are within File Info", kModern, filtered),
      ex("type above macro", {}, lists(vars_of(6), {}), VEK_RESULT_USAGE,
         "var_type (6) is not allowed as selection type", kModern, filtered),
      ex("type below selection", {}, lists(vars_of(-4), {}), VEK_RESULT_USAGE,
         "var_type (-4) is not allowed as selection type", kModern, filtered),
      ex("no count", {}, calls(VEKClientGetStudyList, nullptr, &g_names), VEK_RESULT_USAGE),
      // Every failure of a variable list is code 1.
      ex("variables refused", {{kw("CVARLST"), kw("SERROR").str("no file")}}, lists(VEKClientGetVariableList, {}),
         VEK_RESULT_USAGE, "Server: no file", 408, {}),
      ex("variables under another keyword", {{kw("CVARTLST").i32(0), kw("SFILES").i32(0)}},
         lists(vars_of(VEK_VAR_TYPE_FLOAT), {}), VEK_RESULT_USAGE,
         "Reply from server: \"SFILES\" where \"SVARS\" expected.", 408, {}),
      // The rest of the answer is drained before the probe.
      ex("a name over its limit", {{kw("CVARLST"), kw("SVARS").i32(2).str("v1").str(std::string(12000, 'n'))}},
         lists(VEKClientGetVariableList, {}), VEK_RESULT_USAGE),
      // ... also once the list has grown: what it holds is released, nothing more.
      ex("a name over its limit after growth", {{kw("CSTUDYLST"), grown.str(std::string(12000, 'n'))}},
         lists(VEKClientGetStudyList, {}), VEK_RESULT_COMMUNICATION),
  });
}

TEST_F(Catalogue, Existence) {
  const std::vector<std::string> direct = {"CARCH", "CDIRXIST", "CFILEXIST", "CVARXIST"};
  run({
      ex("directory", {{kw("CDIRXIST").str("Data"), kw("SEXIST").i32(1)}}, exists(VEKClientDirectoryExists, "Data", 1),
         0, "", kModern, direct),
      ex("refused", {{kw("CVARXIST").str(std::string(49, 'v')), kw("SERROR").str("no file set")}},
         exists(VEKClientVariableExists, std::string(49, 'v'), 0), VEK_RESULT_ANSWER, "", kModern, direct),
      ex("a name too long for string(50)", {}, exists(VEKClientFileExists, std::string(50, 'f'), 0),
         VEK_RESULT_COMMUNICATION, "", kModern, direct),
      ex("no name", {}, calls(VEKClientFileExists, nullptr, &g_int), VEK_RESULT_USAGE,
         "VEKClientFileExists(): name cannot be NULL."),
      ex("nowhere to answer", {}, calls(VEKClientDirectoryExists, "Data", nullptr), VEK_RESULT_USAGE),
      // Without the requests: the list, searched exactly.
      ex("directory by list", {{kw("CDIRLST"), names_answer("SDIRS", {"data", "Data2", "DATA"})}},
         exists(VEKClientDirectoryExists, "Data", 0)),
      ex("file by list", {{kw("CFILELST"), names_answer("SFILES", {"Grid", "grid"})}},
         exists(VEKClientFileExists, "grid", 1)),
      ex("variable by list", {{kw("CVARLST"), names_answer("SVARS", {"x", "X1"})}},
         exists(VEKClientVariableExists, "X1", 1)),
      ex("variable by empty list", {{kw("CVARLST"), names_answer("SVARS", {})}},
         exists(VEKClientVariableExists, "x", 0)),
      ex("directory list refused", {{kw("CDIRLST"), kw("SERROR").str("no study")}},
         exists(VEKClientDirectoryExists, "Data", 0), VEK_RESULT_USAGE),
      ex("file list refused", {{kw("CFILELST"), kw("SERROR").str("no directory")}},
         exists(VEKClientFileExists, "grid", 0), VEK_RESULT_ANSWER),
      ex("variable list refused", {{kw("CVARLST"), kw("SDIRS").i32(0)}}, exists(VEKClientVariableExists, "x", 0),
         VEK_RESULT_USAGE),
  });
}

TEST_F(Catalogue, SetRequests) {
  const Bytes done = kw("SDONE");
  const std::vector<std::string> named = {"CARCH", "CMACROALP"};
  auto alpha = [](const char *a) { return [a] { return VEKClientSetAlphaIndice(a); }; };
  run({
      ex("variable refused", {{kw("CVARSET").str("var"), kw("SERROR").str("no such variable")}},
         calls(VEKClientSetVariable, "var"), VEK_RESULT_ANSWER, "Server: no such variable"),
      ex("no selection", {{kw("CSELSET").str(""), done}}, calls(VEKClientSetSelection, nullptr)),
      ex("index", {{kw("CINDSET").i32(-7), done}}, calls(VEKClientSetIndice, -7)),
      ex("no Study name", {}, calls(VEKClientSetStudy, nullptr), VEK_RESULT_USAGE),
      ex("no Directory name", {}, calls(VEKClientSetDirectory, nullptr), VEK_RESULT_USAGE),
      ex("no File name", {}, calls(VEKClientSetFile, nullptr), VEK_RESULT_USAGE),
      ex("no Variable name", {}, calls(VEKClientSetVariable, nullptr), VEK_RESULT_USAGE),
      ex("no alpha index", {}, calls(VEKClientSetAlphaIndice, nullptr), VEK_RESULT_USAGE),
      // An alpha index goes direct, or through the named indices.
      ex("direct", {{kw("CINDASET").str("north"), kw("SDONE")}}, alpha("north"), 0, "", kModern, {"CARCH", "CINDASET"}),
      ex("the last index of that name",
         {{kw("CMACROALP"), kw("SMACROALP").i32(3).i32(10).i32(20).i32(30).i32(1).str("a").str("B").str("a")},
          {kw("CINDSET").i32(30), kw("SDONE")}},
         alpha("a"), 0, "", kModern, named),
      ex("no such name",
         {{kw("CMACROALP"), kw("SMACROALP").i32(2).i32(10).i32(20).i32(1).str("a").str("b")},
          {kw("CINDSET").i32(-1), kw("SDONE")}},
         alpha("A"), 0, "", kModern, named),
      ex("indices without names", {{kw("CMACROALP"), kw("SMACROALP").i32(2).i32(10).i32(20).i32(0)}}, alpha("a"),
         VEK_RESULT_USAGE, "No alpha index available for this variable", kModern, named),
      ex("the index refused",
         {{kw("CMACROALP"), kw("SMACROALP").i32(1).i32(4).i32(1).str("b")},
          {kw("CINDSET").i32(4), kw("SERROR").str("bad index")}},
         alpha("b"), VEK_RESULT_ANSWER, "", kModern, named),
      ex("not a macro", {{kw("CMACROALP"), kw("SERROR").str("not a macro")}}, alpha("b"), VEK_RESULT_USAGE, "", kModern,
         named),
      ex("plain indices of an old server", {{kw("CMACROIND"), kw("SMACROIND").i32(1).i32(3)}}, alpha("north"),
         VEK_RESULT_USAGE, "No alpha index available for this variable", 408, {}),
  });
}

}  // namespace
