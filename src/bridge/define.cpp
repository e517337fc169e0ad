/*
 * Turning a name given by R into a level of the target: find the item and
 * make it current on the server, or prepare it for creation. Also the
 * filtered list of the variables of the current File.
 */
#include <climits>
#include <cstring>
#include <string>

#include "bridge.h"

int st_get_local_name(SEXP sexp_name, int level) {
  std::string name = RC_get_value_char(sexp_name, NULL);
  /* A cut name could designate, or delete, another item: refuse it. */
  if (name.size() > ST_NAME_MAX)
    st_abort(ST_USAGE, "Name longer than %d characters: '%.40s...'", ST_NAME_MAX, name.c_str());
  int flag_empty = name.empty();
  char *loc = st_loc_name(level);
  if (loc != NULL) st_copy_name(loc, flag_empty ? st_ref_name(level) : name.c_str());
  st_loc_given(level, !flag_empty);
  return flag_empty;
}

int st_get_flag(SEXP s_flag, const char *what) {
  if (s_flag == NULL || s_flag == R_NilValue) return 0;
  int flag = RC_get_value_integer(s_flag, NULL);
  if (IFFFF(flag)) util_throw_abort("The '%s' flag must be TRUE or FALSE, not NA", what);
  return flag;
}

bool st_define_study(SEXP s_study_name) {
  st_names list;
  st_get_local_name(s_study_name, ST_LEVEL_STUDY);
  if (VEKClientGetStudyList(&list.n, &list.items)) return true;
  if (st_status(1, 1, list.n, list.items, LOC_study)) return true;
  st_define(ST_LEVEL_STUDY, 1, LOC_study);
  if (VEKClientSetStudy(LOC_study)) return true;
  return false;
}

bool st_define_directory(SEXP s_dir_name, SEXP s_flag_allow, int mode, int *must_create) {
  st_names list;
  *must_create = 0;
  int flag_allow = st_get_flag(s_flag_allow, ST_FLAG_ALLOW);
  st_get_local_name(s_dir_name, ST_LEVEL_DIRECTORY);
  if (VEKClientGetDirectoryList(&list.n, &list.items)) return true;
  if (mode == 1) {
    if (st_status(1, 1, list.n, list.items, LOC_directory)) return true;
    st_define(ST_LEVEL_DIRECTORY, 1, LOC_directory);
    return VEKClientSetDirectory(LOC_directory) != 0;
  }
  if (st_status(0, !flag_allow, list.n, list.items, LOC_directory)) {
    if (!flag_allow) return true;
    st_define(ST_LEVEL_DIRECTORY, 1, LOC_directory);
    return false;
  }
  st_define(ST_LEVEL_DIRECTORY, 1, LOC_directory);
  *must_create = 1;
  return false;
}

/* Makes the File of LOC_file current and reads its description. */
static int set_file_and_describe(void) {
  st_define(ST_LEVEL_FILE, 1, LOC_file);
  if (VEKClientSetFile(LOC_file)) return 1;
  return st_file_from_vek();
}

int st_define_file(SEXP s_file_name, SEXP s_flag_allow, int mode, int *must_create) {
  st_names list;
  *must_create = 0;
  int flag_allow = st_get_flag(s_flag_allow, ST_FLAG_ALLOW);
  st_get_local_name(s_file_name, ST_LEVEL_FILE);
  if (VEKClientGetFileList(&list.n, &list.items)) return 1;
  if (mode == 1) {
    if (st_status(1, 1, list.n, list.items, LOC_file)) return 1;
    return set_file_and_describe();
  }
  if (st_status(0, !flag_allow, list.n, list.items, LOC_file)) {
    if (!flag_allow) return 1;
    return set_file_and_describe();
  }
  st_define(ST_LEVEL_FILE, 1, LOC_file);
  *must_create = 1;
  return 0;
}

int st_define_selection(SEXP s_sel_name, int mode, int *sel_defined, int *must_create) {
  *sel_defined = 0;
  *must_create = 0;
  st_get_local_name(s_sel_name, ST_LEVEL_SELECTION);
  if (strcmp(LOC_selection, STR_empty) == 0) {
    VEKClientSetSelection(NULL);
    return 0;
  }
  *sel_defined = 1;
  {
    st_names list;
    if (VEKClientGetVariableListByType(VEK_VAR_TYPE_SELECTION, &list.n, &list.items)) return 1;
    if (mode == 1) {
      if (st_status(1, 1, list.n, list.items, LOC_selection)) return 1;
      st_define(ST_LEVEL_SELECTION, 1, LOC_selection);
      VEKClientSetSelection(LOC_selection);
      return 0;
    }
  }
  if (st_clean_variable_and_selection(LOC_selection)) return 1;
  st_define(ST_LEVEL_SELECTION, 1, LOC_selection);
  *must_create = 1;
  return 0;
}

int st_define_variable(SEXP s_var_name, int mode, int *must_create) {
  *must_create = 0;
  st_get_local_name(s_var_name, ST_LEVEL_VARIABLE);
  {
    st_names list;
    if (VEKClientGetVariableListByType(VEK_VAR_TYPE_FLOAT_ALL, &list.n, &list.items)) return 1;
    if (mode == 1) {
      if (st_status(1, 1, list.n, list.items, LOC_variable)) return 1;
      st_define(ST_LEVEL_VARIABLE, 1, LOC_variable);
      return VEKClientSetVariable(LOC_variable) != 0;
    }
  }
  if (st_clean_variable_and_selection(LOC_variable)) return 1;
  st_define(ST_LEVEL_VARIABLE, 1, LOC_variable);
  *must_create = 1;
  return 0;
}

int st_set_selection(void) {
  const char *name = st_is_defined(ST_LEVEL_SELECTION) ? REF_selection : NULL;
  return VEKClientSetSelection(name) != 0;
}

bool st_clean_variable_and_selection(char *varname) {
  st_names list;
  if (VEKClientGetVariableListByType(VEK_VAR_TYPE_ANY, &list.n, &list.items)) return true;
  if (!st_status(1, 0, list.n, list.items, varname)) {
    /* Whatever its type, a variable of that name gives way to the new one. */
    st_delete_variable(varname, &list.n, &list.items);
  }
  return false;
}

static bool keep_variable(int flag_var, const VEKVariableInfo *info) {
  if (flag_var == 0) return info->bit_length == 1 && info->type != VEK_VAR_TYPE_CHAR;
  if (flag_var == -1)
    return info->type == VEK_VAR_TYPE_XG || info->type == VEK_VAR_TYPE_YG || info->type == VEK_VAR_TYPE_ZG;
  return true;
}

int st_varsel_list(int flag_var, int *arg_nb_var, int *arg_nb_util, char ***arg_variables, int **arg_ranks) {
  *arg_nb_var = 0;
  *arg_nb_util = 0;
  *arg_variables = NULL;
  *arg_ranks = NULL;
  if (VEKClientGetVariableList(arg_nb_var, arg_variables)) return 1;
  int nvar = *arg_nb_var;
  if (nvar <= 0) {
    st_refuse(ST_USAGE, "There is no variable in the File");
    return 1;
  }
  if ((size_t)nvar > (size_t)INT_MAX / sizeof(int))
    st_abort(ST_USAGE, "Memory Allocation failed (%d ranks) - Too large", nvar);
  int *ranks = (int *)mem_alloc(nvar * (int)sizeof(int), 1);
  int kept = 0;
  for (int i = 0; i < nvar; i++) {
    VEKVariableInfo info{};
    const char *name = (*arg_variables)[i] != NULL ? (*arg_variables)[i] : "";
    if (VEKClientSetVariable(name) || VEKClientGetVariableInfo(&info)) {
      *arg_nb_util = kept;
      *arg_ranks = kept > 0 ? ranks : (int *)mem_free((char *)ranks);
      return 1;
    }
    if (keep_variable(flag_var, &info)) ranks[kept++] = i;
  }
  *arg_nb_util = kept;
  if (kept > 0) {
    *arg_ranks = ranks;
    return 0;
  }
  mem_free((char *)ranks);
  if (flag_var == 0) return 0;
  st_refuse(ST_USAGE, "There is no valid variable in the File");
  return 1;
}

bool st_define_path(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name) {
  int must_create;
  if (st_define_study(s_study_name)) return true;
  if (st_define_directory(s_dir_name, NULL, 1, &must_create)) return true;
  if (s_file_name != NULL && st_define_file(s_file_name, NULL, 1, &must_create)) return true;
  return false;
}
