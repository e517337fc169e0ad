/*
 * The whole project tree for ListTree(): every File of every Directory of
 * every Study (or of the Study or Directory named), each described once,
 * without a value read.
 *
 * The path functions list a level again before they set each name, to
 * check it; a walk sets only names the server has just listed, so each
 * level is listed once and each item made current once: a File costs its
 * setting, its description and its two variable lists.
 */
#include <cstring>
#include <string>
#include <vector>

#include "bridge.h"
#include "entry.h"
#include "vek_internal.h"

namespace {

struct tree_rows {
  std::vector<std::string> study, directory, file;
  std::vector<int> type, ndim, nech, nlines;
  std::vector<std::vector<int>> nodes;
  std::vector<std::vector<std::string>> variables, selections;
  /* Studies without Directories ("" for the Directory) and Directories
   * without Files: they have no row, but belong to the tree, after the
   * rows of `empty_after` Files. */
  std::vector<std::string> empty_study, empty_directory;
  std::vector<int> empty_after;
};

const char *item(const st_names &list, int i) { return list.items[i] != NULL ? list.items[i] : ""; }

bool listed(const st_names &list, const char *name) {
  for (int i = 0; i < list.n; i++)
    if (strcmp(item(list, i), name) == 0) return true;
  return false;
}

/* Sorts the variables of the current File (INFO_VEK) into selections and
 * the others, coordinates left out. */
bool file_variables(std::vector<std::string> &variables, std::vector<std::string> &selections) {
  const VEKFileInfo &f = INFO_VEK;
  const char *coordinates[] = {f.xg_var_name, f.yg_var_name, f.zg_var_name};
  st_names all;
  if (VEKClientGetVariableList(&all.n, &all.items)) return true;
  std::vector<int> selection(all.n, 0), coordinate(all.n, 0);
  for (int i = 0; i < all.n; i++)
    for (const char *c : coordinates)
      if (c[0] != '\0' && strcmp(item(all, i), c) == 0) coordinate[i] = 1;
  if (_vek_is_supported("CVARTLST", false)) {
    st_names sel;
    if (VEKClientGetVariableListByType(VEK_VAR_TYPE_SELECTION, &sel.n, &sel.items)) return true;
    for (int i = 0; i < all.n; i++) selection[i] = listed(sel, item(all, i));
  } else {
    /* A server that lists no variables by type: each one is described. */
    for (int i = 0; i < all.n; i++) {
      VEKVariableInfo info{};
      if (VEKClientSetVariable(item(all, i)) || VEKClientGetVariableInfo(&info)) return true;
      selection[i] = info.bit_length == 1 && info.type != VEK_VAR_TYPE_CHAR;
      if (info.type == VEK_VAR_TYPE_XG || info.type == VEK_VAR_TYPE_YG || info.type == VEK_VAR_TYPE_ZG)
        coordinate[i] = 1;
    }
  }
  for (int i = 0; i < all.n; i++) {
    if (coordinate[i]) continue;
    (selection[i] ? selections : variables).push_back(item(all, i));
  }
  return false;
}

bool describe_file(const char *study, const char *directory, const char *file, tree_rows &t) {
  st_define(ST_LEVEL_FILE, 1, file);
  if (VEKClientSetFile(file) || st_file_from_vek()) return true;
  std::vector<std::string> variables, selections;
  if (file_variables(variables, selections)) return true;
  const F_Desc &d = DESC_VEK;
  int type = INFO_VEK.type;
  int lines = type == VEK_FILE_TYPE_GRAVITY_LINES || type == VEK_FILE_TYPE_CORE_LINES;
  t.study.push_back(study);
  t.directory.push_back(directory);
  t.file.push_back(file);
  t.type.push_back(type);
  t.ndim.push_back(d.ndim);
  t.nech.push_back(d.nech);
  t.nlines.push_back(lines ? INFO_VEK.item_number : 0);
  int ndim = d.ndim < 0 ? 0 : d.ndim > 3 ? 3 : d.ndim;
  t.nodes.push_back(d.flag_grid ? std::vector<int>(d.nx, d.nx + ndim) : std::vector<int>());
  t.variables.push_back(variables);
  t.selections.push_back(selections);
  return false;
}

void add_empty(tree_rows &t, const char *study, const char *directory) {
  t.empty_study.push_back(study);
  t.empty_directory.push_back(directory);
  t.empty_after.push_back((int)t.file.size());
}

/* The Files of the Directories of the current Study; `wanted` (when not
 * empty) keeps the Directory of that name alone. *found tells whether it
 * was there. */
bool walk_study(const char *study, const std::string &wanted, tree_rows &t, int *found) {
  st_names dirs;
  if (VEKClientGetDirectoryList(&dirs.n, &dirs.items)) return true;
  if (dirs.n == 0 && wanted.empty()) add_empty(t, study, "");
  for (int j = 0; j < dirs.n; j++) {
    const char *dir = item(dirs, j);
    if (!wanted.empty() && wanted != dir) continue;
    *found = 1;
    st_define(ST_LEVEL_DIRECTORY, 1, dir);
    if (VEKClientSetDirectory(dir)) return true;
    st_names files;
    if (VEKClientGetFileList(&files.n, &files.items)) return true;
    if (files.n == 0) add_empty(t, study, dir);
    for (int k = 0; k < files.n; k++)
      if (describe_file(study, dir, item(files, k), t)) return true;
  }
  return false;
}

int walk(SEXP s_study_name, SEXP s_dir_name, tree_rows &t) {
  if (st_check_validity(0)) return 1;
  /* The names wait in the LOC_ buffers of their levels, so that a refusal
   * says which level it concerns. */
  std::string wanted_study = st_get_local_name(s_study_name, ST_LEVEL_STUDY) ? "" : LOC_study;
  std::string wanted_dir = st_get_local_name(s_dir_name, ST_LEVEL_DIRECTORY) ? "" : LOC_directory;
  st_names studies;
  if (VEKClientGetStudyList(&studies.n, &studies.items)) return 1;
  if (!wanted_study.empty() && st_status(1, 1, studies.n, studies.items, LOC_study)) return 1;
  int found = 0;
  for (int i = 0; i < studies.n; i++) {
    const char *study = item(studies, i);
    if (!wanted_study.empty() && wanted_study != study) continue;
    st_define(ST_LEVEL_STUDY, 1, study);
    if (VEKClientSetStudy(study) || walk_study(study, wanted_dir, t, &found)) return 1;
  }
  if (!wanted_dir.empty() && !found) {
    st_refuse_item(ST_NOT_FOUND, ST_LEVEL_DIRECTORY, LOC_directory, 1, "The name '%s' does not exist", LOC_directory);
    return 1;
  }
  return 0;
}

template <class T>
Rcpp::List as_list(const std::vector<T> &rows) {
  Rcpp::List out(rows.size());
  for (size_t i = 0; i < rows.size(); i++) out[i] = Rcpp::wrap(rows[i]);
  return out;
}

}  // namespace

/* ITree(study, directory): "" for every Study, every Directory. */
extern "C" SEXP ITree(SEXP s_study_name, SEXP s_dir_name) {
  return st_entry([&]() -> SEXP {
    tree_rows t;
    int error = walk(s_study_name, s_dir_name, t);
    if (error) return Rcpp::List::create(Rcpp::Named("error") = error);
    Rcpp::List rows = Rcpp::List::create(
        Rcpp::Named("study") = t.study, Rcpp::Named("directory") = t.directory, Rcpp::Named("file") = t.file,
        Rcpp::Named("type") = t.type, Rcpp::Named("ndim") = t.ndim, Rcpp::Named("nech") = t.nech,
        Rcpp::Named("nlines") = t.nlines, Rcpp::Named("nodes") = as_list(t.nodes),
        Rcpp::Named("variables") = as_list(t.variables), Rcpp::Named("selections") = as_list(t.selections));
    return Rcpp::List::create(Rcpp::Named("rows") = rows, Rcpp::Named("empty_study") = t.empty_study,
                              Rcpp::Named("empty_directory") = t.empty_directory,
                              Rcpp::Named("empty_after") = t.empty_after, Rcpp::Named("error") = error);
  });
}
