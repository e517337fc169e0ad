/*
 * Listing, existence tests and the Set requests: the wire bytes of each
 * request, the local refusals (shown to send nothing by the next request's
 * bytes arriving first), the fallbacks for servers without a request, and
 * lists cut short or announced with hostile counts.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "client_test.h"
#include "vek_internal.h"

using namespace vekt;

namespace {

class Catalogue : public ClientTest {};

void script_probe(Peer& p) { p.expect(kw("CSTUDYSET").str("probe")).send(kw("SDONE")); }
int probe() { return VEKClientSetStudy("probe"); }

Bytes names_answer(const std::string& keyword, const std::vector<std::string>& names) {
  Bytes b = kw(keyword).i32((int32_t)names.size());
  for (const auto& n : names) b.str(n);
  return b;
}

std::vector<std::string> as_vector(int count, char** names) {
  std::vector<std::string> out;
  for (int i = 0; i < count; i++) out.push_back(names[i] ? names[i] : "<null>");
  return out;
}

TEST_F(Catalogue, ListsCarryTheirKeywordsAndAnEmptyListIsAnEmptyArray) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CFILETLST", "CVARTLST"});
  p.expect(kw("CSTUDYLST")).send(names_answer("SSTUDIES", {"Alpha", "b", ""}));
  p.expect(kw("CDIRLST")).send(names_answer("SDIRS", {}));
  p.expect(kw("CFILELST")).send(names_answer("SFILES", {"grid"}));
  p.expect(kw("CFILELST")).send(names_answer("SFILES", {"grid"}));
  p.expect(kw("CFILETLST").i32(3).i32(-1)).send(names_answer("SFILES", {"g3"}));
  p.expect(kw("CFILETLST").i32(-1).i32(7)).send(names_answer("SFILES", {}));
  p.expect(kw("CVARLST")).send(names_answer("SVARS", {"v1", "v2"}));
  p.expect(kw("CVARTLST").i32(-3)).send(names_answer("SVARS", {"sel"}));
  p.expect(kw("CVARTLST").i32(5)).send(names_answer("SVARS", {}));
  go(p);

  int n = -1;
  char** names = nullptr;
  ASSERT_EQ(0, VEKClientGetStudyList(&n, &names));
  EXPECT_EQ((std::vector<std::string>{"Alpha", "b", ""}), as_vector(n, names));
  names = VEKClientFreeStringArray(n, names);
  EXPECT_EQ(nullptr, names);

  ASSERT_EQ(0, VEKClientGetDirectoryList(&n, &names));
  EXPECT_EQ(0, n);
  EXPECT_NE(nullptr, names);
  names = VEKClientFreeStringArray(n, names);

  ASSERT_EQ(0, VEKClientGetFileList(&n, &names));
  names = VEKClientFreeStringArray(n, names);
  ASSERT_EQ(0, VEKClientGetFileListByType(-1, -1, &n, &names));
  EXPECT_EQ((std::vector<std::string>{"grid"}), as_vector(n, names));
  names = VEKClientFreeStringArray(n, names);
  ASSERT_EQ(0, VEKClientGetFileListByType(3, -1, &n, &names));
  names = VEKClientFreeStringArray(n, names);
  ASSERT_EQ(0, VEKClientGetFileListByType(-1, 7, &n, &names));
  names = VEKClientFreeStringArray(n, names);

  ASSERT_EQ(0, VEKClientGetVariableList(&n, &names));
  EXPECT_EQ((std::vector<std::string>{"v1", "v2"}), as_vector(n, names));
  names = VEKClientFreeStringArray(n, names);
  ASSERT_EQ(0, VEKClientGetVariableListByType(VEK_VAR_TYPE_SELECTION, &n, &names));
  names = VEKClientFreeStringArray(n, names);
  ASSERT_EQ(0, VEKClientGetVariableListByType(VEK_VAR_TYPE_MACRO, &n, &names));
  EXPECT_EQ(0, n);
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
  names = VEKClientFreeStringArray(n, names);
  EXPECT_EQ(nullptr, VEKClientFreeStringArray(3, nullptr));
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, FilterRefusalsSendNothing) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CVARTLST"});
  script_probe(p);
  go(p);
  ErrorCapture errors;
  int n = 5;
  char** names = (char**)&n; /* must come back null */

  EXPECT_EQ(1, VEKClientGetVariableListByType(VEK_VAR_TYPE_YG, &n, &names));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Coordinates variable names are within File Info")) << errors.joined();
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, names);

  errors.clear();
  EXPECT_EQ(1, VEKClientGetVariableListByType(6, &n, &names));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("var_type (6) is not allowed as selection type")) << errors.joined();
  EXPECT_EQ(1, VEKClientGetVariableListByType(-4, &n, &names));
  EXPECT_TRUE(errors.contains("var_type (-4) is not allowed as selection type")) << errors.joined();

  /* This server lacks "CFILETLST": a filtered file list is refused. */
  errors.clear();
  EXPECT_EQ(1, VEKClientGetFileListByType(VEK_FILE_TYPE_GRID, -1, &n, &names));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server Request not recognized (CFILETLST)")) << errors.joined();

  EXPECT_EQ(1, VEKClientGetStudyList(nullptr, &names));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, UnsupportedVariableFilterFailsWithCode3BeforeTheTypeCheck) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  script_probe(p);
  go(p);
  ErrorCapture errors;
  int n;
  char** names;
  EXPECT_EQ(1, VEKClientGetVariableListByType(VEK_VAR_TYPE_XG, &n, &names));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server Request not recognized (CVARTLST)")) << errors.joined();
  EXPECT_FALSE(errors.contains("Coordinates")) << errors.joined();
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, VariableListFailuresReportCode1AndTheConnectionStaysUsable) {
  Peer p;
  script_handshake(p, 408, {});
  p.expect(kw("CVARLST")).send(kw("SERROR").str("no file"));
  p.expect(kw("CVARTLST").i32(0)).send(kw("SFILES").i32(0));
  /* A name over its limit, followed by its bytes: they are drained. */
  p.expect(kw("CVARLST")).send(kw("SVARS").i32(2).str("v1").str(std::string(12000, 'n')));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  int n;
  char** names;
  EXPECT_EQ(1, VEKClientGetVariableList(&n, &names));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server: no file")) << errors.joined();
  EXPECT_EQ(1, VEKClientGetVariableListByType(VEK_VAR_TYPE_FLOAT, &n, &names));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Reply from server: \"SFILES\" where \"SVARS\" expected.")) << errors.joined();
  /* The partial list is released and the rest of the answer does not
   * reach the probe. */
  EXPECT_EQ(1, VEKClientGetVariableList(&n, &names));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, names);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, ListCutShortOrHostileReleasesWhatWasReadAndStaysBounded) {
  int n = -1;
  char** names = nullptr;
  struct Case {
    const char* what;
    Bytes answer;
    int code;
  };
  std::vector<Case> cases = {
      {"closed after two of three names", kw("SSTUDIES").i32(3).str("s1").str("s2"), VEK_RESULT_COMMUNICATION},
      {"closed inside a name", kw("SSTUDIES").i32(2).str("s1").u32(8).raw({'a', 'b'}), VEK_RESULT_COMMUNICATION},
      {"count 2^31-1", kw("SSTUDIES").i32(0x7FFFFFFF).str("s1").str("s2").str("s3"), VEK_RESULT_COMMUNICATION},
      {"negative count", kw("SSTUDIES").i32(-5).str("s1"), VEK_RESULT_COMMUNICATION},
      {"name of 10000 characters", kw("SSTUDIES").i32(1).str(std::string(10000, 'n')),
       VEK_RESULT_COMMUNICATION},
      {"closed inside the keyword", kw("SSTUDIES").prefix(6), VEK_RESULT_COMMUNICATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset_client();
    Peer h;
    script_handshake(h, kModern, {"CARCH"});
    h.expect(kw("CSTUDYLST")).send(c.answer).close_now();
    go(h);
    ErrorCapture errors;
    long before = vm_peak_kb();
    EXPECT_EQ(1, VEKClientGetStudyList(&n, &names));
    long after = vm_peak_kb();
    EXPECT_EQ(c.code, VEKClientGetLastError());
    EXPECT_EQ(0, n);
    EXPECT_EQ(nullptr, names);
    EXPECT_LT(after - before, 256L * 1024) << "address space grew by " << (after - before) << " kB";
    EXPECT_TRUE(h.finish()) << h.report();
  }
}

TEST_F(Catalogue, ExistenceRequestsSendTheNameAsString50) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CDIRXIST", "CFILEXIST", "CVARXIST"});
  p.expect(kw("CDIRXIST").str("Data")).send(kw("SEXIST").i32(1));
  p.expect(kw("CFILEXIST").str("grid")).send(kw("SEXIST").i32(0));
  p.expect(kw("CVARXIST").str(std::string(49, 'v'))).send(kw("SERROR").str("no file set"));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  int exists = -1;
  EXPECT_EQ(0, VEKClientDirectoryExists("Data", &exists));
  EXPECT_EQ(1, exists);
  EXPECT_EQ(0, VEKClientFileExists("grid", &exists));
  EXPECT_EQ(0, exists);
  exists = -1;
  EXPECT_EQ(1, VEKClientVariableExists(std::string(49, 'v').c_str(), &exists));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(0, exists);
  /* 50 characters cannot travel as string(50): the write fails. */
  EXPECT_EQ(1, VEKClientFileExists(std::string(50, 'f').c_str(), &exists));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientFileExists(nullptr, &exists));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("VEKClientFileExists(): name cannot be NULL.")) << errors.joined();
  EXPECT_EQ(1, VEKClientDirectoryExists("Data", nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, ExistenceFallbackComparesListedNamesExactly) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CDIRLST")).send(names_answer("SDIRS", {"data", "Data2", "DATA"}));
  p.expect(kw("CFILELST")).send(names_answer("SFILES", {"Grid", "grid"}));
  p.expect(kw("CVARLST")).send(names_answer("SVARS", {"x", "X1"}));
  p.expect(kw("CVARLST")).send(names_answer("SVARS", {}));
  /* Failed fetches: code 1 for Directories and Variables, the exchange's
   * own code for Files. */
  p.expect(kw("CDIRLST")).send(kw("SERROR").str("no study"));
  p.expect(kw("CFILELST")).send(kw("SERROR").str("no directory"));
  p.expect(kw("CVARLST")).send(kw("SDIRS").i32(0));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  int exists = -1;
  EXPECT_EQ(0, VEKClientDirectoryExists("Data", &exists));
  EXPECT_EQ(0, exists);
  EXPECT_EQ(0, VEKClientFileExists("grid", &exists));
  EXPECT_EQ(1, exists);
  EXPECT_EQ(0, VEKClientVariableExists("X1", &exists));
  EXPECT_EQ(1, exists);
  EXPECT_EQ(0, VEKClientVariableExists("x", &exists));
  EXPECT_EQ(0, exists);

  EXPECT_EQ(1, VEKClientDirectoryExists("Data", &exists));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientFileExists("grid", &exists));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientVariableExists("x", &exists));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, exists);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, SetRequestsAndNullNames) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CSTUDYSET").str("Study 1")).send(kw("SDONE"));
  p.expect(kw("CDIRSET").str("dir")).send(kw("SDONE"));
  p.expect(kw("CFILESET").str("file")).send(kw("SDONE"));
  p.expect(kw("CVARSET").str("var")).send(kw("SERROR").str("no such variable"));
  p.expect(kw("CSELSET").str("")).send(kw("SDONE"));
  p.expect(kw("CSELSET").str("sel")).send(kw("SDONE"));
  p.expect(kw("CINDSET").i32(-7)).send(kw("SDONE"));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  EXPECT_EQ(0, VEKClientSetStudy("Study 1"));
  EXPECT_EQ(0, VEKClientSetDirectory("dir"));
  EXPECT_EQ(0, VEKClientSetFile("file"));
  EXPECT_EQ(1, VEKClientSetVariable("var"));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(0, VEKClientSetSelection(nullptr));
  EXPECT_EQ(0, VEKClientSetSelection("sel"));
  EXPECT_EQ(0, VEKClientSetIndice(-7));
  errors.clear();
  EXPECT_EQ(1, VEKClientSetStudy(nullptr));
  EXPECT_EQ(1, VEKClientSetDirectory(nullptr));
  EXPECT_EQ(1, VEKClientSetFile(nullptr));
  EXPECT_EQ(1, VEKClientSetVariable(nullptr));
  EXPECT_EQ(1, VEKClientSetAlphaIndice(nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(5u, errors.messages().size()) << errors.joined();
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Catalogue, AlphaIndexGoesDirectOrThroughTheNamedIndices) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CMACROALP"});
  /* Without "CINDASET": the last index whose name matches exactly. */
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(3).i32(10).i32(20).i32(30).i32(1).str("a").str("B").str("a"));
  p.expect(kw("CINDSET").i32(30)).send(kw("SDONE"));
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(2).i32(10).i32(20).i32(1).str("a").str("b"));
  p.expect(kw("CINDSET").i32(-1)).send(kw("SDONE"));
  /* No names: nothing further is sent. */
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(2).i32(10).i32(20).i32(0));
  /* The index request's own failure is the call's code. */
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(1).i32(4).i32(1).str("b"));
  p.expect(kw("CINDSET").i32(4)).send(kw("SERROR").str("bad index"));
  p.expect(kw("CMACROALP")).send(kw("SERROR").str("not a macro"));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  EXPECT_EQ(0, VEKClientSetAlphaIndice("a"));
  EXPECT_EQ(0, VEKClientSetAlphaIndice("A"));
  EXPECT_EQ(1, VEKClientSetAlphaIndice("a"));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("No alpha index available for this variable")) << errors.joined();
  EXPECT_EQ(1, VEKClientSetAlphaIndice("b"));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientSetAlphaIndice("b"));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();

  reset_client();
  Peer q;
  script_handshake(q, kModern, {"CARCH", "CINDASET"});
  q.expect(kw("CINDASET").str("north")).send(kw("SDONE"));
  /* Neither request: the plain indices carry no names. */
  go(q);
  EXPECT_EQ(0, VEKClientSetAlphaIndice("north"));
  EXPECT_TRUE(q.finish()) << q.report();

  reset_client();
  Peer r;
  script_handshake(r, 408, {});
  r.expect(kw("CMACROIND")).send(kw("SMACROIND").i32(1).i32(3));
  go(r);
  errors.clear();
  EXPECT_EQ(1, VEKClientSetAlphaIndice("north"));
  EXPECT_TRUE(errors.contains("No alpha index available for this variable")) << errors.joined();
  EXPECT_TRUE(r.finish()) << r.report();
}

TEST_F(Catalogue, TraceShowsNilSelectionAndSetVariableEndsWithoutCode) {
  char trace_name[] = "/tmp/vekt_catalogue_trace_XXXXXX";
  int fd = mkstemp(trace_name);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("VEK_SERVER_TRACE", "1", 1);
  setenv("VEK_CLIENT_TRACE_FILE", trace_name, 1);
  _vek_trace_reset_for_tests();
  _vek_trace_init();
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CSELSET").str("")).send(kw("SDONE"));
  p.expect(kw("CVARSET").str("v")).send(kw("SDONE"));
  go(p);
  EXPECT_EQ(0, VEKClientSetSelection(nullptr));
  EXPECT_EQ(0, VEKClientSetVariable("v"));
  EXPECT_TRUE(p.finish()) << p.report();
  _vek_trace_reset_for_tests();
  unsetenv("VEK_SERVER_TRACE");
  unsetenv("VEK_CLIENT_TRACE_FILE");
  _vek_trace_init();

  std::ifstream in(trace_name);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  unlink(trace_name);
  bool nil = false, bare_end = false;
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].find("Function VEKClientSetSelection((nil))") != std::string::npos) nil = true;
    if (lines[i].find("Function VEKClientSetVariable(v)") != std::string::npos) {
      for (size_t j = i + 1; j < lines.size(); j++) {
        if (lines[j].find("Function returned") == std::string::npos) continue;
        bare_end = lines[j].size() >= 17 && lines[j].compare(lines[j].size() - 17, 17, "Function returned") == 0;
        break;
      }
    }
  }
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  EXPECT_TRUE(nil) << all;
  EXPECT_TRUE(bare_end) << all;
}

}  // namespace
