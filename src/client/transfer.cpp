/*
 * Variable data transfer: the values of the current Variable (under the
 * current Selection and macro index) to and from a plain array of doubles,
 * whole, by sample range or by line.
 *
 * Servers below 900000 store the header sample that starts each line of a
 * gravity-lines File among the variable's samples, while callers number
 * data samples only; the write logic below inserts or skips those headers.
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "request_args.h"
#include "vek_internal.h"

#define SUB_RANGE_REFUSAL                                                                   \
  "() does not work with a server version lower than 4.0.7 for 4.0.x series and 4.1.1 for " \
  "4.1.x series"

/* Servers that take first and last sample numbers: 4.0.7 to 4.0.9, and
 * everything from 4.1.1 on. */
static int st_is_subrange_server(void) {
  int v = _vek_client_server_version;
  return (v >= 407 && v <= 409) || v >= 411;
}

/* The refusal of a sub-range call by an old server: nothing was sent, so
 * nothing is cleaned. */
static int st_refuse_old_server(const char *function) {
  _vek_error("%s" SUB_RANGE_REFUSAL, function);
  _vek_error("%s", VEK_UPGRADE_MESSAGE);
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", VEK_RESULT_COMMUNICATION);
  return _vek_store(VEK_RESULT_COMMUNICATION);
}

/* The optional sample range of a variable request. */
static int st_put_range(vek_long first, vek_long last) {
  return !st_is_subrange_server() || (vek_put_long(first) && vek_put_long(last));
}

/* An array of n doubles (at least one, so that success always hands out a
 * pointer) that takes the place of a (null: a new one), or null with a left
 * as it was. A large array is filled once, front to back, straight after
 * allocation: with 4 KiB pages its first touch costs more than the
 * transfer itself (80 MB take about 0.8 s of page faults on a virtual
 * machine, 0.03 s with huge pages), so the kernel is asked for huge pages
 * where it offers them. */
static double *st_resize_doubles(double *a, vek_long n) {
  if (!vek_doubles_fit(n)) return NULL;
  size_t bytes = (size_t)(n > 0 ? n : 1) * sizeof(double);
  double *b = (double *)_vek_realloc(a, bytes);
  _vek_prefer_huge_pages(b, bytes);
  return b;
}

/* ---------------- reads ---------------- */

/* Output arguments of a read: all given, and emptied before anything else
 * so that a failure leaves no stale array behind. */
static int st_prepare_outputs(const char *function, const double *test_val, const void *count, double **data) {
  if (data) *data = NULL;
  if (!test_val || !count || !data) {
    _vek_error("%s(): output arguments cannot be NULL.", function);
    return VEK_RESULT_USAGE;
  }
  return VEK_RESULT_OK;
}

/* Values taken into memory before any has come (1 GiB): a count is the
 * server's promise, and a corrupt or hostile one must not claim the
 * machine's memory for values that never arrive. A longer read grows as its
 * values come; it is kept for what is rare, as moving an array that large
 * costs about as much as reading it. The fuzzing build starts smaller, for
 * short inputs to reach the growth. */
#ifndef FIRST_READ_VALUES
#define FIRST_READ_VALUES ((vek_long)1 << 27)
#endif

/* The progress of a read that grows, told to the host as one transfer. */
static int (*host_progress)(double done, double total);
static double piece_start, read_total;
static int piece_progress(double done, double) { return host_progress(piece_start + done, read_total); }

/* n doubles into a new array. Returns 0, 2 or 4; nothing is left allocated
 * on failure. */
static int st_read_doubles(vek_long n, double **out) {
  vek_long slots = std::min(n, (vek_long)FIRST_READ_VALUES);
  double *values = vek_doubles_fit(n) ? st_resize_doubles(NULL, slots) : NULL;
  int code = values ? VEK_RESULT_OK : VEK_RESULT_MEMORY;
  host_progress = _vek_progress_function;
  if (host_progress && slots < n) _vek_progress_function = piece_progress;
  read_total = (double)n;
  for (vek_long got = 0; !code && got < n;) {
    if (got == slots) {
      vek_long more = slots < n / 2 ? slots * 2 : n;
      double *grown = st_resize_doubles(values, more);
      if (!grown) {
        code = VEK_RESULT_MEMORY;
        break;
      }
      values = grown;
      slots = more;
    }
    piece_start = (double)got;
    if (!_vek_rw_vector(VEK_SOCK, values + got, (size_t)(slots - got), sizeof(double), _vek_read_double_elem))
      code = VEK_RESULT_COMMUNICATION;
    got = slots;
  }
  _vek_progress_function = host_progress;
  if (code == VEK_RESULT_MEMORY) _vek_error("Cannot allocate memory for %lld values.", (long long)n);
  if (code) {
    _vek_free(values);
    values = NULL;
  }
  *out = values;
  return code;
}

/* The "SDATAF" fields: a count (long for a variable, int for a line), the
 * test value, then count doubles. On failure nothing is left allocated and
 * *data stays null. */
static int st_read_values(int long_count, double *test_val, vek_long *count, double **data) {
  vek_long n;
  if (long_count) {
    if (!_vek_read_long(VEK_SOCK, &n)) return VEK_RESULT_COMMUNICATION;
  } else {
    int i;
    if (!_vek_read_int(VEK_SOCK, &i)) return VEK_RESULT_COMMUNICATION;
    n = i;
  }
  if (!_vek_read_double(VEK_SOCK, test_val)) return VEK_RESULT_COMMUNICATION;
  if (n < 0) {
    _vek_error("Reply from server: invalid number of values (%lld).", (long long)n);
    return VEK_RESULT_COMMUNICATION;
  }
  int code = st_read_doubles(n, data);
  if (!code) *count = n;
  return code;
}

/* "CREADVARF": [first, last,] transfer_flag -> "SDATAF". */
static int st_read_var(vek_long first, vek_long last, int transfer_flag, double *test_val, vek_long *count,
                       double **data) {
  int code = _vek_request("CREADVARF");
  if (!code && !(st_put_range(first, last) && vek_put_int(transfer_flag))) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDATAF");
  if (!code) code = st_read_values(1, test_val, count, data);
  return code;
}

/* "CREADVARF" of the whole variable -> "SDATAF", its values handed to
 * sink as they arrive. */
static int st_read_var_into(int transfer_flag, const vek_value_sink *sink) {
  int code = _vek_request("CREADVARF");
  if (!code && !(st_put_range(-1, -1) && vek_put_int(transfer_flag))) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDATAF");
  vek_long n = 0;
  double test_val = 0;
  if (!code && !(_vek_read_long(VEK_SOCK, &n) && _vek_read_double(VEK_SOCK, &test_val)))
    code = VEK_RESULT_COMMUNICATION;
  if (!code && n < 0) {
    _vek_error("Reply from server: invalid number of values (%lld).", (long long)n);
    code = VEK_RESULT_COMMUNICATION;
  }
  if (!code && (sink->start(sink->ctx, n, test_val) || !_vek_read_double_sink(VEK_SOCK, (size_t)n, sink)))
    code = VEK_RESULT_COMMUNICATION;
  return code;
}

/* ---------------- writes ---------------- */

/* The caller's array as the values of a write. */
static size_t st_array_values(void *ctx, size_t at, size_t want, const double **run) {
  *run = (const double *)ctx + at;
  return want;
}

/* "CWRITVARF": [first, last,] transfer_flag, test_val, count, values -> "SDONE". */
static int st_write_var_nocheck(vek_long first, vek_long last, int transfer_flag, double test_val, vek_long count,
                                const vek_value_source *src) {
  int code = _vek_request("CWRITVARF");
  if (!code && !(st_put_range(first, last) && vek_put_int(transfer_flag) && vek_put_double(test_val) &&
                 vek_put_long(count) && _vek_write_double_source(VEK_SOCK, (size_t)count, src)))
    code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDONE");
  return code;
}

/* Line counts that the staging and the line walk can trust: an entry for
 * each of the L lines, each line holding at least its header sample. */
static int st_lines_valid(int L, int n, const int *c) {
  if (n < L) return 0;
  for (int i = 0; i < L; i++)
    if (c[i] < 1) return 0;
  return 1;
}

/* Line counts that contradict the File description: writing by them would
 * put values at the wrong samples or outside the arrays, so nothing is sent. */
static int st_bad_line_counts(int L, int n) {
  _vek_error("Line counts of the File (%d entries) do not match its description (%d lines).", n, L);
  return VEK_RESULT_USAGE;
}

/* The whole variable of a line File: S file samples, each line being its
 * header (test_val) followed by its next c[i] - 1 data values. */
static int st_write_staged(double test_val, const vek_value_source *src, vek_long S, int L, int n, const int *c) {
  vek_long total = 0;
  if (st_lines_valid(L, n, c))
    for (int i = 0; i < L; i++) total += c[i];
  if (total != S) return st_bad_line_counts(L, n);
  double *stage = st_resize_doubles(NULL, S);
  if (!stage) {
    _vek_error("Cannot allocate memory for %lld values.", (long long)S);
    return VEK_RESULT_MEMORY;
  }
  double *out = stage;
  size_t at = 0;
  for (int i = 0; i < L; i++) {
    size_t m = (size_t)c[i] - 1;
    *out++ = test_val;
    while (m > 0) {
      const double *run = NULL;
      size_t got = src->next(src->ctx, at, m, &run);
      if (got == 0 || got > m) {
        _vek_free(stage);
        return VEK_RESULT_COMMUNICATION;
      }
      memcpy(out, run, got * sizeof(double));
      out += got;
      at += got;
      m -= got;
    }
  }
  vek_value_source staged = {st_array_values, stage};
  int code = st_write_var_nocheck(1, S, 0, test_val, S, &staged);
  _vek_free(stage);
  return code;
}

/* A range that covers exactly the data samples of one line is sent as that
 * line's file samples, its header skipped; any other range goes unchanged. */
static int st_write_one_line(vek_long first, vek_long last, int transfer_flag, double test_val, vek_long count,
                             const vek_value_source *src, int L, int n, const int *c) {
  if (!st_lines_valid(L, n, c)) return st_bad_line_counts(L, n);
  vek_long u = 1, f = 1;
  for (int i = 0; i < L; i++) {
    if (u == first && u + c[i] - 2 == last) {
      vek_long m = c[i] - 1;
      /* The line's values come from the caller's array: never past it. */
      if (count < m) {
        _vek_error("VEKClientWriteDoubleVariableSub(): %lld values given for samples %lld to %lld.", (long long)count,
                   (long long)first, (long long)last);
        return VEK_RESULT_USAGE;
      }
      return st_write_var_nocheck(f + 1, f + c[i] - 1, 0, test_val, m, src);
    }
    f += c[i];
    u += c[i] - 1;
  }
  return st_write_var_nocheck(first, last, transfer_flag, test_val, count, src);
}

/* The write logic shared by the whole and the sub-range write. */
static int st_write_var(vek_long first, vek_long last, int transfer_flag, double test_val, vek_long count,
                        const vek_value_source *src) {
  if (transfer_flag != 0 || _vek_client_server_version >= 900000)
    return st_write_var_nocheck(first, last, transfer_flag, test_val, count, src);
  VEKFileInfo info;
  if (VEKClientGetFileInfo(&info)) return VEK_RESULT_USAGE;
  if (info.type != VEK_FILE_TYPE_GRAVITY_LINES || !_vek_is_supported("CLFILECNT", false))
    return st_write_var_nocheck(first, last, transfer_flag, test_val, count, src);
  int n = 0;
  int *c = NULL;
  if (_vek_get_line_samples(&n, &c)) {
    _vek_free(c);
    return VEK_RESULT_USAGE;
  }
  int L = info.item_number;
  vek_long S = info.s_number;
  /* Data samples of the File; -1 (never a count) when S cannot hold L headers. */
  vek_long D = L > 0 && S >= L ? S - L : -1;
  int code;
  if (L <= 0) {
    /* No lines, no header samples: the caller's values are the file's. */
    code = st_write_var_nocheck(first, last, transfer_flag, test_val, count, src);
  } else if (((first == -1 && last == -1) || (first == 1 && last == D)) && count == D) {
    code = st_write_staged(test_val, src, S, L, n, c);
  } else if (first == -1) {
    code = st_write_var_nocheck(first, last, transfer_flag, test_val, count, src);
  } else {
    /* The line walk works on a fresh list of line counts. */
    _vek_free(c);
    c = NULL;
    if (_vek_get_line_samples(&n, &c)) code = VEK_RESULT_USAGE;
    else code = st_write_one_line(first, last, transfer_flag, test_val, count, src, L, n, c);
  }
  _vek_free(c);
  return code;
}

/* ---------------- line transfers ---------------- */

/* Both line requests need a server that counts line samples. */
static int st_check_line_server(void) {
  return _vek_is_supported("CLFILECNT", true) ? VEK_RESULT_OK : VEK_RESULT_COMMUNICATION;
}

extern "C" {

int VEKClientReadDoubleVariable(int transfer_flag, double *test_val, vek_long *count, double **data) {
  VEK_TRACE_ENTRY("VEKClientReadDoubleVariable", "(%d,%p,%p,%p)", transfer_flag, (void *)test_val, (void *)count,
                  (void *)data);
  int code = st_prepare_outputs("VEKClientReadDoubleVariable", test_val, count, data);
  if (!code) {
    *count = 0;
    code = st_read_var(-1, -1, transfer_flag, test_val, count, data);
  }
  return _vek_finish(code);
}

int VEKClientReadDoubleVariableSub(vek_long first, vek_long last, int transfer_flag, double *test_val, vek_long *count,
                                   double **data) {
  VEK_TRACE_ENTRY("VEKClientReadDoubleVariableSub", "(%ld,%ld,%d,%p,%p,%p)", (long)first, (long)last, transfer_flag,
                  (void *)test_val, (void *)count, (void *)data);
  int code = st_prepare_outputs("VEKClientReadDoubleVariableSub", test_val, count, data);
  if (code) return _vek_finish(code);
  *count = 0;
  if (!st_is_subrange_server() && (first != -1 || last != -1))
    return st_refuse_old_server("VEKClientReadDoubleVariableSub");
  return _vek_finish(st_read_var(first, last, transfer_flag, test_val, count, data));
}

int _vek_read_double_variable_into(int transfer_flag, const vek_value_sink *sink) {
  VEK_TRACE_ENTRY("_vek_read_double_variable_into", "(%d,%p)", transfer_flag, (const void *)sink);
  if (!sink) {
    _vek_error("_vek_read_double_variable_into(): the sink cannot be NULL.");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  return _vek_finish(st_read_var_into(transfer_flag, sink));
}

/* The whole-variable write of an array or of values produced as they go
 * (`shown`, the array or the producer, for the trace and the check). */
static int st_write_whole(int transfer_flag, double test_val, vek_long count, const vek_value_source *src,
                          const void *shown) {
  VEK_TRACE_ENTRY("VEKClientWriteDoubleVariable", "(%d,%g,%ld,%p)", transfer_flag, test_val, (long)count, shown);
  int code = vek_check_values("VEKClientWriteDoubleVariable", count, shown);
  if (!code) code = st_write_var(-1, -1, transfer_flag, test_val, count, src);
  return _vek_finish(code);
}

int VEKClientWriteDoubleVariable(int transfer_flag, double test_val, vek_long count, const double *data) {
  vek_value_source array = {st_array_values, (void *)data};
  return st_write_whole(transfer_flag, test_val, count, &array, data);
}

int _vek_write_double_variable_from(int transfer_flag, double test_val, vek_long count, const vek_value_source *src) {
  return st_write_whole(transfer_flag, test_val, count, src, src);
}

int VEKClientWriteDoubleVariableSub(vek_long first, vek_long last, int transfer_flag, double test_val, vek_long count,
                                    const double *data) {
  VEK_TRACE_ENTRY("VEKClientWriteDoubleVariableSub", "(%ld,%ld,%d,%g,%ld,%p)", (long)first, (long)last, transfer_flag,
                  test_val, (long)count, (const void *)data);
  int code = vek_check_values("VEKClientWriteDoubleVariableSub", count, data);
  if (code) return _vek_finish(code);
  if (!st_is_subrange_server()) return st_refuse_old_server("VEKClientWriteDoubleVariableSub");
  vek_value_source array = {st_array_values, (void *)data};
  return _vek_finish(st_write_var(first, last, transfer_flag, test_val, count, &array));
}

/* "CREADLINF": line -> "SDATAF" with an int count. Returns the code. */
int VEKClientReadLineDoubleVariable(int line, double *test_val, int *count, double **data) {
  VEK_TRACE_ENTRY("VEKClientReadLineDoubleVariable", "(%d,%p,%p,%p)", line, (void *)test_val, (void *)count,
                  (void *)data);
  int code = st_prepare_outputs("VEKClientReadLineDoubleVariable", test_val, count, data);
  if (!code) *count = 0;
  if (!code) code = st_check_line_server();
  if (!code) code = _vek_request("CREADLINF");
  if (!code && !vek_put_int(line)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDATAF");
  vek_long n = 0;
  if (!code) code = st_read_values(0, test_val, &n, data);
  if (!code) *count = (int)n;
  _vek_finish(code);
  return code;
}

/* "CWRITLINF": line, count, test_val, values -> "SDONE". Returns the code. */
int VEKClientWriteLineDoubleVariable(int line, double test_val, int count, const double *data) {
  VEK_TRACE_ENTRY("VEKClientWriteLineDoubleVariable", "(%d,%g,%d,%p)", line, test_val, count, (const void *)data);
  int code = vek_check_values("VEKClientWriteLineDoubleVariable", count, data);
  if (!code) code = st_check_line_server();
  if (!code) code = _vek_request("CWRITLINF");
  if (!code && !(vek_put_int(line) && vek_put_int(count) && vek_put_double(test_val) && vek_put_doubles(data, count)))
    code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDONE");
  _vek_finish(code);
  return code;
}

} /* extern "C" */
