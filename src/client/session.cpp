/*
 * The session: initialisation, the handshake, the farewell, the default port,
 * supported requests, and the request exchange that every request follows.
 */
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "vek_internal.h"

extern "C" {
int _vek_server_socket = -1;
int _vek_client_linked_version;
int _vek_client_server_version;
int _vek_client_n_supported_requests;
char **_vek_client_supported_requests = NULL;
int _vek_client_failed_code;
char _vek_server_message[VEK_MSG_SIZE] = "";
int _vek_drain_wait_ms = 500;
}

/* A keyword list longer than this is not a list of requests but a hostile or
 * corrupt count; refusing it keeps the client from a huge allocation. */
#define MAX_SUPPORTED_REQUESTS 100000
/* Draining after a failed exchange stops after this long even when a peer
 * keeps sending, so that no server can hold the caller for ever. */
#define MAX_DRAIN_MS 30000

static void free_supported_requests(void) {
  if (_vek_client_supported_requests) {
    for (int i = 0; i < _vek_client_n_supported_requests; i++) _vek_free(_vek_client_supported_requests[i]);
    _vek_free(_vek_client_supported_requests);
  }
  _vek_client_supported_requests = NULL;
  _vek_client_n_supported_requests = 0;
}

extern "C" {

/* ---------------- request exchange ---------------- */

int _vek_start_packet(const char *keyword) {
  if (_vek_trace_level >= 2) _vek_trace("Start Packet %s", keyword);
  _vek_debug("Sending %s to server.", keyword);
  /* A request is composed from an empty buffer: bytes left by a request that
   * failed while being written, or an answer that was not read to its end,
   * must not leak into this one. */
  _vek_empty_write_buffer();
  _vek_empty_read_buffer();
  _vek_exchange_lost = 0;
  char *k = (char *)keyword;
  int saved = _vek_disable_rw_trace;
  _vek_disable_rw_trace = 1;
  int ok = _vek_write_string(_vek_server_socket, &k, VEK_KEYWORD_SIZE);
  _vek_disable_rw_trace = saved;
  if (!ok) {
    _vek_perror("_vek_start_packet(): Client/Server communication error");
    return 1;
  }
  return 0;
}

int _vek_send_and_wait(char *answer) {
  int sock = _vek_server_socket;
  answer[0] = '\0';
  /* A failed send raises no message of its own: the code and the trace
   * line below say it, and the caller's message says what was lost. */
  if (!_vek_flush_write(sock)) goto fail;
  if (_vek_trace_level >= 5) _vek_trace("Calling select on socket %d", sock);
  {
    int r = _vek_wait_readable(sock, _vek_answer_timeout_ms);
    if (r < 0) {
      _vek_perror("_vek_send_and_wait(): call to select() failed");
      goto fail;
    }
    if (r == 0) {
      _vek_time_out();
      _vek_perror("_vek_send_and_wait(): Receives nothing from server");
      goto fail;
    }
  }
  {
    char probe;
    ssize_t n = recv(sock, &probe, 0, 0);
    if (n < 0) {
      _vek_note_io_failure((long)n);
      _vek_perror("_vek_send_and_wait(): Server has terminated connection");
      goto fail;
    }
  }
  if (_vek_trace_level >= 5) _vek_trace("Data received on socket. Trying to read string");
  {
    int saved = _vek_disable_rw_trace;
    _vek_disable_rw_trace = 1;
    int ok = _vek_read_string(sock, &answer, 10);
    _vek_disable_rw_trace = saved;
    if (!ok) {
      _vek_perror("_vek_send_and_wait(): Client/Server communication error");
      goto fail;
    }
  }
  if (_vek_trace_level >= 2) _vek_trace("Received Packet %s", answer);
  return 0;
fail:
  if (_vek_trace_level >= 2) _vek_trace("Error during communication");
  return 1;
}

int _vek_check_answer(const char *answer, const char *expected) {
  if (strcmp(answer, "SERROR") == 0) {
    _vek_fail(VEK_FAIL_SERVER);
    char *text = NULL;
    if (_vek_read_string(_vek_server_socket, &text, 10000)) {
      snprintf(_vek_server_message, sizeof _vek_server_message, "%s", text);
      _vek_error("Server: %s", text);
      _vek_debug("Reply from server = SERROR:%s.", text);
    } else {
      _vek_perror("_vek_check_answer(): Client/Server communication error");
    }
    _vek_free(text);
    return 1;
  }
  if (strcmp(answer, expected) != 0) {
    _vek_fail(VEK_FAIL_ANSWER);
    _vek_debug("Reply from server = %s.", answer);
    _vek_error("Reply from server: \"%s\" where \"%s\" expected.", answer, expected);
    return 1;
  }
  _vek_debug("Reply from server = %s.", answer);
  return 0;
}

/* The answer of a request abandoned half-way (interrupted, or given up
 * at its time limit) may still come at any time, and nothing would tell it
 * from the next request's: the connection ends rather than read someone
 * else's answer. A connection the peer ended has nothing left to drain. */
static void close_abandoned(const char *why) {
  if (_vek_trace_level >= 2) _vek_trace("Closing the connection: %s", why);
  _vek_close_client();
}

static const char *why_lost(void) {
  return _vek_failure == VEK_FAIL_TIMEOUT ? "no answer within the time limit" : "the server ended it";
}

void _vek_cleanup_socket(void) {
  int sock = _vek_server_socket;
  if (sock == -1) return;
  if (_vek_interrupted) {
    close_abandoned("the request was interrupted");
    return;
  }
  if (_vek_exchange_lost) {
    close_abandoned(why_lost());
    return;
  }
  if (_vek_trace_level >= 2) _vek_trace("Cleaning socket...");
  _vek_empty_write_buffer();
  /* What is left in the read window belongs to the failed answer too. */
  _vek_empty_read_buffer();
  long long bytes = 0;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (_vek_trace_level >= 5) _vek_trace("Cheching if there is still data in the socket");
    int r = _vek_wait_readable(sock, _vek_drain_wait_ms);
    if (r < 0 && _vek_interrupted) {
      close_abandoned("the request was interrupted");
      return;
    }
    if (r < 0) {
      _vek_perror("_vek_cleanup_socket(): call to select() failed");
      return;
    }
    if (r == 0) break;
    if (_vek_trace_level >= 5) _vek_trace("Data present, reading dummy int");
    char scratch[65536];
    ssize_t n = recv(sock, scratch, sizeof scratch, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      _vek_note_io_failure((long)n);
      if (_vek_exchange_lost) {
        close_abandoned(why_lost());
        return;
      }
      break;
    }
    bytes += n;
    if (_vek_elapsed_ms(&start) > MAX_DRAIN_MS) break;
  }
  _vek_debug("Cleaned %d words on the socket.", (int)(bytes / 4));
}

int _vek_request(const char *keyword) { return _vek_start_packet(keyword) ? VEK_RESULT_COMMUNICATION : 0; }

int _vek_answer(const char *expected) {
  char answer[16];
  if (_vek_send_and_wait(answer)) return VEK_RESULT_COMMUNICATION;
  if (_vek_check_answer(answer, expected)) return VEK_RESULT_ANSWER;
  return VEK_RESULT_OK;
}

/* What the failure points of a function recorded, else what its code
 * says. */
static int failure_kind(int code) {
  if (_vek_failure != VEK_FAIL_NONE) return _vek_failure;
  switch (code) {
    case VEK_RESULT_USAGE: return VEK_FAIL_USAGE;
    case VEK_RESULT_ANSWER: return VEK_FAIL_ANSWER;
    case VEK_RESULT_MEMORY: return VEK_FAIL_MEMORY;
    default: return VEK_FAIL_COMMUNICATION;
  }
}

int _vek_store(int code) {
  _vek_client_last_error = code;
  if (code != VEK_RESULT_OK) {
    _vek_client_failed_code = code;
    if (_vek_failure_function) _vek_failure_function(code, failure_kind(code));
  }
  _vek_failure = VEK_FAIL_NONE;
  return code == VEK_RESULT_OK ? 0 : 1;
}

int _vek_finish(int code) {
  if (code != VEK_RESULT_OK) _vek_cleanup_socket();
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

/* ---------------- supported requests ---------------- */

int _vek_is_extended_server(void) {
  int v = _vek_client_server_version;
  return (v >= 410 && v < 400000) || v >= 401000;
}

int _vek_is_supported(const char *keyword, bool verbose) {
  int v = _vek_client_server_version;
  int supported = 0;
  if (v > 400000) {
    for (int i = 0; i < _vek_client_n_supported_requests && !supported; i++) {
      const char *k = _vek_client_supported_requests[i];
      supported = k && strcmp(k, keyword) == 0;
    }
  } else if (strcmp(keyword, "CVDATEXIS") == 0) {
    supported = v > 406 && v != 410;
  } else if (strcmp(keyword, "CFILETLST") == 0 || strcmp(keyword, "CVARTLST") == 0) {
    supported = v >= 408 && v != 410 && v != 411;
  }
  if (!supported && verbose) {
    _vek_error("Server Request not recognized (%s)", keyword);
    _vek_error("Please upgrade your Orvane version or VEKserver if you don't have Orvane(%s)", VEK_VENDOR_URL);
  }
  return supported;
}

int VEKClientServerHasFeature(int feature, int verbose) {
  char keyword[32];
  if (feature == 0) snprintf(keyword, sizeof keyword, "CPALLST");
  else if (feature == 1) snprintf(keyword, sizeof keyword, "CSCALST");
  else snprintf(keyword, sizeof keyword, "CUNK%d", feature);
  return _vek_is_supported(keyword, verbose != 0);
}

/* ---------------- connection ---------------- */

int _vek_init_client(const char *host, unsigned short port) {
  int r = _vek_connect(host, port, &_vek_server_socket);
  if (r == 0) signal(SIGPIPE, SIG_IGN);
  return r;
}

void _vek_close_client(void) {
  _vek_debug("Ending session.");
  _vek_close_socket(&_vek_server_socket);
  free_supported_requests();
  _vek_winsock_free();
}

int VEKClientIsConnected(void) { return _vek_server_socket != -1; }

int _vek_drop_ended_connection(void) {
  int sock = _vek_server_socket;
  if (sock == -1) return 0;
  struct pollfd p;
  p.fd = sock;
  p.events = POLLIN | POLLRDHUP;
  p.revents = 0;
  int r;
  do r = poll(&p, 1, 0);
  while (r < 0 && errno == EINTR);
  if (r <= 0) return 0;
  int ended = (p.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0;
  if (!ended && (p.revents & POLLIN)) {
    /* Bytes nobody asked for are the peer's fault, not its end: only the
     * end of the stream or a reset counts. */
    char c;
    ssize_t n = recv(sock, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }
  if (!ended) return 0;
  close_abandoned("the server ended it");
  return 1;
}

int VEKClientGetServerVersion(void) { return _vek_client_server_version; }

unsigned short VEKClientGetDefaultPort(void) {
  VEK_TRACE_ENTRY_NOARGS("VEKClientGetDefaultPort");
  setservent(0);
  if (_vek_trace_level >= 2) _vek_trace("Getting Default port from services");
  unsigned short port;
  struct servent *se = getservbyname(VEK_SERVICE_NAME, NULL);
  if (se) {
    port = ntohs((unsigned short)se->s_port);
  } else {
    port = VEK_DEFAULT_PORT;
    if (_vek_trace_level >= 2) _vek_trace("Not found, using default port");
  }
  endservent();
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", port);
  return port;
}

int VEKClientInitialize(int version) {
  _vek_trace_init();
  VEK_TRACE_ENTRY("VEKClientInitialize", "(%d)", version);
  _vek_client64 = 1;
  int code = VEK_RESULT_OK;
  if (_vek_client_linked_version == 0) {
    if (_vek_trace_level >= 1) {
      _vek_trace("Full library version: %s (%s)", VEK_LIBRARY_VERSION, VEK_LIBRARY_VERSION_SHORT);
      _vek_trace("Protocol Version: %d", VEK_PROTOCOL_VERSION);
    }
    if (version > VEK_PROTOCOL_VERSION) {
      _vek_error("Bad VEKClient library (version %d > %d)", version, VEK_PROTOCOL_VERSION);
      code = VEK_RESULT_USAGE;
    } else {
      _vek_client_linked_version = version;
    }
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

/* The greeting: "CHELLO" with the data path and the protocol version,
 * answered "SWELCOME" with the server's version. */
static int st_send_hello(const char *data_path) {
  int code = _vek_request("CHELLO");
  char *path = (char *)data_path;
  int protocol = VEK_PROTOCOL_VERSION;
  if (!code && !(_vek_write_string(VEK_SOCK, &path, 10000) && _vek_write_int(VEK_SOCK, &protocol)))
    code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SWELCOME");
  if (!code && !_vek_read_int(VEK_SOCK, &_vek_client_server_version)) code = VEK_RESULT_COMMUNICATION;
  return code;
}

/* "CNEWSESS": the server either keeps this connection ("SNOSESS") or names
 * a port for the session ("SNEWPORT"), where the client greets it again. */
static int st_new_session(const char *host, const char *data_path) {
  char answer[16];
  if (_vek_start_packet("CNEWSESS") || _vek_send_and_wait(answer)) return VEK_RESULT_COMMUNICATION;
  if (strcmp(answer, "SNEWPORT") == 0) {
    _vek_check_answer(answer, answer);
    int port;
    if (!_vek_read_int(VEK_SOCK, &port)) return VEK_RESULT_COMMUNICATION;
    _vek_close_socket(&_vek_server_socket);
    if (_vek_connect(host, (unsigned short)(port & 0xFFFF), &_vek_server_socket)) return VEK_RESULT_COMMUNICATION;
    return st_send_hello(data_path);
  }
  if (strcmp(answer, "SNOSESS") == 0) {
    _vek_check_answer(answer, answer);
    return VEK_RESULT_OK;
  }
  _vek_check_answer(answer, "SNEWPORT");
  return VEK_RESULT_ANSWER;
}

static int st_read_supported_requests(void) {
  free_supported_requests();
  if (_vek_request("CSUPREQ") || _vek_answer("SSUPREQ")) return VEK_RESULT_ANSWER;
  int n;
  if (!_vek_read_int(VEK_SOCK, &n) || n < 0 || n > MAX_SUPPORTED_REQUESTS) return VEK_RESULT_ANSWER;
  _vek_client_supported_requests = (char **)_vek_calloc((size_t)n + 1, sizeof(char *));
  if (!_vek_client_supported_requests) return VEK_RESULT_ANSWER;
  _vek_client_n_supported_requests = n;
  for (int i = 0; i < n; i++) {
    if (!_vek_read_string(VEK_SOCK, &_vek_client_supported_requests[i], 10000)) {
      free_supported_requests();
      return VEK_RESULT_ANSWER;
    }
  }
  return VEK_RESULT_OK;
}

static int st_agree_word_size(void) {
  _vek_server64 = 0;
  if (!_vek_is_supported("CARCH", false)) return VEK_RESULT_OK;
  int code = _vek_request("CARCH");
  if (!code && !_vek_write_int(VEK_SOCK, &_vek_client64)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SARCH");
  int flag = 0;
  if (!code && !_vek_read_int(VEK_SOCK, &flag)) code = VEK_RESULT_ANSWER;
  if (!code) _vek_server64 = flag;
  return code;
}

/* After a time-out the server is not listening, and would answer neither
 * the drain nor the farewell: both would only add another time limit to
 * the caller's wait. The farewell is still sent, for a server that wakes. */
static void st_say_goodbye_and_close(int timed_out) {
  if (!timed_out) _vek_cleanup_socket();
  if (_vek_server_socket == -1) return;
  if (_vek_start_packet("CBYE BYE") == 0) {
    char answer[16];
    if (timed_out) _vek_flush_write(_vek_server_socket);
    else _vek_send_and_wait(answer);
  } else {
    _vek_cleanup_socket();
  }
  _vek_close_socket(&_vek_server_socket);
}

int VEKClientConnect(const char *host, unsigned short port, const char *data_path) {
  _vek_trace_init();
  VEK_TRACE_ENTRY("VEKClientConnect", "(%s,%d,%s)", VEK_STR(host), port, VEK_STR(data_path));
  int code = VEK_RESULT_USAGE;
  /* Whether this attempt timed out decides its farewell; the host's flag
   * keeps what it held before. */
  int timed_out_before = _vek_timed_out;
  _vek_timed_out = 0;
  if (_vek_client_linked_version == 0) {
    _vek_error(VEK_NOT_INITIALIZED);
    goto end;
  }
  if (!host || !data_path || strlen(data_path) >= 10000) {
    _vek_error("VEKClientConnect(): host and data path must be given, the path shorter than 10000 characters");
    goto end;
  }
  if (_vek_server_socket != -1) {
    /* A connection still open here is one whose farewell failed (a server
     * that went away) or was never said; refusing would leave the caller no
     * way back to any server. */
    _vek_debug("Closing the previous connection.");
    _vek_close_client();
  }
  code = VEK_RESULT_COMMUNICATION;
  /* A list left by an earlier failed attempt describes another server. */
  free_supported_requests();
  _vek_winsock_init();
  if (port == 0) port = VEKClientGetDefaultPort();
  if (_vek_init_client(host, port)) goto fail;
  code = st_send_hello(data_path);
  if (code) goto fail;
  if (_vek_client_server_version == 100) goto end;
  code = st_new_session(host, data_path);
  if (code) goto fail;
  code = _vek_request("CVEKDATA");
  {
    char *path = (char *)data_path;
    if (!code && !_vek_write_string(VEK_SOCK, &path, 10000)) code = VEK_RESULT_COMMUNICATION;
  }
  if (!code) code = _vek_answer("SOK");
  if (code) goto fail;
  if (_vek_client_server_version > 400000) {
    code = st_read_supported_requests();
    if (code) goto fail;
  }
  code = st_agree_word_size();
  if (code) goto fail;
  code = VEK_RESULT_OK;
  goto end;
fail:
  st_say_goodbye_and_close(_vek_timed_out);
  /* Not connected: no server's list stays behind. */
  free_supported_requests();
end:
  _vek_timed_out |= timed_out_before;
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

int VEKClientDisconnect(void) {
  VEK_TRACE_ENTRY_NOARGS("VEKClientDisconnect");
  int code = VEK_RESULT_OK;
  if (_vek_server_socket != -1) {
    code = _vek_request("CBYE BYE");
    if (!code) code = _vek_answer("SBYE BYE");
    if (!code) _vek_close_client();
    else _vek_cleanup_socket();
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

} /* extern "C" */
