/*
 * File and variable descriptions as each server version lays them out,
 * macro indices with and without names, line sample counts, and answers
 * that are cut short, overlong or sized by hostile counts.
 */
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "client_test.h"
#include "vek_internal.h"

using namespace vekt;

namespace {

class Describe : public ClientTest {
 protected:
  void TearDown() override {
    _vek_client_linked_version = VEK_PROTOCOL_VERSION;
    ClientTest::TearDown();
  }
};

void script_probe(Peer& p) { p.expect(kw("CSTUDYSET").str("probe")).send(kw("SDONE")); }
int probe() { return VEKClientSetStudy("probe"); }

/* "SFILEINFO" up to the six names every version carries. */
Bytes file_info_head(int type, bool long64) {
  Bytes b = kw("SFILEINFO").i32(type).str("linked").i32(7).i32(0).i32(3);
  if (long64) b.i64(123456789012LL);
  else b.i32(-2);
  return b.i32(9)
      .dbl(1).dbl(2).dbl(3).dbl(10).dbl(20).dbl(30)
      .i32(4).i32(5).i32(6)
      .i32(1)
      .dbl(45).dbl(5).dbl(-5)
      .str("sn").str("ln").str("rn").str("xg").str("yg").str("zg");
}
Bytes core_names() { return Bytes().str("xb").str("yb").str("zb").str("xe").str("ye").str("ze"); }
Bytes fault_info() { return Bytes().i32(1).i32(9).i32(2).i32(3).i32(4).i32(5).i32(6); }

VEKFileInfo stale_file_info() {
  VEKFileInfo info;
  memset(&info, 'q', sizeof info);
  info.lname_var_name[49] = '\0';
  info.xb_var_name[49] = '\0';
  return info;
}

TEST_F(Describe, GridFileOfTheLatestServerCarriesTheLineNameVariable) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CFILEINFO")).send(file_info_head(VEK_FILE_TYPE_GRID, true).str("lname").append(fault_info()));
  go(p);
  VEKFileInfo info = stale_file_info();
  ASSERT_EQ(0, VEKClientGetFileInfo(&info));
  EXPECT_EQ(VEK_FILE_TYPE_GRID, info.type);
  EXPECT_STREQ("linked", info.linked_file);
  EXPECT_EQ(1, info.faulted);
  EXPECT_EQ(0, info.polygon_file);
  EXPECT_EQ(3, info.dimension);
  EXPECT_EQ(123456789012LL, info.s_number);
  EXPECT_EQ(9, info.item_number);
  EXPECT_EQ(1, info.X0);
  EXPECT_EQ(2, info.Y0);
  EXPECT_EQ(3, info.Z0);
  EXPECT_EQ(10, info.DX);
  EXPECT_EQ(20, info.DY);
  EXPECT_EQ(30, info.DZ);
  EXPECT_EQ(4, info.NX);
  EXPECT_EQ(5, info.NY);
  EXPECT_EQ(6, info.NZ);
  EXPECT_EQ(1, info.rotation);
  EXPECT_EQ(45, info.angle_z);
  EXPECT_EQ(5, info.angle_y);
  EXPECT_EQ(-5, info.angle_x);
  EXPECT_STREQ("sn", info.sn_var_name);
  EXPECT_STREQ("ln", info.ln_var_name);
  EXPECT_STREQ("rn", info.rn_var_name);
  EXPECT_STREQ("xg", info.xg_var_name);
  EXPECT_STREQ("yg", info.yg_var_name);
  EXPECT_STREQ("zg", info.zg_var_name);
  EXPECT_STREQ("lname", info.lname_var_name);
  EXPECT_STREQ("", info.xb_var_name);
  EXPECT_STREQ("", info.ze_var_name);
  EXPECT_EQ(1, info.fault_info.faults_2d);
  EXPECT_EQ(1, info.fault_info.aux_var_used);
  EXPECT_EQ(2, info.fault_info.faults_number);
  EXPECT_EQ(6, info.fault_info.auth_priority);
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Describe, FileLayoutFollowsTheServerVersion) {
  struct Case {
    const char* what;
    int version;
    int type;
    bool core;       /* six core-line names follow */
    int expected_type;
  };
  const Case cases[] = {
      {"1300029: no line name, faults follow the names", 1300029, VEK_FILE_TYPE_GRID, false, VEK_FILE_TYPE_GRID},
      {"900000 core lines", 900000, VEK_FILE_TYPE_CORE_LINES, true, VEK_FILE_TYPE_CORE_LINES},
      {"899999 core lines", 899999, VEK_FILE_TYPE_CORE_LINES, false, VEK_FILE_TYPE_CORE_LINES},
      {"899999 type above grid", 899999, 4, false, VEK_FILE_TYPE_INVALID},
      {"408 type above grid", 408, 9, false, VEK_FILE_TYPE_INVALID},
      {"408 points", 408, VEK_FILE_TYPE_POINTS, false, VEK_FILE_TYPE_POINTS},
      {"900000 unknown type", 900000, 77, false, VEK_FILE_TYPE_INVALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset_client();
    Peer p;
    script_handshake(p, c.version, {"CARCH"});
    bool long64 = c.version > 400000;
    Bytes answer = file_info_head(c.type, long64);
    if (c.core) answer.append(core_names());
    p.expect(kw("CFILEINFO")).send(answer.append(fault_info()));
    script_probe(p);
    go(p);
    VEKFileInfo info = stale_file_info();
    ASSERT_EQ(0, VEKClientGetFileInfo(&info));
    EXPECT_EQ(c.expected_type, info.type);
    EXPECT_EQ(long64 ? 123456789012LL : -2, info.s_number);
    EXPECT_STREQ("", info.lname_var_name);
    EXPECT_STREQ(c.core ? "xb" : "", info.xb_var_name);
    EXPECT_STREQ(c.core ? "ze" : "", info.ze_var_name);
    EXPECT_EQ(1, info.fault_info.faults_2d);
    EXPECT_EQ(6, info.fault_info.auth_priority);
    EXPECT_EQ(0, probe());
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Describe, FailedFileDescriptionIsInvalid) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CFILEINFO")).send(kw("SVARINFO").i32(0));
  /* A name of 50 characters does not fit string(50). */
  p.expect(kw("CFILEINFO")).send(kw("SFILEINFO").i32(VEK_FILE_TYPE_GRID).str(std::string(50, 'L')));
  script_probe(p);
  p.expect(kw("CFILEINFO")).send(file_info_head(VEK_FILE_TYPE_GRID, true).prefix(60)).close_now();
  go(p);
  ErrorCapture errors;
  VEKFileInfo info = stale_file_info();
  EXPECT_EQ(1, VEKClientGetFileInfo(&info));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(VEK_FILE_TYPE_INVALID, info.type);
  info = stale_file_info();
  EXPECT_EQ(1, VEKClientGetFileInfo(&info));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(VEK_FILE_TYPE_INVALID, info.type);
  EXPECT_EQ(nullptr, memchr(info.linked_file, 'L', sizeof info.linked_file));
  EXPECT_EQ(0, probe());
  info = stale_file_info();
  EXPECT_EQ(1, VEKClientGetFileInfo(&info));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(VEK_FILE_TYPE_INVALID, info.type);
  EXPECT_EQ(1, VEKClientGetFileInfo(nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(p.finish()) << p.report();
}

VEKVariableInfo stale_variable_info() {
  VEKVariableInfo info;
  memset(&info, 0, sizeof info);
  strcpy(info.unit_symbol, "before");
  info.length_var = 42;
  return info;
}

TEST_F(Describe, VariableDescriptionFollowsServerAndDeclaredVersions) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CCOMGET"});
  p.expect(kw("CVARINFO"))
      .send(kw("SVARINFO").i32(VEK_VAR_TYPE_CHAR).i32(32).i32(12).i32(1).i32(77).str("kilometres").str("km").i32(1));
  go(p);
  VEKVariableInfo info = stale_variable_info();
  ASSERT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_EQ(VEK_VAR_TYPE_CHAR, info.type);
  EXPECT_EQ(32, info.bit_length);
  EXPECT_EQ(12, info.alpha_length);
  EXPECT_EQ(1, info.implicit);
  EXPECT_EQ(77, info.i_number);
  EXPECT_STREQ("kilometres", info.unit);
  EXPECT_STREQ("km", info.unit_symbol);
  EXPECT_EQ(1, info.length_var);
  EXPECT_TRUE(p.finish()) << p.report();

  /* Without "CCOMGET" a comment follows the unit. */
  reset_client();
  Peer q;
  script_handshake(q, kModern, {"CARCH"});
  q.expect(kw("CVARINFO"))
      .send(kw("SVARINFO").i32(0).i32(32).i32(0).i32(0).i32(0).str("g").str(std::string(499, 'c')).str("g").i32(0));
  script_probe(q);
  go(q);
  info = stale_variable_info();
  ASSERT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_STREQ("g", info.unit);
  EXPECT_STREQ("g", info.unit_symbol);
  EXPECT_EQ(0, info.length_var);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(q.finish()) << q.report();
}

TEST_F(Describe, OldServerVariableUnitIsJudgedByTheUnitTable) {
  Peer p;
  script_handshake(p, 408, {});
  p.expect(kw("CVARINFO")).send(kw("SVARINFO").i32(0).i32(32).i32(0).i32(0).i32(0).str("m").str("comment"));
  p.expect(kw("CVARINFO")).send(kw("SVARINFO").i32(0).i32(32).i32(0).i32(0).i32(0).str("kg").str(""));
  /* An application of the old protocol keeps 5 characters and its own
   * symbol field. */
  p.expect(kw("CVARINFO")).send(kw("SVARINFO").i32(0).i32(32).i32(0).i32(0).i32(0).str("centimetre").str(""));
  script_probe(p);
  go(p);
  VEKVariableInfo info = stale_variable_info();
  ASSERT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_STREQ("m", info.unit);
  EXPECT_STREQ("m", info.unit_symbol);
  EXPECT_EQ(1, info.length_var);
  info = stale_variable_info();
  ASSERT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_STREQ("kg", info.unit_symbol);
  EXPECT_EQ(0, info.length_var);
  _vek_client_linked_version = 409;
  info = stale_variable_info();
  ASSERT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_STREQ("centi", info.unit);
  EXPECT_STREQ("before", info.unit_symbol);
  EXPECT_EQ(0, info.length_var);
  _vek_client_linked_version = VEK_PROTOCOL_VERSION;
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Describe, FailedVariableDescriptionIsInvalid) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CCOMGET"});
  p.expect(kw("CVARINFO")).send(kw("SERROR").str("no variable"));
  /* A unit of 11 characters does not fit string(11). */
  p.expect(kw("CVARINFO")).send(kw("SVARINFO").i32(0).i32(32).i32(0).i32(0).i32(0).str("abcdefghijk"));
  p.expect(kw("CVARINFO")).send(kw("SVARINFO").i32(99).i32(32).i32(0).i32(0).i32(0).str("m").str("m").i32(1));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  VEKVariableInfo info = stale_variable_info();
  EXPECT_EQ(1, VEKClientGetVariableInfo(&info));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(VEK_VAR_TYPE_INVALID, info.type);
  info = stale_variable_info();
  EXPECT_EQ(1, VEKClientGetVariableInfo(&info));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(VEK_VAR_TYPE_INVALID, info.type);
  /* A type the client does not know reads as invalid, not as an enum
   * value out of range. */
  EXPECT_EQ(0, VEKClientGetVariableInfo(&info));
  EXPECT_EQ(VEK_VAR_TYPE_INVALID, info.type);
  EXPECT_EQ(1, VEKClientGetVariableInfo(nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Describe, MacroIndicesWithAndWithoutNames) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CMACROALP"});
  p.expect(kw("CMACROIND")).send(kw("SMACROIND").i32(3).i32(5).i32(-1).i32(70000));
  p.expect(kw("CMACROIND")).send(kw("SMACROIND").i32(0));
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(2).i32(1).i32(2).i32(1).str("north").str(""));
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(2).i32(1).i32(2).i32(0));
  /* Cut inside the names: both arrays are released. */
  p.expect(kw("CMACROALP")).send(kw("SMACROALP").i32(2).i32(1).i32(2).i32(1).str("a").str(std::string(10000, 'x')));
  script_probe(p);
  go(p);
  int n = -1;
  int* idx = nullptr;
  char** alpha = nullptr;
  ASSERT_EQ(0, VEKClientGetMacroIndices(&n, &idx));
  ASSERT_EQ(3, n);
  EXPECT_EQ(5, idx[0]);
  EXPECT_EQ(-1, idx[1]);
  EXPECT_EQ(70000, idx[2]);
  idx = (int*)VEKClientFreePointer(idx);
  ASSERT_EQ(0, VEKClientGetMacroIndices(&n, &idx));
  EXPECT_EQ(0, n);
  idx = (int*)VEKClientFreePointer(idx);

  ASSERT_EQ(0, VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha));
  ASSERT_EQ(2, n);
  ASSERT_NE(nullptr, alpha);
  EXPECT_EQ(2, idx[1]);
  EXPECT_STREQ("north", alpha[0]);
  EXPECT_STREQ("", alpha[1]);
  idx = (int*)VEKClientFreePointer(idx);
  alpha = VEKClientFreeStringArray(n, alpha);
  ASSERT_EQ(0, VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha));
  EXPECT_EQ(2, n);
  EXPECT_EQ(nullptr, alpha);
  idx = (int*)VEKClientFreePointer(idx);

  EXPECT_EQ(1, VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, idx);
  EXPECT_EQ(nullptr, alpha);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Describe, NamedIndicesFallBackToPlainIndicesOnOlderServers) {
  Peer p;
  script_handshake(p, 408, {});
  p.expect(kw("CMACROIND")).send(kw("SMACROIND").i32(2).i32(8).i32(9));
  p.expect(kw("CMACROIND")).send(kw("SERROR").str("not a macro"));
  script_probe(p);
  go(p);
  int n;
  int* idx;
  char** alpha = (char**)&n;
  ASSERT_EQ(0, VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha));
  EXPECT_EQ(2, n);
  EXPECT_EQ(9, idx[1]);
  EXPECT_EQ(nullptr, alpha);
  VEKClientFreePointer(idx);
  EXPECT_EQ(1, VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(nullptr, idx);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Describe, HostileIndexCountsAllocateOnlyWhatArrives) {
  struct Case {
    const char* what;
    bool named;
    Bytes answer;
  };
  const Case cases[] = {
      {"count 2^31-1", false, kw("SMACROIND").i32(0x7FFFFFFF).i32(1).i32(2).i32(3)},
      {"negative count", false, kw("SMACROIND").i32(-1).i32(1)},
      {"closed inside the values", false, kw("SMACROIND").i32(4).i32(1).raw({0, 0})},
      {"named, count 2^31-1", true, kw("SMACROALP").i32(0x7FFFFFFF).i32(1)},
      {"named, closed inside the names", true, kw("SMACROALP").i32(2).i32(1).i32(2).i32(1).str("a")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset_client();
    Peer p;
    script_handshake(p, kModern, {"CARCH", "CMACROALP"});
    p.expect(kw(c.named ? "CMACROALP" : "CMACROIND")).send(c.answer).close_now();
    go(p);
    ErrorCapture errors;
    int n = -1;
    int* idx = nullptr;
    char** alpha = nullptr;
    long before = vm_peak_kb();
    EXPECT_EQ(1, c.named ? VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha) : VEKClientGetMacroIndices(&n, &idx));
    long after = vm_peak_kb();
    EXPECT_EQ(nullptr, alpha);
    int code = VEKClientGetLastError();
    EXPECT_TRUE(code == VEK_RESULT_COMMUNICATION || code == VEK_RESULT_ANSWER) << code;
    EXPECT_EQ(0, n);
    EXPECT_EQ(nullptr, idx);
    EXPECT_LT(after - before, 256L * 1024) << "address space grew by " << (after - before) << " kB";
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Describe, LineSamplesLeaveCodeAndSocketToTheCaller) {
  Peer p;
  script_handshake(p, kModern, {"CARCH", "CLFILECNT"});
  p.expect(kw("CLFILECNT")).send(kw("SLFILECNT").i32(3).i32(5).i32(0).i32(7));
  p.expect(kw("CLFILECNT")).send(kw("SLFILECNT").i32(-3));
  script_probe(p);
  p.expect(kw("CLFILECNT")).send(kw("SFILES").i32(0));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  int n = -1;
  int* counts = nullptr;
  ASSERT_EQ(0, _vek_get_line_samples(&n, &counts));
  ASSERT_EQ(3, n);
  EXPECT_EQ(7, counts[2]);
  counts = (int*)VEKClientFreePointer(counts);
  _vek_client_last_error = 42;
  EXPECT_EQ(1, _vek_get_line_samples(&n, &counts));
  EXPECT_EQ(42, VEKClientGetLastError());
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, counts);
  EXPECT_EQ(0, probe());
  EXPECT_EQ(1, _vek_get_line_samples(&n, &counts));
  EXPECT_EQ(nullptr, counts);
  _vek_cleanup_socket();
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();

  /* A server without the request: no lines, nothing sent. */
  reset_client();
  Peer q;
  script_handshake(q, kModern, {"CARCH"});
  script_probe(q);
  go(q);
  n = -1;
  EXPECT_EQ(0, _vek_get_line_samples(&n, &counts));
  EXPECT_EQ(0, n);
  EXPECT_EQ(nullptr, counts);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(q.finish()) << q.report();
}

}  // namespace
