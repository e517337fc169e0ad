/*
 * Creation and deletion of items on the server, keeping the target
 * consistent afterwards: the changed level and every level below are
 * cleared, and a created item becomes the target of its level.
 *
 * Names are copied on entry: callers may hand a name that lives in the list
 * being replaced or in a target buffer that the reset overwrites.
 */
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "bridge.h"

static bool create_study_fail(int *nb, char ***list) {
  st_reset(ST_LEVEL_STUDY);
  st_free(nb, list);
  return true;
}

bool st_create_study(const char *study_name, const char *physical_name, int flag_allow, int *nb_study_loc,
                     char ***studies_loc) {
  const std::string name = study_name != NULL ? study_name : "";
  if (physical_name == NULL || physical_name[0] == '\0') {
    st_refuse(ST_USAGE, "You must define the Physical Name");
    return create_study_fail(nb_study_loc, studies_loc);
  }
  bool exists = st_status(0, 1, *nb_study_loc, *studies_loc, name.c_str());
  if (exists && !flag_allow) return create_study_fail(nb_study_loc, studies_loc);
  if (!exists && VEKClientNewStudy(name.c_str(), physical_name)) return create_study_fail(nb_study_loc, studies_loc);
  st_free(nb_study_loc, studies_loc);
  if (VEKClientGetStudyList(nb_study_loc, studies_loc)) return create_study_fail(nb_study_loc, studies_loc);
  st_reset(ST_LEVEL_STUDY);
  st_define(ST_LEVEL_STUDY, 1, name.c_str());
  if (VEKClientSetStudy(name.c_str())) return create_study_fail(nb_study_loc, studies_loc);
  if (FLAG_DEBUG) message("Study '%s' created successfully\n", name.c_str());
  return false;
}

static int create_directory_fail(int *nb, char ***list) {
  st_free(nb, list);
  st_reset(ST_LEVEL_DIRECTORY);
  return 1;
}

int st_create_directory(const char *directory, int *nb_dir_loc, char ***directories_loc) {
  const std::string name = directory != NULL ? directory : "";
  if (st_status(0, 1, *nb_dir_loc, *directories_loc, name.c_str()))
    return create_directory_fail(nb_dir_loc, directories_loc);
  if (VEKClientNewDirectory(name.c_str())) return create_directory_fail(nb_dir_loc, directories_loc);
  st_free(nb_dir_loc, directories_loc);
  if (VEKClientGetDirectoryList(nb_dir_loc, directories_loc)) return create_directory_fail(nb_dir_loc, directories_loc);
  st_reset(ST_LEVEL_DIRECTORY);
  st_define(ST_LEVEL_DIRECTORY, 1, name.c_str());
  if (VEKClientSetDirectory(name.c_str())) return create_directory_fail(nb_dir_loc, directories_loc);
  if (FLAG_DEBUG) message("Directory '%s' created successfully\n", name.c_str());
  return 0;
}

/* Sends the points of DESC_DB. The request takes X and Y always: axes the
 * Db does not have are sent as zeros rather than read past its block. */
static bool new_points_file(const char *name) {
  static double none = 0.;
  int nech = DESC_DB.nech > 0 ? DESC_DB.nech : 0;
  int ndim = DESC_DB.ndim;
  const double *coor = DESC_DB.coor;
  const double *axis[3] = {&none, &none, NULL};
  if (nech > INT_MAX / (int)sizeof(double)) {
    st_refuse(ST_USAGE, "The Db has too many samples (%d) for one File", nech);
    return true;
  }
  std::vector<double> zeros;
  if (ndim < 2 || coor == NULL) zeros.assign((size_t)nech, 0.);
  if (nech > 0) {
    axis[0] = (ndim >= 1 && coor != NULL) ? coor : zeros.data();
    axis[1] = (ndim >= 2 && coor != NULL) ? coor + nech : zeros.data();
    axis[2] = (ndim >= 3 && coor != NULL) ? coor + 2 * (size_t)nech : NULL;
  } else if (ndim >= 3) {
    axis[2] = &none;
  }
  return VEKClientNewPointsFile(name, nech, axis[0], axis[1], axis[2]) != 0;
}

static bool create_file_steps(const char *name) {
  st_names list;
  if (VEKClientGetFileList(&list.n, &list.items)) return true;
  if (st_status(0, 1, list.n, list.items, name)) return true;
  st_journal_note(ST_NOTE_FILE, name);
  if (DESC_DB.flag_grid) {
    if (VEKClientNewGridFile(name, DESC_DB.ndim, DESC_DB.x0[0], DESC_DB.x0[1], DESC_DB.x0[2], DESC_DB.dx[0],
                             DESC_DB.dx[1], DESC_DB.dx[2], DESC_DB.nx[0], DESC_DB.nx[1], DESC_DB.nx[2]))
      return true;
    if (VEKClientSetFile(name)) return true;
    /* A NaN angle is no zero angle either: let the server see it. */
    int rotated = 0;
    for (int i = 0; i < 3; i++)
      if (!(DESC_DB.angle[i] == 0.)) rotated = 1;
    if (rotated && VEKClientGridModifyRotation(DESC_DB.angle[0], DESC_DB.angle[1], DESC_DB.angle[2])) return true;
  } else {
    if (new_points_file(name)) return true;
    if (VEKClientSetFile(name)) return true;
  }
  return false;
}

int st_create_file(const char *file_name) {
  const std::string name = file_name != NULL ? file_name : "";
  if (create_file_steps(name.c_str())) {
    st_reset(ST_LEVEL_FILE);
    return 1;
  }
  st_reset(ST_LEVEL_FILE);
  st_define(ST_LEVEL_FILE, 1, name.c_str());
  if (FLAG_DEBUG) message("File '%s' created successfully\n", REF_file);
  return 0;
}

static int format_code(int type) {
  switch (type) {
    case 1: return VEK_FORMAT_TYPE_INTEGER;
    case 2: return VEK_FORMAT_TYPE_EXPONENT;
    case 3: return VEK_FORMAT_TYPE_FREE;
    default: return VEK_FORMAT_TYPE_DECIMAL;
  }
}

int st_create_variable(char *var_name, const char *unit, int type, int ncar, int ndig, int nbits) {
  const std::string name = var_name != NULL ? var_name : "";
  const char *unit_arg = (unit != NULL && unit[0] != '\0') ? unit : NULL;
  st_journal_note(ST_NOTE_VARIABLE, name.c_str());
  bool failed = VEKClientNewDoubleVariable(name.c_str(), nbits, format_code(type), ncar, ndig, unit_arg);
  if (!failed) {
    st_names list; /* only a check that the server lists the File again */
    failed = VEKClientGetVariableList(&list.n, &list.items);
  }
  if (!failed) {
    st_reset(ST_LEVEL_VARIABLE);
    st_define(ST_LEVEL_VARIABLE, 1, name.c_str());
    failed = VEKClientSetVariable(REF_variable);
  }
  if (failed) {
    st_reset(ST_LEVEL_VARIABLE);
    return 1;
  }
  if (FLAG_DEBUG) message("Variable '%s' created successfully\n", REF_variable);
  return 0;
}

/* One deletion scheme for the four levels. */
typedef int (*set_func)(const char *);
typedef int (*delete_func)(void);
typedef int (*list_func)(int *, char ***);

static bool delete_item(int level, const char *what, const char *item_name, int *nb, char ***list, set_func set,
                        delete_func del, list_func relist) {
  const std::string name = item_name != NULL ? item_name : "";
  bool failed = st_status(1, 1, *nb, *list, name.c_str());
  if (!failed) failed = set(name.c_str()) || del();
  if (!failed) {
    if (FLAG_DEBUG) message("%s '%s' deleted successfully\n", what, name.c_str());
    st_reset(level);
    st_free(nb, list);
    failed = relist(nb, list);
  }
  if (failed) {
    st_free(nb, list);
    st_reset(level);
    return true;
  }
  return false;
}

static int float_variable_list(int *count, char ***names) {
  return VEKClientGetVariableListByType(VEK_VAR_TYPE_FLOAT_ALL, count, names);
}

bool st_delete_study(const char *study_name, int *nb_study_loc, char ***studies_loc) {
  return delete_item(ST_LEVEL_STUDY, "Study", study_name, nb_study_loc, studies_loc, VEKClientSetStudy,
                     VEKClientDeleteStudy, VEKClientGetStudyList);
}

bool st_delete_directory(const char *dir_name, int *nb_dir_loc, char ***directories_loc) {
  return delete_item(ST_LEVEL_DIRECTORY, "Directory", dir_name, nb_dir_loc, directories_loc, VEKClientSetDirectory,
                     VEKClientDeleteDirectory, VEKClientGetDirectoryList);
}

bool st_delete_file(const char *file_name, int *nb_file_loc, char ***files_loc) {
  return delete_item(ST_LEVEL_FILE, "File", file_name, nb_file_loc, files_loc, VEKClientSetFile, VEKClientDeleteFile,
                     VEKClientGetFileList);
}

bool st_delete_variable(const char *var_name, int *nb_var_loc, char ***variables_loc) {
  return delete_item(ST_LEVEL_VARIABLE, "Variable", var_name, nb_var_loc, variables_loc, VEKClientSetVariable,
                     VEKClientDeleteVariable, float_variable_list);
}
