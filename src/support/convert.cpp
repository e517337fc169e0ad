/*
 * Conversion between R values and the plain values and arrays of the
 * bridge. R's NA becomes the bridge's undefined values (-1234567 for
 * integers, 1.234e30 for reals); arrays come from mem_alloc.
 */
#include "util.h"
#include "vek_internal.h"

#include <climits>
#include <cmath>
#include <cstring>

void st_OK(const char *call_name, SEXP sexp_name, int max_args, int nok, int *ok_type) {
  int type = TYPEOF(sexp_name);
  int found = 0;
  for (int i = 0; i < nok && ok_type != NULL; i++)
    if (ok_type[i] == type) found = 1;
  if (!found) {
    util_refuse(UTIL_KIND_USAGE, 0, NULL, 1);
    mes_abort("Wrong type in %s (type=%d)", call_name, type);
  }
  int length = Rf_length(sexp_name);
  if (max_args > 0 && length > max_args) {
    util_refuse(UTIL_KIND_USAGE, 0, NULL, 1);
    mes_abort("Wrong number of arguments in %s (%d > %d)", call_name, length, max_args);
  }
}

/* NA, NaN, infinities and reals outside the int range have no int value:
 * they become undefined rather than an arbitrary number. */
static int real_to_int(double v) {
  if (std::isnan(v)) return UTIL_UNDEF_INT;
  double t = std::trunc(v);
  if (t < (double)INT_MIN || t > (double)INT_MAX) return UTIL_UNDEF_INT;
  return (int)t;
}

/* The content of a slot, or null when the slot is missing or empty. */
static SEXP slot_content(SEXP sexp_name, const char *slot_name) {
  Rcpp::S4 object(sexp_name); /* not_s4 when it is no S4 object */
  if (!object.hasSlot(slot_name)) return R_NilValue;
  SEXP v = object.slot(slot_name);
  if (Rf_length(v) == 0) return R_NilValue;
  return v;
}

/* Byte size of n elements as mem_alloc takes it; the whole array must fit
 * the int byte count. */
static int array_bytes(int n, size_t elem, const char *what) {
  if (n < 0 || (size_t)n > (size_t)INT_MAX / elem) {
    util_refuse(UTIL_KIND_MEMORY, 0, NULL, 1);
    mes_abort("Memory Allocation failed (%d elements of %s) - Too large", n, what);
  }
  return (int)((size_t)n * elem);
}

int RC_get_value_integer(SEXP sexp_name, const char *slot_name) {
  static int ok[] = {LGLSXP, REALSXP, INTSXP};
  if (slot_name != NULL) {
    SEXP v = slot_content(sexp_name, slot_name);
    if (v == R_NilValue) return UTIL_UNDEF_INT;
    return real_to_int(Rcpp::as<double>(v));
  }
  if (sexp_name == R_NilValue) return UTIL_UNDEF_INT;
  st_OK("RC_get_value_integer", sexp_name, 1, 3, ok);
  return real_to_int(Rcpp::as<double>(sexp_name));
}

std::string RC_get_value_char(SEXP sexp_name, const char *slot_name) {
  static int ok[] = {STRSXP, LGLSXP};
  std::string result;
  if (slot_name != NULL) {
    SEXP v = slot_content(sexp_name, slot_name);
    if (v == R_NilValue) return result;
    return Rcpp::as<std::string>(v);
  }
  if (sexp_name == R_NilValue) return result;
  st_OK("RC_get_value_char", sexp_name, 1, 2, ok);
  if (TYPEOF(sexp_name) != STRSXP) return result;
  result = Rcpp::as<std::string>(sexp_name);
  return result;
}

int *RC_get_array_integer(SEXP sexp_name, const char *slot_name, int *count) {
  static int ok[] = {LGLSXP, REALSXP, INTSXP};
  *count = 0;
  SEXP v = sexp_name;
  if (slot_name != NULL) {
    v = slot_content(sexp_name, slot_name);
  } else if (v != R_NilValue) {
    st_OK("RC_get_array_integer", v, 0, 3, ok);
  }
  if (v == R_NilValue) return NULL;
  Rcpp::NumericVector values = Rcpp::as<Rcpp::NumericVector>(v);
  int n = (int)values.size();
  if (n <= 0) return NULL;
  int *tab = reinterpret_cast<int *>(mem_alloc(array_bytes(n, sizeof(int), "int"), 1));
  for (int i = 0; i < n; i++) tab[i] = real_to_int(values[i]);
  if (n == 1 && IFFFF(tab[0])) {
    /* A single NA stands for "no array". */
    mem_free(reinterpret_cast<char *>(tab));
    return NULL;
  }
  *count = n;
  return tab;
}

double *RC_get_array_double(SEXP sexp_name, const char *slot_name, int *count) {
  static int ok[] = {REALSXP, LGLSXP, INTSXP};
  *count = 0;
  SEXP v = sexp_name;
  if (slot_name != NULL) {
    v = slot_content(sexp_name, slot_name);
  } else if (v != R_NilValue) {
    st_OK("RC_get_array_double", v, 0, 3, ok);
  }
  if (v == R_NilValue) return NULL;
  Rcpp::NumericVector values = Rcpp::as<Rcpp::NumericVector>(v);
  int n = (int)values.size();
  if (n <= 0) return NULL;
  double *tab = reinterpret_cast<double *>(mem_alloc(array_bytes(n, sizeof(double), "double"), 1));
  for (int i = 0; i < n; i++) tab[i] = R_IsNA(values[i]) ? UTIL_UNDEF_REAL : values[i];
  *count = n;
  return tab;
}

R_xlen_t RC_check_array_double(SEXP sexp_name) {
  static int ok[] = {REALSXP, LGLSXP, INTSXP};
  if (sexp_name == R_NilValue) return 0;
  st_OK("RC_get_array_double", sexp_name, 0, 3, ok);
  return Rf_xlength(sexp_name);
}

static SEXP alloc_real(void *n) { return Rf_allocVector(REALSXP, *(R_xlen_t *)n); }

Rcpp::NumericVector RC_new_array_double(R_xlen_t n) {
  /* Rcpp's own constructors call the allocator bare: an R error there would
   * jump over the caller's C++ frames. */
  Rcpp::NumericVector v(Rcpp::unwindProtect(alloc_real, &n));
  _vek_prefer_huge_pages(v.begin(), (size_t)n * sizeof(double));
  return v;
}

std::vector<std::string> RC_get_array_char(SEXP sexp_name, const char *slot_name, int *count) {
  static int ok[] = {STRSXP, LGLSXP};
  std::vector<std::string> result;
  *count = 0;
  if (slot_name != NULL) {
    Rcpp::S4 object(sexp_name);
    result = Rcpp::as<std::vector<std::string> >(object.slot(slot_name));
    *count = (int)result.size();
    return result;
  }
  if (sexp_name == R_NilValue) return result;
  st_OK("RC_get_array_char", sexp_name, 0, 2, ok);
  if (TYPEOF(sexp_name) != STRSXP) return result;
  result = Rcpp::as<std::vector<std::string> >(sexp_name);
  *count = (int)result.size();
  return result;
}

std::vector<int> RC_set_array_integer(int ntab, int *itab) {
  std::vector<int> result;
  if (ntab <= 0 || itab == NULL) return result;
  result.assign(itab, itab + ntab);
  return result;
}

std::vector<double> RC_set_array_double(int ntab, double *rtab) {
  std::vector<double> result;
  if (ntab <= 0 || rtab == NULL) return result;
  result.assign(rtab, rtab + ntab);
  return result;
}

std::vector<std::string> RC_set_array_char(int ntab, char **names) {
  std::vector<std::string> result;
  if (ntab <= 0 || names == NULL) return result;
  result.reserve((size_t)ntab);
  for (int i = 0; i < ntab; i++) result.push_back(names[i] != NULL ? names[i] : "");
  return result;
}
