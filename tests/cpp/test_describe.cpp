// File and variable descriptions as each server version lays them out, and
// macro indices with and without names, longer than a first allocation, cut
// short or sized by a hostile count.
#include <stdio.h>

#include "client_test.h"

using namespace vekt;

namespace {

class Describe : public ClientTest {};

/* "SFILEINFO" up to the six names every version carries: each field has a
 * value of its own, so a field read in the wrong place shows. */
Bytes file_info(int type, bool long64) {
  Bytes b = kw("SFILEINFO").i32(type).str("linked").i32(7).i32(0).i32(3);
  if (long64) b.i64(123456789012LL);
  else b.i32(-2);
  b.i32(9).append(doubles({1, 2, 3, 10, 20, 30})).i32(4).i32(5).i32(6).i32(1).append(doubles({45, 5, -5}));
  return b.str("sn").str("ln").str("rn").str("xg").str("yg").str("zg");
}
const Bytes kCore = Bytes().str("xb").str("yb").str("zb").str("xe").str("ye").str("ze");
const Bytes kFaults = Bytes().i32(1).i32(9).i32(2).i32(3).i32(4).i32(5).i32(6);

std::string text(const VEKFileInfo &i) {
  char b[1024];
  snprintf(b, sizeof b,
           "type %d %s %d %d dim %d S %lld items %d at %g %g %g mesh %g %g %g nodes %d %d %d rot %d %g %g %g "
           "%s %s %s %s %s %s core %s %s %s %s %s %s line %s faults %d %d %d %d %d %d %d",
           (int)i.type, i.linked_file, i.faulted, i.polygon_file, i.dimension, (long long)i.s_number, i.item_number,
           i.X0, i.Y0, i.Z0, i.DX, i.DY, i.DZ, i.NX, i.NY, i.NZ, i.rotation, i.angle_z, i.angle_y, i.angle_x,
           i.sn_var_name, i.ln_var_name, i.rn_var_name, i.xg_var_name, i.yg_var_name, i.zg_var_name, i.xb_var_name,
           i.yb_var_name, i.zb_var_name, i.xe_var_name, i.ye_var_name, i.ze_var_name, i.lname_var_name,
           i.fault_info.faults_2d, i.fault_info.aux_var_used, i.fault_info.faults_number, i.fault_info.segments_number,
           i.fault_info.min_fpriority, i.fault_info.max_fpriority, i.fault_info.auth_priority);
  return b;
}
std::string want(int type, long long s, const char *core, const char *line) {
  return "type " + std::to_string(type) + " linked 1 0 dim 3 S " + std::to_string(s) +
         " items 9 at 1 2 3 mesh 10 20 30 nodes 4 5 6 rot 1 45 5 -5 sn ln rn xg yg zg core " + core + " line " + line +
         " faults 1 1 2 3 4 5 6";
}

/* A description read over a stale record: fields the answer lacks must be
 * cleared, not left over. */
std::function<int()> file_described(std::string expected) {
  return [=] {
    VEKFileInfo info;
    memset(&info, 'q', sizeof info);
    info.xb_var_name[49] = info.lname_var_name[49] = '\0';
    int r = VEKClientGetFileInfo(&info);
    if (expected.empty()) {
      EXPECT_EQ(VEK_FILE_TYPE_INVALID, info.type);
      EXPECT_EQ(nullptr, memchr(info.linked_file, 'L', sizeof info.linked_file));
    } else {
      EXPECT_EQ(expected, text(info));
    }
    return r;
  };
}

TEST_F(Describe, FileLayoutFollowsTheServerVersion) {
  const char *none = "     ";
  const long long s = 123456789012LL;
  auto row = [](const char *name, const Bytes &answer, std::string want, int version = kModern) {
    return ex(name, {{kw("CFILEINFO"), answer}}, file_described(want), 0, "", version);
  };
  run({
      row("latest: the line name", file_info(VEK_FILE_TYPE_GRID, true).str("lname").append(kFaults),
          want(3, s, none, "lname")),
      row("900000: core lines carry their names",
          file_info(VEK_FILE_TYPE_CORE_LINES, true).append(kCore).append(kFaults), want(2, s, "xb yb zb xe ye ze", ""),
          900000),
      row("899999: a type above grid", file_info(4, true).append(kFaults), want(4, s, none, ""), 899999),
      row("900000: an unknown type", file_info(77, true).append(kFaults), want(4, s, none, ""), 900000),
      row("any type", file_info(-1, true).str("").append(kFaults), want(-1, s, none, "")),
      row("below any type", file_info(-2, true).str("").append(kFaults), want(4, s, none, "")),
      ex("408: 4-byte sample count", {{kw("CFILEINFO"), file_info(VEK_FILE_TYPE_POINTS, false).append(kFaults)}},
         file_described(want(0, -2, none, "")), 0, "", 408, {}),
      ex("900000: core names cut short",
         {{kw("CFILEINFO"), file_info(VEK_FILE_TYPE_CORE_LINES, true).str("xb").str("yb")}}, file_described(""),
         VEK_RESULT_COMMUNICATION, "", 900000, {"CARCH"}, true),
      ex("a linked name of 50", {{kw("CFILEINFO"), kw("SFILEINFO").i32(3).str(std::string(50, 'L'))}},
         file_described(""), VEK_RESULT_COMMUNICATION),
      ex("nowhere to describe", {}, calls(VEKClientGetFileInfo, nullptr), VEK_RESULT_USAGE),
  });
}

/* type bits alpha implicit number, unit, symbol, length flag */
std::function<int()> variable_described(std::string expected) {
  return [=] {
    VEKVariableInfo i;
    memset(&i, 0, sizeof i);
    strcpy(i.unit_symbol, "before");
    i.length_var = 42;
    int r = VEKClientGetVariableInfo(&i);
    char b[256];
    snprintf(b, sizeof b, "%d %d %d %d %d %s %s %d", (int)i.type, i.bit_length, i.alpha_length, i.implicit, i.i_number,
             i.unit, i.unit_symbol, i.length_var);
    EXPECT_EQ(expected, r ? std::to_string(i.type) : std::string(b));
    return r;
  };
}

TEST_F(Describe, VariableLayoutFollowsServerAndLinkedVersions) {
  auto head = [](int type) { return kw("SVARINFO").i32(type).i32(32).i32(12).i32(1).i32(77); };
  // A current server without comments, or an old one.
  auto plain = [](const char *name, const Bytes &answer, const char *want, int code = 0, int version = kModern) {
    return ex(name, {{kw("CVARINFO"), answer}}, variable_described(want), code, "", version,
              version == kModern ? std::vector<std::string>{"CARCH", "CCOMGET"} : std::vector<std::string>{});
  };
  run({
      plain("no comment", head(1).str("kilometres").str("km").i32(1), "1 32 12 1 77 kilometres km 1"),
      ex("a comment", {{kw("CVARINFO"), head(0).str("g").str(std::string(499, 'c')).str("g").i32(0)}},
         variable_described("0 32 12 1 77 g g 0")),
      ex("a comment cut short", {{kw("CVARINFO"), head(0).str("g").raw({0, 0})}}, variable_described("6"),
         VEK_RESULT_COMMUNICATION, "", kModern, {"CARCH"}, true),
      plain("selection", head(-3).str("").str("").i32(0), "-3 32 12 1 77   0"),
      plain("type below selection", head(-4).str("").str("").i32(0), "6 32 12 1 77   0"),
      plain("unknown type", head(99).str("m").str("m").i32(1), "6 32 12 1 77 m m 1"),
      // An old server: the unit table says whether the unit is a length.
      plain("408 length", head(0).str("m").str("comment"), "0 32 12 1 77 m m 1", 0, 408),
      plain("408 other", head(0).str("kg").str(""), "0 32 12 1 77 kg kg 0", 0, 408),
      plain("refused", kw("SERROR").str("no variable"), "6", VEK_RESULT_ANSWER),
      plain("a unit of 11", head(0).str("abcdefghijk"), "6", VEK_RESULT_COMMUNICATION),
      ex("nowhere to describe", {}, calls(VEKClientGetVariableInfo, nullptr), VEK_RESULT_USAGE),
  });
  // An application of the old protocol keeps 5 characters and its own
  // symbol field; from 410 on, the whole unit and the server's symbol.
  _vek_client_linked_version = 409;
  run({plain("linked at 409", head(0).str("centimetre").str(""), "0 32 12 1 77 centi before 0", 0, 408)});
  _vek_client_linked_version = 410;
  run({plain("linked at 410", head(0).str("centimetre").str(""), "0 32 12 1 77 centimetre centimetre 0", 0, 408)});
  _vek_client_linked_version = VEK_PROTOCOL_VERSION;
}

/* The indices (and names) a call must hand out, allocation `fail` failing. */
std::function<int()> indices(bool named, std::vector<int> want, std::vector<std::string> names = {}, int fail = 0) {
  return [=] {
    _vek_fail_allocation(fail);
    int n = -1, *idx = nullptr;
    char **alpha = (char **)&n;
    long before = vm_peak_kb();
    int r = named ? VEKClientGetMacroIndicesWithAlpha(&n, &idx, &alpha) : VEKClientGetMacroIndices(&n, &idx);
    _vek_fail_allocation(0);
    EXPECT_LT(vm_peak_kb() - before, 256L * 1024);
    EXPECT_EQ(want, std::vector<int>(idx, idx + (idx ? n : 0)));
    EXPECT_EQ(r != 0, idx == nullptr);
    EXPECT_EQ(names, named ? take_names(n, alpha) : names);
    VEKClientFreePointer(idx);
    return r;
  };
}

TEST_F(Describe, MacroIndices) {
  const std::vector<std::string> named = {"CARCH", "CMACROALP"};
  std::vector<int> many(70000);
  Bytes many_answer = kw("SMACROIND").i32(70000);
  for (int i = 0; i < 70000; i++) many_answer.i32(many[i] = i * 3 - 5);
  run({
      ex("three", {{kw("CMACROIND"), kw("SMACROIND").i32(3).i32(5).i32(-1).i32(70000)}},
         indices(false, {5, -1, 70000})),
      ex("none", {{kw("CMACROIND"), kw("SMACROIND").i32(0)}}, indices(false, {})),
      ex("longer than the first allocation", {{kw("CMACROIND"), many_answer}}, indices(false, many)),
      ex("growing without memory", {{kw("CMACROIND"), many_answer}}, indices(false, {}, {}, 2), VEK_RESULT_MEMORY),
      ex("named", {{kw("CMACROALP"), kw("SMACROALP").i32(2).i32(1).i32(2).i32(1).str("north").str("")}},
         indices(true, {1, 2}, {"north", ""}), 0, "", kModern, named),
      ex("without names", {{kw("CMACROALP"), kw("SMACROALP").i32(2).i32(1).i32(2).i32(0)}}, indices(true, {1, 2}), 0,
         "", kModern, named),
      // Without "CMACROALP": the plain indices, without names.
      ex("old server", {{kw("CMACROIND"), kw("SMACROIND").i32(2).i32(8).i32(9)}}, indices(true, {8, 9}), 0, "", 408,
         {}),
      ex("old server refusing", {{kw("CMACROIND"), kw("SERROR").str("not a macro")}}, indices(true, {}),
         VEK_RESULT_USAGE, "", 408, {}),
      // Hostile counts cost only what arrives.
      ex("count 2^31-1", {{kw("CMACROIND"), kw("SMACROIND").i32(0x7FFFFFFF).i32(1).i32(2)}}, indices(false, {}),
         VEK_RESULT_COMMUNICATION, "", kModern, {"CARCH"}, true),
      ex("closed inside the values", {{kw("CMACROIND"), kw("SMACROIND").i32(4).i32(1).raw({0, 0})}}, indices(false, {}),
         VEK_RESULT_COMMUNICATION, "", kModern, {"CARCH"}, true),
      ex("closed inside a name",
         {{kw("CMACROALP"), kw("SMACROALP").i32(2).i32(1).i32(2).i32(1).str("a").u32(8).raw({'b'})}}, indices(true, {}),
         VEK_RESULT_COMMUNICATION, "", kModern, named, true),
  });
}

}  // namespace
