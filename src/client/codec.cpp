/*
 * The typed stream codec: host values to the protocol's byte stream and back.
 *
 * Every scalar travels as at least 32 big-endian bits; strings carry a 32-bit
 * length and are padded to a 4-byte boundary. Writes gather in a 1024-byte
 * buffer that leaves in one send each time it fills and at the end of a
 * request; peers and tests rely on that send pattern. Reads come from a
 * separate, larger window: how the received stream is cut does not change
 * its bytes, and fewer receive calls make large variables cheaper.
 */
#include <stdlib.h>
#include <string.h>

#include "vek_internal.h"

extern "C" {
int _vek_disable_rw_trace = 0;
int _vek_client64 = 0;
int _vek_server64 = 0;
/* Defined beside the codec, not the session: the codec's own waits use it,
 * and the server links the codec without the session. */
int _vek_answer_timeout_ms = 30000;
int (*_vek_progress_function)(double done, double total) = NULL;
}

#define READ_BUFFER_SIZE 65536

static unsigned char _buffer[VEK_BUFFER_SIZE];
static int _buffer_nbytes = 0;
static unsigned char _rbuffer[READ_BUFFER_SIZE];
static int _buffer_rpos = 0;
static int _buffer_rnbytes = 0;
static const unsigned char rest_tab_write[3] = {0, 0, 0};
static unsigned char rest_tab_read[3];
/* The last string read failed for want of memory, not of bytes. */
static int string_without_memory = 0;

#define TRACE_RW (!_vek_disable_rw_trace && _vek_trace_level >= 3)

static inline void put32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

static inline uint32_t get32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static inline uint64_t double_bits(double d) {
  uint64_t u;
  memcpy(&u, &d, sizeof u);
  return u;
}

static inline double bits_double(uint64_t u) {
  double d;
  memcpy(&d, &u, sizeof d);
  return d;
}

/* The longest the client waits on a silent peer in the middle of a value,
 * in either direction: a server that stops halfway through an answer, or
 * stops reading a long request, must cost the caller a failed request, not
 * its session. The server waits for its client as long as it takes. */
static int io_timeout_ms(void) { return _vek_is_server ? -1 : _vek_answer_timeout_ms; }

static int wait_writable(int sock, int timeout_ms) {
  int r = _vek_wait_fd(sock, POLLOUT, timeout_ms);
  if (r == 0) _vek_time_out();
  return r;
}

extern "C" {

void _vek_empty_write_buffer(void) {
  if (_vek_trace_level >= 5) _vek_trace("Emptying Write buffer");
  _buffer_nbytes = 0;
}

void _vek_empty_read_buffer(void) {
  _buffer_rpos = 0;
  _buffer_rnbytes = 0;
}

int _vek_flush_write(int sock) {
  if (_buffer_nbytes == 0) return 1;
  if (_vek_trace_level >= 5) _vek_trace("Flushing Write buffer (%d bytes)", _buffer_nbytes);
  int sent = 0;
  int ok = 1;
  /* A short send is continued: a request must never lose its tail. */
  while (sent < _buffer_nbytes) {
    ssize_t r = send(sock, _buffer + sent, (size_t)(_buffer_nbytes - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(sock, io_timeout_ms()) > 0) continue;
      _vek_note_io_failure(r);
      ok = 0;
      break;
    }
    sent += (int)r;
  }
  _buffer_nbytes = 0;
  return ok;
}

int _vek_flush_read(int sock, int need) {
  if (_vek_trace_level >= 5) _vek_trace("Flushing Read buffer (%d bytes)", _buffer_rnbytes);
  int unread = _buffer_rnbytes - _buffer_rpos;
  if (unread > 0 && _buffer_rpos > 0) memmove(_rbuffer, _rbuffer + _buffer_rpos, (size_t)unread);
  _buffer_rpos = 0;
  _buffer_rnbytes = unread;
  if (need > READ_BUFFER_SIZE) return 0;
  if (_buffer_rnbytes < need && sock < 0) return 0;
  while (_buffer_rnbytes < need) {
    int w = _vek_wait_readable(sock, io_timeout_ms());
    if (w <= 0) {
      if (w == 0) _vek_time_out();
      return 0;
    }
    ssize_t r = recv(sock, _rbuffer + _buffer_rnbytes, (size_t)(READ_BUFFER_SIZE - _buffer_rnbytes), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = 0; /* the peer closed: no system error to report */
    if (r <= 0) {
      _vek_note_io_failure((long)r);
      return 0;
    }
    _buffer_rnbytes += (int)r;
  }
  return 1;
}

/* Appends one 4-byte unit with the buffer's send rule: flush first when it
 * does not fit, flush at once when the buffer becomes full. */
static int put_unit(int sock, uint32_t v) {
  if (sock == -1) return 0;
  if (_buffer_nbytes + 4 > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  put32(_buffer + _buffer_nbytes, v);
  _buffer_nbytes += 4;
  if (_buffer_nbytes == VEK_BUFFER_SIZE) return _vek_flush_write(sock);
  return 1;
}

static int get_unit(int sock, uint32_t *v) {
  if (_buffer_rnbytes - _buffer_rpos < 4 && !_vek_flush_read(sock, 4)) return 0;
  *v = get32(_rbuffer + _buffer_rpos);
  _buffer_rpos += 4;
  return 1;
}

int _vek_write_int(int sock, const int *v) {
  if (TRACE_RW) _vek_trace("Write Int(%d)", *v);
  return put_unit(sock, (uint32_t)*v);
}

int _vek_write_uint(int sock, const unsigned *v) {
  if (TRACE_RW) _vek_trace("Write Int(%d)", (int)*v);
  return put_unit(sock, (uint32_t)*v);
}

int _vek_write_bool(int sock, const int *v) {
  int b = *v ? 1 : 0;
  return _vek_write_int(sock, &b);
}

int _vek_write_char(int sock, const signed char *v) {
  int i = *v;
  return _vek_write_int(sock, &i);
}

int _vek_write_uchar(int sock, const unsigned char *v) {
  int i = *v;
  return _vek_write_int(sock, &i);
}

int _vek_write_short(int sock, const short *v) {
  int i = *v;
  return _vek_write_int(sock, &i);
}

int _vek_write_ushort(int sock, const unsigned short *v) {
  int i = *v;
  return _vek_write_int(sock, &i);
}

int _vek_write_double(int sock, const double *v) {
  if (TRACE_RW) _vek_trace("Write Dbl(%g)", *v);
  uint64_t u = double_bits(*v);
  return put_unit(sock, (uint32_t)(u >> 32)) && put_unit(sock, (uint32_t)u);
}

int _vek_write_long(int sock, const vek_long *v) {
  int wide = _vek_client64 && _vek_server64;
  if (TRACE_RW) {
    if (wide) _vek_trace("Write Long(64bits)(%ld)", (long)*v);
    else _vek_trace("Write Long(64->32bits)(%ld)", (long)*v);
  }
  if (!wide) {
    if (*v < INT32_MIN || *v > INT32_MAX) {
      _vek_error("_vek_write_long(): Server & Client are not both 64 bits");
      return 0;
    }
    return put_unit(sock, (uint32_t)(int32_t)*v);
  }
  if (sock == -1) return 0;
  /* A long is one 8-byte value: it never straddles two sends. */
  if (_buffer_nbytes + 8 > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  uint64_t u = (uint64_t)*v;
  put32(_buffer + _buffer_nbytes, (uint32_t)(u >> 32));
  put32(_buffer + _buffer_nbytes + 4, (uint32_t)u);
  _buffer_nbytes += 8;
  if (_buffer_nbytes == VEK_BUFFER_SIZE) return _vek_flush_write(sock);
  return 1;
}

int _vek_write_bytes(int sock, const void *p, size_t n) {
  if (n == 0) return 1;
  if (sock == -1) return 0;
  if ((size_t)_buffer_nbytes + n > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  const unsigned char *src = (const unsigned char *)p;
  while (n > 0) {
    size_t take = VEK_BUFFER_SIZE - (size_t)_buffer_nbytes;
    if (take > n) take = n;
    memcpy(_buffer + _buffer_nbytes, src, take);
    _buffer_nbytes += (int)take;
    src += take;
    n -= take;
    if (_buffer_nbytes == VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  }
  return 1;
}

int _vek_write_string(int sock, char **value, unsigned maxsize) {
  const char *s = (value && *value) ? *value : "";
  size_t len = strlen(s);
  if (TRACE_RW) _vek_trace("Write Str(%s)", s);
  /* Refused before anything is buffered: a length already on its way (a full
   * buffer leaves at once) would make the server wait for text that never
   * comes and read the next request as its rest. */
  if ((unsigned long long)len + 1 > maxsize) return 0;
  unsigned L = (unsigned)len;
  int saved = _vek_disable_rw_trace;
  _vek_disable_rw_trace = 1;
  int ok = _vek_write_uint(sock, &L);
  _vek_disable_rw_trace = saved;
  if (!ok) return 0;
  return _vek_write_bytes(sock, s, L) && _vek_write_bytes(sock, rest_tab_write, (4 - L % 4) % 4);
}

int _vek_read_int(int sock, int *v) {
  uint32_t u;
  if (!get_unit(sock, &u)) return 0;
  *v = (int)(int32_t)u;
  if (TRACE_RW) _vek_trace("Read Int(%d)", *v);
  return 1;
}

int _vek_read_uint(int sock, unsigned *v) {
  uint32_t u;
  if (!get_unit(sock, &u)) return 0;
  *v = u;
  if (TRACE_RW) _vek_trace("Read Int(%d)", (int)u);
  return 1;
}

int _vek_read_bool(int sock, int *v) {
  int i;
  if (!_vek_read_int(sock, &i)) return 0;
  *v = i ? 1 : 0;
  return 1;
}

int _vek_read_char(int sock, signed char *v) {
  int i;
  if (!_vek_read_int(sock, &i)) return 0;
  *v = (signed char)(i & 0xFF);
  return 1;
}

int _vek_read_uchar(int sock, unsigned char *v) {
  int i;
  if (!_vek_read_int(sock, &i)) return 0;
  *v = (unsigned char)(i & 0xFF);
  return 1;
}

int _vek_read_short(int sock, short *v) {
  int i;
  if (!_vek_read_int(sock, &i)) return 0;
  *v = (short)(i & 0xFFFF);
  return 1;
}

int _vek_read_ushort(int sock, unsigned short *v) {
  int i;
  if (!_vek_read_int(sock, &i)) return 0;
  *v = (unsigned short)(i & 0xFFFF);
  return 1;
}

int _vek_read_double(int sock, double *v) {
  uint32_t hi, lo;
  if (!get_unit(sock, &hi) || !get_unit(sock, &lo)) return 0;
  *v = bits_double(((uint64_t)hi << 32) | lo);
  if (TRACE_RW) _vek_trace("Read Dbl(%g)", *v);
  return 1;
}

int _vek_read_long(int sock, vek_long *v) {
  if (!(_vek_client64 && _vek_server64)) {
    uint32_t u;
    if (!get_unit(sock, &u)) return 0;
    *v = (vek_long)(int32_t)u;
    if (TRACE_RW) _vek_trace("Read Long(32->64bits)(%ld)", (long)*v);
    return 1;
  }
  if (_buffer_rnbytes - _buffer_rpos < 8 && !_vek_flush_read(sock, 8)) return 0;
  uint64_t u = ((uint64_t)get32(_rbuffer + _buffer_rpos) << 32) | get32(_rbuffer + _buffer_rpos + 4);
  _buffer_rpos += 8;
  *v = (vek_long)u;
  if (TRACE_RW) _vek_trace("Read Long(64bits)(%ld)", (long)*v);
  return 1;
}

int _vek_read_bytes(int sock, void *p, size_t n) {
  unsigned char *dst = (unsigned char *)p;
  while (n > 0) {
    if (_buffer_rnbytes == _buffer_rpos && !_vek_flush_read(sock, 1)) return 0;
    size_t take = (size_t)(_buffer_rnbytes - _buffer_rpos);
    if (take > n) take = n;
    memcpy(dst, _rbuffer + _buffer_rpos, take);
    _buffer_rpos += (int)take;
    dst += take;
    n -= take;
  }
  return 1;
}

int _vek_read_string(int sock, char **value, unsigned maxsize) {
  string_without_memory = 0;
  unsigned L;
  int saved = _vek_disable_rw_trace;
  _vek_disable_rw_trace = 1;
  int ok = _vek_read_uint(sock, &L);
  _vek_disable_rw_trace = saved;
  if (!ok) return 0;
  if (L == 0xFFFFFFFFu) {
    /* A length whose terminator cannot be counted carries no text. It reads
     * as the empty string: a caller must never find a null or stale name
     * behind a successful read. */
    if (!*value) {
      *value = (char *)_vek_malloc(1);
      if (!*value) {
        string_without_memory = 1;
        _vek_error("_vek_read_string(): Cannot allocate memory");
        return 0;
      }
    }
    (*value)[0] = '\0';
    return 1;
  }
  if ((unsigned long long)L + 1 > maxsize) return 0;
  int allocated = 0;
  if (!*value) {
    *value = (char *)_vek_malloc((size_t)L + 1);
    if (!*value) {
      string_without_memory = 1;
      _vek_error("_vek_read_string(): Cannot allocate memory");
      return 0;
    }
    allocated = 1;
  }
  (*value)[L] = '\0';
  if (!_vek_read_bytes(sock, *value, L) || !_vek_read_bytes(sock, rest_tab_read, (4 - L % 4) % 4)) {
    if (allocated) {
      free(*value);
      *value = NULL;
    } else {
      (*value)[0] = '\0';
    }
    return 0;
  }
  if (TRACE_RW) _vek_trace("Read Str(%s)", *value);
  return 1;
}

int _vek_read_failed_code(void) {
  return string_without_memory ? VEK_RESULT_MEMORY : VEK_RESULT_COMMUNICATION;
}

int _vek_read_int_elem(int sock, void *v, unsigned) { return _vek_read_int(sock, (int *)v); }
int _vek_read_double_elem(int sock, void *v, unsigned) { return _vek_read_double(sock, (double *)v); }
int _vek_write_double_elem(int sock, void *v, unsigned) {
  return _vek_write_double(sock, (const double *)v);
}

} /* extern "C" */

/*
 * Bulk forms of the three element operations used on whole variables. They
 * produce exactly the bytes and sends of the element-by-element loop (each
 * double is two 4-byte units under the buffer's send rule) without a call
 * and a trace test per value.
 */

/* A double's 8 bytes between host order and the wire's big-endian order:
 * one swap per value rather than eight byte stores, which on a 10^7-value
 * variable is the difference between the encoding costing more than the
 * sends and costing next to nothing. */
static inline uint64_t wire64(uint64_t u) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return u;
#else
  return __builtin_bswap64(u);
#endif
}

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
    if (_buffer_nbytes + 4 > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
    /* Whole doubles that fit before the buffer fills. */
    size_t fit = (size_t)(VEK_BUFFER_SIZE - _buffer_nbytes) / 8;
    if (fit > have) fit = have;
    unsigned char *p = _buffer + _buffer_nbytes;
    for (size_t k = 0; k < fit; k++, p += 8) {
      uint64_t u = wire64(double_bits(run[k]));
      memcpy(p, &u, 8);
    }
    _buffer_nbytes += (int)(fit * 8);
    run += fit;
    have -= fit;
    i += fit;
    if (_buffer_nbytes == VEK_BUFFER_SIZE) {
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
      int w = _vek_wait_readable(sock, io_timeout_ms());
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
    if (_buffer_rnbytes == _buffer_rpos && n - i >= DIRECT_MIN_VALUES) {
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
        u = wire64(u);
        memcpy(a + i + k, &u, 8);
      }
      i += whole;
      if (part) {
        memcpy(_rbuffer, a + i, part);
        _buffer_rpos = 0;
        _buffer_rnbytes = (int)part;
      }
      continue;
    }
    if (_buffer_rnbytes - _buffer_rpos < 8 && !_vek_flush_read(sock, 8)) return 0;
    size_t avail = (size_t)(_buffer_rnbytes - _buffer_rpos) / 8;
    if (avail > n - i) avail = n - i;
    const unsigned char *p = _rbuffer + _buffer_rpos;
    for (size_t k = 0; k < avail; k++, p += 8) {
      uint64_t u;
      memcpy(&u, p, 8);
      a[i + k] = bits_double(wire64(u));
    }
    _buffer_rpos += (int)(avail * 8);
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
    if (_buffer_rnbytes - _buffer_rpos < 4 && !_vek_flush_read(sock, 4)) return 0;
    size_t avail = (size_t)(_buffer_rnbytes - _buffer_rpos) / 4;
    if (avail > n - i) avail = n - i;
    const unsigned char *p = _rbuffer + _buffer_rpos;
    for (size_t k = 0; k < avail; k++, p += 4) a[i + k] = (int)(int32_t)get32(p);
    _buffer_rpos += (int)(avail * 4);
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
  if (ok && n > 10 && _vek_trace_level >= 3)
    _vek_trace("... + some other %lu values", (unsigned long)(n - 10));
  _vek_disable_rw_trace = 1;
  if (ok && i < n) ok = write_doubles(sock, src, i, n);
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
  if (ok && n > 10 && _vek_trace_level >= 3)
    _vek_trace("... + some other %lu values", (unsigned long)(n - 10));
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
