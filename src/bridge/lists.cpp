/*
 * Catalogue entry points: list one level of the tree along a path given by
 * name, creating or deleting one item on the way, without any dialogue.
 * Each returns the names (empty on failure) and "error".
 */
#include <string>
#include <vector>

#include "bridge.h"
#include "entry.h"

/* The body of a list entry point: `fill` makes the list (0 done, 1 failed),
 * whose names are returned under `label`, none on failure. */
template <class F>
static SEXP names_entry(const char *label, F fill) {
  return st_entry([&]() -> SEXP {
    st_names list;
    int error = fill(list);
    std::vector<std::string> names;
    if (!error) names = RC_set_array_char(list.n, list.items);
    return Rcpp::List::create(Rcpp::Named(label) = names, Rcpp::Named("error") = error);
  });
}

static int study_list(SEXP s_study_new, SEXP s_physical_new, SEXP s_study_del, st_names &list) {
  if (st_check_validity(0)) return 1;
  if (VEKClientGetStudyList(&list.n, &list.items)) return 1;
  if (!st_get_local_name(s_study_new, ST_LEVEL_STUDY)) {
    std::string physical = RC_get_value_char(s_physical_new, NULL);
    if (st_create_study(LOC_study, physical.c_str(), 1, &list.n, &list.items)) return 1;
  }
  if (!st_get_local_name(s_study_del, ST_LEVEL_STUDY)) {
    if (st_delete_study(LOC_study, &list.n, &list.items)) return 1;
  }
  return 0;
}

extern "C" SEXP IGetStudyList(SEXP s_study_new, SEXP s_physical_new, SEXP s_study_del) {
  return names_entry("StudyList",
                     [&](st_names &list) { return study_list(s_study_new, s_physical_new, s_study_del, list); });
}

static int dir_list(SEXP s_study_name, SEXP s_dir_new, SEXP s_dir_del, st_names &list) {
  if (st_check_validity(0)) return 1;
  if (st_define_study(s_study_name)) return 1;
  if (VEKClientGetDirectoryList(&list.n, &list.items)) return 1;
  if (!st_get_local_name(s_dir_new, ST_LEVEL_DIRECTORY)) {
    if (st_create_directory(LOC_directory, &list.n, &list.items)) return 1;
  }
  if (!st_get_local_name(s_dir_del, ST_LEVEL_DIRECTORY)) {
    if (st_delete_directory(LOC_directory, &list.n, &list.items)) return 1;
  }
  return 0;
}

extern "C" SEXP IGetDirList(SEXP s_study_name, SEXP s_dir_new, SEXP s_dir_del) {
  return names_entry("DirList", [&](st_names &list) { return dir_list(s_study_name, s_dir_new, s_dir_del, list); });
}

static int file_list(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_del, st_names &list) {
  if (st_check_validity(0)) return 1;
  if (st_define_path(s_study_name, s_dir_name, NULL)) return 1;
  if (VEKClientGetFileList(&list.n, &list.items)) return 1;
  if (!st_get_local_name(s_file_del, ST_LEVEL_FILE)) {
    if (st_delete_file(LOC_file, &list.n, &list.items)) return 1;
  }
  return 0;
}

extern "C" SEXP IGetFileList(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_del) {
  return names_entry("FileList", [&](st_names &list) { return file_list(s_study_name, s_dir_name, s_file_del, list); });
}

static int selection_list(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, st_names &list) {
  if (st_check_validity(0)) return 1;
  if (st_define_path(s_study_name, s_dir_name, s_file_name)) return 1;
  if (VEKClientGetVariableListByType(VEK_VAR_TYPE_SELECTION, &list.n, &list.items)) return 1;
  return 0;
}

extern "C" SEXP IGetSelectionList(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name) {
  return names_entry("SelectionList",
                     [&](st_names &list) { return selection_list(s_study_name, s_dir_name, s_file_name, list); });
}

static int variable_list(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_var_del, st_names &list) {
  if (st_check_validity(0)) return 1;
  if (st_define_path(s_study_name, s_dir_name, s_file_name)) return 1;
  if (VEKClientGetVariableListByType(VEK_VAR_TYPE_FLOAT_ALL, &list.n, &list.items)) return 1;
  if (!st_get_local_name(s_var_del, ST_LEVEL_VARIABLE)) {
    if (st_delete_variable(LOC_variable, &list.n, &list.items)) return 1;
  }
  return 0;
}

extern "C" SEXP IGetVariableList(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_var_del) {
  return names_entry("VariableList", [&](st_names &list) {
    return variable_list(s_study_name, s_dir_name, s_file_name, s_var_del, list);
  });
}

static int create_dir(SEXP s_dir_name, SEXP s_study_name, SEXP s_flag_allow) {
  int must_create = 0;
  if (st_check_validity(0)) return 1;
  if (st_define_study(s_study_name)) return 1;
  if (st_define_directory(s_dir_name, s_flag_allow, 0, &must_create)) return 1;
  if (!must_create) return 0;
  st_names list;
  return st_create_directory(LOC_directory, &list.n, &list.items);
}

extern "C" SEXP ICreateDir(SEXP s_dir_name, SEXP s_study_name, SEXP s_flag_allow) {
  return st_entry([&]() -> SEXP {
    st_get_flag(s_flag_allow, ST_FLAG_ALLOW); /* refused before anything changes */
    return Rcpp::List::create(Rcpp::Named("error") = create_dir(s_dir_name, s_study_name, s_flag_allow));
  });
}
