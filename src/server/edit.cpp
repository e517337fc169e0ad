/*
 * Creation and deletion requests: Studies, Directories, grid and point
 * Files, points appended, variables; and the geometry of a grid File. Each
 * takes the project's exclusive lock before it looks at the tree.
 */
#include <math.h>

#include <array>
#include <new>

#include "handlers.h"

static void h_new_study(Session &s, Io &io) {
  std::string name = io.rstring();
  std::string physical = cfg_extended() ? io.rstring() : "";
  if (io.broken()) return;
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (!lock || !check_name(io, name) || !check_text(io, physical, 9999, "A physical name")) return;
  std::string err;
  if (!study_create(*lock, s.project, name, physical, err)) return io.error("Study '" + name + "' not created: " + err);
  done(io);
}

static void h_new_dir(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken()) return;
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (!lock || !need_study(s, io) || !check_name(io, name)) return;
  std::string err;
  if (!dir_create(*lock, study_path(s), name, err)) return io.error("Directory '" + name + "' not created: " + err);
  done(io);
}

static bool create_file(Session &s, Io &io, const ExclusiveLock &lock, const std::string &name, FileModel &f,
                        const std::vector<DataChange> &changes) {
  std::string err;
  if (!file_create(lock, dir_path(s), name, f, changes, err)) {
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
  if (io.broken()) return;
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (!lock || !need_dir(s, io) || !check_name(io, name)) return;
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
  if (create_file(s, io, *lock, name, f, {})) done(io);
}

/* X, Y and Z of the points requests; Z stays empty for 2-D points. */
using PointCoordinates = std::array<std::vector<double>, 3>;

/* Reads count, dimension and the coordinate arrays of the points requests.
 * Returns whether the arrays were kept (count valid, memory found). */
static bool read_points(Io &io, int64_t &count, int &dim, PointCoordinates &xyz) {
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
  PointCoordinates xyz;
  bool kept = read_points(io, count, dim, xyz);
  if (io.broken()) return;
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (!lock || !need_dir(s, io) || !check_name(io, name)) return;
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
  if (create_file(s, io, *lock, name, f, changes)) done(io);
}

/* Filler of a new sample: nothing selected, nothing known. */
static double blank_value(const Variable &v) { return v.kind == VK_SELECTION ? 0.0 : VEK_SERVER_UNDEF; }

static void h_append_points(Session &s, Io &io) {
  int64_t count;
  int dim;
  PointCoordinates xyz;
  bool kept = read_points(io, count, dim, xyz);
  if (io.broken()) return;
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  if (!file) return;
  const FileModel &f = file->model();
  if (f.type != FT_POINTS) return io.error("File '" + s.file + "' is not a points File");
  if (dim != f.dimension)
    return io.error("File '" + s.file + "' has " + std::to_string(f.dimension) + " coordinates, not " +
                    std::to_string(dim));
  if (!kept || f.s_number + count > VEK_MAX_SAMPLES)
    return io.error("Cannot take " + std::to_string(count) + " more points");
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
      if (!file_values(file->path(), f, v, old, err)) return io.error(err);
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
  if (commit(s, io, *file, next, changes)) done(io);
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
  if (io.broken()) return;
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  if (!file || !check_name(io, name) || !check_text(io, unit, cfg_extended() ? VEK_UNIT_MAX : 5, "A unit")) return;
  if (find_var(file->model(), name)) return io.error("Variable '" + name + "' already exists");
  if (macro != is_macro_name(name))
    return io.error(macro ? "A macro variable's name ends with \"[xxxxx]\""
                          : "A name ending with \"[xxxxx]\" is kept for macro variables");
  if (nbits < 1 || nbits > 64) return io.error("A bit length lies between 1 and 64, not " + std::to_string(nbits));
  if (macro && nbits == 1) return io.error("A macro variable cannot be a selection");
  if (format < 0 || format > 4) return io.error("Unknown output format " + std::to_string(format));
  if (ncar < 0 || ncar > 1000 || ndig < 0 || ndig > 1000) return io.error("Unreasonable output width or digits");
  Variable v;
  v.name = name;
  v.kind = macro ? VK_MACRO : numeric_kind(nbits);
  v.bit_length = nbits;
  v.format = format;
  v.ncar = ncar;
  v.ndig = ndig;
  v.unit = v.unit_symbol = has_unit ? unit : s.creation_units[0];
  FileModel next = file->model();
  next.vars.push_back(v);
  if (commit(s, io, *file, next, {})) done(io);
}
static void h_new_float(Session &s, Io &io) { new_variable(s, io, false); }
static void h_new_macro(Session &s, Io &io) { new_variable(s, io, true); }

static void h_delete_var(Session &s, Io &io) {
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  const Variable *v = file ? need_var(s, io, *file) : nullptr;
  if (!v) return;
  if (v->kind >= VK_XG) return io.error("The coordinates of a File cannot be deleted");
  for (const std::string &n : file->model().core_names)
    if (n == v->name) return io.error("Variable '" + v->name + "' holds core ends and cannot be deleted");
  FileModel next = file->model();
  next.vars.erase(next.vars.begin() + var_index(next, v->name));
  std::string name = v->name;
  if (!commit(s, io, *file, next, {})) return;
  if (s.selection == name) s.selection.clear();
  s.variable.clear();
  s.macro_index = -1;
  done(io);
}

static bool delete_item(Io &io, const ExclusiveLock &lock, const std::string &parent, const std::string &name,
                        const char *what) {
  std::string err;
  if (!item_delete(lock, parent, name, err)) {
    io.error(std::string(what) + " '" + name + "' not deleted: " + err);
    return false;
  }
  done(io);
  return true;
}
static void h_delete_file(Session &s, Io &io) {
  /* Not loaded first: a damaged File can be deleted too. */
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (lock && need_dir(s, io) && need_current(io, s.file, "File") &&
      delete_item(io, *lock, dir_path(s), s.file, "File"))
    clear_below_dir(s);
}
static void h_delete_dir(Session &s, Io &io) {
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (lock && need_dir(s, io) && delete_item(io, *lock, study_path(s), s.dir, "Directory")) clear_below_study(s);
}
static void h_delete_study(Session &s, Io &io) {
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  if (lock && need_study(s, io) && delete_item(io, *lock, s.project, s.study, "Study")) clear_all(s);
}

/* ---- grid geometry ---- */

static void modify_grid(Session &s, Io &io, int what) {
  double a = io.rdouble(), b = io.rdouble(), c = io.rdouble();
  if (io.broken()) return;
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  if (!file) return;
  if (file->model().type != FT_GRID) return io.error("File '" + s.file + "' is not a grid");
  if (!isfinite(a) || !isfinite(b) || !isfinite(c)) return io.error("Grid values must be finite");
  FileModel next = file->model();
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
  if (commit(s, io, *file, next, {})) done(io);
}
static void h_grid_rotation(Session &s, Io &io) { modify_grid(s, io, 'R'); }
static void h_grid_mesh(Session &s, Io &io) { modify_grid(s, io, 'M'); }
static void h_grid_origin(Session &s, Io &io) { modify_grid(s, io, 'O'); }

static const Request kTable[] = {
    {"CSTUDYNEW", h_new_study},  {"CDIRNEW", h_new_dir},         {"CGFILENEW", h_new_grid},
    {"CPFILENEW", h_new_points}, {"CPFILEAPP", h_append_points}, {"CVARFNEW", h_new_float},
    {"CVARMNEW", h_new_macro},   {"CVARDEL", h_delete_var},      {"CFILEDEL", h_delete_file},
    {"CDIRDEL", h_delete_dir},   {"CSTUDYDEL", h_delete_study},  {"GRIDMODR", h_grid_rotation},
    {"GRIDMODM", h_grid_mesh},   {"GRIDMODO", h_grid_origin},
};
const RequestFamily kEditRequests = REQUEST_FAMILY(kTable);
