/*
 * Argument writers and array-size checks shared by the request files that
 * send or receive arrays of doubles (editing and transfer). Each writer
 * returns 1 when the codec took the value, 0 when it failed, so a request
 * reads as one chain of writes.
 */
#ifndef VEK_REQUEST_ARGS_H
#define VEK_REQUEST_ARGS_H

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "vek_internal.h"

/* Names and paths travel as string(10000). */
#define VEK_NAME_MAXSIZE 10000

static inline int vek_put_int(int v) { return _vek_write_int(VEK_SOCK, &v); }
static inline int vek_put_long(vek_long v) { return _vek_write_long(VEK_SOCK, &v); }
static inline int vek_put_double(double v) { return _vek_write_double(VEK_SOCK, &v); }

static inline int vek_put_string(const char *s) {
  char *p = (char *)s;
  return _vek_write_string(VEK_SOCK, &p, VEK_NAME_MAXSIZE);
}

/* The array goes straight from the caller's memory into the codec's bulk
 * path: no copy, and exactly n values leave. */
static inline int vek_put_doubles(const double *a, vek_long n) {
  return _vek_rw_vector(VEK_SOCK, (void *)a, (size_t)n, sizeof(double), _vek_write_double_elem);
}

/* 1 when n doubles can exist in this process: not negative, a byte size
 * that size_t can hold, and no more than the machine's memory. The last
 * bound turns a hostile or corrupt count into a refusal before malloc is
 * asked, whatever the system's overcommit policy would have said. */
static inline int vek_doubles_fit(vek_long n) {
  if (n < 0 || (uint64_t)n > SIZE_MAX / sizeof(double)) return 0;
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0 && (uint64_t)n > (uint64_t)pages / sizeof(double) * (uint64_t)page_size) return 0;
  return 1;
}

/* Checks a caller's array of count values: code 1 (with a message naming
 * the function) for a negative or unrepresentable count, or for a null
 * array that should hold values; 0 when it may be sent. */
static inline int vek_check_values(const char *function, vek_long count, const void *data) {
  if (!vek_doubles_fit(count)) {
    _vek_error("%s(): invalid number of values (%lld).", function, (long long)count);
    return VEK_RESULT_USAGE;
  }
  if (count > 0 && !data) {
    _vek_error("%s(): the array of %lld values cannot be NULL.", function, (long long)count);
    return VEK_RESULT_USAGE;
  }
  return VEK_RESULT_OK;
}

#endif /* VEK_REQUEST_ARGS_H */
