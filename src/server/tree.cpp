/*
 * The project tree model: a File's description in memory, its JSON form and
 * the checks that a loaded description must pass before the server trusts it.
 */
#include "tree.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

using nlohmann::json;

static const char *const kLengthUnits[] = {"micr", "mm", "cm", "dm",   "m",    "dam",  "hm",  "km",
                                           "in",   "ft", "yd", "mile", "nmil", "dakm", "hkm", "kkm"};
static const char *const kTypeNames[] = {"points", "gravity_lines", "core_lines", "grid"};
static const char *const kKindNames[] = {"float", "selection", "char", "macro", "xg", "yg", "zg"};
static const char *const kCoreKeys[] = {"xb", "yb", "zb", "xe", "ye", "ze"};

bool is_length_unit(const std::string &symbol) {
  for (const char *u : kLengthUnits)
    if (symbol == u) return true;
  return false;
}

std::string name_problem(const std::string &name) {
  if (name.empty()) return "a name cannot be empty";
  if (name.size() > VEK_NAME_MAX) return "a name cannot be longer than " + std::to_string(VEK_NAME_MAX) + " bytes";
  if (name.find('/') != std::string::npos) return "a name cannot hold '/'";
  if (name.find('\0') != std::string::npos) return "a name cannot hold a NUL byte";
  if (name.find("..") != std::string::npos) return "a name cannot hold \"..\"";
  /* Dot names are the server's own (temporary files, trees being deleted). */
  if (name[0] == '.') return "a name cannot start with '.'";
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return "a name cannot hold control characters";
  if (!is_utf8(name)) return "a name must be valid UTF-8";
  return "";
}

bool is_utf8(const std::string &s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = (unsigned char)s[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF; /* allowed range of the second byte */
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;      /* overlong */
      else if (c == 0xED) hi = 0x9F; /* surrogates */
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      else if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n) return false;
    unsigned char c1 = (unsigned char)s[i + 1];
    if (c1 < lo || c1 > hi) return false;
    for (size_t k = 2; k < len; k++)
      if (((unsigned char)s[i + k] >> 6) != 2) return false;
    i += len;
  }
  return true;
}

bool is_macro_name(const std::string &name) {
  return name.size() > 7 && name.compare(name.size() - 7, 7, "[xxxxx]") == 0;
}

bool is_undefined(double v) { return v == VEK_SERVER_UNDEF; }

bool is_selection(const Variable &v) { return v.kind == VK_SELECTION; }

VarKind numeric_kind(int bit_length) { return bit_length == 1 ? VK_SELECTION : VK_FLOAT; }

int var_type_code(const Variable &v) {
  switch (v.kind) {
    case VK_CHAR: return 1;
    case VK_XG: return 2;
    case VK_YG: return 3;
    case VK_ZG: return 4;
    case VK_MACRO: return 5;
    default: return 0;
  }
}

bool var_filter_known(int t) { return t >= -3 && t <= 5; }

bool var_matches(const Variable &v, int t) {
  switch (t) {
    case -1: return true;
    case -3: return v.kind == VK_SELECTION;
    case -2: return v.kind == VK_FLOAT || v.kind == VK_SELECTION || v.kind == VK_MACRO;
    case 0: return v.kind == VK_FLOAT;
    case 1: return v.kind == VK_CHAR;
    case 2: return v.kind == VK_XG;
    case 3: return v.kind == VK_YG;
    case 4: return v.kind == VK_ZG;
    case 5: return v.kind == VK_MACRO;
    default: return false;
  }
}

const Variable *find_var(const FileModel &f, const std::string &name) {
  for (const Variable &v : f.vars)
    if (v.name == name) return &v;
  return nullptr;
}

Variable *find_var(FileModel &f, const std::string &name) {
  return const_cast<Variable *>(find_var(static_cast<const FileModel &>(f), name));
}

int var_index(const FileModel &f, const std::string &name) {
  const Variable *v = find_var(f, name);
  return v ? (int)(v - f.vars.data()) : -1;
}

int64_t var_value_count(const FileModel &f, const Variable &v) {
  if (v.implicit || v.kind == VK_CHAR) return 0;
  if (v.kind == VK_MACRO) return (int64_t)v.items.size() * f.s_number;
  return f.s_number;
}

int macro_item_pos(const Variable &v, int index) {
  auto it = std::find_if(v.items.begin(), v.items.end(), [&](const MacroItem &m) { return m.index == index; });
  return it == v.items.end() ? -1 : (int)(it - v.items.begin());
}

int64_t grid_samples(const Grid &g) { return (int64_t)g.NX * g.NY * g.NZ; }

void grid_coordinates(const FileModel &f, int axis, std::vector<double> &out) {
  const Grid &g = f.grid;
  const double k = M_PI / 180.0;
  double cz = cos(g.angle_z * k), sz = sin(g.angle_z * k);
  double cy = cos(g.angle_y * k), sy = sin(g.angle_y * k);
  double cx = cos(g.angle_x * k), sx = sin(g.angle_x * k);
  /* Rotation Rz * Ry * Rx applied to the node's offset from the origin. */
  double r[3][3] = {{cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx},
                    {sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx},
                    {-sy, cy * sx, cy * cx}};
  double origin[3] = {g.X0, g.Y0, g.Z0};
  out.resize((size_t)grid_samples(g));
  size_t s = 0;
  for (int ix = 0; ix < g.NX; ix++)
    for (int iy = 0; iy < g.NY; iy++)
      for (int iz = 0; iz < g.NZ; iz++) {
        double d[3] = {ix * g.DX, iy * g.DY, iz * g.DZ};
        out[s++] = origin[axis] + r[axis][0] * d[0] + r[axis][1] * d[1] + r[axis][2] * d[2];
      }
}

static const char *const kDefaultCoordNames[] = {"X", "Y", "Z"};

/* Inline values as text: the bytes a data file would hold (little-endian
 * binary64), two hexadecimal digits each. Exact for every double, NaN and
 * infinities included, which JSON numbers cannot carry. */
static std::string values_to_hex(const std::vector<double> &v) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(v.size() * 16);
  for (double d : v) {
    uint64_t u;
    memcpy(&u, &d, 8);
    for (int b = 0; b < 8; b++, u >>= 8) {
      out += digits[(u >> 4) & 15];
      out += digits[u & 15];
    }
  }
  return out;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static bool values_from_hex(const std::string &text, std::vector<double> &v) {
  v.clear();
  if (text.size() % 16 != 0) return false;
  for (size_t at = 0; at < text.size(); at += 16) {
    uint64_t u = 0;
    for (int b = 7; b >= 0; b--) {
      int hi = hex_digit(text[at + 2 * (size_t)b]), lo = hex_digit(text[at + 2 * (size_t)b + 1]);
      if (hi < 0 || lo < 0) return false;
      u = (u << 8) | (uint64_t)(hi << 4 | lo);
    }
    double d;
    memcpy(&d, &u, 8);
    v.push_back(d);
  }
  return true;
}

void add_grid_coordinates(FileModel &f) {
  std::vector<Variable> coords;
  for (int a = 0; a < f.dimension; a++) {
    Variable v;
    v.name = kDefaultCoordNames[a];
    v.kind = (VarKind)(VK_XG + a);
    v.bit_length = 64;
    v.unit = v.unit_symbol = f.unit;
    v.implicit = true;
    coords.push_back(v);
  }
  f.vars.insert(f.vars.begin(), coords.begin(), coords.end());
}

/* ---------------- reading file.json ---------------- */

namespace {

/* Collects the first problem met; later checks are skipped once it is set. */
struct Checker {
  std::string err;
  bool ok() const { return err.empty(); }
  void bad(const std::string &what) {
    if (err.empty()) err = what;
  }
};

bool get_int(Checker &c, const json &o, const char *key, int64_t lo, int64_t hi, int64_t &out, bool required,
             const std::string &where) {
  if (!o.contains(key)) {
    if (required) c.bad(where + ": \"" + key + "\" is missing");
    return false;
  }
  const json &v = o[key];
  if (!v.is_number_integer()) {
    c.bad(where + ": \"" + key + "\" must be an integer");
    return false;
  }
  int64_t x = v.is_number_unsigned()
                  ? (v.get<uint64_t>() > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)v.get<uint64_t>())
                  : v.get<int64_t>();
  if (x < lo || x > hi) {
    c.bad(where + ": \"" + key + "\" is out of range (" + std::to_string(x) + ")");
    return false;
  }
  out = x;
  return true;
}

int get_int32(Checker &c, const json &o, const char *key, int lo, int hi, int dflt, const std::string &where) {
  int64_t x = dflt;
  get_int(c, o, key, lo, hi, x, false, where);
  return (int)x;
}

double get_double(Checker &c, const json &o, const char *key, double dflt, const std::string &where) {
  if (!o.contains(key)) return dflt;
  const json &v = o[key];
  if (!v.is_number()) {
    c.bad(where + ": \"" + key + "\" must be a number");
    return dflt;
  }
  double d = v.get<double>();
  if (!isfinite(d)) c.bad(where + ": \"" + key + "\" must be finite");
  return d;
}

std::string get_string(Checker &c, const json &o, const char *key, size_t maxlen, const std::string &dflt,
                       const std::string &where) {
  if (!o.contains(key) || o[key].is_null()) return dflt;
  const json &v = o[key];
  if (!v.is_string()) {
    c.bad(where + ": \"" + key + "\" must be a string");
    return dflt;
  }
  std::string s = v.get<std::string>();
  if (s.size() > maxlen) c.bad(where + ": \"" + key + "\" is longer than " + std::to_string(maxlen) + " bytes");
  if (s.find('\0') != std::string::npos) c.bad(where + ": \"" + key + "\" holds a NUL byte");
  return s;
}

int lookup(const char *const *table, int n, const std::string &s) {
  const char *const *it = std::find(table, table + n, s);
  return it == table + n ? -1 : (int)(it - table);
}

void read_variable(Checker &c, const json &jv, const FileModel &f, Variable &v) {
  if (!jv.is_object()) {
    c.bad("every entry of \"variables\" must be an object");
    return;
  }
  v.name = get_string(c, jv, "name", VEK_NAME_MAX, "", "variable");
  std::string where = "variable '" + v.name + "'";
  std::string why = name_problem(v.name);
  if (!why.empty()) c.bad(where + ": " + why);
  int kind = lookup(kKindNames, 7, get_string(c, jv, "kind", 20, "float", where));
  if (kind < 0) c.bad(where + ": unknown \"kind\"");
  v.kind = kind < 0 ? VK_FLOAT : (VarKind)kind;
  v.bit_length = get_int32(c, jv, "bit_length", 1, 64, v.kind == VK_SELECTION ? 1 : 32, where);
  if (v.kind == VK_FLOAT) v.kind = numeric_kind(v.bit_length);
  if (v.kind == VK_SELECTION && v.bit_length != 1) c.bad(where + ": a selection has a bit length of 1");
  v.format = get_int32(c, jv, "format", 0, 4, 0, where);
  v.ncar = get_int32(c, jv, "ncar", 0, 1000, 10, where);
  v.ndig = get_int32(c, jv, "ndig", 0, 1000, 3, where);
  v.alpha_length = get_int32(c, jv, "alpha_length", 0, 100000, 0, where);
  bool coord = v.kind == VK_XG || v.kind == VK_YG || v.kind == VK_ZG;
  v.unit = get_string(c, jv, "unit", VEK_UNIT_MAX, coord ? f.unit : "", where);
  v.unit_symbol = get_string(c, jv, "unit_symbol", VEK_UNIT_MAX, v.unit, where);
  v.comment = get_string(c, jv, "comment", VEK_COMMENT_MAX, "", where);
  v.data = get_string(c, jv, "data", VEK_NAME_MAX + 32, "", where);
  if (!v.data.empty() && !name_problem(v.data).empty()) c.bad(where + ": \"data\" is not a plain file name");
  if (coord && v.name.size() > VEK_SHORT_NAME_MAX)
    c.bad(where + ": a coordinate name holds at most " + std::to_string(VEK_SHORT_NAME_MAX) + " bytes");

  if (v.kind == VK_MACRO) {
    if (!is_macro_name(v.name)) c.bad(where + ": a macro variable's name ends with \"[xxxxx]\"");
    if (jv.contains("items")) {
      if (!jv["items"].is_array()) c.bad(where + ": \"items\" must be an array");
      std::set<int> seen;
      for (const json &ji : jv.value("items", json::array())) {
        if (!ji.is_object()) {
          c.bad(where + ": every item must be an object");
          break;
        }
        MacroItem it;
        int64_t idx = 0;
        get_int(c, ji, "index", 0, VEK_MACRO_INDEX_MAX, idx, true, where + " item");
        it.index = (int)idx;
        it.alpha = get_string(c, ji, "alpha", VEK_NAME_MAX, "", where + " item");
        if (!seen.insert(it.index).second)
          c.bad(where + ": macro index " + std::to_string(it.index) + " appears twice");
        v.items.push_back(it);
      }
    }
  } else if (jv.contains("items")) {
    c.bad(where + ": only macro variables have \"items\"");
  }

  if (jv.contains("inline")) {
    /* Longer than any inline text the server writes: a hand-made one must
     * not cost the memory of a data file. */
    std::string text = get_string(c, jv, "inline", (size_t)VEK_INLINE_MAX_VALUES * 16 * 64, "", where);
    if (!v.data.empty()) c.bad(where + ": the values are either in \"data\" or \"inline\", not both");
    if (!values_from_hex(text, v.inline_values))
      c.bad(where + ": \"inline\" must hold 16 hexadecimal digits per value");
    v.inline_data = true;
  }

  if (v.kind == VK_CHAR) {
    if (!v.data.empty() || v.inline_data) c.bad(where + ": a character variable keeps its values in \"values\"");
    if (jv.contains("values")) {
      const json &vals = jv["values"];
      if (!vals.is_array()) c.bad(where + ": \"values\" must be an array of strings");
      else
        for (const json &s : vals) {
          if (!s.is_string() || s.get<std::string>().size() > 9999) {
            c.bad(where + ": every value must be a string of at most 9999 bytes");
            break;
          }
          v.strings.push_back(s.get<std::string>());
        }
    } else {
      v.strings.assign((size_t)f.s_number, "");
    }
    if ((int64_t)v.strings.size() != f.s_number)
      c.bad(where + ": " + std::to_string(v.strings.size()) + " values for " + std::to_string(f.s_number) + " samples");
  } else if (jv.contains("values")) {
    c.bad(where + ": numeric values live in the \"data\" file");
  } else if (v.inline_data && (int64_t)v.inline_values.size() != var_value_count(f, v)) {
    c.bad(where + ": \"inline\" holds " + std::to_string(v.inline_values.size()) + " values where " +
          std::to_string(var_value_count(f, v)) + " are needed");
  }
}

void read_grid(Checker &c, const json &j, FileModel &f) {
  if (!j.contains("grid") || !j["grid"].is_object()) {
    c.bad("a grid File needs a \"grid\" object");
    return;
  }
  const json &g = j["grid"];
  Grid &G = f.grid;
  G.X0 = get_double(c, g, "X0", 0, "grid");
  G.Y0 = get_double(c, g, "Y0", 0, "grid");
  G.Z0 = get_double(c, g, "Z0", 0, "grid");
  G.DX = get_double(c, g, "DX", 1, "grid");
  G.DY = get_double(c, g, "DY", 1, "grid");
  G.DZ = get_double(c, g, "DZ", 1, "grid");
  G.NX = get_int32(c, g, "NX", 1, INT32_MAX, 1, "grid");
  G.NY = get_int32(c, g, "NY", 1, INT32_MAX, 1, "grid");
  G.NZ = get_int32(c, g, "NZ", 1, INT32_MAX, 1, "grid");
  G.angle_z = get_double(c, g, "angle_z", 0, "grid");
  G.angle_y = get_double(c, g, "angle_y", 0, "grid");
  G.angle_x = get_double(c, g, "angle_x", 0, "grid");
  if (!(G.DX > 0 && G.DY > 0 && G.DZ > 0)) c.bad("grid: the mesh must be positive");
  if (f.dimension == 2 && G.NZ != 1) c.bad("grid: a 2-D grid has NZ = 1");
  if (f.dimension == 2 && (G.angle_y != 0 || G.angle_x != 0)) c.bad("grid: a 2-D grid turns about Z only");
  if ((double)G.NX * G.NY * G.NZ > (double)VEK_MAX_SAMPLES) c.bad("grid: too many nodes");
  else f.s_number = grid_samples(G);
}

}  // namespace

bool file_from_json(const std::string &text, FileModel &f, std::string &err) {
  f = FileModel();
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) {
    err = "file.json is not valid JSON";
    return false;
  }
  if (!j.is_object()) {
    err = "file.json must hold an object";
    return false;
  }
  Checker c;
  int64_t fmt = 1;
  get_int(c, j, "format", 1, 1, fmt, false, "file.json");
  int type = lookup(kTypeNames, 4, get_string(c, j, "type", 20, "", "file.json"));
  if (type < 0) c.bad("\"type\" must be one of points, gravity_lines, core_lines, grid");
  f.type = type < 0 ? FT_POINTS : (FileType)type;
  f.dimension = get_int32(c, j, "dimension", 2, 3, 2, "file.json");
  f.unit = get_string(c, j, "unit", VEK_UNIT_MAX, "m", "file.json");
  f.linked_file = get_string(c, j, "linked_file", VEK_SHORT_NAME_MAX, "", "file.json");
  get_int(c, j, "generation", 0, INT64_MAX / 2, f.generation, false, "file.json");

  if (f.type == FT_GRID) {
    read_grid(c, j, f);
  } else {
    get_int(c, j, "s_number", 0, VEK_MAX_SAMPLES, f.s_number, true, "file.json");
    if (j.contains("grid")) c.bad("only grid Files have a \"grid\"");
  }

  bool lines = f.type == FT_GRAVITY_LINES || f.type == FT_CORE_LINES;
  if (lines) {
    if (!j.contains("line_counts") || !j["line_counts"].is_array()) {
      c.bad("a line File needs \"line_counts\"");
    } else {
      int64_t total = 0;
      for (const json &n : j["line_counts"]) {
        if (!n.is_number_integer() || n.get<int64_t>() < 1 || n.get<int64_t>() > VEK_MAX_SAMPLES) {
          c.bad("every line count must be an integer of at least 1 (the header sample)");
          break;
        }
        f.line_counts.push_back((int)n.get<int64_t>());
        total += n.get<int64_t>();
      }
      if (c.ok() && total != f.s_number)
        c.bad("the line counts add up to " + std::to_string(total) + " samples where s_number is " +
              std::to_string(f.s_number));
    }
  } else if (j.contains("line_counts")) {
    c.bad("only line Files have \"line_counts\"");
  }

  if (!j.contains("variables") || !j["variables"].is_array()) c.bad("\"variables\" must be an array");
  std::set<std::string> names;
  if (c.ok()) {
    if (f.type == FT_GRID) {
      add_grid_coordinates(f);
      for (const Variable &v : f.vars) names.insert(v.name);
    }
    for (const json &jv : j["variables"]) {
      Variable v;
      read_variable(c, jv, f, v);
      if (!c.ok()) break;
      if (!names.insert(v.name).second) c.bad("variable '" + v.name + "' appears twice");
      f.vars.push_back(v);
    }
  }

  /* Coordinates: computed for a grid, one stored variable per axis otherwise. */
  if (c.ok()) {
    int count[3] = {0, 0, 0};
    for (const Variable &v : f.vars)
      if (v.kind >= VK_XG && !v.implicit) count[v.kind - VK_XG]++;
    for (int a = 0; a < 3; a++) {
      int want = f.type != FT_GRID && a < f.dimension;
      if (count[a] != want)
        c.bad(std::string("the File needs ") + std::to_string(want) + " stored " + kKindNames[4 + a] +
              " coordinate variable(s), it has " + std::to_string(count[a]));
    }
  }

  if (c.ok() && f.type == FT_CORE_LINES) {
    const json cn = j.value("core_names", json());
    if (!cn.is_object()) c.bad("a core-line File needs \"core_names\"");
    for (int k = 0; k < 6 && c.ok(); k++) {
      f.core_names[k] = get_string(c, cn, kCoreKeys[k], VEK_SHORT_NAME_MAX, "", "core_names");
      Variable *v = find_var(f, f.core_names[k]);
      if (!v || v->kind == VK_CHAR || v->kind == VK_MACRO)
        c.bad(std::string("core_names: \"") + kCoreKeys[k] + "\" must name a numeric variable of the File");
    }
  } else if (j.contains("core_names")) {
    c.bad("only core-line Files have \"core_names\"");
  }

  if (!c.ok()) {
    err = c.err;
    return false;
  }
  return true;
}

/* ---------------- writing file.json ---------------- */

std::string file_to_json(const FileModel &f) {
  json j;
  j["format"] = 1;
  j["type"] = kTypeNames[f.type];
  j["dimension"] = f.dimension;
  j["unit"] = f.unit;
  if (!f.linked_file.empty()) j["linked_file"] = f.linked_file;
  j["generation"] = f.generation;
  if (f.type == FT_GRID) {
    const Grid &g = f.grid;
    j["grid"] = {{"X0", g.X0}, {"Y0", g.Y0},           {"Z0", g.Z0},           {"DX", g.DX},
                 {"DY", g.DY}, {"DZ", g.DZ},           {"NX", g.NX},           {"NY", g.NY},
                 {"NZ", g.NZ}, {"angle_z", g.angle_z}, {"angle_y", g.angle_y}, {"angle_x", g.angle_x}};
  } else {
    j["s_number"] = f.s_number;
  }
  if (f.type == FT_GRAVITY_LINES || f.type == FT_CORE_LINES) j["line_counts"] = f.line_counts;
  if (f.type == FT_CORE_LINES) {
    json cn = json::object();
    for (int k = 0; k < 6; k++) cn[kCoreKeys[k]] = f.core_names[k];
    j["core_names"] = cn;
  }
  json vars = json::array();
  for (const Variable &v : f.vars) {
    if (v.implicit) continue;
    json jv = {{"name", v.name},
               {"kind", kKindNames[v.kind]},
               {"bit_length", v.bit_length},
               {"format", v.format},
               {"ncar", v.ncar},
               {"ndig", v.ndig},
               {"unit", v.unit},
               {"unit_symbol", v.unit_symbol}};
    if (!v.comment.empty()) jv["comment"] = v.comment;
    if (v.kind == VK_CHAR) {
      jv["alpha_length"] = v.alpha_length;
      jv["values"] = v.strings;
    }
    if (v.kind == VK_MACRO) {
      json items = json::array();
      for (const MacroItem &it : v.items) items.push_back({{"index", it.index}, {"alpha", it.alpha}});
      jv["items"] = items;
    }
    if (!v.data.empty()) jv["data"] = v.data;
    if (v.inline_data) jv["inline"] = values_to_hex(v.inline_values);
    vars.push_back(jv);
  }
  j["variables"] = vars;
  /* Invalid UTF-8 in a name must not make the dump throw: replace it. */
  return j.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}
