/*
 * Rows of a data frame placed on the samples of a File by their coordinates,
 * for WriteFile(): each row goes to the grid node, or to the sample of a
 * point or line File, that sits where the row says, whatever order the rows
 * come in. A grid inverts its geometry for each row; other Files search
 * their samples sorted by position. Either way one pass over the rows, so
 * that placing a large grid costs little beside writing it.
 *
 * Both entry points answer list(order, row, other, sample, identity):
 * `order[s]` is the row (from 1) placed on sample s (grid nodes in Db
 * order), 0 for none. `row` is the first row that could not be placed (0:
 * all were), `other` the earlier row that already holds the sample it
 * matched (0: it matched no sample), `sample` that sample (from 1).
 * `identity` tells that every sample took the row of its own rank.
 */
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bridge.h"
#include "vek_internal.h"
#include "entry.h"

namespace {

/* The coordinate vectors of a list, all doubles of one length. */
std::vector<const double *> columns(SEXP list, R_xlen_t *length, const char *what) {
  if (TYPEOF(list) != VECSXP || Rf_xlength(list) < 1 || Rf_xlength(list) > 3)
    st_abort(ST_USAGE, "The %s must be a list of 1 to 3 coordinate vectors", what);
  std::vector<const double *> out;
  for (R_xlen_t a = 0; a < Rf_xlength(list); a++) {
    SEXP v = VECTOR_ELT(list, a);
    if (TYPEOF(v) != REALSXP || (a > 0 && Rf_xlength(v) != *length))
      st_abort(ST_USAGE, "The %s must be double vectors of one length", what);
    *length = Rf_xlength(v);
    out.push_back(REAL(v));
  }
  return out;
}

const double *doubles(SEXP v, R_xlen_t n, const char *what) {
  if (TYPEOF(v) != REALSXP || Rf_xlength(v) != n) st_abort(ST_USAGE, "The %s must be %d doubles", what, (int)n);
  return REAL(v);
}

struct placed {
  Rcpp::IntegerVector order;
  int row = 0, other = 0, sample = 0;

  /* Rows land anywhere in `order`: huge pages spare a large grid a TLB miss
   * on most of them, when asked for before the first page is touched. */
  explicit placed(R_xlen_t n) : order(Rf_allocVector(INTSXP, n)) {
    _vek_prefer_huge_pages(order.begin(), (size_t)n * sizeof(int));
    std::fill(order.begin(), order.end(), 0);
  }

  /* Puts row r (from 0) on sample s; false, with the report, when another
   * row holds it already. */
  bool put(R_xlen_t r, R_xlen_t s) {
    int *o = order.begin();
    if (o[s] != 0) return refuse(r, o[s], s);
    o[s] = (int)(r + 1);
    return true;
  }
  bool refuse(R_xlen_t r, int by, R_xlen_t s) {
    row = (int)(r + 1);
    other = by;
    sample = by != 0 ? (int)(s + 1) : 0;
    return false;
  }
  SEXP answer(R_xlen_t nrows) {
    const int *o = order.begin();
    R_xlen_t n = order.size();
    bool identity = row == 0 && nrows == n;
    for (R_xlen_t s = 0; identity && s < n; s++) identity = o[s] == s + 1;
    return Rcpp::List::create(Rcpp::Named("order") = order, Rcpp::Named("row") = row, Rcpp::Named("other") = other,
                              Rcpp::Named("sample") = sample, Rcpp::Named("identity") = identity);
  }
};

/* A node index within 1e-6 of the mesh of a whole number, in range. */
bool node_index(double t, int n, int64_t *k) {
  double r = std::nearbyint(t);
  if (!(std::fabs(t - r) <= 1e-6) || r < 0 || r >= n) return false;
  *k = (int64_t)r;
  return true;
}

}  // namespace

/* SPlaceOnGrid(coordinates, origin, inverse, nx): `inverse` (3 x 3, by
 * columns) turns an offset from the origin into node indices (the inverse
 * rotation, divided by the mesh); axes the rows do not give are 0. */
extern "C" SEXP SPlaceOnGrid(SEXP s_coords, SEXP s_origin, SEXP s_inverse, SEXP s_nx) {
  return st_local_entry([&]() -> SEXP {
    R_xlen_t m = 0;
    std::vector<const double *> col = columns(s_coords, &m, "rows' coordinates");
    const double *x0 = doubles(s_origin, 3, "origin");
    const double *inv = doubles(s_inverse, 9, "inverse geometry");
    if (TYPEOF(s_nx) != INTSXP || Rf_xlength(s_nx) != 3) st_abort(ST_USAGE, "The node counts must be 3 integers");
    const int *n = INTEGER(s_nx);
    int64_t nodes = 1;
    for (int a = 0; a < 3; a++) {
      if (n[a] < 1) st_abort(ST_USAGE, "A grid has at least one node along each axis");
      nodes *= n[a];
    }
    if (nodes > INT_MAX) st_abort(ST_USAGE, "The grid has more nodes than R can index (%lld)", (long long)nodes);
    placed p((R_xlen_t)nodes);
    const size_t nd = col.size();
    /* Rows in any order land anywhere: the nodes of a block of rows are
     * found first and their places fetched together, so that the memory
     * serves many at once rather than one miss after the other. */
    const R_xlen_t BLOCK = 64;
    int64_t node[BLOCK];
    bool stop = false;
    for (R_xlen_t r0 = 0; r0 < m && !stop; r0 += BLOCK) {
      R_xlen_t nb = std::min(BLOCK, m - r0);
      for (R_xlen_t b = 0; b < nb; b++) {
        double off[3]{};
        for (size_t a = 0; a < nd; a++) off[a] = col[a][r0 + b] - x0[a];
        int64_t k[3];
        bool ok = true;
        for (int a = 0; a < 3 && ok; a++)
          ok = node_index(inv[a] * off[0] + inv[a + 3] * off[1] + inv[a + 6] * off[2], n[a], &k[a]);
        node[b] = ok ? k[0] + n[0] * (k[1] + (int64_t)n[1] * k[2]) : -1;
        if (ok) __builtin_prefetch(p.order.begin() + node[b], 1);
      }
      for (R_xlen_t b = 0; b < nb && !stop; b++) {
        if (node[b] < 0) stop = !p.refuse(r0 + b, 0, 0);
        else stop = !p.put(r0 + b, (R_xlen_t)node[b]);
      }
    }
    return p.answer(m);
  });
}

namespace {

/* Positions quantised by the tolerance of each axis: two values within the
 * tolerance fall in the same cell or in neighbouring ones. NA has a cell of
 * its own, and matches NA only. */
const int64_t NA_CELL = INT64_MIN;
const int64_t FAR_CELL = INT64_MAX;

int64_t cell(double x, double lo, double tol) {
  if (std::isnan(x)) return NA_CELL;
  double q = std::floor((x - lo) / tol);
  if (!(std::fabs(q) < 4e18)) return FAR_CELL;
  return (int64_t)q;
}

struct cells {
  std::vector<int64_t> k; /* three per sample */
  bool less(R_xlen_t a, const int64_t *b) const {
    const int64_t *ka = &k[3 * (size_t)a];
    return std::lexicographical_compare(ka, ka + 3, b, b + 3);
  }
  bool greater(R_xlen_t a, const int64_t *b) const {
    const int64_t *ka = &k[3 * (size_t)a];
    return std::lexicographical_compare(b, b + 3, ka, ka + 3);
  }
};

/* NA matches NA only: a NaN difference is within no tolerance. */
bool within(double a, double b, double tol) { return std::fabs(a - b) <= tol || (std::isnan(a) && std::isnan(b)); }

}  // namespace

/* SPlaceOnSamples(coordinates, samples, tolerance): rows and samples as
 * lists of coordinate vectors of the same axes; a row matches a sample
 * within `tolerance` along every axis. Rows that match several samples
 * take the first free one, in sample order: the k-th row at a position
 * takes the k-th sample there. */
extern "C" SEXP SPlaceOnSamples(SEXP s_coords, SEXP s_samples, SEXP s_tol) {
  return st_local_entry([&]() -> SEXP {
    R_xlen_t m = 0, n = 0;
    std::vector<const double *> row = columns(s_coords, &m, "rows' coordinates");
    std::vector<const double *> smp = columns(s_samples, &n, "samples' coordinates");
    const size_t nd = row.size();
    if (smp.size() != nd) st_abort(ST_USAGE, "The rows and the samples must have the same axes");
    if (n > INT_MAX) st_abort(ST_USAGE, "Too many samples to place rows on");
    const double *tol = doubles(s_tol, (R_xlen_t)nd, "tolerances");
    double lo[3]{};
    for (size_t a = 0; a < nd; a++) {
      if (!(tol[a] > 0)) st_abort(ST_USAGE, "A tolerance must be positive");
      bool any = false;
      for (R_xlen_t s = 0; s < n; s++) {
        double x = smp[a][s];
        if (!std::isnan(x) && (!any || x < lo[a])) lo[a] = x, any = true;
      }
    }
    cells c;
    c.k.assign(3 * (size_t)n, 0);
    for (R_xlen_t s = 0; s < n; s++)
      for (size_t a = 0; a < nd; a++) c.k[3 * (size_t)s + a] = cell(smp[a][s], lo[a], tol[a]);
    std::vector<int> sorted((size_t)n);
    for (R_xlen_t s = 0; s < n; s++) sorted[(size_t)s] = (int)s;
    std::stable_sort(sorted.begin(), sorted.end(), [&](int a, int b) { return c.less(a, &c.k[3 * (size_t)b]); });

    placed p(n);
    const int *o = p.order.begin();
    /* The row's own cell first, then its neighbours along the axes it has. */
    std::vector<std::vector<int64_t>> moves;
    for (int code = 0; code < 27; code++) {
      std::vector<int64_t> d = {code % 3 - 1, code / 3 % 3 - 1, code / 9 - 1};
      bool used = true;
      for (size_t a = nd; a < 3; a++) used = used && d[a] == 0;
      if (used && !(d[0] == 0 && d[1] == 0 && d[2] == 0)) moves.push_back(d);
    }
    moves.insert(moves.begin(), std::vector<int64_t>{0, 0, 0});
    for (R_xlen_t r = 0; r < m; r++) {
      int64_t home[3]{};
      bool far = false;
      for (size_t a = 0; a < nd; a++) {
        home[a] = cell(row[a][r], lo[a], tol[a]);
        far = far || home[a] == FAR_CELL;
      }
      R_xlen_t best = -1, held = -1;
      for (size_t mv = 0; !far && mv < moves.size() && best < 0; mv++) {
        int64_t want[3];
        bool valid = true;
        for (int a = 0; a < 3; a++) {
          int64_t d = moves[mv][(size_t)a];
          if (d != 0 && home[a] == NA_CELL) valid = false;
          want[a] = home[a] + d;
        }
        if (!valid) continue;
        auto first = std::lower_bound(sorted.begin(), sorted.end(), 0, [&](int s, int) { return c.less(s, want); });
        for (auto it = first; it != sorted.end() && !c.greater(*it, want); ++it) {
          R_xlen_t s = *it;
          bool near = true;
          for (size_t a = 0; a < nd && near; a++) near = within(row[a][r], smp[a][s], tol[a]);
          if (!near) continue;
          if (o[s] == 0) {
            best = s;
            break;
          }
          if (held < 0) held = s;
        }
      }
      if (best < 0) {
        p.refuse(r, held >= 0 ? o[held] : 0, held >= 0 ? held : 0);
        break;
      }
      p.put(r, best);
    }
    return p.answer(m);
  });
}
