/*
 * Variables between R and the server: reading a designated variable (a
 * macro variable whole or item by item), writing an R vector into a
 * variable of the current File, and copying variables and selections by
 * name without dialogue.
 *
 * Grid values cross in Db order on the R side and in server order on the
 * wire (st_transpose). Undefined samples are 1.234e30 on the R side; the
 * server's own test value is translated on the way in.
 */
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "source2.h"

/* Length of the "[xxxxx]" suffix that ends the name of a macro variable. */
#define MACRO_SUFFIX_LEN 7

void st_copy_read_values(double *dest, const double *src, int64_t count, double test_val) {
  for (int64_t k = 0; k < count; k++) {
    double v = src[k];
    dest[k] = (v == test_val) ? UTIL_UNDEF_REAL : v;
  }
}

int st_double_bytes(int64_t count, const char *what) {
  if (count < 0 || count > (int64_t)(INT_MAX / sizeof(double))) {
    messerr("%s: %lld values do not fit in one transfer (at most %d)", what, (long long)count,
            (int)(INT_MAX / sizeof(double)));
    return -1;
  }
  return (int)(count * (int64_t)sizeof(double));
}

void st_check_variable_name(char *var_name) {
  if (var_name == NULL) return;
  for (char *p = var_name; *p != '\0'; p++)
    if (*p == '[' || *p == ']' || *p == '{' || *p == '}') *p = '_';
}

int st_variable_exists(char *var_name, int *exists) {
  st_names list;
  *exists = 0;
  if (VEKClientGetVariableList(&list.n, &list.items)) return 1;
  *exists = st_status(0, 1, list.n, list.items, var_name);
  return 0;
}

int st_define_macro(const char *var_name, int **ind, int *imacro) {
  VEKVariableInfo info;
  memset(&info, 0, sizeof info);
  *ind = NULL;
  *imacro = -1;
  if (VEKClientSetVariable(var_name)) return 1;
  if (VEKClientGetVariableInfo(&info)) return 1;
  if (info.type != VEK_VAR_TYPE_MACRO) return 0;
  int nmacro = 0;
  if (VEKClientGetMacroIndices(&nmacro, ind)) return 1;
  *imacro = lire_int("Enter the Macro index (0: all items)", 0, 0, 0, nmacro);
  return 0;
}

/* Whether the name ends with a bracketed suffix that can carry an item rank. */
static int has_macro_suffix(const char *name) {
  size_t len = strlen(name);
  return len >= MACRO_SUFFIX_LEN && name[len - MACRO_SUFFIX_LEN] == '[' && name[len - 1] == ']';
}

/* The name of the current variable tells which item was read: the rank
 * (not the server's index) replaces the suffix. */
static void write_item_rank(const char *var_name, int imacro) {
  size_t pos = strlen(var_name) - MACRO_SUFFIX_LEN;
  if (pos >= ST_NAME_SIZE - 1) return;
  snprintf(REF_variable + pos, ST_NAME_SIZE - pos, "[%05d]", imacro);
}

/* Reads item values of the current variable into `dest` (nech doubles). */
static int read_one_item(const char *var_name, int nech, int grid, int orientx, int orienty,
                         int orientz, double *dest) {
  st_client_array<double> values;
  double test_val = 0.;
  vek_long count = 0;
  if (VEKClientReadDoubleVariable(0, &test_val, &count, &values.p)) return 1;
  if (count != nech) {
    messerr("The server sent %lld values of '%s' where the File has %d samples", (long long)count,
            var_name, nech);
    return 1;
  }
  if (grid && st_transpose(1, orientx, orienty, orientz, values.p)) {
    messerr("The values of '%s' could not be put in grid order", var_name);
    return 1;
  }
  st_copy_read_values(dest, values.p, count, test_val);
  return 0;
}

double *st_read_variable(const char *var_name, int imacro, int orientx, int orienty, int orientz,
                         int *nb_var, int *nb_ech) {
  VEKFileInfo finfo;
  VEKVariableInfo vinfo;
  st_client_array<int> ind;
  int nmacro = 0;
  memset(&finfo, 0, sizeof finfo);
  memset(&vinfo, 0, sizeof vinfo);
  *nb_var = 0;
  *nb_ech = 0;

  if (VEKClientGetFileInfo(&finfo)) return NULL;
  if (finfo.s_number < 0 || finfo.s_number > INT_MAX) {
    messerr("The number of samples of the File (%lld) is not supported", (long long)finfo.s_number);
    return NULL;
  }
  int nech = (int)finfo.s_number;
  int grid = finfo.type == VEK_FILE_TYPE_GRID;
  /* The reordering walks the nodes of DESC_VEK: they must be these samples. */
  if (grid && st_grid_size() != nech) {
    messerr("The grid description (%d x %d x %d nodes) does not match its %d samples",
            DESC_VEK.nx[0], DESC_VEK.nx[1], DESC_VEK.nx[2], nech);
    return NULL;
  }

  if (VEKClientGetVariableInfo(&vinfo)) return NULL;
  if (vinfo.type == VEK_VAR_TYPE_CHAR) {
    messerr("The (character) variable '%s' cannot be read", REF_variable);
    return NULL;
  }
  int macro = vinfo.type == VEK_VAR_TYPE_MACRO;
  int nvar = 1;
  if (macro) {
    if (VEKClientGetMacroIndices(&nmacro, &ind.p)) return NULL;
    if (imacro < 0 || imacro > nmacro) {
      if (IFFFF(imacro))
        messerr("No Macro index given for '%s' (0 to %d)", var_name, nmacro);
      else
        messerr("The Macro index (%d) of '%s' must lie between 0 and %d", imacro, var_name, nmacro);
      return NULL;
    }
    if (imacro == 0) nvar = nmacro;
    if (nvar <= 0) {
      messerr("The macro variable '%s' has no item", var_name);
      return NULL;
    }
    if (imacro != 0 && !has_macro_suffix(var_name)) {
      messerr("The macro variable '%s' has no '[xxxxx]' suffix to carry the item rank", var_name);
      return NULL;
    }
  }
  if (nech <= 0) {
    messerr("There is no sample to read in the File");
    return NULL;
  }
  int bytes = st_double_bytes((int64_t)nvar * nech, var_name);
  if (bytes < 0) return NULL;
  double *tab = (double *)mem_alloc(bytes, 1);

  for (int i = 0; i < nvar; i++) {
    if (macro) {
      int rank = imacro != 0 ? imacro : i + 1;
      if (imacro != 0) write_item_rank(var_name, imacro);
      if (VEKClientSetIndice(ind.p[rank - 1])) return (double *)mem_free((char *)tab);
    }
    if (read_one_item(var_name, nech, grid, orientx, orienty, orientz, tab + (size_t)i * nech))
      return (double *)mem_free((char *)tab);
  }
  *nb_var = nvar;
  *nb_ech = nech;
  return tab;
}

/* ------------------------------------------------------------------ */
/* SReadVariable                                                       */
/* ------------------------------------------------------------------ */

struct read_result {
  int nvar = 1;
  int flag_macro = 0;
  int flag_continue = 1;
  int error = 1;
  double *tab = NULL;
  int ntab = 0;
};

static void read_designated(int orientx, int orienty, int orientz, read_result &r) {
  if (st_check_validity(4)) return;
  if (st_file_from_vek()) return;
  if (st_set_selection()) return;
  mestitle(0, "Loop for selecting Variable(s) to be copied from Orvane into Db");
  if (st_get_variable(0, 0, 0) == 0) {
    r.error = 0;
    r.flag_continue = 0;
    return;
  }
  int imacro = -1;
  {
    st_client_array<int> ind;
    if (st_define_macro(REF_variable, &ind.p, &imacro)) return;
  }
  r.flag_macro = imacro >= 0 ? 1 : 0;
  int nb_var = 0, nb_ech = 0;
  r.tab = st_read_variable(REF_variable, imacro, orientx, orienty, orientz, &nb_var, &nb_ech);
  if (r.tab == NULL) return;
  if (FLAG_DEBUG) message("Variable '%s' read successfully\n", REF_variable);
  r.ntab = nb_var * nb_ech;
  r.nvar = nb_var;
  r.error = 0;
}

extern "C" SEXP SReadVariable(SEXP s_orientx, SEXP s_orienty, SEXP s_orientz) {
  return st_entry([&]() -> SEXP {
    int orientx = RC_get_value_integer(s_orientx, NULL);
    int orienty = RC_get_value_integer(s_orienty, NULL);
    int orientz = RC_get_value_integer(s_orientz, NULL);
    read_result r;
    read_designated(orientx, orienty, orientz, r);
    Rcpp::NumericVector tab(r.tab, r.tab + r.ntab);
    mem_free((char *)r.tab);
    st_copy_name(LOC_variable, REF_variable);
    st_reset(ST_LEVEL_VARIABLE);
    return Rcpp::List::create(Rcpp::Named("varname") = std::string(LOC_variable),
                              Rcpp::Named("nvar") = r.nvar, Rcpp::Named("flag.macro") = r.flag_macro,
                              Rcpp::Named("tab") = tab, Rcpp::Named("flag.continue") = r.flag_continue,
                              Rcpp::Named("error") = r.error);
  });
}

/* ------------------------------------------------------------------ */
/* Writing                                                             */
/* ------------------------------------------------------------------ */

/* A vector must cover every sample of the File (or every data sample of a
 * gravity-lines File): the server takes the whole variable, and the grid
 * reordering walks exactly nx*ny*nz values. */
static int check_value_count(const char *what, int count) {
  if (st_whole_count_ok(count)) return 0;
  messerr("The %s holds %d values where the File '%s' has %d samples", what, count, REF_file,
          DESC_VEK.nech);
  return 1;
}

/* Puts Db-ordered grid values in server order; points are left as they are. */
static int to_server_order(int orientx, int orienty, int orientz, double *tab) {
  if (!DESC_VEK.flag_grid) return 0;
  if (st_transpose(-1, orientx, orienty, orientz, tab) == 0) return 0;
  messerr("The values could not be put in the server's grid order");
  return 1;
}

static int write_designated(int orientx, int orienty, int orientz, double *tab, int nech) {
  if (st_check_validity(4)) return 1;
  if (st_file_from_vek()) return 1;
  char name[ST_NAME_SIZE];
  st_copy_name(name, LOC_variable);
  st_check_variable_name(name);
  /* "None" marks an undefined level: a variable of that name could never
   * be designated again. */
  if (strcmp(name, STR_empty) == 0) {
    messerr("You must define the Variable first");
    return 1;
  }
  if (check_value_count("vector", nech)) return 1;
  int exists = 0;
  if (st_variable_exists(name, &exists)) return 1;
  if (exists && !lire_logical("Overwrite", 0, 0)) return 0;
  if (to_server_order(orientx, orienty, orientz, tab)) return 1;
  if (exists) {
    st_define(ST_LEVEL_VARIABLE, 1, name);
    if (VEKClientSetVariable(REF_variable)) return 1;
  } else if (st_create_variable(name, NULL, 0, 10, 3, 32)) {
    return 1;
  }
  if (st_set_selection()) return 1;
  if (VEKClientWriteDoubleVariable(0, UTIL_UNDEF_REAL, nech, tab)) {
    st_reset(0);
    return 1;
  }
  if (FLAG_DEBUG) message("Variable (numeric) '%s' written successfully\n", REF_variable);
  return 0;
}

extern "C" SEXP SWriteVariable(SEXP s_orientx, SEXP s_orienty, SEXP s_orientz, SEXP s_tab,
                               SEXP s_var_name) {
  return st_entry([&]() -> SEXP {
    int orientx = RC_get_value_integer(s_orientx, NULL);
    int orienty = RC_get_value_integer(s_orienty, NULL);
    int orientz = RC_get_value_integer(s_orientz, NULL);
    int nech = 0;
    double *tab = RC_get_array_double(s_tab, NULL, &nech);
    st_get_local_name(s_var_name, ST_LEVEL_VARIABLE);
    int error = write_designated(orientx, orienty, orientz, tab, nech);
    mem_free((char *)tab);
    st_reset(ST_LEVEL_VARIABLE);
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

/* ------------------------------------------------------------------ */
/* Copies by name                                                      */
/* ------------------------------------------------------------------ */

/* The debug report of a copy between R and the current File. */
static void report_copy(const char *kind, const char *name, int to_r, int samples) {
  if (!FLAG_DEBUG) return;
  if (to_r)
    message("%s '%s' copied from Orvane(%s/%s/%s) into RTellurix\n", kind, name, LOC_study,
            LOC_directory, LOC_file);
  else
    message("%s '%s' copied from RTellurix into Orvane(%s/%s/%s)\n", kind, name, LOC_study,
            LOC_directory, LOC_file);
  message("- Number of samples   = %d\n", samples);
}

static int copy_to_r(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name,
                     SEXP s_var_name, int imacro, double **tab, int *ntab) {
  int sel_defined = 0, must_create = 0;
  if (st_check_validity(0) || st_define_path(s_study_name, s_dir_name, s_file_name)) return 1;
  if (st_define_selection(s_sel_name, 1, &sel_defined, &must_create)) return 1;
  if (st_define_variable(s_var_name, 1, &must_create)) return 1;
  int nvar = 0, nech = 0;
  *tab = st_read_variable(LOC_variable, imacro, 1, 1, 1, &nvar, &nech);
  if (*tab == NULL) return 1;
  report_copy("Variable", LOC_variable, 1, nech);
  *ntab = nvar * nech;
  return 0;
}

extern "C" SEXP CopyVariableI2Db(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                                 SEXP s_sel_name, SEXP s_var_name, SEXP s_imacro) {
  return st_entry([&]() -> SEXP {
    int imacro = RC_get_value_integer(s_imacro, NULL);
    double *tab = NULL;
    int ntab = 0;
    int error = copy_to_r(s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, imacro,
                          &tab, &ntab);
    Rcpp::NumericVector values(tab, tab + (error ? 0 : ntab));
    mem_free((char *)tab);
    return Rcpp::List::create(Rcpp::Named("tab") = values, Rcpp::Named("error") = error);
  });
}

/* Writes the whole of `tab` into the current variable, grid values turned
 * into server order first. */
static int write_whole(double *tab, int count) {
  if (to_server_order(1, 1, 1, tab)) return 1;
  return VEKClientWriteDoubleVariable(0, UTIL_UNDEF_REAL, count, tab) ? 1 : 0;
}

static int copy_to_server(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name,
                          SEXP s_var_name, const std::string &unit, double *tab, int nechtab,
                          double *sel, int nechsel) {
  int sel_defined = 0, must_create = 0;
  if (st_check_validity(0) || st_define_path(s_study_name, s_dir_name, s_file_name)) return 1;

  /* Every length is checked before anything is deleted or created. */
  if (check_value_count("vector", nechtab)) return 1;
  st_get_local_name(s_sel_name, ST_LEVEL_SELECTION);
  if (strcmp(LOC_selection, STR_empty) != 0 && check_value_count("selection", nechsel)) return 1;

  if (st_define_selection(s_sel_name, 0, &sel_defined, &must_create)) return 1;
  /* The values cover every sample of the Db: a selection left on the server
   * by an earlier call would silently drop those outside it. */
  if (sel_defined && VEKClientSetSelection(NULL)) return 1;
  if (must_create) {
    if (st_create_variable(LOC_selection, NULL, 0, 1, 0, 1)) return 1;
    if (write_whole(sel, nechsel)) return 1;
    report_copy("Selection", LOC_selection, 0, nechsel);
  }
  if (st_define_variable(s_var_name, 0, &must_create)) return 1;
  if (st_create_variable(LOC_variable, unit.empty() ? NULL : unit.c_str(), 0, 10, 3, 32)) return 1;
  if (write_whole(tab, nechtab)) return 1;
  report_copy("Variable", LOC_variable, 0, nechtab);
  return 0;
}

extern "C" SEXP CopyVariableDb2I(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                                 SEXP s_sel_name, SEXP s_var_name, SEXP s_unit_name, SEXP s_tab,
                                 SEXP s_tabsel) {
  return st_entry([&]() -> SEXP {
    int nechtab = 0, nechsel = 0;
    double *tab = RC_get_array_double(s_tab, NULL, &nechtab);
    double *sel = RC_get_array_double(s_tabsel, NULL, &nechsel);
    std::string unit = RC_get_value_char(s_unit_name, NULL);
    int error = copy_to_server(s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, unit,
                               tab, nechtab, sel, nechsel);
    mem_free((char *)tab);
    mem_free((char *)sel);
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}
