/*
 * The typed stream codec: host values to the protocol's byte stream and back.
 *
 * Every scalar travels as at least 32 big-endian bits; strings carry a 32-bit
 * length and are padded to a 4-byte boundary. Writes gather in a 1024-byte
 * buffer that leaves in one send each time it fills and at the end of a
 * request; peers and tests rely on that send pattern. Reads come from a
 * separate, larger window: how the received stream is cut does not change
 * its bytes, and fewer receive calls make large variables cheaper. Whole
 * variables go through the same buffer and window in bulk (codec_bulk.cpp).
 */
#include <algorithm>
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "codec_buffers.h"
#include "vek_internal.h"

extern "C" {
int _vek_disable_rw_trace;
int _vek_client64;
int _vek_server64;
/* Defined beside the codec, not the session: the codec's own waits use it,
 * and the server links the codec without the session. */
int _vek_answer_timeout_ms = 30000;
int (*_vek_progress_function)(double done, double total) = NULL;
}

unsigned char _vek_wbuf[VEK_BUFFER_SIZE];
int _vek_wbuf_nbytes;
unsigned char _vek_rbuf[VEK_READ_WINDOW_SIZE];
int _vek_rbuf_pos;
int _vek_rbuf_nbytes;
static const unsigned char rest_tab_write[3] = {0, 0, 0};
static unsigned char rest_tab_read[3];
/* The last string read failed for want of memory, not of bytes. */
static int string_without_memory;

int _vek_io_timeout_ms(void) { return _vek_is_server ? -1 : _vek_answer_timeout_ms; }

static int wait_writable(int sock, int timeout_ms) {
  int r = _vek_wait_fd(sock, POLLOUT, timeout_ms);
  if (r == 0) _vek_time_out();
  return r;
}

extern "C" {

void _vek_empty_write_buffer(void) {
  if (_vek_trace_level >= 5) _vek_trace("Emptying Write buffer");
  _vek_wbuf_nbytes = 0;
}

void _vek_empty_read_buffer(void) {
  _vek_rbuf_pos = 0;
  _vek_rbuf_nbytes = 0;
}

int _vek_flush_write(int sock) {
  if (_vek_wbuf_nbytes == 0) return 1;
  if (_vek_trace_level >= 5) _vek_trace("Flushing Write buffer (%d bytes)", _vek_wbuf_nbytes);
  int sent = 0;
  int ok = 1;
  /* A short send is continued: a request must never lose its tail. */
  while (sent < _vek_wbuf_nbytes) {
    ssize_t r = send(sock, _vek_wbuf + sent, (size_t)(_vek_wbuf_nbytes - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(sock, _vek_io_timeout_ms()) > 0) continue;
      _vek_note_io_failure(r);
      ok = 0;
      break;
    }
    sent += (int)r;
  }
  _vek_wbuf_nbytes = 0;
  return ok;
}

int _vek_flush_read(int sock, int need) {
  if (_vek_trace_level >= 5) _vek_trace("Flushing Read buffer (%d bytes)", _vek_rbuf_nbytes);
  int unread = _vek_rbuf_nbytes - _vek_rbuf_pos;
  if (unread > 0 && _vek_rbuf_pos > 0) memmove(_vek_rbuf, _vek_rbuf + _vek_rbuf_pos, (size_t)unread);
  _vek_rbuf_pos = 0;
  _vek_rbuf_nbytes = unread;
  if (need > VEK_READ_WINDOW_SIZE) return 0;
  if (_vek_rbuf_nbytes < need && sock < 0) return 0;
  while (_vek_rbuf_nbytes < need) {
    int w = _vek_wait_readable(sock, _vek_io_timeout_ms());
    if (w <= 0) {
      if (w == 0) _vek_time_out();
      return 0;
    }
    ssize_t r = recv(sock, _vek_rbuf + _vek_rbuf_nbytes, (size_t)(VEK_READ_WINDOW_SIZE - _vek_rbuf_nbytes), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = 0; /* the peer closed: no system error to report */
    if (r <= 0) {
      _vek_note_io_failure((long)r);
      return 0;
    }
    _vek_rbuf_nbytes += (int)r;
  }
  return 1;
}

/* Appends one 4-byte unit with the buffer's send rule: flush first when it
 * does not fit, flush at once when the buffer becomes full. */
static int put_unit(int sock, uint32_t v) {
  if (sock == -1) return 0;
  if (_vek_wbuf_nbytes + 4 > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  vek_put_be32(_vek_wbuf + _vek_wbuf_nbytes, v);
  _vek_wbuf_nbytes += 4;
  if (_vek_wbuf_nbytes == VEK_BUFFER_SIZE) return _vek_flush_write(sock);
  return 1;
}

static int get_unit(int sock, uint32_t *v) {
  if (_vek_rbuf_nbytes - _vek_rbuf_pos < 4 && !_vek_flush_read(sock, 4)) return 0;
  *v = vek_get_be32(_vek_rbuf + _vek_rbuf_pos);
  _vek_rbuf_pos += 4;
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
  int b = *v != 0;
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
  uint64_t u = vek_double_bits(*v);
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
  if (_vek_wbuf_nbytes + 8 > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  uint64_t u = (uint64_t)*v;
  vek_put_be32(_vek_wbuf + _vek_wbuf_nbytes, (uint32_t)(u >> 32));
  vek_put_be32(_vek_wbuf + _vek_wbuf_nbytes + 4, (uint32_t)u);
  _vek_wbuf_nbytes += 8;
  if (_vek_wbuf_nbytes == VEK_BUFFER_SIZE) return _vek_flush_write(sock);
  return 1;
}

int _vek_write_bytes(int sock, const void *p, size_t n) {
  if (n == 0) return 1;
  if (sock == -1) return 0;
  if ((size_t)_vek_wbuf_nbytes + n > VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
  const unsigned char *src = (const unsigned char *)p;
  while (n > 0) {
    size_t take = std::min(VEK_BUFFER_SIZE - (size_t)_vek_wbuf_nbytes, n);
    memcpy(_vek_wbuf + _vek_wbuf_nbytes, src, take);
    _vek_wbuf_nbytes += (int)take;
    src += take;
    n -= take;
    if (_vek_wbuf_nbytes == VEK_BUFFER_SIZE && !_vek_flush_write(sock)) return 0;
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
  *v = i != 0;
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
  *v = vek_bits_double(((uint64_t)hi << 32) | lo);
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
  if (_vek_rbuf_nbytes - _vek_rbuf_pos < 8 && !_vek_flush_read(sock, 8)) return 0;
  uint64_t u = ((uint64_t)vek_get_be32(_vek_rbuf + _vek_rbuf_pos) << 32) | vek_get_be32(_vek_rbuf + _vek_rbuf_pos + 4);
  _vek_rbuf_pos += 8;
  *v = (vek_long)u;
  if (TRACE_RW) _vek_trace("Read Long(64bits)(%ld)", (long)*v);
  return 1;
}

int _vek_read_bytes(int sock, void *p, size_t n) {
  unsigned char *dst = (unsigned char *)p;
  while (n > 0) {
    if (_vek_rbuf_nbytes == _vek_rbuf_pos && !_vek_flush_read(sock, 1)) return 0;
    size_t take = std::min((size_t)(_vek_rbuf_nbytes - _vek_rbuf_pos), n);
    memcpy(dst, _vek_rbuf + _vek_rbuf_pos, take);
    _vek_rbuf_pos += (int)take;
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
      _vek_free(*value);
      *value = NULL;
    } else {
      (*value)[0] = '\0';
    }
    return 0;
  }
  if (TRACE_RW) _vek_trace("Read Str(%s)", *value);
  return 1;
}

int _vek_read_failed_code(void) { return string_without_memory ? VEK_RESULT_MEMORY : VEK_RESULT_COMMUNICATION; }

int _vek_read_int_elem(int sock, void *v, unsigned) { return _vek_read_int(sock, (int *)v); }
int _vek_read_double_elem(int sock, void *v, unsigned) { return _vek_read_double(sock, (double *)v); }
int _vek_write_double_elem(int sock, void *v, unsigned) { return _vek_write_double(sock, (const double *)v); }

} /* extern "C" */
