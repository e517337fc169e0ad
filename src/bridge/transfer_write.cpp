/*
 * R vectors written into the current variable: the values produced from the
 * R vector while they are sent (grid values in the server's order, NA as
 * the bridge's undefined value), never copied whole; and the variable
 * made ready for them, written over in place when it is already what the
 * write asks for.
 */
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "grid_order.h"
#include "transfer.h"
/* The client's streamed write: values produced while they are sent. */
#include "vek_internal.h"

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
    _vek_prefer_huge_pages(buf_, cap_ * sizeof(double));
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

bool st_write_values(SEXP s_values, R_xlen_t offset, int count, const int orient[3]) {
  if (st_double_bytes(count, "The values") < 0) return true;
  /* The slices walk the nodes of DESC_VEK: they must be these values. */
  if (DESC_VEK.flag_grid && st_grid_size() != count) {
    st_refuse(ST_COMMUNICATION, "The grid description (%d x %d x %d nodes) does not match its %d samples",
              DESC_VEK.nx[0], DESC_VEK.nx[1], DESC_VEK.nx[2], count);
    return true;
  }
  st_server_values values(s_values, offset, count, orient);
  vek_value_source src = values.source();
  return _vek_write_double_variable_from(0, UTIL_UNDEF_REAL, count, &src) != 0;
}

/* Makes `name` the current variable, of `nbits` bits (a selection for 1)
 * and `unit`, ready for its values. A variable that is already just that
 * keeps its place and only its values change: one change on the server
 * rather than a deletion and a creation, and never a moment without the
 * variable. Anything else of that name gives way to a new variable. */
bool st_replace_variable(const char *name, const char *unit, int nbits, int ncar, int ndig, int exists,
                         const VEKVariableInfo *known) {
  if (exists < 0) {
    st_names list;
    if (VEKClientGetVariableListByType(VEK_VAR_TYPE_ANY, &list.n, &list.items)) return true;
    exists = !st_status(1, 0, list.n, list.items, name);
  }
  st_reset(ST_LEVEL_VARIABLE);
  if (exists) {
    VEKVariableInfo info = known != NULL ? *known : VEKVariableInfo{};
    if (VEKClientSetVariable(name) || (known == NULL && VEKClientGetVariableInfo(&info))) return true;
    if (info.type == VEK_VAR_TYPE_FLOAT && info.bit_length == nbits && !info.implicit &&
        std::string(info.unit, strnlen(info.unit, sizeof info.unit)) == (unit != NULL ? unit : "")) {
      st_define(ST_LEVEL_VARIABLE, 1, name);
      return false;
    }
    if (VEKClientDeleteVariable()) return true;
    st_journal_note(ST_NOTE_DELETED, name);
  }
  st_journal_note(ST_NOTE_VARIABLE, name);
  if (VEKClientNewDoubleVariable(name, nbits, VEK_FORMAT_TYPE_DECIMAL, ncar, ndig, unit)) return true;
  if (VEKClientSetVariable(name)) return true;
  st_define(ST_LEVEL_VARIABLE, 1, name);
  if (FLAG_DEBUG) message("Variable '%s' created successfully\n", name);
  return false;
}
