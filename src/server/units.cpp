/*
 * Unit requests: the session's unit mode, distance unit and the units of
 * new variables, and the unit of the current variable.
 */
#include "handlers.h"

#include <algorithm>
#include <iterator>

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
  std::copy(std::begin(u), std::end(u), std::begin(s.creation_units));
  done(io);
}

static void h_var_unit(Session &s, Io &io) {
  int count = io.rint();
  /* The count says how many texts follow: any other value leaves the rest of
   * the request unknowable. */
  if (!io.broken() && (count < 1 || count > 2)) io.bad = true;
  std::string unit = io.rstring();
  std::string symbol = count == 2 ? io.rstring() : unit;
  if (io.broken()) return;
  std::unique_ptr<LockedFile> file = need_file_to_change(s, io);
  const Variable *v = file ? need_var(s, io, *file) : nullptr;
  if (!v || !check_text(io, unit, VEK_UNIT_MAX, "A unit") || !check_text(io, symbol, VEK_UNIT_MAX, "A unit")) return;
  if (v->kind >= VK_XG) return io.error("The unit of a coordinate is the File's unit");
  FileModel next = file->model();
  Variable *w = find_var(next, v->name);
  w->unit = unit;
  w->unit_symbol = symbol;
  if (commit(s, io, *file, next, {})) done(io);
}

static const Request kTable[] = {
    {"CUNITMODE", h_unit_mode},
    {"CDISTUSET", h_distance_unit},
    {"CUNITCR", h_creation_units},
    {"CVARUNIT", h_var_unit},
};
const RequestFamily kUnitRequests = REQUEST_FAMILY(kTable);
