// Units: the table lookups in both directions (exact matches only), and the
// unit requests with their length limits and version rule.
#include <cmath>

#include "client_test.h"

using namespace vekt;

namespace {

class Units : public ClientTest {};

TEST(UnitTable, SymbolsAndFactorsMatchExactly) {
  const std::vector<std::pair<std::string, double>> table = {
      {"micr", 0.0001}, {"mm", 0.1},       {"cm", 1},         {"dm", 10},         {"m", 100},    {"dam", 1000},
      {"hm", 10000},    {"km", 100000},    {"in", 2.54},      {"ft", 30.48},      {"yd", 91.44}, {"mile", 160900},
      {"nmil", 185200}, {"dakm", 1000000}, {"hkm", 10000000}, {"kkm", 100000000}, {"M", 0},      {"km ", 0},
      {"", 0}};
  for (const auto &row : table) {
    EXPECT_EQ(row.second, VEKClientUnitFactorFromSymbol(row.first.c_str())) << row.first;
    const char *back = row.second ? VEKClientUnitSymbolFromFactor(row.second) : row.first.c_str();
    EXPECT_STREQ(row.first.c_str(), back);
  }
  EXPECT_EQ(0.0, VEKClientUnitFactorFromSymbol(nullptr));
  for (double f : {160934.4, 0.1 + 0.2 - 0.2 /* one ulp off 0.1 */, (double)NAN, 0.0, -100.0})
    EXPECT_STREQ("", VEKClientUnitSymbolFromFactor(f)) << f;
}

TEST_F(Units, Requests) {
  const Bytes done = kw("SDONE"), m_ft_km = kw("CUNITCR").str("m").str("ft").str("km");
  auto creation = [](const char *a, const char *b, const char *c) {
    return [=] { return VEKClientSetCreationUnits(a, b, c); };
  };
  run({
      ex("distance unit of 10 characters", {{kw("CDISTUSET").str("abcdefghij"), done}},
         calls(VEKClientSetUnit, "abcdefghij")),
      ex("distance unit of 11", {}, calls(VEKClientSetUnit, "abcdefghijk"), VEK_RESULT_USAGE,
         "VEKClientSetUnit(): Unit \"abcdefghijk\" cannot be that long"),
      ex("no distance unit", {}, calls(VEKClientSetUnit, nullptr), VEK_RESULT_USAGE),
      ex("distance unit refused", {{kw("CDISTUSET").str("ft"), kw("SERROR").str("no")}}, calls(VEKClientSetUnit, "ft"),
         VEK_RESULT_ANSWER, "Server: no"),
      ex("creation units", {{kw("CUNITCR").str("m").str("").str("0123456789"), done}}, creation("m", "", "0123456789")),
      ex("creation units at 410", {{m_ft_km, done}}, creation("m", "ft", "km"), 0, "", 410),
      ex("creation units at 401000", {{m_ft_km, done}}, creation("m", "ft", "km"), 0, "", 401000),
      // Not an extended server: nothing sent, and no failure.
      ex("creation units at 409", {}, creation("m", "ft", "km"), 0, "", 409),
      ex("creation units at 400500", {}, creation("m", "ft", "km"), 0, "", 400500),
      ex("a missing creation unit", {}, creation("m", nullptr, "m"), VEK_RESULT_USAGE),
      // A creation unit that cannot travel fails the write; nothing of it
      // reaches the probe.
      ex("a creation unit of 11", {}, creation("m", "abcdefghijk", "m"), VEK_RESULT_COMMUNICATION),
      // Variable units are cut to 10 characters; the count says how many.
      ex("variable unit", {{kw("CVARUNIT").i32(1).str("0.00001234"), done}},
         calls(VEKClientSetVariableUnit, "0.0000123456", nullptr)),
      ex("variable units refused", {{kw("CVARUNIT").i32(2).str("km").str("0123456789"), kw("SERROR").str("no var")}},
         calls(VEKClientSetVariableUnit, "km", "0123456789ABCDEF"), VEK_RESULT_ANSWER, "Server: no var"),
      ex("no variable unit", {}, calls(VEKClientSetVariableUnit, nullptr, "m"), VEK_RESULT_USAGE,
         "VEKClientSetVariableUnit(): factor cannot be NULL."),
  });
}

}  // namespace
