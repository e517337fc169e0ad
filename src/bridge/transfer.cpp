/*
 * The transfer entry points: reading a designated variable, writing an R
 * vector into a variable of the current File, and copying variables and
 * selections by name without dialogue, for the .Call entry points of old
 * and for the package's R functions. Grid values cross in Db order on the
 * R side and in server order on the wire (transfer_read.cpp,
 * transfer_write.cpp).
 */
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "entry.h"
#include "transfer.h"
/* The host's progress function, which a span of several transfers relays. */
#include "vek_internal.h"

int st_double_bytes(int64_t count, const char *what) {
  if (count < 0 || count > (int64_t)(INT_MAX / sizeof(double))) {
    st_refuse(ST_USAGE, "%s: %lld values do not fit in one transfer (at most %d)", what, (long long)count,
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

bool st_variable_exists(char *var_name, int *exists) {
  st_names list;
  *exists = 0;
  if (VEKClientGetVariableList(&list.n, &list.items)) return true;
  *exists = st_status(0, 1, list.n, list.items, var_name);
  return false;
}

/* ---- one progress bar for several transfers ---- */

static int (*SPAN_HOST)(double done, double total) = NULL;
static double SPAN_BASE = 0, SPAN_WHOLE = 0;

/* A transfer's own (done, total) as the host sees the whole: its start
 * starts the bar only when it is the first, its end ends it only when it
 * is the last. */
static int span_relay(double done, double) { return SPAN_HOST(SPAN_BASE + done, SPAN_WHOLE); }

st_progress_span::st_progress_span(double whole) {
  if (_vek_progress_function == NULL || SPAN_HOST != NULL) return;
  SPAN_HOST = _vek_progress_function;
  SPAN_BASE = 0;
  SPAN_WHOLE = whole;
  _vek_progress_function = span_relay;
  active_ = true;
}

st_progress_span::~st_progress_span() {
  if (!active_) return;
  _vek_progress_function = SPAN_HOST;
  SPAN_HOST = NULL;
}

void st_progress_span::at(double done) {
  if (active_) SPAN_BASE = done;
}

/* ------------------------------------------------------------------ */
/* SReadVariable                                                       */
/* ------------------------------------------------------------------ */

struct read_result {
  int nvar = 1;
  int flag_macro = 0;
  int flag_continue = 1;
  int error = 1;
};

static void read_designated(st_read_request &req, read_result &r) {
  if (st_check_validity(4)) return;
  if (st_file_from_vek()) return;
  if (st_set_selection()) return;
  mestitle(0, "Loop for selecting Variable(s) to be copied from Orvane into Db");
  if (st_get_variable(0, 0, 0) == 0) {
    r.error = 0;
    r.flag_continue = 0;
    return;
  }
  {
    st_client_array<int> ind;
    if (st_define_macro(REF_variable, &ind.p, &req.imacro)) return;
  }
  r.flag_macro = req.imacro >= 0;
  if (st_read_variable(REF_variable, req)) return;
  if (FLAG_DEBUG) message("Variable '%s' read successfully\n", REF_variable);
  r.nvar = req.nvar;
  r.error = 0;
}

extern "C" SEXP SReadVariable(SEXP s_orientx, SEXP s_orienty, SEXP s_orientz) {
  return st_entry([&]() -> SEXP {
    st_read_request req;
    req.orient[0] = RC_get_value_integer(s_orientx, NULL);
    req.orient[1] = RC_get_value_integer(s_orienty, NULL);
    req.orient[2] = RC_get_value_integer(s_orientz, NULL);
    read_result r;
    read_designated(req, r);
    st_copy_name(LOC_variable, REF_variable);
    st_reset(ST_LEVEL_VARIABLE);
    return Rcpp::List::create(Rcpp::Named("varname") = std::string(LOC_variable), Rcpp::Named("nvar") = r.nvar,
                              Rcpp::Named("flag.macro") = r.flag_macro,
                              Rcpp::Named("tab") = r.error ? Rcpp::NumericVector(0) : req.tab,
                              Rcpp::Named("flag.continue") = r.flag_continue, Rcpp::Named("error") = r.error);
  });
}

/* ------------------------------------------------------------------ */
/* Writing                                                             */
/* ------------------------------------------------------------------ */

/* A vector must cover every sample of the File (or every data sample of a
 * gravity-lines File): the server takes the whole variable, and the grid
 * reordering walks exactly nx*ny*nz values. The refusal records which
 * vector it is, for the R function to name its argument. */
static bool check_value_count(const char *what, int count) {
  if (st_whole_count_ok(count)) return false;
  st_refuse_item(ST_USAGE, 0, what, 1, "The %s holds %d values where the File '%s' has %d samples", what, count,
                 REF_file, DESC_VEK.nech);
  return true;
}

/* Number of values of an R vector to write (type checked); -1, which no
 * File has, for one too long for the bridge's counts. */
static int value_count(SEXP s_values) {
  R_xlen_t n = RC_check_array_double(s_values);
  return n > INT_MAX ? -1 : (int)n;
}

static int write_designated(const int orient[3], SEXP s_tab, int nech) {
  if (st_check_validity(4)) return 1;
  if (st_file_from_vek()) return 1;
  char name[ST_NAME_SIZE];
  st_copy_name(name, LOC_variable);
  st_check_variable_name(name);
  /* "None" marks an undefined level: a variable of that name could never
   * be designated again. */
  if (strcmp(name, STR_empty) == 0) {
    st_refuse_item(ST_USAGE, ST_LEVEL_VARIABLE, NULL, 1, "You must define the Variable first");
    return 1;
  }
  if (check_value_count("vector", nech)) return 1;
  int exists = 0;
  if (st_variable_exists(name, &exists)) return 1;
  if (exists && !lire_logical("Overwrite", 0, 0)) return 0;
  if (st_double_bytes(nech, "The values") < 0) return 1;
  if (exists) {
    st_define(ST_LEVEL_VARIABLE, 1, name);
    if (VEKClientSetVariable(REF_variable)) return 1;
  } else if (st_create_variable(name, NULL, 0, 10, 3, 32)) {
    return 1;
  }
  if (st_set_selection()) return 1;
  if (st_write_values(s_tab, 0, nech, orient)) {
    st_reset(0);
    return 1;
  }
  if (FLAG_DEBUG) message("Variable (numeric) '%s' written successfully\n", REF_variable);
  return 0;
}

extern "C" SEXP SWriteVariable(SEXP s_orientx, SEXP s_orienty, SEXP s_orientz, SEXP s_tab, SEXP s_var_name) {
  return st_entry([&]() -> SEXP {
    int orient[3];
    orient[0] = RC_get_value_integer(s_orientx, NULL);
    orient[1] = RC_get_value_integer(s_orienty, NULL);
    orient[2] = RC_get_value_integer(s_orientz, NULL);
    int nech = value_count(s_tab);
    st_get_local_name(s_var_name, ST_LEVEL_VARIABLE);
    int error = write_designated(orient, s_tab, nech);
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
    message("%s '%s' copied from Orvane(%s/%s/%s) into RTellurix\n", kind, name, LOC_study, LOC_directory, LOC_file);
  else message("%s '%s' copied from RTellurix into Orvane(%s/%s/%s)\n", kind, name, LOC_study, LOC_directory, LOC_file);
  message("- Number of samples   = %d\n", samples);
}

/* The Study, Directory and File of a copy made current. The R functions
 * (`reuse`) skip the lists and Set requests when the server already holds
 * that path; `describe` then reads the File's description again, which a
 * definition does on the way. */
static int reach_path(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, int reuse, int describe) {
  if (st_check_validity(0)) return 1;
  if (reuse && st_path_is_current(s_study_name, s_dir_name, s_file_name)) return describe ? st_file_from_vek() : 0;
  return st_define_path(s_study_name, s_dir_name, s_file_name);
}

static int copy_to_r(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name, int reuse,
                     st_read_request &r) {
  int sel_defined = 0, must_create = 0;
  /* The read describes the File itself. */
  if (reach_path(s_study_name, s_dir_name, s_file_name, reuse, 0)) return 1;
  if (st_define_selection(s_sel_name, 1, &sel_defined, &must_create)) return 1;
  if (st_define_variable(s_var_name, 1, &must_create)) return 1;
  if (st_read_variable(LOC_variable, r)) return 1;
  report_copy("Variable", LOC_variable, 1, r.nech);
  return 0;
}

extern "C" SEXP CopyVariableI2Db(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name,
                                 SEXP s_imacro) {
  return st_entry([&]() -> SEXP {
    st_read_request r;
    r.imacro = RC_get_value_integer(s_imacro, NULL);
    int error = copy_to_r(s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, 0, r);
    return Rcpp::List::create(Rcpp::Named("tab") = error ? Rcpp::NumericVector(0) : r.tab,
                              Rcpp::Named("error") = error);
  });
}

/* CopyVariableI2R(study, directory, file, selection, variable, imacro): the
 * read of CopyOrvaneToDb(). As CopyVariableI2Db, but undefined samples (and
 * values above 1e30) come as NA, all items of a macro variable as a matrix
 * of one column per item, and a path the server already holds is not
 * listed and set again. */
extern "C" SEXP CopyVariableI2R(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name,
                                SEXP s_imacro) {
  return st_entry([&]() -> SEXP {
    st_read_request r;
    r.imacro = RC_get_value_integer(s_imacro, NULL);
    r.for_r = true;
    int error = copy_to_r(s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, 1, r);
    if (!error) {
      if (r.macro && r.imacro == 0) r.tab.attr("dim") = Rcpp::Dimension(r.nech, r.nvar);
      st_path_confirm();
    }
    return Rcpp::List::create(Rcpp::Named("tab") = error ? Rcpp::NumericVector(0) : r.tab,
                              Rcpp::Named("error") = error);
  });
}

/* Writes the whole of an R vector into the current variable. */
static bool write_whole(SEXP s_values, int count) {
  static const int plain[3] = {1, 1, 1};
  return st_write_values(s_values, 0, count, plain);
}

static int copy_to_server(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name,
                          const std::string &unit, SEXP s_tab, int nechtab, SEXP s_tabsel, int nechsel) {
  int sel_defined = 0, must_create = 0;
  if (reach_path(s_study_name, s_dir_name, s_file_name, 0, 0)) return 1;

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
    if (write_whole(s_tabsel, nechsel)) return 1;
    report_copy("Selection", LOC_selection, 0, nechsel);
  }
  if (st_define_variable(s_var_name, 0, &must_create)) return 1;
  if (st_create_variable(LOC_variable, unit.empty() ? NULL : unit.c_str(), 0, 10, 3, 32)) return 1;
  if (write_whole(s_tab, nechtab)) return 1;
  report_copy("Variable", LOC_variable, 0, nechtab);
  return 0;
}

typedef int (*copy_routine)(SEXP, SEXP, SEXP, SEXP, SEXP, const std::string &, SEXP, int, SEXP, int);

/* The two writes differ only in their routine and in whether a path they
 * reached may be taken again without listing it. */
static SEXP copy_entry(copy_routine copy, int keeps_path, SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                       SEXP s_sel_name, SEXP s_var_name, SEXP s_unit_name, SEXP s_tab, SEXP s_tabsel) {
  return st_entry([&]() -> SEXP {
    int nechtab = value_count(s_tab);
    int nechsel = value_count(s_tabsel);
    std::string unit = RC_get_value_char(s_unit_name, NULL);
    int error =
        copy(s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, unit, s_tab, nechtab, s_tabsel, nechsel);
    if (!error && keeps_path) st_path_confirm();
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

extern "C" SEXP CopyVariableDb2I(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name,
                                 SEXP s_unit_name, SEXP s_tab, SEXP s_tabsel) {
  return copy_entry(copy_to_server, 0, s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, s_unit_name,
                    s_tab, s_tabsel);
}

static int copy_from_r(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name,
                       const std::string &unit, SEXP s_tab, int nechtab, SEXP s_tabsel, int nechsel) {
  if (reach_path(s_study_name, s_dir_name, s_file_name, 1, 1)) return 1;
  if (check_value_count("vector", nechtab)) return 1;
  st_get_local_name(s_sel_name, ST_LEVEL_SELECTION);
  int with_sel = strcmp(LOC_selection, STR_empty) != 0;
  if (with_sel && check_value_count("selection", nechsel)) return 1;
  /* The values cover every sample of the Db. */
  if (VEKClientSetSelection(NULL)) return 1;
  if (with_sel) {
    if (st_replace_variable(LOC_selection, NULL, 1, 1, 0, -1, NULL)) return 1;
    st_define(ST_LEVEL_SELECTION, 1, LOC_selection);
    if (write_whole(s_tabsel, nechsel)) return 1;
    report_copy("Selection", LOC_selection, 0, nechsel);
  }
  st_get_local_name(s_var_name, ST_LEVEL_VARIABLE);
  if (st_replace_variable(LOC_variable, unit.empty() ? NULL : unit.c_str(), 32, 10, 3, -1, NULL)) return 1;
  if (write_whole(s_tab, nechtab)) return 1;
  report_copy("Variable", LOC_variable, 0, nechtab);
  return 0;
}

/* CopyVariableR2I(study, directory, file, selection, variable, unit, values,
 * selection values): the write of CopyDbToOrvane(). As CopyVariableDb2I,
 * but a variable (or selection) that already has the kind, bit length and
 * unit asked for is written over rather than deleted and created again,
 * and a path the server already holds is not listed and set again. */
extern "C" SEXP CopyVariableR2I(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name,
                                SEXP s_unit_name, SEXP s_tab, SEXP s_tabsel) {
  return copy_entry(copy_from_r, 1, s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, s_unit_name, s_tab,
                    s_tabsel);
}
