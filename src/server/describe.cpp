/*
 * Description requests: the current File's kind and geometry, the current
 * variable's kind, unit and comment, a macro variable's items, a line
 * File's samples per line.
 */
#include "handlers.h"

static std::string coord_name(const FileModel &f, VarKind k) {
  for (const Variable &v : f.vars)
    if (v.kind == k) return v.name;
  return "";
}

static void h_file_info(Session &s, Io &io) {
  if (!need_file(s, io)) return;
  const FileModel &f = s.model();
  const Grid &g = f.grid;
  bool grid = f.type == FT_GRID;
  bool lines = f.type == FT_GRAVITY_LINES || f.type == FT_CORE_LINES;
  io.answer("SFILEINFO");
  io.aint(f.type);
  io.astring(f.linked_file, 50);
  io.aint(0); /* faulted */
  io.aint(0); /* polygon file */
  io.aint(f.dimension);
  io.along(f.s_number);
  io.aint(lines ? (int)f.line_counts.size() : 0);
  io.adouble(grid ? g.X0 : 0);
  io.adouble(grid ? g.Y0 : 0);
  io.adouble(grid ? g.Z0 : 0);
  io.adouble(grid ? g.DX : 0);
  io.adouble(grid ? g.DY : 0);
  io.adouble(grid ? g.DZ : 0);
  io.aint(grid ? g.NX : 0);
  io.aint(grid ? g.NY : 0);
  io.aint(grid ? g.NZ : 0);
  io.aint(grid && (g.angle_z != 0 || g.angle_y != 0 || g.angle_x != 0));
  io.adouble(grid ? g.angle_z : 0);
  io.adouble(grid ? g.angle_y : 0);
  io.adouble(grid ? g.angle_x : 0);
  io.astring("", 50); /* sample number variable */
  io.astring("", 50); /* line number variable */
  io.astring("", 50); /* relative number variable */
  io.astring(coord_name(f, VK_XG), 50);
  io.astring(coord_name(f, VK_YG), 50);
  io.astring(coord_name(f, VK_ZG), 50);
  if (g_config.version >= 900000 && f.type == FT_CORE_LINES)
    for (const std::string &n : f.core_names) io.astring(n, 50);
  if (g_config.version >= 1300030) io.astring("", 50); /* line name variable */
  for (int i = 0; i < 7; i++) io.aint(0);              /* no faults */
}

static void h_var_info(Session &s, Io &io) {
  const Variable *v = need_var(s, io);
  if (!v) return;
  io.answer("SVARINFO");
  io.aint(var_type_code(*v));
  io.aint(v->bit_length);
  io.aint(v->kind == VK_CHAR ? v->alpha_length : 0);
  io.aint(v->implicit);
  io.aint(v->kind == VK_MACRO ? (int)v->items.size() : 0);
  io.astring(v->unit, 11);
  if (!cfg_announces("CCOMGET")) io.astring(v->comment, 500);
  if (cfg_extended()) {
    io.astring(v->unit_symbol, 11);
    io.aint(is_length_unit(v->unit_symbol));
  }
}

static void h_comment(Session &s, Io &io) {
  const Variable *v = need_var(s, io);
  if (!v) return;
  io.answer("SCOMGET");
  io.astring(v->comment, 500);
}

static void h_macro_indices(Session &s, Io &io) {
  const Variable *v = need_macro(s, io);
  if (!v) return;
  io.answer("SMACROIND");
  io.aint((int)v->items.size());
  for (const MacroItem &it : v->items) io.aint(it.index);
}

static void h_macro_alpha(Session &s, Io &io) {
  const Variable *v = need_macro(s, io);
  if (!v) return;
  bool named = false;
  for (const MacroItem &it : v->items) named = named || !it.alpha.empty();
  io.answer("SMACROALP");
  io.aint((int)v->items.size());
  for (const MacroItem &it : v->items) io.aint(it.index);
  io.aint(named);
  if (named)
    for (const MacroItem &it : v->items) io.astring(it.alpha, 10000);
}

static void h_line_counts(Session &s, Io &io) {
  if (!need_file(s, io)) return;
  io.answer("SLFILECNT");
  io.aint((int)s.model().line_counts.size());
  for (int c : s.model().line_counts) io.aint(c);
}

static const Request kTable[] = {
    {"CFILEINFO", h_file_info},     {"CVARINFO", h_var_info},     {"CCOMGET", h_comment},
    {"CMACROIND", h_macro_indices}, {"CMACROALP", h_macro_alpha}, {"CLFILECNT", h_line_counts},
};
const RequestFamily kDescriptionRequests = REQUEST_FAMILY(kTable);
