/*
 * Creating, modifying and deleting items: the exact argument layout of each
 * request, the version-dependent parts, and the local refusals. A refusal
 * is shown to send nothing by the next request's bytes arriving first.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "client_test.h"
#include "vek_internal.h"

using namespace vekt;

namespace {

class Edit : public ClientTest {};

/* The request used to prove that a refused call sent nothing before it. */
void script_probe(Peer& p) { p.expect(kw("CDIRNEW").str("probe")).send(kw("SDONE")); }
int probe() { return VEKClientNewDirectory("probe"); }

TEST_F(Edit, DeletionsAndGridChangesSendTheirKeywordAndArgumentsInOrder) {
  Peer p;
  connect(p, kModern, {"CARCH"});
  p.expect(kw("CVARDEL")).send(kw("SDONE"));
  p.expect(kw("CFILEDEL")).send(kw("SDONE"));
  p.expect(kw("CDIRDEL")).send(kw("SDONE"));
  p.expect(kw("CSTUDYDEL")).send(kw("SERROR").str("study in use"));
  p.expect(kw("GRIDMODR").dbl(10).dbl(-20.5).dbl(30)).send(kw("SDONE"));
  p.expect(kw("GRIDMODM").dbl(1).dbl(2).dbl(3)).send(kw("SDONE"));
  p.expect(kw("GRIDMODO").dbl(-1e6).dbl(0.25).dbl(NAN)).send(kw("SDONE"));
  script_probe(p);
  ErrorCapture errors;

  EXPECT_EQ(0, VEKClientDeleteVariable());
  EXPECT_EQ(0, VEKClientDeleteFile());
  EXPECT_EQ(0, VEKClientDeleteDirectory());
  EXPECT_EQ(1, VEKClientDeleteStudy());
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server: study in use")) << errors.joined();
  EXPECT_EQ(0, VEKClientGridModifyRotation(10, -20.5, 30));
  EXPECT_EQ(0, VEKClientGridModifyMesh(1, 2, 3));
  EXPECT_EQ(0, VEKClientGridModifyOrigin(-1e6, 0.25, NAN));
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, GridFileGoesAxisByAxisWithZOnlyIn3D) {
  Peer p;
  connect(p, kModern, {"CARCH"});
  p.expect(kw("CGFILENEW").str("g3").i32(3).dbl(1).dbl(10).i32(5).dbl(2).dbl(20).i32(6).dbl(3).dbl(30).i32(7))
      .send(kw("SDONE"));
  /* The Z values of the 2-D call would show up before the probe if sent. */
  p.expect(kw("CGFILENEW").str("g2").i32(2).dbl(1).dbl(10).i32(5).dbl(2).dbl(20).i32(6)).send(kw("SDONE"));
  script_probe(p);
  script_probe(p);
  ErrorCapture errors;

  EXPECT_EQ(0, VEKClientNewGridFile("g3", 3, 1, 2, 3, 10, 20, 30, 5, 6, 7));
  EXPECT_EQ(0, VEKClientNewGridFile("g2", 2, 1, 2, 99, 10, 20, 99, 5, 6, 99));
  EXPECT_EQ(0, probe());
  for (int dim : {1, 4}) {
    errors.clear();
    EXPECT_EQ(1, VEKClientNewGridFile("bad", dim, 0, 0, 0, 1, 1, 1, 1, 1, 1));
    EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
    EXPECT_TRUE(errors.contains("VEKClientNewGridFile(): invalid dimension.")) << errors.joined();
  }
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, PointsSendTheirDimensionAndOnlyTheGivenArrays) {
  const double x[] = {1.5, -2}, y[] = {3, 4e-300}, z[] = {-0.0, 7};
  Peer p;
  connect(p, kModern, {"CARCH", "CPFILEAPP"});
  p.expect(kw("CPFILENEW").str("pts").i64(2).i32(2).append(doubles({1.5, -2, 3, 4e-300}))).send(kw("SDONE"));
  p.expect(kw("CPFILENEW").str("pts3").i64(2).i32(3).append(doubles({1.5, -2, 3, 4e-300, -0.0, 7})))
      .send(kw("SDONE"));
  p.expect(kw("CPFILEAPP").i64(1).i32(2).dbl(1.5).dbl(3)).send(kw("SDONE"));
  p.expect(kw("CPFILENEW").str("empty").i64(0).i32(2)).send(kw("SDONE"));
  script_probe(p);
  ErrorCapture errors;

  EXPECT_EQ(0, VEKClientNewPointsFile("pts", 2, x, y, nullptr));
  EXPECT_EQ(0, VEKClientNewPointsFile("pts3", 2, x, y, z));
  EXPECT_EQ(0, VEKClientPointsFileAppend(1, x, y, nullptr));
  EXPECT_EQ(0, VEKClientNewPointsFile("empty", 0, x, y, nullptr));

  /* Refused before anything is sent: a missing X or Y array, and counts
   * that cannot describe an array (negative, or a byte size beyond size_t). */
  EXPECT_EQ(1, VEKClientNewPointsFile("p", 2, x, nullptr, z));
  EXPECT_TRUE(errors.contains("VEKClientNewPointsFile(): X and Y coordinates arrays cannot be NULL."));
  EXPECT_EQ(1, VEKClientPointsFileAppend(2, nullptr, y, nullptr));
  EXPECT_TRUE(errors.contains("VEKClientPointsFileAppend(): X and Y coordinates arrays cannot be NULL."));
  EXPECT_EQ(1, VEKClientNewPointsFile("p", -1, x, y, nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientPointsFileAppend(std::numeric_limits<vek_long>::max(), x, y, nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, PointsAppendWithoutServerSupportIsRefusedWithCode3) {
  const double x[] = {1}, y[] = {2};
  Peer p;
  connect(p, kModern, {"CARCH"});
  script_probe(p);
  ErrorCapture errors;
  EXPECT_EQ(1, VEKClientPointsFileAppend(1, x, y, nullptr));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server Request not recognized (CPFILEAPP)")) << errors.joined();
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, VariableNameSuffixChoosesMacroAndFormatIsChecked) {
  Peer p;
  connect(p, kModern, {"CARCH", "CVARMNEW"});
  const Bytes tail = Bytes().i32(32).i32(VEK_FORMAT_TYPE_SHIFTED).i32(10).i32(3).i32(0);
  p.expect(kw("CVARMNEW").str("a[xxxxx]").append(tail)).send(kw("SDONE"));
  p.expect(kw("CVARFNEW").str("[xxxxx]").append(tail)).send(kw("SDONE"));
  p.expect(kw("CVARFNEW").str("a[xxxxx]b").append(tail)).send(kw("SDONE"));
  p.expect(kw("CVARFNEW").str("").append(tail)).send(kw("SDONE"));
  script_probe(p);
  ErrorCapture errors;

  EXPECT_EQ(0, VEKClientNewDoubleVariable("a[xxxxx]", 32, VEK_FORMAT_TYPE_SHIFTED, 10, 3, nullptr));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("[xxxxx]", 32, VEK_FORMAT_TYPE_SHIFTED, 10, 3, nullptr));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("a[xxxxx]b", 32, VEK_FORMAT_TYPE_SHIFTED, 10, 3, nullptr));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("", 32, VEK_FORMAT_TYPE_SHIFTED, 10, 3, nullptr));
  for (int format : {5, -1, std::numeric_limits<int>::min()}) {
    errors.clear();
    EXPECT_EQ(1, VEKClientNewDoubleVariable("v", 32, format, 10, 3, nullptr));
    EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
    EXPECT_TRUE(errors.contains("VEKClientNewDoubleVariable(): wrong output format type.")) << errors.joined();
  }
  EXPECT_EQ(1, VEKClientNewDoubleVariable(nullptr, 32, 0, 10, 3, nullptr));
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, UnitBlockIsFlagAndTenCharactersOnExtendedServers) {
  Peer p;
  connect(p, kModern, {"CARCH", "CVARMNEW"});
  const Bytes head = Bytes().i32(1).i32(0).i32(8).i32(2);
  p.expect(kw("CVARFNEW").str("v").append(head).i32(1).str("metres")).send(kw("SDONE"));
  p.expect(kw("CVARFNEW").str("v").append(head).i32(0)).send(kw("SDONE"));
  p.expect(kw("CVARFNEW").str("v").append(head).i32(1).str("abcdefghij")).send(kw("SDONE"));
  p.expect(kw("CVARFNEW").str("v").append(head).i32(1).str("")).send(kw("SDONE"));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("v", 1, 0, 8, 2, "metres"));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("v", 1, 0, 8, 2, nullptr));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("v", 1, 0, 8, 2, "abcdefghijKLMNOP"));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("v", 1, 0, 8, 2, ""));
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, UnitBlockIsFiveCharactersOnA400Server) {
  Peer p;
  connect(p, 400500, {"CVARMNEW"});
  const Bytes head = Bytes().i32(32).i32(2).i32(12).i32(4);
  p.expect(kw("CVARFNEW").str("v").append(head).str("metre")).send(kw("SDONE"));
  p.expect(kw("CVARMNEW").str("m[xxxxx]").append(head).str("")).send(kw("SDONE"));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("v", 32, 2, 12, 4, "metres"));
  EXPECT_EQ(0, VEKClientNewDoubleVariable("m[xxxxx]", 32, 2, 12, 4, nullptr));
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Edit, VariableCreationNeedsCVARMNEWEvenForAFloat) {
  for (int version : {kModern, 408}) {
    SCOPED_TRACE(version);
    reset_client();
    Peer p;
    connect(p, version, {"CARCH"});
    script_probe(p);
    ErrorCapture errors;
    EXPECT_EQ(1, VEKClientNewDoubleVariable("v", 32, 0, 10, 3, "m"));
    EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
    EXPECT_TRUE(errors.contains("Server Request not recognized (CVARMNEW)")) << errors.joined();
    EXPECT_EQ(0, probe());
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Edit, StudyPhysicalNameGoesOnlyToExtendedServers) {
  for (int version : {kModern, 410, 400500, 409}) {
    SCOPED_TRACE(version);
    reset_client();
    Peer p;
    connect(p, version, {"CARCH"});
    Bytes req = kw("CSTUDYNEW").str("S1");
    if (version == kModern || version == 410) req.str("/data/s1");
    p.expect(req).send(kw("SDONE"));
    EXPECT_EQ(0, VEKClientNewStudy("S1", "/data/s1"));
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Edit, OverlongNameFailsWithCode2AndLeaksNothingIntoTheNextRequest) {
  Peer p;
  connect(p, kModern, {"CARCH"});
  script_probe(p);
  const std::string longest(9999, 'n'), too_long(10000, 'n');
  EXPECT_EQ(1, VEKClientNewDirectory(too_long.c_str()));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientNewStudy(nullptr, "x"));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  p.expect(kw("CDIRNEW").str(longest)).send(kw("SDONE"));
  EXPECT_EQ(0, VEKClientNewDirectory(longest.c_str()));
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
