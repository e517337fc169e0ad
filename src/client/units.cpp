/*
 * Units: the table of length units (factors in centimetres), the two local
 * conversions, and the requests that set the unit mode, the distance unit,
 * the creation units and the unit of the current variable.
 */
#include <string.h>

#include "vek_internal.h"

struct vek_unit {
  const char *symbol;
  double factor;
};

static const struct vek_unit UNIT_TABLE[] = {
    {"micr", 0.0001},   {"mm", 0.1},         {"cm", 1.0},         {"dm", 10.0},
    {"m", 100.0},       {"dam", 1000.0},     {"hm", 10000.0},     {"km", 100000.0},
    {"in", 2.54},       {"ft", 30.48},       {"yd", 91.44},       {"mile", 160900.0},
    {"nmil", 185200.0}, {"dakm", 1000000.0}, {"hkm", 10000000.0}, {"kkm", 100000000.0},
};
#define UNIT_COUNT (sizeof UNIT_TABLE / sizeof UNIT_TABLE[0])

/* Unit texts travel as string(11). */
#define UNIT_SIZE 11

extern "C" {

double VEKClientUnitFactorFromSymbol(const char *symbol) {
  VEK_TRACE_ENTRY("VEKClientUnitFactorFromSymbol", "(%s)", VEK_STR(symbol));
  double factor = 0.0;
  for (size_t i = 0; symbol && i < UNIT_COUNT && factor == 0.0; i++)
    if (strcmp(UNIT_TABLE[i].symbol, symbol) == 0) factor = UNIT_TABLE[i].factor;
  if (_vek_trace_level >= 1) {
    if (factor != 0.0) _vek_trace_func_end("%g", factor);
    else _vek_trace_func_end("0.");
  }
  return factor;
}

const char *VEKClientUnitSymbolFromFactor(double factor) {
  VEK_TRACE_ENTRY("VEKClientUnitSymbolFromFactor", "(%g)", factor);
  const char *symbol = "";
  for (size_t i = 0; i < UNIT_COUNT && !*symbol; i++)
    if (UNIT_TABLE[i].factor == factor) symbol = UNIT_TABLE[i].symbol;
  if (_vek_trace_level >= 1) _vek_trace_func_end("%s", symbol);
  return symbol;
}

/* "CUNITMODE" with int mode, answer "SDONE". */
int VEKClientSetUnitMode(int mode) {
  VEK_TRACE_ENTRY("VEKClientSetUnitMode", "(%d)", mode);
  int code = _vek_request("CUNITMODE");
  if (!code && !_vek_write_int(VEK_SOCK, &mode)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDONE");
  return _vek_finish(code);
}

/* "CDISTUSET" with string(11) unit, answer "SDONE"; a unit that cannot
 * travel is refused before anything is sent. */
int VEKClientSetUnit(const char *unit) {
  VEK_TRACE_ENTRY("VEKClientSetUnit", "(%s)", VEK_STR(unit));
  if (!unit) {
    _vek_error("VEKClientSetUnit(): unit cannot be NULL.");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  if (strlen(unit) >= UNIT_SIZE) {
    _vek_error("VEKClientSetUnit(): Unit \"%s\" cannot be that long", unit);
    return _vek_finish(VEK_RESULT_USAGE);
  }
  int code = _vek_request("CDISTUSET");
  char *u = (char *)unit;
  if (!code && !_vek_write_string(VEK_SOCK, &u, UNIT_SIZE)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDONE");
  return _vek_finish(code);
}

/* "CUNITCR" with string(11) unit1, unit2, unit3, answer "SDONE"; only an
 * extended-protocol server knows creation units, the others are left
 * alone. */
int VEKClientSetCreationUnits(const char *unit1, const char *unit2, const char *unit3) {
  VEK_TRACE_ENTRY("VEKClientSetCreationUnits", "(%s,%s,%s)", VEK_STR(unit1), VEK_STR(unit2), VEK_STR(unit3));
  if (!unit1 || !unit2 || !unit3) {
    _vek_error("VEKClientSetCreationUnits(): units cannot be NULL.");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  if (!_vek_is_extended_server()) return _vek_finish(VEK_RESULT_OK);
  const char *units[3] = {unit1, unit2, unit3};
  int code = _vek_request("CUNITCR");
  for (int i = 0; !code && i < 3; i++) {
    char *u = (char *)units[i];
    if (!_vek_write_string(VEK_SOCK, &u, UNIT_SIZE)) code = VEK_RESULT_COMMUNICATION;
  }
  if (!code) code = _vek_answer("SDONE");
  return _vek_finish(code);
}

/* "CVARUNIT" with int count (1 or 2), string(11) factor and, when given,
 * string(11) second_unit, each cut to 10 characters; answer "SDONE". */
int VEKClientSetVariableUnit(const char *factor, const char *second_unit) {
  VEK_TRACE_ENTRY("VEKClientSetVariableUnit", "(%s,%s)", VEK_STR(factor), VEK_STR(second_unit));
  if (!factor) {
    _vek_error("VEKClientSetVariableUnit(): factor cannot be NULL.");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  char texts[2][UNIT_SIZE];
  snprintf(texts[0], UNIT_SIZE, "%s", factor);
  snprintf(texts[1], UNIT_SIZE, "%s", second_unit ? second_unit : "");
  int count = second_unit ? 2 : 1;
  int code = _vek_request("CVARUNIT");
  if (!code && !_vek_write_int(VEK_SOCK, &count)) code = VEK_RESULT_COMMUNICATION;
  for (int i = 0; !code && i < count; i++) {
    char *u = texts[i];
    if (!_vek_write_string(VEK_SOCK, &u, UNIT_SIZE)) code = VEK_RESULT_COMMUNICATION;
  }
  if (!code) code = _vek_answer("SDONE");
  return _vek_finish(code);
}

} /* extern "C" */
