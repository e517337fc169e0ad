/*
 * Variables read into R: a variable (a macro variable whole or item by item)
 * of the current File into an R vector, grid values put in Db order with the
 * orientation flags.
 *
 * Values make one pass between the client's array and the R vector: the
 * grid reordering and the marking of undefined samples (1.234e30 for the
 * bridge, NA for the R functions) happen in that pass, so that a read holds
 * at most the client's array and the result at once. The R functions' reads
 * skip the client's array: the values go straight into the R vector as they
 * arrive.
 */
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "grid_order.h"
#include "transfer.h"
/* The client's streamed read: values handed over as they arrive. */
#include "vek_internal.h"

/* Length of the "[xxxxx]" suffix that ends the name of a macro variable. */
#define MACRO_SUFFIX_LEN 7

void st_copy_read_values(double *dest, const double *src, int64_t count, double test_val) {
  for (int64_t k = 0; k < count; k++) {
    double v = src[k];
    dest[k] = (v == test_val) ? UTIL_UNDEF_REAL : v;
  }
}

bool st_define_macro(const char *var_name, int **ind, int *imacro) {
  VEKVariableInfo info{};
  *ind = NULL;
  *imacro = -1;
  if (VEKClientSetVariable(var_name)) return true;
  if (VEKClientGetVariableInfo(&info)) return true;
  if (info.type != VEK_VAR_TYPE_MACRO) return false;
  int nmacro = 0;
  if (VEKClientGetMacroIndices(&nmacro, ind)) return true;
  *imacro = lire_int("Enter the Macro index (0: all items)", 0, 0, 0, nmacro);
  return false;
}

/* Whether the name ends with a bracketed suffix that can carry an item rank. */
static bool has_macro_suffix(const char *name) {
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
 * server's test value marked undefined. */
static bool read_one_item(const char *var_name, int nech, const st_read_request &r, double *dest) {
  st_client_array<double> values;
  double test_val = 0.;
  vek_long count = 0;
  if (VEKClientReadDoubleVariable(0, &test_val, &count, &values.p)) return true;
  if (count != nech) {
    st_refuse(ST_COMMUNICATION, "The server sent %lld values of '%s' where the File has %d samples", (long long)count,
              var_name, nech);
    return true;
  }
  place(1, r.orient, values.p, count, dest, [=](double v) { return v == test_val ? UTIL_UNDEF_REAL : v; });
  return false;
}

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
    if (win->slices) st_db_slices(win->values, (int64_t)(at / slice), (int64_t)(n / slice), dest, map);
    else st_db_run(win->values, (int64_t)at, (int64_t)n, dest, map);
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
  const double test = s->test, na = NA_REAL;
  s->place(at, n, [=](double v) { return v == test || v > UTIL_UNDEF_LIMIT ? na : v; });
}

}  // namespace

bool st_read_item_into(const char *var_name, int nech, const st_read_window &win, double *dest) {
  db_sink s = {dest, nech, &win};
  vek_value_sink sink = {sink_start, sink_window, sink_placed, &s};
  if (_vek_read_double_variable_into(0, &sink) == 0) return false;
  if (s.sent >= 0)
    st_refuse(ST_COMMUNICATION, "The server sent %lld values of '%s' where the File has %d samples", (long long)s.sent,
              var_name, nech);
  return true;
}

bool st_read_variable(const char *var_name, st_read_request &r) {
  VEKFileInfo finfo{};
  VEKVariableInfo vinfo{};
  st_client_array<int> ind;
  int nmacro = 0, imacro = r.imacro;
  r.nvar = r.nech = r.macro = 0;
  r.tab = Rcpp::NumericVector(0);

  if (VEKClientGetFileInfo(&finfo)) return true;
  /* The reordering follows DESC_VEK: let it describe the File as it is
   * now, whoever changed it since it was last read. */
  if (st_file_from_info(finfo)) return true;
  if (finfo.s_number < 0 || finfo.s_number > INT_MAX) {
    st_refuse(ST_USAGE, "The number of samples of the File (%lld) is not supported", (long long)finfo.s_number);
    return true;
  }
  int nech = (int)finfo.s_number;
  int grid = finfo.type == VEK_FILE_TYPE_GRID;
  /* The reordering walks the nodes of DESC_VEK: they must be these samples. */
  if (grid && st_grid_size() != nech) {
    st_refuse(ST_COMMUNICATION, "The grid description (%d x %d x %d nodes) does not match its %d samples",
              DESC_VEK.nx[0], DESC_VEK.nx[1], DESC_VEK.nx[2], nech);
    return true;
  }

  if (VEKClientGetVariableInfo(&vinfo)) return true;
  if (vinfo.type == VEK_VAR_TYPE_CHAR) {
    st_refuse(ST_USAGE, "The (character) variable '%s' cannot be read", REF_variable);
    return true;
  }
  int macro = vinfo.type == VEK_VAR_TYPE_MACRO;
  int nvar = 1;
  if (macro) {
    if (VEKClientGetMacroIndices(&nmacro, &ind.p)) return true;
    if (imacro < 0 || imacro > nmacro) {
      if (IFFFF(imacro)) st_refuse(ST_USAGE, "No Macro index given for '%s' (0 to %d)", var_name, nmacro);
      else st_refuse(ST_USAGE, "The Macro index (%d) of '%s' must lie between 0 and %d", imacro, var_name, nmacro);
      return true;
    }
    if (imacro == 0) nvar = nmacro;
    if (nvar <= 0) {
      st_refuse(ST_USAGE, "The macro variable '%s' has no item", var_name);
      return true;
    }
    if (imacro != 0 && !has_macro_suffix(var_name)) {
      st_refuse(ST_USAGE, "The macro variable '%s' has no '[xxxxx]' suffix to carry the item rank", var_name);
      return true;
    }
  }
  if (nech <= 0) {
    st_refuse(ST_USAGE, "There is no sample to read in the File");
    return true;
  }
  if (st_double_bytes((int64_t)nvar * nech, var_name) < 0) return true;
  Rcpp::NumericVector tab = RC_new_array_double((R_xlen_t)nvar * nech);
  st_read_window win(r.for_r);
  st_progress_span span((double)nvar * nech);

  for (int i = 0; i < nvar; i++) {
    span.at((double)i * nech);
    if (macro) {
      int rank = imacro != 0 ? imacro : i + 1;
      if (imacro != 0) write_item_rank(var_name, imacro);
      if (VEKClientSetIndice(ind.p[rank - 1])) return true;
    }
    double *dest = tab.begin() + (R_xlen_t)i * nech;
    if (r.for_r ? st_read_item_into(var_name, nech, win, dest) : read_one_item(var_name, nech, r, dest)) return true;
  }
  r.tab = tab;
  r.nvar = nvar;
  r.nech = nech;
  r.macro = macro;
  return false;
}
