/*
 * Variables between R and the server: reading a designated variable (a
 * macro variable whole or item by item), writing an R vector into a
 * variable of the current File, and copying variables and selections by
 * name without dialogue, for the .Call entry points of old and for the
 * package's R functions.
 *
 * Grid values cross in Db order on the R side and in server order on the
 * wire. Values make one pass between the client's array and the R vector:
 * the grid reordering and the marking of undefined samples (1.234e30 for
 * the bridge, NA for the R functions) happen in that pass, so that a read
 * holds at most the client's array and the result at once, and a write is
 * produced from the R vector while it is sent.
 */
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "source2.h"
/* The client's streamed write: values produced while they are sent. */
#include "vek_internal.h"

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

/* Values copied from `src` to `dest`, through `map`: a grid File's in one
 * pass from one sample order into the other (`mode` as for st_transpose),
 * a point File's in their order. */
template <class T, class Map>
static void place(int mode, const int orient[3], const T *src, int64_t count, double *dest, Map map) {
  if (DESC_VEK.flag_grid) {
    st_reorder(mode, orient[0], orient[1], orient[2], src, dest, map);
    return;
  }
  for (int64_t k = 0; k < count; k++) dest[k] = map(src[k]);
}

/* Reads the current item into `dest` (nech doubles), in Db order, with the
 * server's test value (and, for R, anything above 1e30) marked undefined. */
static int read_one_item(const char *var_name, int nech, const st_read_request &r, double *dest) {
  st_client_array<double> values;
  double test_val = 0.;
  vek_long count = 0;
  if (VEKClientReadDoubleVariable(0, &test_val, &count, &values.p)) return 1;
  if (count != nech) {
    st_refuse(ST_COMMUNICATION, "The server sent %lld values of '%s' where the File has %d samples", (long long)count,
            var_name, nech);
    return 1;
  }
  if (r.r_na) {
    const double na = NA_REAL;
    place(1, r.orient, values.p, count, dest,
          [=](double v) { return v == test_val || v > UTIL_UNDEF_LIMIT ? na : v; });
  } else {
    place(1, r.orient, values.p, count, dest,
          [=](double v) { return v == test_val ? UTIL_UNDEF_REAL : v; });
  }
  return 0;
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

/* ---- direct reads ---- */

/* A grid's window when ST_SLICES slices would be larger (4 MiB): a read
 * then holds at most that beside its result. */
#define WINDOW_MAX_VALUES ((size_t)1 << 19)
/* The pieces in which a point File's values are marked undefined right
 * after they arrive, while they are in the cache: those of the codec's
 * direct receives. */
#define POINT_PIECE_VALUES ((size_t)1 << 17)

st_read_window::st_read_window(bool wanted) {
  if (!wanted || !DESC_VEK.flag_grid || st_grid_size() <= 0) return;
  size_t slice = (size_t)DESC_VEK.nx[1] * (size_t)DESC_VEK.nx[2];
  size_t whole = (size_t)st_grid_size();
  slices = slice <= WINDOW_MAX_VALUES / ST_SLICES;
  size = std::min(whole, slices ? ST_SLICES * slice : WINDOW_MAX_VALUES);
  values = (double *)mem_alloc((int)(size * sizeof(double)), 1);
}

st_read_window::~st_read_window() { mem_free((char *)values); }

namespace {

/* What a direct read needs while its values arrive. */
struct db_sink {
  double *dest;
  int64_t nech;
  int r_na;
  const st_read_window *win;
  double test = 0;
  int64_t sent = -1; /* a count the server sent that does not fit */

  template <class Map>
  void place(size_t at, size_t n, Map map) {
    if (win->size == 0) {
      for (size_t k = at; k < at + n; k++) dest[k] = map(dest[k]);
      return;
    }
    const size_t slice = (size_t)DESC_VEK.nx[1] * (size_t)DESC_VEK.nx[2];
    if (win->slices)
      st_db_slices(win->values, (int64_t)(at / slice), (int64_t)(n / slice), dest, map);
    else
      st_db_run(win->values, (int64_t)at, (int64_t)n, dest, map);
  }
};

int sink_start(void *ctx, vek_long count, double test_val) {
  db_sink *s = static_cast<db_sink *>(ctx);
  if (count != s->nech) {
    s->sent = count;
    return 1;
  }
  s->test = test_val;
  return 0;
}

double *sink_window(void *ctx, size_t at, size_t *room) {
  db_sink *s = static_cast<db_sink *>(ctx);
  if (s->win->size == 0) {
    *room = std::min((size_t)s->nech - at, POINT_PIECE_VALUES);
    return s->dest + at;
  }
  *room = s->win->size;
  return s->win->values;
}

void sink_placed(void *ctx, size_t at, size_t n) {
  db_sink *s = static_cast<db_sink *>(ctx);
  const double test = s->test;
  if (s->r_na) {
    const double na = NA_REAL;
    s->place(at, n, [=](double v) { return v == test || v > UTIL_UNDEF_LIMIT ? na : v; });
  } else {
    s->place(at, n, [=](double v) { return v == test ? UTIL_UNDEF_REAL : v; });
  }
}

}  // namespace

int st_read_item_into(const char *var_name, int nech, int r_na, const st_read_window &win, double *dest) {
  db_sink s = {dest, nech, r_na, &win};
  vek_value_sink sink = {sink_start, sink_window, sink_placed, &s};
  if (_vek_read_double_variable_into(0, &sink) == 0) return 0;
  if (s.sent >= 0)
    st_refuse(ST_COMMUNICATION, "The server sent %lld values of '%s' where the File has %d samples", (long long)s.sent,
              var_name, nech);
  return 1;
}

int st_read_variable(const char *var_name, st_read_request &r) {
  VEKFileInfo finfo;
  VEKVariableInfo vinfo;
  st_client_array<int> ind;
  int nmacro = 0, imacro = r.imacro;
  memset(&finfo, 0, sizeof finfo);
  memset(&vinfo, 0, sizeof vinfo);
  r.nvar = r.nech = r.macro = 0;
  r.tab = Rcpp::NumericVector(0);

  if (VEKClientGetFileInfo(&finfo)) return 1;
  /* The reordering follows DESC_VEK: let it describe the File as it is
   * now, whoever changed it since it was last read. */
  if (st_file_from_info(finfo)) return 1;
  if (finfo.s_number < 0 || finfo.s_number > INT_MAX) {
    st_refuse(ST_USAGE, "The number of samples of the File (%lld) is not supported", (long long)finfo.s_number);
    return 1;
  }
  int nech = (int)finfo.s_number;
  int grid = finfo.type == VEK_FILE_TYPE_GRID;
  /* The reordering walks the nodes of DESC_VEK: they must be these samples. */
  if (grid && st_grid_size() != nech) {
    st_refuse(ST_COMMUNICATION, "The grid description (%d x %d x %d nodes) does not match its %d samples",
            DESC_VEK.nx[0], DESC_VEK.nx[1], DESC_VEK.nx[2], nech);
    return 1;
  }

  if (VEKClientGetVariableInfo(&vinfo)) return 1;
  if (vinfo.type == VEK_VAR_TYPE_CHAR) {
    st_refuse(ST_USAGE, "The (character) variable '%s' cannot be read", REF_variable);
    return 1;
  }
  int macro = vinfo.type == VEK_VAR_TYPE_MACRO;
  int nvar = 1;
  if (macro) {
    if (VEKClientGetMacroIndices(&nmacro, &ind.p)) return 1;
    if (imacro < 0 || imacro > nmacro) {
      if (IFFFF(imacro))
        st_refuse(ST_USAGE, "No Macro index given for '%s' (0 to %d)", var_name, nmacro);
      else
        st_refuse(ST_USAGE, "The Macro index (%d) of '%s' must lie between 0 and %d", imacro, var_name, nmacro);
      return 1;
    }
    if (imacro == 0) nvar = nmacro;
    if (nvar <= 0) {
      st_refuse(ST_USAGE, "The macro variable '%s' has no item", var_name);
      return 1;
    }
    if (imacro != 0 && !has_macro_suffix(var_name)) {
      st_refuse(ST_USAGE, "The macro variable '%s' has no '[xxxxx]' suffix to carry the item rank", var_name);
      return 1;
    }
  }
  if (nech <= 0) {
    st_refuse(ST_USAGE, "There is no sample to read in the File");
    return 1;
  }
  if (st_double_bytes((int64_t)nvar * nech, var_name) < 0) return 1;
  Rcpp::NumericVector tab = RC_new_array_double((R_xlen_t)nvar * nech);
  /* Straight into place in plain Db order only; flipped axes go the
   * entry points' way. */
  const int direct = r.direct && r.orient[0] > 0 && r.orient[1] > 0 && r.orient[2] > 0;
  st_read_window win(direct);
  st_progress_span span((double)nvar * nech);

  for (int i = 0; i < nvar; i++) {
    span.at((double)i * nech);
    if (macro) {
      int rank = imacro != 0 ? imacro : i + 1;
      if (imacro != 0) write_item_rank(var_name, imacro);
      if (VEKClientSetIndice(ind.p[rank - 1])) return 1;
    }
    double *dest = tab.begin() + (R_xlen_t)i * nech;
    if (direct ? st_read_item_into(var_name, nech, r.r_na, win, dest)
                 : read_one_item(var_name, nech, r, dest))
      return 1;
  }
  r.tab = tab;
  r.nvar = nvar;
  r.nech = nech;
  r.macro = macro;
  return 0;
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
  r.flag_macro = req.imacro >= 0 ? 1 : 0;
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
    return Rcpp::List::create(Rcpp::Named("varname") = std::string(LOC_variable),
                              Rcpp::Named("nvar") = r.nvar,
                              Rcpp::Named("flag.macro") = r.flag_macro,
                              Rcpp::Named("tab") = r.error ? Rcpp::NumericVector(0) : req.tab,
                              Rcpp::Named("flag.continue") = r.flag_continue,
                              Rcpp::Named("error") = r.error);
  });
}

/* ------------------------------------------------------------------ */
/* Writing                                                             */
/* ------------------------------------------------------------------ */

/* A vector must cover every sample of the File (or every data sample of a
 * gravity-lines File): the server takes the whole variable, and the grid
 * reordering walks exactly nx*ny*nz values. The refusal records which
 * vector it is, for the R function to name its argument. */
static int check_value_count(const char *what, int count) {
  if (st_whole_count_ok(count)) return 0;
  st_refuse_item(ST_USAGE, 0, what, 1, "The %s holds %d values where the File '%s' has %d samples", what, count,
                 REF_file, DESC_VEK.nech);
  return 1;
}

/* Number of values of an R vector to write (type checked); -1, which no
 * File has, for one too long for the bridge's counts. */
static int value_count(SEXP s_values) {
  R_xlen_t n = RC_check_array_double(s_values);
  return n > INT_MAX ? -1 : (int)n;
}

/*
 * The `count` values of an R vector (checked by value_count) as the server
 * takes them, produced while they are sent: in server order for a grid
 * File with the given flags (as for st_transpose, Db to server), R's NA as
 * the bridge's undefined value, whatever the vector's type. No copy of the
 * whole vector is made: a grid goes ST_SLICES slices at a time
 * (st_server_slices), other Files a chunk at a time.
 */
class st_server_values {
 public:
  st_server_values(SEXP values, R_xlen_t offset, int count, const int orient[3])
      : values_(values), offset_(offset), count_((size_t)count), grid_(DESC_VEK.flag_grid != 0) {
    for (int a = 0; a < 3; a++) orient_[a] = orient[a];
    slice_ = grid_ ? (size_t)DESC_VEK.nx[1] * (size_t)DESC_VEK.nx[2] : 1;
    /* At most the count values: a byte size the caller checked fits. */
    cap_ = std::max<size_t>(1, std::min(grid_ ? ST_SLICES * slice_ : CHUNK, count_));
    buf_ = (double *)mem_alloc((int)(cap_ * sizeof(double)), 1);
    mem_prefer_huge_pages(buf_, cap_ * sizeof(double));
  }
  ~st_server_values() { mem_free((char *)buf_); }
  st_server_values(const st_server_values &) = delete;
  st_server_values &operator=(const st_server_values &) = delete;
  vek_value_source source() {
    vek_value_source s = {next, this};
    return s;
  }

 private:
  static const size_t CHUNK = 8192;

  static size_t next(void *ctx, size_t at, size_t want, const double **run) {
    st_server_values *self = static_cast<st_server_values *>(ctx);
    if (at >= self->count_) return 0;
    if (at < self->at_ || at >= self->at_ + self->held_) self->prepare(at);
    size_t off = at - self->at_;
    *run = self->buf_ + off;
    return std::min(want, self->held_ - off);
  }

  void prepare(size_t at) {
    if (TYPEOF(values_) == REALSXP) {
      /* R's ISNAN is a function call in C++: test inline, and ask R only
       * about the rare NaN whether it is NA. */
      fill(at, REAL(values_) + offset_, [](double v) { return std::isnan(v) && R_IsNA(v) ? UTIL_UNDEF_REAL : v; });
    } else {
      const int *src = (TYPEOF(values_) == INTSXP ? INTEGER(values_) : LOGICAL(values_)) + offset_;
      fill(at, src, [](int v) { return v == NA_INTEGER ? UTIL_UNDEF_REAL : (double)v; });
    }
  }

  template <class T, class Map>
  void fill(size_t at, const T *src, Map map) {
    if (!grid_) {
      at_ = at;
      held_ = std::min(cap_, count_ - at);
      for (size_t k = 0; k < held_; k++) buf_[k] = map(src[at + k]);
      return;
    }
    int64_t x0 = (int64_t)(at / slice_ / ST_SLICES * ST_SLICES);
    int64_t b = std::min<int64_t>(ST_SLICES, DESC_VEK.nx[0] - x0);
    at_ = (size_t)x0 * slice_;
    held_ = (size_t)b * slice_;
    st_server_slices(orient_[0], orient_[1], orient_[2], src, x0, b, buf_, map);
  }

  SEXP values_;
  R_xlen_t offset_;
  size_t count_;
  bool grid_;
  int orient_[3];
  size_t slice_;
  size_t cap_;
  double *buf_;
  size_t at_ = 0, held_ = 0; /* buf_ holds the values at_ .. at_ + held_ - 1 */
};

/* SValuesProblem(x): what keeps a double vector from being written, found
 * in one pass that allocates nothing: 1 an infinite value, 2 a value above
 * 1e30 (the server would read it as undefined), 0 nothing. The R functions
 * ask before anything is sent; other types have no such values. */
extern "C" SEXP SValuesProblem(SEXP s_values) {
  int infinite = 0, above = 0;
  if (TYPEOF(s_values) == REALSXP) {
    const double *v = REAL(s_values);
    R_xlen_t n = XLENGTH(s_values);
    /* No early exit and no branch: the loop runs at the pace of memory. */
    for (R_xlen_t i = 0; i < n; i++) {
      infinite |= std::fabs(v[i]) == HUGE_VAL;
      above |= v[i] > UTIL_UNDEF_LIMIT;
    }
  }
  return Rf_ScalarInteger(infinite ? 1 : above ? 2 : 0);
}

int st_write_values(SEXP s_values, R_xlen_t offset, int count, const int orient[3]) {
  if (st_double_bytes(count, "The values") < 0) return 1;
  /* The slices walk the nodes of DESC_VEK: they must be these values. */
  if (DESC_VEK.flag_grid && st_grid_size() != count) {
    st_refuse(ST_COMMUNICATION, "The grid description (%d x %d x %d nodes) does not match its %d samples", DESC_VEK.nx[0],
            DESC_VEK.nx[1], DESC_VEK.nx[2], count);
    return 1;
  }
  st_server_values values(s_values, offset, count, orient);
  vek_value_source src = values.source();
  return _vek_write_double_variable_from(0, UTIL_UNDEF_REAL, count, &src) ? 1 : 0;
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

extern "C" SEXP SWriteVariable(SEXP s_orientx, SEXP s_orienty, SEXP s_orientz, SEXP s_tab,
                               SEXP s_var_name) {
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
    message("%s '%s' copied from Orvane(%s/%s/%s) into RTellurix\n", kind, name, LOC_study,
            LOC_directory, LOC_file);
  else
    message("%s '%s' copied from RTellurix into Orvane(%s/%s/%s)\n", kind, name, LOC_study,
            LOC_directory, LOC_file);
  message("- Number of samples   = %d\n", samples);
}

/* The Study, Directory and File of a copy made current. The R functions
 * (`reuse`) skip the lists and Set requests when the server already holds
 * that path; `describe` then reads the File's description again, which a
 * definition does on the way. */
static int reach_path(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, int reuse, int describe) {
  if (st_check_validity(0)) return 1;
  if (reuse && st_path_is_current(s_study_name, s_dir_name, s_file_name))
    return describe ? st_file_from_vek() : 0;
  return st_define_path(s_study_name, s_dir_name, s_file_name);
}

static int copy_to_r(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name,
                     SEXP s_var_name, int reuse, st_read_request &r) {
  int sel_defined = 0, must_create = 0;
  /* The read describes the File itself. */
  if (reach_path(s_study_name, s_dir_name, s_file_name, reuse, 0)) return 1;
  if (st_define_selection(s_sel_name, 1, &sel_defined, &must_create)) return 1;
  if (st_define_variable(s_var_name, 1, &must_create)) return 1;
  if (st_read_variable(LOC_variable, r)) return 1;
  report_copy("Variable", LOC_variable, 1, r.nech);
  return 0;
}

extern "C" SEXP CopyVariableI2Db(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                                 SEXP s_sel_name, SEXP s_var_name, SEXP s_imacro) {
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
extern "C" SEXP CopyVariableI2R(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                                SEXP s_sel_name, SEXP s_var_name, SEXP s_imacro) {
  return st_entry([&]() -> SEXP {
    st_read_request r;
    r.imacro = RC_get_value_integer(s_imacro, NULL);
    r.r_na = 1;
    r.direct = 1;
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
static int write_whole(SEXP s_values, int count) {
  static const int plain[3] = {1, 1, 1};
  return st_write_values(s_values, 0, count, plain);
}

static int copy_to_server(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name,
                          SEXP s_var_name, const std::string &unit, SEXP s_tab, int nechtab,
                          SEXP s_tabsel, int nechsel) {
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

typedef int (*copy_routine)(SEXP, SEXP, SEXP, SEXP, SEXP, const std::string &, SEXP, int, SEXP,
                            int);

/* The two writes differ only in their routine and in whether a path they
 * reached may be taken again without listing it. */
static SEXP copy_entry(copy_routine copy, int keeps_path, SEXP s_study_name, SEXP s_dir_name,
                       SEXP s_file_name, SEXP s_sel_name, SEXP s_var_name, SEXP s_unit_name,
                       SEXP s_tab, SEXP s_tabsel) {
  return st_entry([&]() -> SEXP {
    int nechtab = value_count(s_tab);
    int nechsel = value_count(s_tabsel);
    std::string unit = RC_get_value_char(s_unit_name, NULL);
    int error = copy(s_study_name, s_dir_name, s_file_name, s_sel_name, s_var_name, unit, s_tab,
                     nechtab, s_tabsel, nechsel);
    if (!error && keeps_path) st_path_confirm();
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

extern "C" SEXP CopyVariableDb2I(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                                 SEXP s_sel_name, SEXP s_var_name, SEXP s_unit_name, SEXP s_tab,
                                 SEXP s_tabsel) {
  return copy_entry(copy_to_server, 0, s_study_name, s_dir_name, s_file_name, s_sel_name,
                    s_var_name, s_unit_name, s_tab, s_tabsel);
}

/* Makes `name` the current variable, of `nbits` bits (a selection for 1)
 * and `unit`, ready for its values. A variable that is already just that
 * keeps its place and only its values change: one change on the server
 * rather than a deletion and a creation, and never a moment without the
 * variable. Anything else of that name gives way to a new variable. */
int st_replace_variable(const char *name, const char *unit, int nbits, int ncar, int ndig, int exists,
                        const VEKVariableInfo *known) {
  if (exists < 0) {
    st_names list;
    if (VEKClientGetVariableListByType(VEK_VAR_TYPE_ANY, &list.n, &list.items)) return 1;
    exists = !st_status(1, 0, list.n, list.items, name);
  }
  st_reset(ST_LEVEL_VARIABLE);
  if (exists) {
    VEKVariableInfo info;
    if (known != NULL) info = *known;
    else memset(&info, 0, sizeof info);
    if (VEKClientSetVariable(name) || (known == NULL && VEKClientGetVariableInfo(&info))) return 1;
    info.unit[sizeof info.unit - 1] = '\0';
    if (info.type == VEK_VAR_TYPE_FLOAT && info.bit_length == nbits && !info.implicit &&
        strcmp(info.unit, unit != NULL ? unit : "") == 0) {
      st_define(ST_LEVEL_VARIABLE, 1, name);
      return 0;
    }
    if (VEKClientDeleteVariable()) return 1;
    st_journal_note(ST_NOTE_DELETED, name);
  }
  st_journal_note(ST_NOTE_VARIABLE, name);
  if (VEKClientNewDoubleVariable(name, nbits, VEK_FORMAT_TYPE_DECIMAL, ncar, ndig, unit)) return 1;
  if (VEKClientSetVariable(name)) return 1;
  st_define(ST_LEVEL_VARIABLE, 1, name);
  if (FLAG_DEBUG) message("Variable '%s' created successfully\n", name);
  return 0;
}

static int copy_from_r(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_sel_name,
                       SEXP s_var_name, const std::string &unit, SEXP s_tab, int nechtab,
                       SEXP s_tabsel, int nechsel) {
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
extern "C" SEXP CopyVariableR2I(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name,
                                SEXP s_sel_name, SEXP s_var_name, SEXP s_unit_name, SEXP s_tab,
                                SEXP s_tabsel) {
  return copy_entry(copy_from_r, 1, s_study_name, s_dir_name, s_file_name, s_sel_name,
                    s_var_name, s_unit_name, s_tab, s_tabsel);
}
