/*
 * The project tree on disk: see project.h and README.md.
 */
#include "project.h"

#include <unistd.h>

#include <new>
#include <nlohmann/json.hpp>
#include <set>

#include "storage.h"

static const char *const kFileJson = "file.json";
static const char *const kStudyJson = "study.json";

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

bool file_load(const std::string &fpath, FileModel &f, std::string &err) {
  std::string text;
  if (!fs_read_file(fs_join(fpath, kFileJson), text, err)) return false;
  if (!file_from_json(text, f, err)) {
    err = fs_join(fpath, kFileJson) + ": " + err;
    return false;
  }
  for (const Variable &v : f.vars) {
    if (v.data.empty()) continue;
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

bool file_values(const std::string &fpath, const FileModel &f, const Variable &v, std::vector<double> &out,
                 std::string &err) {
  try {
    if (v.implicit) {
      grid_coordinates(f, v.kind - VK_XG, out);
      return true;
    }
    size_t n = (size_t)var_value_count(f, v);
    if (v.data.empty()) {
      out.assign(n, v.kind == VK_SELECTION ? 0.0 : VEK_SERVER_UNDEF);
      return true;
    }
    out.resize(n);
    return fs_read_doubles(fs_join(fpath, v.data), n, out.data(), err);
  } catch (const std::bad_alloc &) {
    err = "not enough memory for the values of '" + v.name + "'";
    return false;
  }
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
    if ((int64_t)c.values->size() != var_value_count(next, *v)) {
      err = "internal error: wrong number of values for '" + c.var + "'";
      return false;
    }
    std::string name;
    do {
      name = v->name + "." + std::to_string(++next.generation) + ".bin";
    } while (fs_exists(fs_join(fpath, name)));
    if (!fs_create_doubles(fs_join(fpath, name), c.values->data(), c.values->size(), err)) return false;
    created.push_back(name);
    v->data = name;
  }
  return true;
}

bool file_commit(const std::string &fpath, const FileModel &prev, FileModel &next,
                 const std::vector<DataChange> &changes, std::string &err) {
  std::vector<std::string> created;
  bool ok = write_changes(fpath, next, changes, created, err);
  if (ok) {
    std::string text = file_to_json(next);
    ok = fs_replace_file(fpath, kFileJson, text.data(), text.size(), err);
  }
  if (!ok) {
    for (const std::string &n : created) unlink(fs_join(fpath, n).c_str());
    return false;
  }
  std::set<std::string> live;
  for (const Variable &v : next.vars)
    if (!v.data.empty()) live.insert(v.data);
  for (const Variable &v : prev.vars)
    if (!v.data.empty() && !live.count(v.data)) unlink(fs_join(fpath, v.data).c_str());
  return true;
}

bool file_create(const std::string &dpath, const std::string &name, FileModel &f,
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
  bool ok = fs_make_dir(dpath, tmp, err) && write_changes(tpath, f, changes, created, err);
  if (ok) {
    std::string text = file_to_json(f);
    ok = fs_create_file(fs_join(tpath, kFileJson), text.data(), text.size(), err) && fs_sync_dir(tpath, err) &&
         fs_rename_in(dpath, tmp, name, err);
  }
  if (!ok) fs_remove_quietly(tpath);
  return ok;
}

bool study_create(const std::string &root, const std::string &name, const std::string &physical, std::string &err) {
  if (fs_exists(fs_join(root, name))) {
    err = "'" + name + "' already exists";
    return false;
  }
  std::string tmp = fs_temp_name(root, "new");
  std::string tpath = fs_join(root, tmp);
  nlohmann::json j = {{"physical_name", physical}};
  std::string text = j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  bool ok = fs_make_dir(root, tmp, err) && fs_create_file(fs_join(tpath, kStudyJson), text.data(), text.size(), err) &&
            fs_sync_dir(tpath, err) && fs_rename_in(root, tmp, name, err);
  if (!ok) fs_remove_quietly(tpath);
  return ok;
}

bool dir_create(const std::string &spath, const std::string &name, std::string &err) {
  if (fs_exists(fs_join(spath, name))) {
    err = "'" + name + "' already exists";
    return false;
  }
  return fs_make_dir(spath, name, err);
}

bool item_delete(const std::string &parent, const std::string &name, std::string &err) {
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

bool project_check(const std::string &root, std::string &err) {
  if (!fs_is_dir(root)) {
    err = "project directory '" + root + "' does not exist or is not a directory";
    return false;
  }
  std::vector<std::string> studies, dirs, files;
  fs_sweep_leftovers(root);
  if (!fs_list_dirs(root, studies, err)) return false;
  for (const std::string &s : studies) {
    std::string spath = fs_join(root, s);
    std::string why = name_problem(s);
    if (!why.empty()) {
      err = spath + ": " + why;
      return false;
    }
    fs_sweep_leftovers(spath);
    if (!check_study_json(spath, err) || !fs_list_dirs(spath, dirs, err)) return false;
    for (const std::string &d : dirs) {
      std::string dpath = fs_join(spath, d);
      why = name_problem(d);
      if (!why.empty()) {
        err = dpath + ": " + why;
        return false;
      }
      fs_sweep_leftovers(dpath);
      if (!fs_list_dirs(dpath, files, err)) return false;
      for (const std::string &f : files) {
        std::string fpath = fs_join(dpath, f);
        why = name_problem(f);
        if (!why.empty()) {
          err = fpath + ": " + why;
          return false;
        }
        fs_sweep_leftovers(fpath);
        FileModel model;
        if (!file_load(fpath, model, err)) return false;
      }
    }
  }
  return true;
}
