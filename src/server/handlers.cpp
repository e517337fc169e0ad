/*
 * Request dispatch, what every request needs of the session, and the
 * session's own requests (handshake, word size, goodbye). The requests of
 * the tree are in one file per family (handlers.h).
 */
#include "handlers.h"

#include <unistd.h>

#include <utility>

#include "vek_internal.h"

/* ---------------- what a request needs of the session ---------------- */

std::string study_path(const Session &s) { return fs_join(s.project, s.study); }
std::string dir_path(const Session &s) { return fs_join(study_path(s), s.dir); }
std::string file_path(const Session &s) { return fs_join(dir_path(s), s.file); }

void clear_below_file(Session &s) {
  s.selection.clear();
  s.variable.clear();
  s.macro_index = -1;
}
void clear_below_dir(Session &s) {
  s.file.clear();
  s.current.clear();
  clear_below_file(s);
}
void clear_below_study(Session &s) {
  s.dir.clear();
  clear_below_dir(s);
}
void clear_all(Session &s) {
  s.study.clear();
  clear_below_study(s);
}

void session_reset(Session &s, int fd) {
  _vek_empty_read_buffer();
  _vek_empty_write_buffer();
  /* Longs are 4 bytes until the word-size agreement says otherwise. */
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

bool need_project(Session &s, Io &io) {
  if (!s.project.empty()) return true;
  io.error("No project directory: set VEK_PROJECT_DIR or give the project's path when connecting");
  return false;
}
bool need_current(Io &io, const std::string &name, const char *level) {
  if (!name.empty()) return true;
  io.error(std::string("No current ") + level);
  return false;
}
bool need_study(Session &s, Io &io) { return need_project(s, io) && need_current(io, s.study, "Study"); }
bool need_dir(Session &s, Io &io) { return need_study(s, io) && need_current(io, s.dir, "Directory"); }
bool need_file(Session &s, Io &io) {
  if (!need_dir(s, io) || !need_current(io, s.file, "File")) return false;
  std::string err, fpath = file_path(s);
  if (!tree_lock_shared(s.project, err)) return io.error(err), false;
  if (!fs_is_dir(fpath)) return io.error("File '" + s.file + "' no longer exists"), false;
  if (!s.current.load(fpath, err, false)) return io.error("File '" + s.file + "' is damaged: " + err), false;
  return true;
}
std::unique_ptr<ExclusiveLock> need_change(Session &s, Io &io) {
  std::string err;
  if (!need_project(s, io)) return nullptr;
  std::unique_ptr<ExclusiveLock> lock = tree_lock_exclusive(s.project, err);
  if (!lock) io.error("Nothing was changed: " + err);
  return lock;
}
std::unique_ptr<LockedFile> need_file(Session &s, Io &io, const ExclusiveLock &lock) {
  if (!need_dir(s, io) || !need_current(io, s.file, "File")) return nullptr;
  std::string err, fpath = file_path(s);
  if (!fs_is_dir(fpath)) return io.error("File '" + s.file + "' no longer exists"), nullptr;
  std::unique_ptr<LockedFile> file = lock.load(s.current, fpath, err);
  if (!file) io.error("File '" + s.file + "' is damaged: " + err);
  return file;
}
std::unique_ptr<LockedFile> need_file_to_change(Session &s, Io &io) {
  std::unique_ptr<ExclusiveLock> lock = need_change(s, io);
  return lock ? need_file(s, io, *lock) : nullptr;
}
std::string missing_var(const Session &s) {
  return s.variable.empty() ? "No current Variable" : "Variable '" + s.variable + "' no longer exists";
}
static const Variable *current_var(Session &s, Io &io, const FileModel &f) {
  const Variable *v = s.variable.empty() ? nullptr : find_var(f, s.variable);
  if (!v) io.error(missing_var(s));
  return v;
}
const Variable *need_var(Session &s, Io &io) { return need_file(s, io) ? current_var(s, io, s.model()) : nullptr; }
const Variable *need_var(Session &s, Io &io, const LockedFile &file) { return current_var(s, io, file.model()); }
const Variable *need_macro(Session &s, Io &io) {
  const Variable *v = need_var(s, io);
  if (v && v->kind != VK_MACRO) {
    io.error("Variable '" + v->name + "' is not a macro variable");
    return nullptr;
  }
  return v;
}
bool check_name(Io &io, const std::string &name) {
  std::string why = name_problem(name);
  if (why.empty()) return true;
  io.error("Invalid name '" + name.substr(0, VEK_NAME_MAX) + "': " + why);
  return false;
}
bool check_text(Io &io, const std::string &text, size_t max, const char *what) {
  if (text.size() <= max && is_utf8(text) && text.find('\0') == std::string::npos) return true;
  io.error(std::string(what) + " must be UTF-8 text of at most " + std::to_string(max) + " bytes");
  return false;
}
bool commit(Session &s, Io &io, LockedFile &file, FileModel &next, const std::vector<DataChange> &changes) {
  std::string err;
  if (file.commit(next, changes, s.stale, err)) return true;
  io.error("File '" + s.file + "' was not changed: " + err);
  return false;
}
void done(Io &io) { io.answer("SDONE"); }

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
    unsigned short port{}; /* any free one */
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
  _vek_server64 = client64 != 0;
}

static void h_bye(Session &s, Io &io) {
  s.ended = true;
  io.answer("SBYE BYE");
}

static const Request kSessionTable[] = {
    {"CHELLO", h_hello},      {"CNEWSESS", h_new_session}, {"CVEKDATA", h_data_path},
    {"CSUPREQ", h_supported}, {"CARCH", h_arch},           {"CBYE BYE", h_bye},
};
static const RequestFamily kSessionRequests = REQUEST_FAMILY(kSessionTable);

/* ---------------- the table ---------------- */

/* In this order the requests are announced by default. */
static const RequestFamily *const kFamilies[] = {&kSessionRequests,     &kCatalogueRequests, &kUnitRequests,
                                                 &kDescriptionRequests, &kEditRequests,      &kTransferRequests};

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
  for (const RequestFamily *family : kFamilies) {
    for (const Request &r : *family) {
      if (keyword != r.keyword) continue;
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
  for (const RequestFamily *family : kFamilies)
    for (const Request &r : *family) out.push_back(r.keyword);
  return out;
}
