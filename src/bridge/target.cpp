/*
 * The bridge's connection flag and its target (Study / Directory / File /
 * Selection / Variable), kept between R calls, and the routines over lists of
 * names that every other bridge file uses.
 */
#include <cstdarg>
#include <cstring>

#include "bridge.h"
#include "entry.h"

int IS_CONNECTED;
int FLAG_DEBUG;
char STR_empty[ST_NAME_SIZE] = ST_NONE;

char REF_study[ST_NAME_SIZE] = ST_NONE;
char REF_directory[ST_NAME_SIZE] = ST_NONE;
char REF_file[ST_NAME_SIZE] = ST_NONE;
char REF_selection[ST_NAME_SIZE] = ST_NONE;
char REF_variable[ST_NAME_SIZE] = ST_NONE;

int Nstudy = -1;
int Ndirectory = -1;
int Nfile = -1;
int Nselection = -1;
int Nvariable = -1;

char LOC_study[ST_NAME_SIZE] = ST_NONE;
char LOC_directory[ST_NAME_SIZE] = ST_NONE;
char LOC_file[ST_NAME_SIZE] = ST_NONE;
char LOC_selection[ST_NAME_SIZE] = ST_NONE;
char LOC_variable[ST_NAME_SIZE] = ST_NONE;

char REF_path[ST_NAME_SIZE] = ST_NONE;
char REF_phystudy[ST_NAME_SIZE] = ST_NONE;
char NewName[ST_PATH_SIZE] = "";

void st_copy_name(char *dest, const char *src) {
  if (dest == NULL) return;
  if (src == NULL) src = "";
  size_t n = strlen(src);
  if (n > ST_NAME_MAX) n = ST_NAME_MAX;
  memmove(dest, src, n); /* a caller may hand a buffer its own content */
  dest[n] = '\0';
}

char *st_ref_name(int mode) {
  switch (mode) {
    case ST_LEVEL_STUDY: return REF_study;
    case ST_LEVEL_DIRECTORY: return REF_directory;
    case ST_LEVEL_FILE: return REF_file;
    case ST_LEVEL_SELECTION: return REF_selection;
    case ST_LEVEL_VARIABLE: return REF_variable;
    default: return NULL;
  }
}

char *st_loc_name(int mode) {
  switch (mode) {
    case ST_LEVEL_STUDY: return LOC_study;
    case ST_LEVEL_DIRECTORY: return LOC_directory;
    case ST_LEVEL_FILE: return LOC_file;
    case ST_LEVEL_SELECTION: return LOC_selection;
    case ST_LEVEL_VARIABLE: return LOC_variable;
    default: return NULL;
  }
}

int *st_rank(int mode) {
  switch (mode) {
    case ST_LEVEL_STUDY: return &Nstudy;
    case ST_LEVEL_DIRECTORY: return &Ndirectory;
    case ST_LEVEL_FILE: return &Nfile;
    case ST_LEVEL_SELECTION: return &Nselection;
    case ST_LEVEL_VARIABLE: return &Nvariable;
    default: return NULL;
  }
}

bool st_is_defined(int mode) {
  const char *name = st_ref_name(mode);
  return name != NULL && strcmp(name, STR_empty) != 0;
}

/* ---- refusals ---- */

static const int KIND_CODES[] = {UTIL_KIND_USAGE,          UTIL_KIND_NOT_CONNECTED, UTIL_KIND_NOT_FOUND,
                                 UTIL_KIND_ALREADY_EXISTS, UTIL_KIND_MISMATCH,      UTIL_KIND_COMMUNICATION};
static_assert(sizeof KIND_CODES / sizeof KIND_CODES[0] == ST_KIND_COUNT, "a support kind for every bridge kind");

int st_kind_code(st_kind kind) { return (unsigned)kind < ST_KIND_COUNT ? KIND_CODES[kind] : UTIL_KIND_NONE; }

void st_refuse(st_kind kind, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  util_refuse_line(0, st_kind_code(kind), 0, NULL, 1, format, ap);
  va_end(ap);
}

void st_refuse_item(st_kind kind, int level, const char *item, int given, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  util_refuse_line(0, st_kind_code(kind), level, item, given, format, ap);
  va_end(ap);
}

void st_abort(st_kind kind, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  util_refuse_line(1, st_kind_code(kind), 0, NULL, 1, format, ap);
  va_end(ap);
}

static int LOC_GIVEN[6] = {1, 1, 1, 1, 1, 1};

void st_loc_given(int level, int given) {
  if (level >= 1 && level <= 5) LOC_GIVEN[level] = given;
}

/* The level whose LOC_ buffer holds `name` (the definitions by name hand
 * their buffer itself), or 0. */
static int loc_level(const char *name) {
  for (int level = ST_LEVEL_STUDY; level <= ST_LEVEL_VARIABLE; level++)
    if (name == st_loc_name(level)) return level;
  return 0;
}

/* ---- the target ---- */

static int refuse_undefined(int level, const char *text) {
  st_refuse_item(ST_USAGE, level, NULL, 1, "%s", text);
  return 1;
}

int st_check_validity(int mode) {
  if (!IS_CONNECTED) {
    st_refuse(ST_NOT_CONNECTED, "You must use the command 'ConnectOrvane' first");
    return 1;
  }
  if (mode == 0) return 0;
  if (!st_is_defined(ST_LEVEL_STUDY)) return refuse_undefined(ST_LEVEL_STUDY, "You must define the Study first");
  if (mode == 1) return 0;
  if (!st_is_defined(ST_LEVEL_DIRECTORY))
    return refuse_undefined(ST_LEVEL_DIRECTORY, "You must define the Directory first");
  if (mode == 2) return 0;
  if (!st_is_defined(ST_LEVEL_FILE)) return refuse_undefined(ST_LEVEL_FILE, "You must define the File first");
  if (mode == 3 || mode == 4) return 0;
  if (!st_is_defined(ST_LEVEL_VARIABLE))
    return refuse_undefined(ST_LEVEL_VARIABLE, "You must define the Variable first");
  return 0;
}

void st_reset(int mode) {
  if (mode == 100) return;
  int first = (mode >= 2 && mode <= 5) ? mode : 1;
  for (int level = first; level <= 5; level++) {
    *st_rank(level) = -1;
    st_copy_name(st_ref_name(level), STR_empty);
  }
}

void st_define(int mode, int value, const char *name) {
  if (mode < 1 || mode > 5) return;
  *st_rank(mode) = value;
  st_copy_name(st_ref_name(mode), name);
}

void st_print_items(int nchoice, char **choices) {
  message("List of the valid names:\n");
  for (int i = 0; i < nchoice && choices != NULL; i++)
    message(" %2d - %s\n", i + 1, choices[i] != NULL ? choices[i] : "");
}

bool st_status(int status, int verbose, int nchoice, char **choices, const char *local) {
  int found = 0;
  if (local == NULL) local = "";
  for (int i = 0; i < nchoice && choices != NULL; i++) {
    if (choices[i] != NULL && strcmp(choices[i], local) == 0) {
      found = 1;
      break;
    }
  }
  int level = loc_level(local);
  int given = level ? LOC_GIVEN[level] : 1;
  if (status == 1) {
    if (found) return false;
    if (verbose) {
      st_refuse_item(ST_NOT_FOUND, level, local, given, "The name '%s' does not exist", local);
      if (FLAG_DEBUG) st_print_items(nchoice, choices);
    }
    return true;
  }
  if (!found) return false;
  if (verbose) {
    st_refuse_item(ST_ALREADY_EXISTS, level, local, given, "The name '%s' already exists", local);
    if (FLAG_DEBUG) st_print_items(nchoice, choices);
  }
  return true;
}

void st_free(int *n_items, char ***r_items) {
  if (n_items == NULL || r_items == NULL) return;
  *r_items = VEKClientFreeStringArray(*n_items, *r_items);
  *n_items = 0;
}

void st_print_path(void) {
  static char path[ST_PATH_SIZE];
  static const int order[] = {ST_LEVEL_STUDY, ST_LEVEL_DIRECTORY, ST_LEVEL_FILE, ST_LEVEL_VARIABLE, ST_LEVEL_SELECTION};
  if (!st_is_defined(ST_LEVEL_STUDY)) return;
  path[0] = '\0';
  for (int level : order) {
    if (!st_is_defined(level)) continue;
    size_t used = strlen(path);
    if (used + 1 < sizeof path) snprintf(path + used, sizeof path - used, "%s/", st_ref_name(level));
  }
  message("\nCurrently in : %s", path);
}

/* The call that last confirmed the path (0: none yet) and the names it
 * confirmed. */
static unsigned long PATH_CALL = 0;
static char PATH_NAMES[3][ST_NAME_SIZE];

bool st_path_is_current(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name) {
  st_get_local_name(s_study_name, ST_LEVEL_STUDY);
  st_get_local_name(s_dir_name, ST_LEVEL_DIRECTORY);
  st_get_local_name(s_file_name, ST_LEVEL_FILE);
  if (!IS_CONNECTED || PATH_CALL == 0 || PATH_CALL + 1 != ST_CALL) return false;
  for (int level = ST_LEVEL_STUDY; level <= ST_LEVEL_FILE; level++) {
    const char *held = PATH_NAMES[level - 1];
    if (strcmp(st_loc_name(level), held) != 0 || strcmp(st_ref_name(level), held) != 0) return false;
  }
  return true;
}

void st_path_confirm(void) {
  for (int level = ST_LEVEL_STUDY; level <= ST_LEVEL_FILE; level++)
    st_copy_name(PATH_NAMES[level - 1], st_ref_name(level));
  PATH_CALL = ST_CALL;
}
