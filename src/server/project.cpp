/*
 * The project tree on disk: see project.h and README.md.
 */
#include "project.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <set>

#include "storage.h"
#include "vek_internal.h"

static const char *const kFileJson = "file.json";
static const char *const kStudyJson = "study.json";
/* Outside the server-owned prefix: the start-up sweep must never remove a
 * lock that another server holds. */
static const char *const kLockName = ".vek.lock";
/* Longer than any change takes, shorter than a client waits for an answer. */
#define LOCK_WAIT_MS 20000

/* ---------------- the project's lock ---------------- */

static int lock_fd = -1;
static std::string lock_root;
static int lock_held; /* 0, LOCK_SH or LOCK_EX */

void tree_unlock() {
  /* A lock is held only on an open lock file. */
  if (lock_held) flock(lock_fd, LOCK_UN);
  lock_held = 0;
}

static void lock_close() {
  tree_unlock();
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
}

/* Whether fd is still the file that the lock's name points at: a lock file
 * removed by hand and made again by another server must not leave two
 * servers each holding a lock of its own. */
static bool lock_current(const std::string &path) {
  struct stat a, b;
  return fstat(lock_fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static bool lock_project(const std::string &root, bool exclusive, std::string &err) {
  int want = exclusive ? LOCK_EX : LOCK_SH;
  if (root != lock_root) {
    lock_close();
    lock_root = root;
  }
  if (lock_held == LOCK_EX || lock_held == want) return true;
  std::string path = fs_join(root, kLockName);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long pause_us = 500;
  /* Turning a shared lock into an exclusive one lets go of it first. */
  lock_held = 0;
  for (;;) {
    if (lock_fd < 0) {
      lock_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (lock_fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        lock_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (lock_fd < 0) {
        /* Nobody can change a tree in which no lock file can be made. */
        if (!exclusive) return true;
        err = "cannot lock the project: '" + path + "': " + strerror(errno);
        return false;
      }
    }
    if (flock(lock_fd, want | LOCK_NB) == 0) {
      if (lock_current(path)) {
        lock_held = want;
        return true;
      }
      lock_close();
      continue;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      err = "cannot lock the project: '" + path + "': " + strerror(errno);
      return false;
    }
    if (_vek_elapsed_ms(&start) > LOCK_WAIT_MS) {
      err = "the project stayed locked by another server for " + std::to_string(LOCK_WAIT_MS / 1000) + " s";
      return false;
    }
    usleep((useconds_t)pause_us);
    pause_us = std::min(pause_us * 2, 20000L);
  }
}

bool tree_lock_shared(const std::string &root, std::string &err) { return lock_project(root, false, err); }

std::unique_ptr<ExclusiveLock> tree_lock_exclusive(const std::string &root, std::string &err) {
  if (!lock_project(root, true, err)) return nullptr;
  return std::unique_ptr<ExclusiveLock>(new ExclusiveLock());
}

void tree_unlock_shared() {
  if (lock_held == LOCK_SH) tree_unlock();
}

bool tree_list(const std::string &dir, std::vector<std::string> &names, std::string &err) {
  if (!fs_list_dirs(dir, names, err)) return false;
  /* A folder whose name the server would refuse is not an item: listing it
   * would hand out a name that no request can use. */
  std::vector<std::string> kept;
  for (const std::string &n : names)
    if (name_problem(n).empty()) kept.push_back(n);
  names.swap(kept);
  return true;
}

bool file_load(const std::string &fpath, FileModel &f, std::string &err, bool check_data) {
  std::string text;
  if (!fs_read_file(fs_join(fpath, kFileJson), text, err)) return false;
  if (!file_from_json(text, f, err)) {
    err = fs_join(fpath, kFileJson) + ": " + err;
    return false;
  }
  for (const Variable &v : f.vars) {
    if (v.data.empty() || !check_data) continue;
    std::string dpath = fs_join(fpath, v.data);
    long long size = fs_file_size(dpath, err);
    if (size < 0) return false;
    long long want = (long long)var_value_count(f, v) * 8;
    if (size != want) {
      err = dpath + ": holds " + std::to_string(size) + " bytes where variable '" + v.name + "' needs " +
            std::to_string(want);
      return false;
    }
  }
  return true;
}

bool CurrentFile::load(const std::string &fpath, std::string &err, bool check_data) {
  FileModel f;
  if (!file_load(fpath, f, err, check_data)) return false;
  model_ = std::move(f);
  return true;
}

std::unique_ptr<LockedFile> ExclusiveLock::load(CurrentFile &current, const std::string &fpath,
                                                std::string &err) const {
  if (!current.load(fpath, err, false)) return nullptr;
  return std::unique_ptr<LockedFile>(new LockedFile(current, fpath));
}

ValueSource::~ValueSource() {
  if (fd_ >= 0) close(fd_);
}

bool ValueSource::open(const std::string &fpath, const FileModel &f, const Variable &v, int64_t first,
                       std::string &err) {
  first_ = first;
  if (v.implicit) {
    try {
      grid_coordinates(f, v.kind - VK_XG, computed_);
    } catch (const std::bad_alloc &) {
      err = "not enough memory for the values of '" + v.name + "'";
      return false;
    }
    return true;
  }
  fill_ = v.kind == VK_SELECTION ? 0.0 : VEK_SERVER_UNDEF;
  if (v.inline_data) {
    computed_ = v.inline_values;
    return true;
  }
  if (v.data.empty()) return true;
  path_ = fs_join(fpath, v.data);
  fd_ = fs_open_doubles(path_, (size_t)var_value_count(f, v), err);
  return fd_ >= 0;
}

bool ValueSource::read(int64_t at, size_t n, double *out, std::string &err) const {
  if (fd_ >= 0) return fs_pread_doubles(fd_, path_, first_ + at, n, out, err);
  if (!computed_.empty()) std::copy_n(computed_.begin() + (ptrdiff_t)(first_ + at), n, out);
  else std::fill_n(out, n, fill_);
  return true;
}

bool file_values(const std::string &fpath, const FileModel &f, const Variable &v, std::vector<double> &out,
                 std::string &err) {
  try {
    out.resize((size_t)var_value_count(f, v));
  } catch (const std::bad_alloc &) {
    err = "not enough memory for the values of '" + v.name + "'";
    return false;
  }
  ValueSource src;
  return src.open(fpath, f, v, 0, err) && src.read(0, out.size(), out.data(), err);
}

/* Writes the changed data files under fresh names and points next at them.
 * The names written are added to created, so a failure can remove them. */
static bool write_changes(const std::string &fpath, FileModel &next, const std::vector<DataChange> &changes,
                          std::vector<std::string> &created, std::string &err) {
  for (const DataChange &c : changes) {
    Variable *v = find_var(next, c.var);
    if (!v) {
      err = "variable '" + c.var + "' vanished";
      return false;
    }
    int64_t count = c.written ? c.written->count() : (int64_t)c.values->size();
    if (count != var_value_count(next, *v)) {
      err = "internal error: wrong number of values for '" + c.var + "'";
      return false;
    }
    v->inline_data = !c.written && count <= VEK_INLINE_MAX_VALUES;
    v->inline_values.clear();
    if (v->inline_data) {
      v->inline_values = *c.values;
      v->data.clear();
      continue;
    }
    std::string name;
    do {
      name = v->name + "." + std::to_string(++next.generation) + ".bin";
    } while (fs_exists(fs_join(fpath, name)));
    if (c.written ? !c.written->place(fpath, name, err)
                  : !fs_create_doubles(fs_join(fpath, name), c.values->data(), c.values->size(), err))
      return false;
    created.push_back(name);
    v->data = name;
  }
  return true;
}

bool LockedFile::commit(FileModel &next, const std::vector<DataChange> &changes, std::vector<std::string> &stale,
                        std::string &err) {
  const std::string &fpath = path_;
  const FileModel &prev = current_.model_;
  std::vector<std::string> created;
  bool ok = write_changes(fpath, next, changes, created, err);
  if (ok) {
    std::string text = file_to_json(next);
    std::string aside;
    ok = fs_replace_file(fpath, kFileJson, text.data(), text.size(), err, &aside);
    if (!aside.empty()) stale.push_back(aside); /* set only when the replacement held */
  }
  if (!ok) {
    for (const std::string &n : created) unlink(fs_join(fpath, n).c_str());
    return false;
  }
  std::set<std::string> live;
  for (const Variable &v : next.vars)
    if (!v.data.empty()) live.insert(v.data);
  for (const Variable &v : prev.vars)
    if (!v.data.empty() && !live.count(v.data)) stale.push_back(fs_join(fpath, v.data));
  current_.model_ = std::move(next);
  return true;
}

bool file_create(const ExclusiveLock &, const std::string &dpath, const std::string &name, FileModel &f,
                 const std::vector<DataChange> &changes, std::string &err) {
  if (fs_exists(fs_join(dpath, name))) {
    err = "'" + name + "' already exists";
    return false;
  }
  /* Built complete in a server-owned folder, then renamed into place: a
   * crash leaves either no File or the whole File. */
  std::string tmp = fs_temp_name(dpath, "new");
  std::string tpath = fs_join(dpath, tmp);
  std::vector<std::string> created;
  bool ok = fs_make_dir(dpath, tmp, false, err) && write_changes(tpath, f, changes, created, err);
  if (ok) {
    std::string text = file_to_json(f);
    ok = fs_create_file(fs_join(tpath, kFileJson), text.data(), text.size(), err) && fs_sync_dir(tpath, err) &&
         fs_rename_in(dpath, tmp, name, err);
  }
  if (!ok) fs_remove_quietly(tpath);
  return ok;
}

/* The canonical path of an existing path, "" when there is none. */
static std::string real_path(const std::string &path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  return real ? std::string(real.get()) : std::string();
}

/* This server keeps a Study in the project's folder of its name, so a
 * location is honoured only when it names that folder (relative to the
 * project or absolute); any other is refused rather than kept as a label, or
 * the client would believe the Study lives where it does not. */
static bool study_location_ok(const std::string &root, const std::string &name, std::string location,
                              std::string &err) {
  if (location.empty()) return true; /* older protocols send none */
  std::string given = location;
  while (location.size() > 1 && location.back() == '/') location.pop_back();
  const std::filesystem::path loc(location);
  std::string base = loc.filename(), parent = loc.parent_path();
  if (location[0] != '/') parent = parent.empty() ? root : fs_join(root, parent);
  std::string a = real_path(root), b = real_path(parent);
  bool same = !a.empty() && a == b;
  std::string here = fs_join(a.empty() ? root : a, name);
  if (same && base == name) return true;
  err =
      "this server keeps a Study in its folder of the project, '" + here + "', not at '" + given.substr(0, 1024) + "'";
  return false;
}

bool study_create(const ExclusiveLock &, const std::string &root, const std::string &name, const std::string &physical,
                  std::string &err) {
  if (fs_exists(fs_join(root, name))) {
    err = "'" + name + "' already exists";
    return false;
  }
  if (!study_location_ok(root, name, physical, err)) return false;
  std::string tmp = fs_temp_name(root, "new");
  std::string tpath = fs_join(root, tmp);
  nlohmann::json j = {{"physical_name", physical}};
  std::string text = j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  bool ok = fs_make_dir(root, tmp, false, err) &&
            fs_create_file(fs_join(tpath, kStudyJson), text.data(), text.size(), err) && fs_sync_dir(tpath, err) &&
            fs_rename_in(root, tmp, name, err);
  if (!ok) fs_remove_quietly(tpath);
  return ok;
}

bool dir_create(const ExclusiveLock &, const std::string &spath, const std::string &name, std::string &err) {
  if (fs_exists(fs_join(spath, name))) {
    err = "'" + name + "' already exists";
    return false;
  }
  return fs_make_dir(spath, name, true, err);
}

bool item_delete(const ExclusiveLock &, const std::string &parent, const std::string &name, std::string &err) {
  return fs_remove_tree(parent, name, err);
}

/* ---------------- start-up check ---------------- */

static bool check_study_json(const std::string &spath, std::string &err) {
  std::string p = fs_join(spath, kStudyJson);
  if (!fs_exists(p)) return true;
  std::string text;
  if (!fs_read_file(p, text, err)) return false;
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || (j.contains("physical_name") && !j["physical_name"].is_string())) {
    err = p + ": must be a JSON object with a string \"physical_name\"";
    return false;
  }
  return true;
}

/* Only a folder that holds a Study with its description is a project: an
 * empty folder, the working directory or a mistyped path is refused as it
 * was, without even a lock file left in it. The lock file is made only once
 * a project has been found, so it marks a folder served before: a project
 * whose every Study was deleted through a server stays one, and can be
 * given new Studies at the next start. */
static bool is_project(const std::string &root, std::string &err) {
  if (!fs_is_dir(root)) {
    err = "project directory '" + root + "' does not exist or is not a directory";
    return false;
  }
  if (fs_exists(fs_join(root, kLockName))) return true;
  std::vector<std::string> studies;
  if (!fs_list_dirs(root, studies, err)) return false;
  for (const std::string &s : studies)
    if (name_problem(s).empty() && fs_exists(fs_join(fs_join(root, s), kStudyJson))) return true;
  err = "'" + root + "' is not a project: none of its folders is a Study with its " + kStudyJson;
  return false;
}

/* With sweep, what interrupted changes left behind goes too. */
static bool check_tree(const std::string &root, std::string &err, bool sweep) {
  std::vector<std::string> studies, dirs, files;
  if (sweep) fs_sweep_leftovers(root);
  if (!fs_list_dirs(root, studies, err)) return false;
  for (const std::string &s : studies) {
    std::string spath = fs_join(root, s);
    std::string why = name_problem(s);
    if (!why.empty()) {
      err = spath + ": " + why;
      return false;
    }
    if (sweep) fs_sweep_leftovers(spath);
    if (!check_study_json(spath, err) || !fs_list_dirs(spath, dirs, err)) return false;
    for (const std::string &d : dirs) {
      std::string dpath = fs_join(spath, d);
      why = name_problem(d);
      if (!why.empty()) {
        err = dpath + ": " + why;
        return false;
      }
      if (sweep) fs_sweep_leftovers(dpath);
      if (!fs_list_dirs(dpath, files, err)) return false;
      for (const std::string &f : files) {
        std::string fpath = fs_join(dpath, f);
        why = name_problem(f);
        if (!why.empty()) {
          err = fpath + ": " + why;
          return false;
        }
        FileModel model;
        if (!file_load(fpath, model, err)) return false;
        /* Data files that no description names were written by a change
         * that never reached its commit, or replaced by one that did. */
        if (!sweep) continue;
        std::set<std::string> live;
        for (const Variable &v : model.vars) live.insert(v.data);
        fs_sweep_leftovers(fpath, &live);
      }
    }
  }
  return true;
}

bool project_check(const std::string &root, std::string &err) {
  if (!is_project(root, err)) return false;
  /* A damaged project is refused untouched too: looked at first without the
   * lock. Without a lock file no server serves it, so that look is sound;
   * with one, a change under way could mislead it, and the look under the
   * lock decides. */
  bool served = fs_exists(fs_join(root, kLockName));
  if (!check_tree(root, err, false) && !served) return false;
  /* The sweep must not take what a change under way has written. */
  bool ok = (lock_project(root, true, err) || lock_project(root, false, err)) && check_tree(root, err, true);
  tree_unlock();
  return ok;
}
