/*
 * Bulk forms of the three element operations used on whole variables, and
 * the values of a variable produced by a source or handed to a sink as
 * they go. They produce exactly the bytes and sends of the
 * element-by-element loop (each double is two 4-byte units under the
 * buffer's send rule, codec.cpp) without a call and a trace test per value.
 */
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "codec_buffers.h"
#include "vek_internal.h"

/* Values between two reports to the host: often enough for a Ctrl-C to be
 * felt at once (64 KiB leave in well under a millisecond), rarely enough
 * that asking costs nothing beside the sends. */
#define PROGRESS_EVERY 8192

/* Below this, a read goes through the read window; above, the values are
 * received straight into the caller's array. */
#define DIRECT_MIN_VALUES 1024
/* At most this much in one direct receive, so that progress is reported
 * and a server's receive of a whole piece ends as it arrives. */
#define DIRECT_MAX_BYTES ((size_t)1 << 20)

/* Tells the host how far a bulk transfer has come, between two sends or
 * two receives, so that the bytes and the sends stay what they are. 0 when
 * the host wants it stopped. */
static int transfer_goes_on(size_t done, size_t total) {
  if (_vek_progress_function == NULL) return 1;
  if (!_vek_interrupted && !_vek_progress_function((double)done, (double)total)) return 1;
  _vek_interrupted = 1;
  errno = EINTR;
  return 0;
}

/* The caller's array as a value source: the whole rest at once, no copy. */
static size_t array_values(void *ctx, size_t at, size_t want, const double **run) {
  *run = (const double *)ctx + at;
  return want;
}

/* Values from..n-1 of src. */
static int write_doubles(int sock, const vek_value_source *src, size_t from, size_t n) {
  if (sock == -1) return from == n;
  size_t i = from, report = from, have = 0;
  const double *run = NULL;
  while (i < n) {
    if (i >= report) {
      if (!transfer_goes_on(i - from, n - from)) return 0;
      report = i + PROGRESS_EVERY;
    }
    if (have == 0) {
      have = src->next(src->ctx, i, n - i, &run);
      if (have == 0 || have > n - i) {
        /* The producer gave up or broke its word: the request cannot be
         * completed. */
        errno = _vek_interrupted ? EINTR : EINVAL;
        return 0;
      }
    }
    if (_vek_wbuf_nbytes + 4 > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
    /* Whole doubles that fit before the buffer fills. */
    size_t fit = (size_t)(VEK_BUFFER_SIZE - _vek_wbuf_nbytes) / 8;
    if (fit > have) fit = have;
    unsigned char *p = _vek_wbuf + _vek_wbuf_nbytes;
    for (size_t k = 0; k < fit; k++, p += 8) {
      uint64_t u = vek_be64(vek_double_bits(run[k]));
      memcpy(p, &u, 8);
    }
    _vek_wbuf_nbytes += (int)(fit * 8);
    run += fit;
    have -= fit;
    i += fit;
    if (_vek_wbuf_nbytes == VEK_BUFFER_SIZE) {
      if (!_vek_flush_write(sock)) return 0;
    } else if (fit == 0) {
      /* 4 bytes left: the double's halves go out on either side of a send. */
      if (!_vek_write_double(sock, run)) return 0;
      run++;
      have--;
      i++;
    }
  }
  return transfer_goes_on(n - from, n - from);
}

/* Receives between 1 and len bytes into p; 0 when the peer closed, -1 on
 * failure. The client waits in slices, so that an interrupt or its time
 * limit is felt; the server, which has no one to ask and its own socket
 * time limit, waits in the receive until all len bytes are in. */
static ssize_t recv_some(int sock, void *p, size_t len) {
  for (;;) {
    if (!_vek_is_server) {
      int w = _vek_wait_readable(sock, _vek_io_timeout_ms());
      if (w <= 0) {
        if (w == 0) _vek_time_out();
        return -1;
      }
    }
    ssize_t r = recv(sock, p, len, _vek_is_server ? MSG_WAITALL : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = 0; /* the peer closed: no system error to report */
    if (r <= 0) _vek_note_io_failure((long)r);
    return r;
  }
}

/* n doubles into a, the values base .. base + n - 1 of a transfer of
 * total values, as far as the host's progress is concerned. */
static int read_doubles(int sock, double *a, size_t n, size_t base, size_t total) {
  size_t i = 0, report = 0;
  while (i < n) {
    if (i >= report) {
      if (!transfer_goes_on(base + i, total)) return 0;
      report = i + PROGRESS_EVERY;
    }
    if (_vek_rbuf_nbytes == _vek_rbuf_pos && n - i >= DIRECT_MIN_VALUES) {
      /* Nothing buffered and much to come: received in place, swapped in
       * place. A double cut by the receive waits in the window for its
       * other bytes. */
      size_t want = (n - i) * 8;
      if (want > DIRECT_MAX_BYTES) want = DIRECT_MAX_BYTES;
      ssize_t r = recv_some(sock, a + i, want);
      if (r <= 0) return 0;
      size_t whole = (size_t)r / 8, part = (size_t)r % 8;
      for (size_t k = 0; k < whole; k++) {
        uint64_t u;
        memcpy(&u, a + i + k, 8);
        u = vek_be64(u);
        memcpy(a + i + k, &u, 8);
      }
      i += whole;
      if (part) {
        memcpy(_vek_rbuf, a + i, part);
        _vek_rbuf_pos = 0;
        _vek_rbuf_nbytes = (int)part;
      }
      continue;
    }
    if (_vek_rbuf_nbytes - _vek_rbuf_pos < 8 && !_vek_flush_read(sock, 8)) return 0;
    size_t avail = (size_t)(_vek_rbuf_nbytes - _vek_rbuf_pos) / 8;
    if (avail > n - i) avail = n - i;
    const unsigned char *p = _vek_rbuf + _vek_rbuf_pos;
    for (size_t k = 0; k < avail; k++, p += 8) {
      uint64_t u;
      memcpy(&u, p, 8);
      a[i + k] = vek_bits_double(vek_be64(u));
    }
    _vek_rbuf_pos += (int)(avail * 8);
    i += avail;
  }
  return transfer_goes_on(base + n, total);
}

static int read_ints(int sock, int *a, size_t n) {
  size_t i = 0, report = 0;
  while (i < n) {
    if (i >= report) {
      if (!transfer_goes_on(i, n)) return 0;
      report = i + PROGRESS_EVERY;
    }
    if (_vek_rbuf_nbytes - _vek_rbuf_pos < 4 && !_vek_flush_read(sock, 4)) return 0;
    size_t avail = (size_t)(_vek_rbuf_nbytes - _vek_rbuf_pos) / 4;
    if (avail > n - i) avail = n - i;
    const unsigned char *p = _vek_rbuf + _vek_rbuf_pos;
    for (size_t k = 0; k < avail; k++, p += 4) a[i + k] = (int)(int32_t)vek_get_be32(p);
    _vek_rbuf_pos += (int)(avail * 4);
    i += avail;
  }
  return transfer_goes_on(n, n);
}

static int run_bulk(int sock, void *array, size_t n, vek_elem_op op) {
  if (op == _vek_read_double_elem) return read_doubles(sock, (double *)array, n, 0, n);
  if (op == _vek_read_int_elem) return read_ints(sock, (int *)array, n);
  return -1;
}

extern "C" int _vek_write_double_source(int sock, size_t n, const vek_value_source *src) {
  if (n == 0) return 1;
  int saved = _vek_disable_rw_trace;
  int ok = 1;
  size_t i = 0;
  /* The first ten values are traced one by one when the trace asks for it. */
  if (TRACE_RW) {
    size_t head = n <= 10 ? n : 10;
    for (; i < head && ok; i++) {
      const double *v = NULL;
      ok = src->next(src->ctx, i, 1, &v) == 1 && _vek_write_double(sock, v);
    }
  }
  if (ok && n > 10 && _vek_trace_level >= 3) _vek_trace("... + some other %lu values", (unsigned long)(n - 10));
  _vek_disable_rw_trace = 1;
  ok = ok && (i == n || write_doubles(sock, src, i, n));
  _vek_disable_rw_trace = saved;
  return ok;
}

extern "C" int _vek_read_double_sink(int sock, size_t n, const vek_value_sink *sink) {
  if (n == 0) return 1;
  int saved = _vek_disable_rw_trace;
  int traced = TRACE_RW;
  _vek_disable_rw_trace = 1;
  int ok = 1;
  for (size_t i = 0; ok && i < n;) {
    size_t room = 0;
    double *w = sink->window(sink->ctx, i, &room);
    if (w == NULL || room == 0) {
      /* A sink with no room cannot take the rest of the answer. */
      errno = EINVAL;
      ok = 0;
      break;
    }
    if (room > n - i) room = n - i;
    ok = read_doubles(sock, w, room, i, n);
    if (!ok) break;
    /* The first ten values as the element reads trace them, before the
     * sink turns them into what its caller keeps. */
    if (traced)
      for (size_t k = 0; k < room && i + k < 10; k++) _vek_trace("Read Dbl(%g)", w[k]);
    if (n > 10 && _vek_trace_level >= 3 && i < 10 && i + room >= 10)
      _vek_trace("... + some other %lu values", (unsigned long)(n - 10));
    sink->placed(sink->ctx, i, room);
    i += room;
  }
  _vek_disable_rw_trace = saved;
  return ok;
}

extern "C" int _vek_rw_vector(int sock, void *array, size_t n, unsigned elem_size, vek_elem_op op) {
  if (n == 0) return 1;
  if (op == _vek_write_double_elem) {
    vek_value_source whole = {array_values, array};
    return _vek_write_double_source(sock, n, &whole);
  }
  int saved = _vek_disable_rw_trace;
  unsigned char *base = (unsigned char *)array;
  size_t head = n <= 10 ? n : 10;
  int ok = 1;
  size_t i = 0;
  /* The first ten values are traced one by one when the trace asks for it. */
  if (TRACE_RW) {
    for (; i < head && ok; i++) ok = op(sock, base + i * elem_size, 0xFFFFFFFFu);
  }
  if (ok && n > 10 && _vek_trace_level >= 3) _vek_trace("... + some other %lu values", (unsigned long)(n - 10));
  _vek_disable_rw_trace = 1;
  if (ok && i < n) {
    int r = run_bulk(sock, base + i * elem_size, n - i, op);
    if (r < 0) {
      for (; i < n && ok; i++) ok = op(sock, base + i * elem_size, 0xFFFFFFFFu);
    } else {
      ok = r;
    }
  }
  _vek_disable_rw_trace = saved;
  return ok;
}
