/*
 * Reading one request's arguments and composing its answer with the client's
 * codec, and the layout rules that the announced version implies.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <stdexcept>

#include "byte_order.h"
#include "server.h"
#include "vek_internal.h"

Config g_config;
volatile int g_stop = 0;

/* Arguments longer than this are not names but a broken or hostile stream. */
#define ARG_STRING_MAX 10000u
/* The client reads an error text into this size, its end included. */
#define ERROR_TEXT_SIZE 10000u
/* Values kept are received a million at a time, so that the buffer grows
 * only with what really arrives. */
#define KEPT_CHUNK_VALUES ((size_t)1 << 20)
/* Values handed on are received a piece at a time, each straight into place. */
#define PIECE_VALUES ((size_t)1 << 17)

bool cfg_announces(const char *keyword) {
  /* Only servers above 400000 announce anything; the client asks nothing of
   * the others and answers each question about them as "not supported". */
  if (g_config.version <= 400000) return false;
  return std::find(g_config.supported.begin(), g_config.supported.end(), keyword) != g_config.supported.end();
}

bool cfg_extended() {
  int v = g_config.version;
  return (v >= 410 && v < 400000) || v >= 401000;
}

bool cfg_sub_range() {
  int v = g_config.version;
  return v == 407 || v == 408 || v == 409 || v >= 411;
}

/* ---------------- arguments ---------------- */

int Io::rint() {
  int v{};
  if (!bad && !_vek_read_int(sock, &v)) bad = true;
  return v;
}

int64_t Io::rlong() {
  vek_long v{};
  if (!bad && !_vek_read_long(sock, &v)) bad = true;
  return v;
}

double Io::rdouble() {
  double v{};
  if (!bad && !_vek_read_double(sock, &v)) bad = true;
  return v;
}

std::string Io::rstring() {
  if (bad) return "";
  char *p = NULL;
  if (!_vek_read_string(sock, &p, ARG_STRING_MAX)) {
    bad = true;
    _vek_free(p);
    return "";
  }
  std::string s(p ? p : "");
  _vek_free(p);
  return s;
}

bool Io::rdoubles(int64_t n, bool keep, std::vector<double> &out) {
  out.clear();
  if (bad) return false;
  if (n < 0) {
    /* No way to know how many bytes follow: the stream is out of step. */
    bad = true;
    return false;
  }
  if (keep) {
    /* A count that promises more than the peer sends costs no more than
     * what it sent. */
    try {
      out.reserve((size_t)n);
      size_t done = 0;
      while (done < (size_t)n) {
        size_t take = std::min(KEPT_CHUNK_VALUES, (size_t)n - done);
        out.resize(done + take);
        if (!_vek_rw_vector(sock, out.data() + done, take, sizeof(double), _vek_read_double_elem)) {
          bad = true;
          std::vector<double>().swap(out);
          return false;
        }
        done += take;
      }
      return true;
    } catch (const std::exception &) {
      /* No room for n values (bad_alloc, or length_error past what a
       * vector can hold): only reserve() allocates, so none was read yet,
       * and all n are skipped below. */
      std::vector<double>().swap(out);
    }
  }
  /* Values the request cannot use still have to leave the stream. */
  double scratch[4096];
  while (n > 0) {
    size_t take = (size_t)std::min<int64_t>(n, (int64_t)std::size(scratch));
    if (!_vek_rw_vector(sock, scratch, take, sizeof(double), _vek_read_double_elem)) {
      bad = true;
      return false;
    }
    n -= (int64_t)take;
  }
  return false;
}

bool Io::rdoubles_each(int64_t n, const std::function<bool(double *, size_t)> &take) {
  if (bad) return false;
  if (n < 0) {
    bad = true;
    return false;
  }
  std::vector<double> buf;
  try {
    buf.resize((size_t)std::min<int64_t>(n, (int64_t)PIECE_VALUES));
  } catch (const std::bad_alloc &) {
    std::vector<double> none;
    rdoubles(n, false, none);
    return false;
  }
  bool taking = true;
  for (int64_t left = n; left > 0;) {
    size_t k = (size_t)std::min<int64_t>(left, (int64_t)PIECE_VALUES);
    if (!_vek_rw_vector(sock, buf.data(), k, sizeof(double), _vek_read_double_elem)) {
      bad = true;
      return false;
    }
    if (taking) taking = take(buf.data(), k);
    left -= (int64_t)k;
  }
  return taking;
}

/* ---------------- answers ---------------- */

void Io::answer(const char *keyword) {
  if (bad || wbad || answered) return;
  answered = true;
  char *k = (char *)keyword;
  if (!_vek_write_string(sock, &k, 0xFFFFFFFFu)) wbad = true;
}

void Io::error(const std::string &message) {
  if (bad || answered) return;
  _vek_debug("Answering SERROR: %s", message.c_str());
  answer("SERROR");
  astring(message, ERROR_TEXT_SIZE);
}

void Io::aint(int v) {
  if (!bad && !wbad && !_vek_write_int(sock, &v)) wbad = true;
}

void Io::along(int64_t v) {
  vek_long l = v;
  if (!bad && !wbad && !_vek_write_long(sock, &l)) wbad = true;
}

void Io::adouble(double v) {
  if (!bad && !wbad && !_vek_write_double(sock, &v)) wbad = true;
}

void Io::astring(const std::string &s, unsigned maxsize) {
  if (bad || wbad) return;
  /* The server checks its texts against the client's limits beforehand; this
   * cut only guarantees that an answer never breaks the stream. */
  std::string t = s.substr(0, std::min<size_t>(s.size(), maxsize - 1));
  t.resize(strlen(t.c_str()));
  char *p = &t[0];
  if (!_vek_write_string(sock, &p, 0xFFFFFFFFu)) wbad = true;
}

static bool send_all(int sock, const void *p, size_t n) {
  const char *c = (const char *)p;
  while (n > 0) {
    ssize_t w = TEMP_FAILURE_RETRY(send(sock, c, n, MSG_NOSIGNAL));
    if (w <= 0) return false;
    c += w;
    n -= (size_t)w;
  }
  return true;
}

void Io::adoubles_from(int64_t n, const std::function<bool(int64_t, size_t, double *, std::string &)> &fill) {
  if (bad || wbad) return;
  /* The answer's head leaves first; the stream's bytes are those of the
   * codec, only cut into fewer sends. */
  if (!_vek_flush_write(sock)) {
    wbad = true;
    return;
  }
  std::vector<double> buf;
  try {
    buf.resize((size_t)std::min<int64_t>(n, (int64_t)kValuesPerSend));
  } catch (const std::bad_alloc &) {
    _vek_debug("No memory to send the values; the session ends");
    wbad = true;
    return;
  }
  std::string err;
  for (int64_t at = 0; at < n;) {
    size_t k = (size_t)std::min<int64_t>(n - at, (int64_t)kValuesPerSend);
    if (!fill(at, k, buf.data(), err)) {
      _vek_debug("The values could not be read: %s; the session ends", err.c_str());
      wbad = true;
      return;
    }
    vek_doubles_be(buf.data(), k);
    if (!send_all(sock, buf.data(), k * 8)) {
      wbad = true;
      return;
    }
    at += (int64_t)k;
  }
}

void Io::astrings(const std::vector<std::string> &names) {
  aint((int)names.size());
  for (const std::string &n : names) astring(n, ARG_STRING_MAX);
}
