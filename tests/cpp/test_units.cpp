/*
 * Units: the table lookups in both directions (exact matches only), and the
 * four unit requests with their length limits and version rule.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "client_test.h"
#include "vek_internal.h"

using namespace vekt;

namespace {

class Units : public ClientTest {};

void script_probe(Peer& p) { p.expect(kw("CUNITMODE").i32(1)).send(kw("SDONE")); }
int probe() { return VEKClientSetUnitMode(1); }

TEST(UnitTable, SymbolsAndFactorsMatchExactly) {
  const std::vector<std::pair<std::string, double>> table = {
      {"micr", 0.0001}, {"mm", 0.1},          {"cm", 1},          {"dm", 10},       {"m", 100},
      {"dam", 1000},    {"hm", 10000},        {"km", 100000},     {"in", 2.54},     {"ft", 30.48},
      {"yd", 91.44},    {"mile", 160900},     {"nmil", 185200},   {"dakm", 1000000}, {"hkm", 10000000},
      {"kkm", 100000000}};
  for (const auto& row : table) {
    EXPECT_EQ(row.second, VEKClientUnitFactorFromSymbol(row.first.c_str())) << row.first;
    EXPECT_STREQ(row.first.c_str(), VEKClientUnitSymbolFromFactor(row.second)) << row.first;
  }
  EXPECT_EQ(0.0, VEKClientUnitFactorFromSymbol("M"));
  EXPECT_EQ(0.0, VEKClientUnitFactorFromSymbol("km "));
  EXPECT_EQ(0.0, VEKClientUnitFactorFromSymbol(""));
  EXPECT_EQ(0.0, VEKClientUnitFactorFromSymbol(nullptr));
  EXPECT_STREQ("", VEKClientUnitSymbolFromFactor(160934.4));
  EXPECT_STREQ("", VEKClientUnitSymbolFromFactor(0.1 + 0.2 - 0.2)); /* one ulp off 0.1 */
  EXPECT_STREQ("", VEKClientUnitSymbolFromFactor(NAN));
  EXPECT_STREQ("", VEKClientUnitSymbolFromFactor(0.0));
  EXPECT_STREQ("", VEKClientUnitSymbolFromFactor(-100));
}

TEST_F(Units, RequestsCarryTheirTexts) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CUNITMODE").i32(1)).send(kw("SDONE"));
  p.expect(kw("CDISTUSET").str("abcdefghij")).send(kw("SDONE"));
  p.expect(kw("CUNITCR").str("m").str("").str("0123456789")).send(kw("SDONE"));
  /* Variable units are cut to 10 characters, the count says how many. */
  p.expect(kw("CVARUNIT").i32(1).str("0.00001234")).send(kw("SDONE"));
  p.expect(kw("CVARUNIT").i32(2).str("km").str("0123456789")).send(kw("SERROR").str("no variable"));
  script_probe(p);
  go(p);
  ErrorCapture errors;
  EXPECT_EQ(0, VEKClientSetUnitMode(1));
  EXPECT_EQ(0, VEKClientSetUnit("abcdefghij"));
  EXPECT_EQ(0, VEKClientSetCreationUnits("m", "", "0123456789"));
  EXPECT_EQ(0, VEKClientSetVariableUnit("0.0000123456", nullptr));
  EXPECT_EQ(1, VEKClientSetVariableUnit("km", "0123456789ABCDEF"));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server: no variable")) << errors.joined();
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Units, OverlongAndNullUnitsAreRefused) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  script_probe(p);
  script_probe(p);
  go(p);
  ErrorCapture errors;
  EXPECT_EQ(1, VEKClientSetUnit("abcdefghijk"));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("VEKClientSetUnit(): Unit \"abcdefghijk\" cannot be that long")) << errors.joined();
  EXPECT_EQ(1, VEKClientSetUnit(nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientSetVariableUnit(nullptr, "m"));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("VEKClientSetVariableUnit(): factor cannot be NULL.")) << errors.joined();
  EXPECT_EQ(1, VEKClientSetCreationUnits("m", nullptr, "m"));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  /* A creation unit that cannot travel fails the write; nothing of it
   * reaches the next request. */
  EXPECT_EQ(1, VEKClientSetCreationUnits("m", "abcdefghijk", "m"));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Units, CreationUnitsGoOnlyToExtendedServers) {
  struct Case {
    int version;
    bool sent;
  };
  for (const Case& c : {Case{400500, false}, Case{409, false}, Case{410, true}, Case{401000, true}}) {
    SCOPED_TRACE(c.version);
    reset_client();
    Peer p;
    script_handshake(p, c.version, {"CARCH"});
    if (c.sent) p.expect(kw("CUNITCR").str("m").str("ft").str("km")).send(kw("SDONE"));
    script_probe(p);
    go(p);
    EXPECT_EQ(0, VEKClientSetCreationUnits("m", "ft", "km"));
    EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
    EXPECT_EQ(0, probe());
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Units, HostileAnswersGiveCodesAndLeaveTheConnectionUsable) {
  Peer p;
  script_handshake(p, kModern, {"CARCH"});
  p.expect(kw("CUNITMODE").i32(0)).send(kw("SDONEXXXXX").str("junk"));
  p.expect(kw("CUNITMODE").i32(2)).send(Bytes().u32(0xFFFFFFF0u).fill(64, 'z'));
  script_probe(p);
  p.expect(kw("CUNITMODE").i32(3)).send(kw("SDO").prefix(6)).close_now();
  go(p);
  ErrorCapture errors;
  EXPECT_EQ(1, VEKClientSetUnitMode(0));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError()); /* keyword over 9 characters */
  EXPECT_EQ(1, VEKClientSetUnitMode(2));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_EQ(1, VEKClientSetUnitMode(3));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
