/*
 * Request dispatch: one short handler per request keyword. Each reads its
 * arguments, returns if the stream broke, checks what it needs of the
 * session, acts, and answers.
 */
#include <math.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <utility>

#include "project.h"
#include "server.h"
#include "storage.h"
#include "vek_internal.h"

typedef void (*Handler)(Session &, Io &);

/* ---------------- what a request needs of the session ---------------- */

static std::string study_path(const Session &s) { return fs_join(s.project, s.study); }
static std::string dir_path(const Session &s) { return fs_join(study_path(s), s.dir); }
static std::string file_path(const Session &s) { return fs_join(dir_path(s), s.file); }

static void clear_below_file(Session &s) {
  s.selection.clear();
  s.variable.clear();
  s.macro_index = -1;
}
static void clear_below_dir(Session &s) {
  s.file.clear();
  s.model = FileModel();
  clear_below_file(s);
}
static void clear_below_study(Session &s) {
  s.dir.clear();
  clear_below_dir(s);
}
static void clear_all(Session &s) {
  s.study.clear();
  clear_below_study(s);
}

void session_reset(Session &s, int fd) {
  _vek_empty_read_buffer();
  _vek_empty_write_buffer();
  /* Longs are 4 bytes until the word-size agreement says otherwise. */
  _vek_client64 = 1;
  _vek_server64 = 0;
  s.sock = fd;
  clear_all(s);
  s.project = g_config.project;
  s.unit_mode = 0;
  s.distance_unit = "m";
  for (std::string &u : s.creation_units) u.clear();
  s.protocol = 0;
  s.ended = false;
}

static bool need_project(Session &s, Io &io) {
  if (!s.project.empty()) return true;
  io.error("No project directory: set VEK_PROJECT_DIR or give the project's path when connecting");
  return false;
}
/* True when the session has a current item of this level (its name). */
static bool need_current(Io &io, const std::string &name, const char *level) {
  if (!name.empty()) return true;
  io.error(std::string("No current ") + level);
  return false;
}
static bool need_study(Session &s, Io &io) {
  return need_project(s, io) && need_current(io, s.study, "Study");
}
static bool need_dir(Session &s, Io &io) {
  return need_study(s, io) && need_current(io, s.dir, "Directory");
}
/* The current File as it is on disk now, in s.model: another server may have
 * changed it since the last request. */
static bool need_file(Session &s, Io &io) {
  if (!need_dir(s, io) || !need_current(io, s.file, "File")) return false;
  std::string err, fpath = file_path(s);
  FileModel f;
  if (!tree_lock(s.project, false, err)) return io.error(err), false;
  if (!fs_is_dir(fpath)) return io.error("File '" + s.file + "' no longer exists"), false;
  if (!file_load(fpath, f, err, false)) return io.error("File '" + s.file + "' is damaged: " + err), false;
  s.model = std::move(f);
  return true;
}
/* Taken before a change looks at the tree: the change is then made on the
 * tree as it is, and no other server changes it until the request ends. */
static bool need_change(Session &s, Io &io) {
  std::string err;
  if (!need_project(s, io)) return false;
  if (!tree_lock(s.project, true, err)) return io.error("Nothing was changed: " + err), false;
  return true;
}
/* Another server may have deleted the current variable. */
static std::string missing_var(const Session &s) {
  return s.variable.empty() ? "No current Variable" : "Variable '" + s.variable + "' no longer exists";
}
static Variable *need_var(Session &s, Io &io) {
  if (!need_file(s, io)) return nullptr;
  Variable *v = s.variable.empty() ? nullptr : find_var(s.model, s.variable);
  if (!v) io.error(missing_var(s));
  return v;
}
static Variable *need_macro(Session &s, Io &io) {
  Variable *v = need_var(s, io);
  if (v && v->kind != VK_MACRO) {
    io.error("Variable '" + v->name + "' is not a macro variable");
    return nullptr;
  }
  return v;
}
static bool need_grid(Session &s, Io &io) {
  if (!need_file(s, io)) return false;
  if (s.model.type == FT_GRID) return true;
  io.error("File '" + s.file + "' is not a grid");
  return false;
}
static bool check_name(Io &io, const std::string &name) {
  std::string why = name_problem(name);
  if (why.empty()) return true;
  io.error("Invalid name '" + name.substr(0, VEK_NAME_MAX) + "': " + why);
  return false;
}
static bool check_text(Io &io, const std::string &text, size_t max, const char *what) {
  if (text.size() <= max && is_utf8(text) && text.find('\0') == std::string::npos) return true;
  io.error(std::string(what) + " must be UTF-8 text of at most " + std::to_string(max) + " bytes");
  return false;
}
/* Makes next the current File on disk and in the session. */
static bool commit(Session &s, Io &io, FileModel &next, const std::vector<DataChange> &changes) {
  std::string err;
  if (!file_commit(file_path(s), s.model, next, changes, s.stale, err)) {
    io.error("File '" + s.file + "' was not changed: " + err);
    return false;
  }
  s.model = std::move(next);
  return true;
}
static void done(Io &io) { io.answer("SDONE"); }

/* ---------------- handshake ---------------- */

/* The served project: VEK_PROJECT_DIR when set; otherwise the data path the
 * client names, once it is checked. */
static bool take_data_path(Session &s, Io &io, const std::string &path) {
  if (!g_config.project.empty() || path.empty() || path == s.project) return true;
  std::string err;
  if (!project_check(path, err)) {
    io.error("Cannot serve '" + path + "': " + err);
    return false;
  }
  clear_all(s);
  s.project = path;
  return true;
}

static void h_hello(Session &s, Io &io) {
  std::string path = io.rstring();
  int protocol = io.rint();
  if (io.broken() || !take_data_path(s, io, path)) return;
  s.protocol = protocol;
  io.answer("SWELCOME");
  io.aint(g_config.version);
}

static void h_new_session(Session &s, Io &io) {
  if (g_config.new_port) {
    unsigned short port = 0;
    int fd = listen_loopback(&port);
    if (fd >= 0) {
      s.pending_listener = fd;
      io.answer("SNEWPORT");
      io.aint(port);
      return;
    }
  }
  io.answer("SNOSESS");
}

static void h_data_path(Session &s, Io &io) {
  std::string path = io.rstring();
  if (io.broken() || !take_data_path(s, io, path)) return;
  io.answer("SOK");
}

static void h_supported(Session &, Io &io) {
  io.answer("SSUPREQ");
  io.astrings(g_config.supported);
}

static void h_arch(Session &, Io &io) {
  int client64 = io.rint();
  if (io.broken()) return;
  io.answer("SARCH");
  io.aint(1);
  /* From here on a long is 8 bytes exactly when the client's is too. */
  _vek_client64 = 1;
  _vek_server64 = client64 ? 1 : 0;
}

static void h_bye(Session &s, Io &io) {
  s.ended = true;
  io.answer("SBYE BYE");
}

/* ---------------- catalogue ---------------- */

static void answer_list(Io &io, const char *keyword, const std::string &dir) {
  std::vector<std::string> names;
  std::string err;
  if (!tree_list(dir, names, err)) return io.error(err);
  io.answer(keyword);
  io.astrings(names);
}

static void h_study_list(Session &s, Io &io) {
  if (need_project(s, io)) answer_list(io, "SSTUDIES", s.project);
}
static void h_dir_list(Session &s, Io &io) {
  if (need_study(s, io)) answer_list(io, "SDIRS", study_path(s));
}
static void h_file_list(Session &s, Io &io) {
  if (need_dir(s, io)) answer_list(io, "SFILES", dir_path(s));
}

/* The criterion is accepted and has no effect. */
static void h_file_type_list(Session &s, Io &io) {
  int type = io.rint();
  io.rint();
  if (io.broken() || !need_dir(s, io)) return;
  std::vector<std::string> names, kept;
  std::string err;
  if (!tree_lock(s.project, false, err) || !tree_list(dir_path(s), names, err)) return io.error(err);
  for (const std::string &n : names) {
    FileModel f;
    /* A damaged File has no type to match; it still shows in the plain list. */
    if (file_load(fs_join(dir_path(s), n), f, err) && (type == -1 || f.type == type)) kept.push_back(n);
  }
  io.answer("SFILES");
  io.astrings(kept);
}

static void answer_vars(Session &s, Io &io, int type) {
  std::vector<std::string> names;
  for (const Variable &v : s.model.vars)
    if (var_matches(v, type)) names.push_back(v.name);
  io.answer("SVARS");
  io.astrings(names);
}
static void h_var_list(Session &s, Io &io) {
  if (need_file(s, io)) answer_vars(s, io, -1);
}
static void h_var_type_list(Session &s, Io &io) {
  int type = io.rint();
  if (io.broken() || !need_file(s, io)) return;
  if (!var_filter_known(type)) return io.error("Variable type " + std::to_string(type) + " is not a list filter");
  answer_vars(s, io, type);
}

static void answer_exists(Io &io, bool exists) {
  io.answer("SEXIST");
  io.aint(exists ? 1 : 0);
}
static void h_dir_exists(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_study(s, io)) return;
  answer_exists(io, name_problem(name).empty() && fs_is_dir(fs_join(study_path(s), name)));
}
static void h_file_exists(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_dir(s, io)) return;
  answer_exists(io, name_problem(name).empty() && fs_is_dir(fs_join(dir_path(s), name)));
}
static void h_var_exists(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_file(s, io)) return;
  answer_exists(io, find_var(s.model, name) != nullptr);
}

/* ---------------- current items ---------------- */

static void h_set_study(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_project(s, io) || !check_name(io, name)) return;
  if (!fs_is_dir(fs_join(s.project, name))) return io.error("Study '" + name + "' does not exist");
  clear_all(s);
  s.study = name;
  done(io);
}

static void h_set_dir(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_study(s, io) || !check_name(io, name)) return;
  if (!fs_is_dir(fs_join(study_path(s), name))) return io.error("Directory '" + name + "' does not exist");
  clear_below_study(s);
  s.dir = name;
  done(io);
}

static void h_set_file(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_dir(s, io) || !check_name(io, name)) return;
  std::string fpath = fs_join(dir_path(s), name);
  FileModel f;
  std::string err;
  if (!tree_lock(s.project, false, err)) return io.error(err);
  if (!fs_is_dir(fpath)) return io.error("File '" + name + "' does not exist");
  if (!file_load(fpath, f, err)) return io.error("File '" + name + "' is damaged: " + err);
  clear_below_dir(s);
  s.file = name;
  s.model = std::move(f);
  done(io);
}

/* "Simu[00003]" names item 3 of the macro variable "Simu[xxxxx]". */
static bool macro_item_name(const FileModel &f, const std::string &name, std::string &macro, int &index) {
  size_t n = name.size();
  if (n <= 7 || name[n - 7] != '[' || name[n - 1] != ']') return false;
  index = 0;
  for (size_t i = n - 6; i < n - 1; i++) {
    if (name[i] < '0' || name[i] > '9') return false;
    index = index * 10 + (name[i] - '0');
  }
  macro = name.substr(0, n - 7) + "[xxxxx]";
  int k = var_index(f, macro);
  return k >= 0 && f.vars[(size_t)k].kind == VK_MACRO;
}

static void h_set_var(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_file(s, io)) return;
  std::string macro;
  int index;
  if (find_var(s.model, name)) {
    s.variable = name;
    s.macro_index = -1;
  } else if (macro_item_name(s.model, name, macro, index)) {
    if (macro_item_pos(*find_var(s.model, macro), index) < 0)
      return io.error("Macro variable '" + macro + "' has no item " + std::to_string(index));
    s.variable = macro;
    s.macro_index = index;
  } else {
    return io.error("Variable '" + name.substr(0, VEK_NAME_MAX) + "' does not exist");
  }
  done(io);
}

static void h_set_selection(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken()) return;
  if (name.empty()) {
    s.selection.clear();
    return done(io);
  }
  if (!need_file(s, io)) return;
  Variable *v = find_var(s.model, name);
  if (!v || !is_selection(*v)) return io.error("Selection '" + name.substr(0, VEK_NAME_MAX) + "' does not exist");
  s.selection = name;
  done(io);
}

/* An index need not exist yet: writing to it creates the item. */
static void h_set_index(Session &s, Io &io) {
  int index = io.rint();
  if (io.broken() || !need_macro(s, io)) return;
  if (index < 0 || index > VEK_MACRO_INDEX_MAX)
    return io.error("Macro index " + std::to_string(index) + " is out of range (0 to 99999)");
  s.macro_index = index;
  done(io);
}

static void h_set_alpha_index(Session &s, Io &io) {
  std::string alpha = io.rstring();
  if (io.broken()) return;
  Variable *v = need_macro(s, io);
  if (!v) return;
  int found = -1;
  for (const MacroItem &it : v->items)
    if (!alpha.empty() && it.alpha == alpha) found = it.index;
  if (found < 0) return io.error("Variable '" + v->name + "' has no item named '" + alpha.substr(0, VEK_NAME_MAX) + "'");
  s.macro_index = found;
  done(io);
}

/* ---------------- units ---------------- */

static void h_unit_mode(Session &s, Io &io) {
  int mode = io.rint();
  if (io.broken()) return;
  if (mode != 0 && mode != 1) return io.error("Unit mode " + std::to_string(mode) + " is not 0 or 1");
  s.unit_mode = mode;
  done(io);
}

static void h_distance_unit(Session &s, Io &io) {
  std::string unit = io.rstring();
  if (io.broken()) return;
  if (!is_length_unit(unit)) return io.error("'" + unit.substr(0, 20) + "' is not a length unit");
  s.distance_unit = unit;
  done(io);
}

static void h_creation_units(Session &s, Io &io) {
  std::string u[3];
  for (std::string &x : u) x = io.rstring();
  if (io.broken()) return;
  for (const std::string &x : u)
    if (!check_text(io, x, VEK_UNIT_MAX, "A unit")) return;
  for (int i = 0; i < 3; i++) s.creation_units[i] = u[i];
  done(io);
}

static void h_var_unit(Session &s, Io &io) {
  int count = io.rint();
  /* The count says how many texts follow: any other value leaves the rest of
   * the request unknowable. */
  if (!io.broken() && (count < 1 || count > 2)) io.bad = true;
  std::string unit = io.rstring();
  std::string symbol = count == 2 ? io.rstring() : unit;
  if (io.broken() || !need_change(s, io)) return;
  Variable *v = need_var(s, io);
  if (!v || !check_text(io, unit, VEK_UNIT_MAX, "A unit") || !check_text(io, symbol, VEK_UNIT_MAX, "A unit")) return;
  if (v->kind >= VK_XG) return io.error("The unit of a coordinate is the File's unit");
  FileModel next = s.model;
  Variable *w = find_var(next, v->name);
  w->unit = unit;
  w->unit_symbol = symbol;
  if (commit(s, io, next, {})) done(io);
}

/* ---------------- descriptions ---------------- */

static std::string coord_name(const FileModel &f, VarKind k) {
  for (const Variable &v : f.vars)
    if (v.kind == k) return v.name;
  return "";
}

static void h_file_info(Session &s, Io &io) {
  if (!need_file(s, io)) return;
  const FileModel &f = s.model;
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
  for (int i = 0; i < 7; i++) io.aint(0);               /* no faults */
}

static void h_var_info(Session &s, Io &io) {
  Variable *v = need_var(s, io);
  if (!v) return;
  io.answer("SVARINFO");
  io.aint(var_type_code(*v));
  io.aint(v->bit_length);
  io.aint(v->kind == VK_CHAR ? v->alpha_length : 0);
  io.aint(v->implicit ? 1 : 0);
  io.aint(v->kind == VK_MACRO ? (int)v->items.size() : 0);
  io.astring(v->unit, 11);
  if (!cfg_announces("CCOMGET")) io.astring(v->comment, 500);
  if (cfg_extended()) {
    io.astring(v->unit_symbol, 11);
    io.aint(is_length_unit(v->unit_symbol) ? 1 : 0);
  }
}

static void h_comment(Session &s, Io &io) {
  Variable *v = need_var(s, io);
  if (!v) return;
  io.answer("SCOMGET");
  io.astring(v->comment, 500);
}

static void h_macro_indices(Session &s, Io &io) {
  Variable *v = need_macro(s, io);
  if (!v) return;
  io.answer("SMACROIND");
  io.aint((int)v->items.size());
  for (const MacroItem &it : v->items) io.aint(it.index);
}

static void h_macro_alpha(Session &s, Io &io) {
  Variable *v = need_macro(s, io);
  if (!v) return;
  bool named = false;
  for (const MacroItem &it : v->items) named = named || !it.alpha.empty();
  io.answer("SMACROALP");
  io.aint((int)v->items.size());
  for (const MacroItem &it : v->items) io.aint(it.index);
  io.aint(named ? 1 : 0);
  if (named)
    for (const MacroItem &it : v->items) io.astring(it.alpha, 10000);
}

static void h_line_counts(Session &s, Io &io) {
  if (!need_file(s, io)) return;
  io.answer("SLFILECNT");
  io.aint((int)s.model.line_counts.size());
  for (int c : s.model.line_counts) io.aint(c);
}

/* ---------------- creation and deletion ---------------- */

static void h_new_study(Session &s, Io &io) {
  std::string name = io.rstring();
  std::string physical = cfg_extended() ? io.rstring() : "";
  if (io.broken() || !need_change(s, io) || !check_name(io, name) ||
      !check_text(io, physical, 9999, "A physical name"))
    return;
  std::string err;
  if (!study_create(s.project, name, physical, err)) return io.error("Study '" + name + "' not created: " + err);
  done(io);
}

static void h_new_dir(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_change(s, io) || !need_study(s, io) || !check_name(io, name)) return;
  std::string err;
  if (!dir_create(study_path(s), name, err)) return io.error("Directory '" + name + "' not created: " + err);
  done(io);
}

static bool create_file(Session &s, Io &io, const std::string &name, FileModel &f,
                        const std::vector<DataChange> &changes) {
  std::string err;
  if (!file_create(dir_path(s), name, f, changes, err)) {
    io.error("File '" + name + "' not created: " + err);
    return false;
  }
  return true;
}

static void h_new_grid(Session &s, Io &io) {
  std::string name = io.rstring();
  int dim = io.rint();
  Grid g;
  g.X0 = io.rdouble();
  g.DX = io.rdouble();
  g.NX = io.rint();
  g.Y0 = io.rdouble();
  g.DY = io.rdouble();
  g.NY = io.rint();
  if (dim == 3) {
    g.Z0 = io.rdouble();
    g.DZ = io.rdouble();
    g.NZ = io.rint();
  }
  if (io.broken() || !need_change(s, io) || !need_dir(s, io) || !check_name(io, name)) return;
  if (dim != 2 && dim != 3) return io.error("A grid has 2 or 3 dimensions, not " + std::to_string(dim));
  if (!(isfinite(g.X0) && isfinite(g.Y0) && isfinite(g.Z0))) return io.error("The grid origin must be finite");
  if (!(g.DX > 0 && g.DY > 0 && g.DZ > 0 && isfinite(g.DX) && isfinite(g.DY) && isfinite(g.DZ)))
    return io.error("The grid mesh must be positive and finite");
  if (g.NX < 1 || g.NY < 1 || g.NZ < 1) return io.error("Every axis of a grid needs at least one node");
  if ((double)g.NX * g.NY * g.NZ > (double)VEK_MAX_SAMPLES) return io.error("The grid has too many nodes");
  FileModel f;
  f.type = FT_GRID;
  f.dimension = dim;
  f.unit = s.distance_unit;
  f.grid = g;
  f.s_number = grid_samples(g);
  add_grid_coordinates(f);
  if (create_file(s, io, name, f, {})) done(io);
}

/* Reads count, dimension and the coordinate arrays of the points requests.
 * Returns whether the arrays were kept (count valid, memory found). */
static bool read_points(Io &io, int64_t &count, int &dim, std::vector<double> xyz[3]) {
  count = io.rlong();
  dim = io.rint();
  bool keep = count >= 0 && count <= VEK_MAX_SAMPLES;
  bool kept = true;
  for (int a = 0; a < (dim == 3 ? 3 : 2); a++) kept = io.rdoubles(count, keep, xyz[a]) && kept;
  return keep && kept;
}

static void h_new_points(Session &s, Io &io) {
  std::string name = io.rstring();
  int64_t count;
  int dim;
  std::vector<double> xyz[3];
  bool kept = read_points(io, count, dim, xyz);
  if (io.broken() || !need_change(s, io) || !need_dir(s, io) || !check_name(io, name)) return;
  if (dim != 2 && dim != 3) return io.error("Points have 2 or 3 coordinates, not " + std::to_string(dim));
  if (!kept) return io.error("Cannot take " + std::to_string(count) + " points");
  FileModel f;
  f.type = FT_POINTS;
  f.dimension = dim;
  f.unit = s.distance_unit;
  f.s_number = count;
  std::vector<DataChange> changes;
  static const char *const names[] = {"X", "Y", "Z"};
  for (int a = 0; a < dim; a++) {
    Variable v;
    v.name = names[a];
    v.kind = (VarKind)(VK_XG + a);
    v.bit_length = 64;
    v.unit = v.unit_symbol = f.unit;
    f.vars.push_back(v);
    changes.push_back({v.name, &xyz[a]});
  }
  if (create_file(s, io, name, f, changes)) done(io);
}

/* Filler of a new sample: nothing selected, nothing known. */
static double blank_value(const Variable &v) { return v.kind == VK_SELECTION ? 0.0 : VEK_SERVER_UNDEF; }

static void h_append_points(Session &s, Io &io) {
  int64_t count;
  int dim;
  std::vector<double> xyz[3];
  bool kept = read_points(io, count, dim, xyz);
  if (io.broken() || !need_change(s, io) || !need_file(s, io)) return;
  const FileModel &f = s.model;
  if (f.type != FT_POINTS) return io.error("File '" + s.file + "' is not a points File");
  if (dim != f.dimension)
    return io.error("File '" + s.file + "' has " + std::to_string(f.dimension) + " coordinates, not " +
                    std::to_string(dim));
  if (!kept || f.s_number + count > VEK_MAX_SAMPLES) return io.error("Cannot take " + std::to_string(count) + " more points");
  FileModel next = f;
  next.s_number += count;
  std::vector<std::vector<double>> values(f.vars.size());
  std::vector<DataChange> changes;
  std::string err;
  try {
    for (size_t i = 0; i < f.vars.size(); i++) {
      const Variable &v = f.vars[i];
      Variable &w = next.vars[i];
      if (v.kind == VK_CHAR) {
        w.strings.resize((size_t)next.s_number);
        continue;
      }
      std::vector<double> old;
      if (!file_values(file_path(s), f, v, old, err)) return io.error(err);
      std::vector<double> &nv = values[i];
      if (v.kind >= VK_XG) {
        nv = old;
        nv.insert(nv.end(), xyz[v.kind - VK_XG].begin(), xyz[v.kind - VK_XG].end());
      } else {
        /* Every item of a macro grows by the new samples. */
        size_t items = v.kind == VK_MACRO ? v.items.size() : 1;
        nv.reserve(items * (size_t)next.s_number);
        for (size_t it = 0; it < items; it++) {
          nv.insert(nv.end(), old.begin() + (ptrdiff_t)(it * (size_t)f.s_number),
                    old.begin() + (ptrdiff_t)((it + 1) * (size_t)f.s_number));
          nv.insert(nv.end(), (size_t)count, blank_value(v));
        }
      }
      changes.push_back({v.name, &nv});
    }
  } catch (const std::bad_alloc &) {
    return io.error("Not enough memory to append the points");
  }
  if (commit(s, io, next, changes)) done(io);
}

static void new_variable(Session &s, Io &io, bool macro) {
  std::string name = io.rstring();
  int nbits = io.rint(), format = io.rint(), ncar = io.rint(), ndig = io.rint();
  std::string unit;
  bool has_unit = true;
  if (cfg_extended()) {
    has_unit = io.rint() != 0;
    if (has_unit) unit = io.rstring();
  } else {
    unit = io.rstring();
    has_unit = !unit.empty();
  }
  if (io.broken() || !need_change(s, io) || !need_file(s, io) || !check_name(io, name) ||
      !check_text(io, unit, cfg_extended() ? VEK_UNIT_MAX : 5, "A unit"))
    return;
  if (find_var(s.model, name)) return io.error("Variable '" + name + "' already exists");
  if (macro != is_macro_name(name))
    return io.error(macro ? "A macro variable's name ends with \"[xxxxx]\""
                          : "A name ending with \"[xxxxx]\" is kept for macro variables");
  if (nbits < 1 || nbits > 64) return io.error("A bit length lies between 1 and 64, not " + std::to_string(nbits));
  if (macro && nbits == 1) return io.error("A macro variable cannot be a selection");
  if (format < 0 || format > 4) return io.error("Unknown output format " + std::to_string(format));
  if (ncar < 0 || ncar > 1000 || ndig < 0 || ndig > 1000) return io.error("Unreasonable output width or digits");
  Variable v;
  v.name = name;
  v.kind = macro ? VK_MACRO : nbits == 1 ? VK_SELECTION : VK_FLOAT;
  v.bit_length = nbits;
  v.format = format;
  v.ncar = ncar;
  v.ndig = ndig;
  v.unit = v.unit_symbol = has_unit ? unit : s.creation_units[0];
  FileModel next = s.model;
  next.vars.push_back(v);
  if (commit(s, io, next, {})) done(io);
}
static void h_new_float(Session &s, Io &io) { new_variable(s, io, false); }
static void h_new_macro(Session &s, Io &io) { new_variable(s, io, true); }

static void h_delete_var(Session &s, Io &io) {
  Variable *v = need_change(s, io) ? need_var(s, io) : nullptr;
  if (!v) return;
  if (v->kind >= VK_XG) return io.error("The coordinates of a File cannot be deleted");
  for (const std::string &n : s.model.core_names)
    if (n == v->name) return io.error("Variable '" + v->name + "' holds core ends and cannot be deleted");
  FileModel next = s.model;
  next.vars.erase(next.vars.begin() + var_index(next, v->name));
  std::string name = v->name;
  if (!commit(s, io, next, {})) return;
  if (s.selection == name) s.selection.clear();
  s.variable.clear();
  s.macro_index = -1;
  done(io);
}

static bool delete_item(Io &io, const std::string &parent, const std::string &name, const char *what) {
  std::string err;
  if (!item_delete(parent, name, err)) {
    io.error(std::string(what) + " '" + name + "' not deleted: " + err);
    return false;
  }
  done(io);
  return true;
}
static void h_delete_file(Session &s, Io &io) {
  /* Not loaded first: a damaged File can be deleted too. */
  if (need_change(s, io) && need_dir(s, io) && need_current(io, s.file, "File") &&
      delete_item(io, dir_path(s), s.file, "File"))
    clear_below_dir(s);
}
static void h_delete_dir(Session &s, Io &io) {
  if (need_change(s, io) && need_dir(s, io) && delete_item(io, study_path(s), s.dir, "Directory"))
    clear_below_study(s);
}
static void h_delete_study(Session &s, Io &io) {
  if (need_change(s, io) && need_study(s, io) && delete_item(io, s.project, s.study, "Study")) clear_all(s);
}

/* ---------------- grid geometry ---------------- */

static void modify_grid(Session &s, Io &io, int what) {
  double a = io.rdouble(), b = io.rdouble(), c = io.rdouble();
  if (io.broken() || !need_change(s, io) || !need_grid(s, io)) return;
  if (!isfinite(a) || !isfinite(b) || !isfinite(c)) return io.error("Grid values must be finite");
  FileModel next = s.model;
  Grid &g = next.grid;
  bool flat = next.dimension == 2;
  if (what == 'R') {
    if (flat && (b != 0 || c != 0)) return io.error("A 2-D grid turns about Z only");
    g.angle_z = a, g.angle_y = b, g.angle_x = c;
  } else if (what == 'M') {
    if (a <= 0 || b <= 0 || (!flat && c <= 0)) return io.error("The grid mesh must be positive");
    g.DX = a, g.DY = b;
    if (!flat) g.DZ = c;
  } else {
    g.X0 = a, g.Y0 = b;
    if (!flat) g.Z0 = c;
  }
  if (commit(s, io, next, {})) done(io);
}
static void h_grid_rotation(Session &s, Io &io) { modify_grid(s, io, 'R'); }
static void h_grid_mesh(Session &s, Io &io) { modify_grid(s, io, 'M'); }
static void h_grid_origin(Session &s, Io &io) { modify_grid(s, io, 'O'); }

/* ---------------- transfers ---------------- */

/* The variable a transfer acts on, and where its values start in the data
 * (a macro item's offset). */
struct Target {
  Variable *var = nullptr;
  int item = -1; /* position of the macro item, -1 for a plain variable or a new item */
};

static bool transfer_target(Session &s, std::string &err, Target &t, bool writing) {
  if (s.project.empty() || s.file.empty()) return (err = "No current File"), false;
  t.var = s.variable.empty() ? nullptr : find_var(s.model, s.variable);
  if (!t.var) return (err = missing_var(s)), false;
  if (t.var->kind == VK_CHAR) return (err = "Character variable '" + t.var->name + "' holds no numbers"), false;
  if (writing && t.var->implicit) return (err = "The coordinates of a grid follow from its geometry"), false;
  if (t.var->kind == VK_MACRO) {
    if (s.macro_index < 0) return (err = "No macro index set for '" + t.var->name + "'"), false;
    t.item = macro_item_pos(*t.var, s.macro_index);
    if (t.item < 0 && !writing)
      return (err = "Macro variable '" + t.var->name + "' has no item " + std::to_string(s.macro_index)), false;
  }
  return true;
}

/* Sample range [a, b) from 1-based first and last; -1, -1 is everything. */
static bool sample_range(int64_t S, int64_t first, int64_t last, int64_t &a, int64_t &b, std::string &err) {
  if (first == -1 && last == -1) {
    a = 0, b = S;
    return true;
  }
  if (first < 1 || last < first || last > S) {
    err = "Samples " + std::to_string(first) + " to " + std::to_string(last) + " are outside the File (1 to " +
          std::to_string(S) + ")";
    return false;
  }
  a = first - 1, b = last;
  return true;
}

static bool line_range(const FileModel &f, int line, int64_t &a, int64_t &b, std::string &err) {
  if (f.line_counts.empty()) return (err = "The current File has no lines"), false;
  if (line < 1 || line > (int)f.line_counts.size())
    return (err = "Line " + std::to_string(line) + " does not exist (1 to " + std::to_string(f.line_counts.size()) + ")"),
           false;
  a = 0;
  for (int i = 0; i < line - 1; i++) a += f.line_counts[(size_t)i];
  b = a + f.line_counts[(size_t)line - 1];
  return true;
}

/* Whether sample i is selected; without a selection every sample is. */
static bool selected(const std::vector<double> &mask, int64_t i) {
  if (mask.empty()) return true;
  double m = mask[(size_t)i];
  return m != 0 && !is_undefined(m) && !isnan(m);
}

static bool selection_mask(Session &s, std::vector<double> &mask, std::string &err) {
  mask.clear();
  if (s.selection.empty()) return true;
  Variable *v = find_var(s.model, s.selection);
  if (!v) return (err = "Selection '" + s.selection + "' has vanished"), false;
  if (!file_values(file_path(s), s.model, *v, mask, err)) return false;
  /* An empty mask means "no selection": a File without samples needs none. */
  if (mask.empty()) mask.push_back(0);
  return true;
}

/* Values [a, b) of the target, unselected samples as the test value. The
 * data files are opened under the shared lock, which is let go before the
 * values leave: a slow client must not hold up the other servers. */
static void send_values(Session &s, Io &io, int64_t a, int64_t b, bool int_count) {
  std::string err;
  Target t;
  ValueSource vals, mask;
  const Variable *sel = s.selection.empty() ? nullptr : find_var(s.model, s.selection);
  if (!s.selection.empty() && !sel) return io.error("Selection '" + s.selection + "' has vanished");
  if (!transfer_target(s, err, t, false)) return io.error(err);
  int64_t off = t.item < 0 ? 0 : (int64_t)t.item * s.model.s_number;
  if (!vals.open(file_path(s), s.model, *t.var, off + a, err) || (sel && !mask.open(file_path(s), s.model, *sel, a, err)))
    return io.error(err);
  tree_unlock();
  std::vector<double> m;
  io.answer("SDATAF");
  if (int_count) io.aint((int)(b - a));
  else io.along(b - a);
  io.adouble(VEK_SERVER_UNDEF);
  io.adoubles_from(b - a, [&](int64_t at, size_t n, double *out, std::string &e) {
    if (!vals.read(at, n, out, e)) return false;
    if (!sel) return true;
    m.resize(n);
    if (!mask.read(at, n, m.data(), e)) return false;
    for (size_t i = 0; i < n; i++)
      if (!selected(m, (int64_t)i)) out[i] = VEK_SERVER_UNDEF;
    return true;
  });
}

static double stored_value(const Variable &v, double x, double test) {
  if (x == test) x = VEK_SERVER_UNDEF;
  if (v.kind == VK_SELECTION) return (x == 0 || is_undefined(x) || isnan(x)) ? 0.0 : 1.0;
  return x;
}

/* stored_value over a piece, the kind's test made once. */
static void store_piece(const Variable &v, double *x, size_t n, double test) {
  if (v.kind == VK_SELECTION) {
    for (size_t i = 0; i < n; i++) x[i] = stored_value(v, x[i], test);
    return;
  }
  for (size_t i = 0; i < n; i++) x[i] = x[i] == test ? VEK_SERVER_UNDEF : x[i];
}

/* Writes vals into samples [a, b) of the target, selected samples only.
 * With `behind_headers`, vals hold the data samples of a gravity-lines File
 * and its header samples keep their values. */
static void store_values(Session &s, Io &io, int64_t a, int64_t b, double test, std::vector<double> &vals,
                         bool behind_headers = false) {
  std::string err;
  Target t;
  std::vector<double> all, mask;
  if (!transfer_target(s, err, t, true) || !selection_mask(s, mask, err)) return io.error(err);
  FileModel next = s.model;
  Variable &v = *find_var(next, t.var->name);
  int64_t S = s.model.s_number;
  try {
    if (v.kind != VK_MACRO && mask.empty() && a == 0 && b == S && !behind_headers) {
      /* The common whole write: the received buffer becomes the data. */
      store_piece(v, vals.data(), vals.size(), test);
      all.swap(vals);
    } else {
      if (!file_values(file_path(s), s.model, *t.var, all, err)) return io.error(err);
      int item = t.item;
      if (v.kind == VK_MACRO && item < 0) {
        /* A new item, kept in index order. */
        size_t pos = 0;
        while (pos < v.items.size() && v.items[pos].index < s.macro_index) pos++;
        v.items.insert(v.items.begin() + (ptrdiff_t)pos, MacroItem{s.macro_index, ""});
        all.insert(all.begin() + (ptrdiff_t)(pos * (size_t)S), (size_t)S, VEK_SERVER_UNDEF);
        item = (int)pos;
      }
      size_t off = item < 0 ? 0 : (size_t)item * (size_t)S;
      std::vector<bool> header;
      if (behind_headers) {
        header.assign((size_t)S, false);
        int64_t first = 0;
        for (int c : s.model.line_counts) header[(size_t)first] = true, first += c;
      }
      for (int64_t i = a, k = 0; i < b; i++) {
        if (behind_headers && header[(size_t)i]) continue;
        if (selected(mask, i)) all[off + (size_t)i] = stored_value(v, vals[(size_t)k], test);
        k++;
      }
    }
  } catch (const std::bad_alloc &) {
    return io.error("Not enough memory to write '" + v.name + "'");
  }
  if (commit(s, io, next, {{v.name, &all}})) done(io);
}

static void h_read_var(Session &s, Io &io) {
  int64_t first = -1, last = -1;
  if (cfg_sub_range()) {
    first = io.rlong();
    last = io.rlong();
  }
  io.rint(); /* transfer flag: accepted, no effect */
  if (io.broken() || !need_file(s, io)) return;
  int64_t a, b;
  std::string err;
  if (!sample_range(s.model.s_number, first, last, a, b, err)) return io.error(err);
  send_values(s, io, a, b, false);
}

static void h_read_line(Session &s, Io &io) {
  int line = io.rint();
  if (io.broken() || !need_file(s, io)) return;
  int64_t a, b;
  std::string err;
  if (!line_range(s.model, line, a, b, err)) return io.error(err);
  send_values(s, io, a, b, true);
}

/* Samples [a, b) that a write of count values to first..last (whole when
 * both are -1) covers in the File f. */
static bool write_range(const FileModel &f, int64_t first, int64_t last, int64_t count, int64_t &a, int64_t &b,
                        bool &behind_headers, std::string &err) {
  if (!sample_range(f.s_number, first, last, a, b, err)) return false;
  /* From 900000 on, clients stop staging a gravity-lines File's data samples
   * behind its line headers and send the data samples alone. */
  behind_headers = first == -1 && last == -1 && g_config.version >= 900000 && f.type == FT_GRAVITY_LINES &&
                   count == f.s_number - (int64_t)f.line_counts.size();
  if (count == b - a || behind_headers) return true;
  err = "Count " + std::to_string(count) + " does not match samples " + std::to_string(a + 1) + " to " +
        std::to_string(b);
  return false;
}

static bool line_write_range(const FileModel &f, int line, int count, int64_t &a, int64_t &b, std::string &err) {
  if (!line_range(f, line, a, b, err)) return false;
  if (count == b - a) return true;
  err = "Line " + std::to_string(line) + " holds " + std::to_string(b - a) + " samples, not " + std::to_string(count);
  return false;
}

static void refused_values(Session &s, Io &io, bool usable, int64_t count) {
  if (usable) io.error("Not enough memory for " + std::to_string(count) + " values");
  else io.error("File '" + s.file + "' changed while the values arrived; nothing was written");
}

/* The variable that a write of samples [a, b) replaces whole, every sample
 * taking a value as it arrives (no selection, no macro item, no line
 * headers to keep), as the File looks in s.model; null for any other write. */
static const Variable *whole_target(Session &s, int64_t a, int64_t b, bool behind_headers) {
  if (!s.selection.empty() || behind_headers || a != 0 || b != s.model.s_number) return nullptr;
  const Variable *v = s.variable.empty() ? nullptr : find_var(s.model, s.variable);
  if (!v || v->kind == VK_MACRO || v->kind == VK_CHAR || v->implicit) return nullptr;
  return v;
}

/* A whole write whose values went straight to an unnamed data file: put
 * in place if the File, as it is now under the lock, still takes it so. */
static void commit_written(Session &s, Io &io, int64_t a, int64_t b, bool behind_headers, int kind,
                           fs_new_data &data) {
  const Variable *v = whole_target(s, a, b, behind_headers);
  if (!v || v->kind != kind) return refused_values(s, io, false, 0);
  FileModel next = s.model;
  DataChange change{v->name, nullptr, &data};
  if (commit(s, io, next, {change})) done(io);
}

/* The values are taken only when the request can use them; the stored data
 * changes only after the whole request has arrived. A whole write of more
 * values than a description keeps goes straight to a new unnamed data file,
 * flushed before the lock is taken; others are kept in memory. Whether they fit is asked again of the File as
 * it is once the write lock is held: another server may have added points
 * meanwhile. */
static void h_write_var(Session &s, Io &io) {
  int64_t first = -1, last = -1;
  if (cfg_sub_range()) {
    first = io.rlong();
    last = io.rlong();
  }
  io.rint(); /* transfer flag: accepted, no effect */
  double test = io.rdouble();
  int64_t count = io.rlong();
  int64_t a = 0, b = 0;
  std::string err;
  bool behind_headers = false;
  bool usable = !io.broken() && !s.file.empty() && write_range(s.model, first, last, count, a, b, behind_headers, err);
  const Variable *whole = usable ? whole_target(s, a, b, behind_headers) : nullptr;
  fs_new_data data;
  std::string unused;
  /* A few values are kept in the description, which the commit writes anyway. */
  if (whole && count > VEK_INLINE_MAX_VALUES && data.open(file_path(s), unused)) {
    Variable v = *whole;
    std::string failed;
    bool taken = io.rdoubles_each(count, [&](double *x, size_t k) {
      store_piece(v, x, k, test);
      return data.append(x, k, failed);
    });
    if (io.broken()) return;
    if (!taken && failed.empty()) failed = "not enough memory to receive " + std::to_string(count) + " values";
    if (failed.empty()) data.flush(failed);
    if (!failed.empty()) return io.error("File '" + s.file + "' was not changed: " + failed);
    if (!need_change(s, io) || !need_file(s, io)) return;
    if (!write_range(s.model, first, last, count, a, b, behind_headers, err)) return io.error(err);
    return commit_written(s, io, a, b, behind_headers, v.kind, data);
  }
  std::vector<double> vals;
  bool kept = io.rdoubles(count, usable, vals);
  if (io.broken() || !need_change(s, io) || !need_file(s, io)) return;
  if (!write_range(s.model, first, last, count, a, b, behind_headers, err)) return io.error(err);
  if (!kept) return refused_values(s, io, usable, count);
  store_values(s, io, a, b, test, vals, behind_headers);
}

static void h_write_line(Session &s, Io &io) {
  int line = io.rint();
  int count = io.rint();
  double test = io.rdouble();
  int64_t a = 0, b = 0;
  std::string err;
  bool usable = !io.broken() && !s.file.empty() && line_write_range(s.model, line, count, a, b, err);
  std::vector<double> vals;
  bool kept = io.rdoubles(count, usable, vals);
  if (io.broken() || !need_change(s, io) || !need_file(s, io)) return;
  if (!line_write_range(s.model, line, count, a, b, err)) return io.error(err);
  if (!kept) return refused_values(s, io, usable, count);
  store_values(s, io, a, b, test, vals);
}

/* ---------------- the table ---------------- */

static const struct {
  const char *keyword;
  Handler handler;
} kRequests[] = {
    {"CHELLO", h_hello},
    {"CNEWSESS", h_new_session},
    {"CVEKDATA", h_data_path},
    {"CSUPREQ", h_supported},
    {"CARCH", h_arch},
    {"CBYE BYE", h_bye},
    {"CSTUDYLST", h_study_list},
    {"CDIRLST", h_dir_list},
    {"CFILELST", h_file_list},
    {"CFILETLST", h_file_type_list},
    {"CVARLST", h_var_list},
    {"CVARTLST", h_var_type_list},
    {"CDIRXIST", h_dir_exists},
    {"CFILEXIST", h_file_exists},
    {"CVARXIST", h_var_exists},
    {"CSTUDYSET", h_set_study},
    {"CDIRSET", h_set_dir},
    {"CFILESET", h_set_file},
    {"CVARSET", h_set_var},
    {"CSELSET", h_set_selection},
    {"CINDSET", h_set_index},
    {"CINDASET", h_set_alpha_index},
    {"CUNITMODE", h_unit_mode},
    {"CDISTUSET", h_distance_unit},
    {"CUNITCR", h_creation_units},
    {"CVARUNIT", h_var_unit},
    {"CFILEINFO", h_file_info},
    {"CVARINFO", h_var_info},
    {"CCOMGET", h_comment},
    {"CMACROIND", h_macro_indices},
    {"CMACROALP", h_macro_alpha},
    {"CLFILECNT", h_line_counts},
    {"CSTUDYNEW", h_new_study},
    {"CDIRNEW", h_new_dir},
    {"CGFILENEW", h_new_grid},
    {"CPFILENEW", h_new_points},
    {"CPFILEAPP", h_append_points},
    {"CVARFNEW", h_new_float},
    {"CVARMNEW", h_new_macro},
    {"CVARDEL", h_delete_var},
    {"CFILEDEL", h_delete_file},
    {"CDIRDEL", h_delete_dir},
    {"CSTUDYDEL", h_delete_study},
    {"GRIDMODR", h_grid_rotation},
    {"GRIDMODM", h_grid_mesh},
    {"GRIDMODO", h_grid_origin},
    {"CREADVARF", h_read_var},
    {"CREADLINF", h_read_line},
    {"CWRITVARF", h_write_var},
    {"CWRITLINF", h_write_line},
};

/* What a commit left unreferenced goes once the answer has left: removing
 * a large data file takes a while and is no part of the change. The lock
 * is still held, so no reader can be opening it. */
static void drop_stale(Session &s, Io &io) {
  if (s.stale.empty()) return;
  if (!io.wbad && !_vek_flush_write(io.sock)) io.wbad = true;
  for (const std::string &path : s.stale) unlink(path.c_str());
  s.stale.clear();
}

bool dispatch(Session &s, const std::string &keyword, Io &io) {
  for (const auto &r : kRequests) {
    if (keyword == r.keyword) {
      r.handler(s, io);
      drop_stale(s, io);
      tree_unlock();
      return true;
    }
  }
  return false;
}

std::vector<std::string> known_requests() {
  std::vector<std::string> out;
  for (const auto &r : kRequests) out.push_back(r.keyword);
  return out;
}
