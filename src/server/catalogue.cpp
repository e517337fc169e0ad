/*
 * Catalogue requests: the lists and the existence of items, and the
 * session's current items (Study, Directory, File, variable, selection,
 * macro item), each checked against the tree as it is now.
 */
#include <utility>

#include "handlers.h"

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
  if (!tree_lock_shared(s.project, err) || !tree_list(dir_path(s), names, err)) return io.error(err);
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
  for (const Variable &v : s.model().vars)
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
  io.aint(exists);
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
  answer_exists(io, find_var(s.model(), name) != nullptr);
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
  CurrentFile f;
  std::string err;
  if (!tree_lock_shared(s.project, err)) return io.error(err);
  if (!fs_is_dir(fpath)) return io.error("File '" + name + "' does not exist");
  if (!f.load(fpath, err, true)) return io.error("File '" + name + "' is damaged: " + err);
  clear_below_dir(s);
  s.file = name;
  s.current = std::move(f);
  done(io);
}

/* "Simu[00003]" names item 3 of the macro variable "Simu[xxxxx]". */
static bool macro_item_name(const FileModel &f, const std::string &name, std::string &macro, int &index) {
  size_t open = name.rfind('[');
  if (open == std::string::npos || name.size() - open != 7 || name.back() != ']') return false;
  index = 0;
  for (size_t i = open + 1; i + 1 < name.size(); i++) {
    if (name[i] < '0' || name[i] > '9') return false;
    index = index * 10 + (name[i] - '0');
  }
  macro = name.substr(0, open) + "[xxxxx]";
  const Variable *v = find_var(f, macro);
  return v && v->kind == VK_MACRO;
}

static void h_set_var(Session &s, Io &io) {
  std::string name = io.rstring();
  if (io.broken() || !need_file(s, io)) return;
  std::string macro;
  int index;
  if (find_var(s.model(), name)) {
    s.variable = name;
    s.macro_index = -1;
  } else if (macro_item_name(s.model(), name, macro, index)) {
    if (macro_item_pos(*find_var(s.model(), macro), index) < 0)
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
  const Variable *v = find_var(s.model(), name);
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
  const Variable *v = need_macro(s, io);
  if (!v) return;
  int found = -1;
  for (const MacroItem &it : v->items)
    if (!alpha.empty() && it.alpha == alpha) found = it.index;
  if (found < 0)
    return io.error("Variable '" + v->name + "' has no item named '" + alpha.substr(0, VEK_NAME_MAX) + "'");
  s.macro_index = found;
  done(io);
}

static const Request kTable[] = {
    {"CSTUDYLST", h_study_list},     {"CDIRLST", h_dir_list},      {"CFILELST", h_file_list},
    {"CFILETLST", h_file_type_list}, {"CVARLST", h_var_list},      {"CVARTLST", h_var_type_list},
    {"CDIRXIST", h_dir_exists},      {"CFILEXIST", h_file_exists}, {"CVARXIST", h_var_exists},
    {"CSTUDYSET", h_set_study},      {"CDIRSET", h_set_dir},       {"CFILESET", h_set_file},
    {"CVARSET", h_set_var},          {"CSELSET", h_set_selection}, {"CINDSET", h_set_index},
    {"CINDASET", h_set_alpha_index},
};
const RequestFamily kCatalogueRequests = REQUEST_FAMILY(kTable);
