/*
 * TCP primitives: connect to the server, listen for and accept the one-shot
 * control connection of a launched server, close a socket.
 */
#include <string.h>
#include <time.h>

#include "vek_internal.h"

extern "C" {

int _vek_winsock_init(void) { return 0; }
void _vek_winsock_free(void) {}

int (*_vek_interrupt_function)(void) = NULL;
int _vek_interrupted;
int _vek_timed_out;
int _vek_exchange_lost;

/* How long a wait runs between two questions to the host: short enough
 * for an interrupt to be felt at once, long enough to cost nothing. */
#define WAIT_SLICE_MS 100

int _vek_check_interrupt(void) {
  if (!_vek_interrupted && _vek_interrupt_function && _vek_interrupt_function()) {
    _vek_interrupted = 1;
    if (_vek_trace_level >= 2) _vek_trace("Interrupted by the host");
  }
  return _vek_interrupted;
}

void _vek_time_out(void) {
  _vek_timed_out = 1;
  _vek_exchange_lost = 1;
  _vek_fail(VEK_FAIL_TIMEOUT);
  errno = ETIMEDOUT;
}

void _vek_peer_gone(void) {
  _vek_exchange_lost = 1;
  _vek_fail(VEK_FAIL_CLOSED);
}

void _vek_note_io_failure(long r) {
  if (r == 0 || errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN || errno == ECONNABORTED) _vek_peer_gone();
}

long long _vek_elapsed_ms(const struct timespec *start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start->tv_sec) * 1000LL + (now.tv_nsec - start->tv_nsec) / 1000000LL;
}

int _vek_wait_fd(int sock, short events, int timeout_ms) {
  struct pollfd pfd;
  pfd.fd = sock;
  pfd.events = events;
  pfd.revents = 0;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (_vek_interrupted) {
      errno = EINTR;
      return -1;
    }
    int left = timeout_ms;
    if (timeout_ms >= 0) {
      long long spent = _vek_elapsed_ms(&start);
      left = spent >= timeout_ms ? 0 : (int)(timeout_ms - spent);
    }
    int slice = left;
    if (_vek_interrupt_function && (slice < 0 || slice > WAIT_SLICE_MS)) slice = WAIT_SLICE_MS;
    int r = poll(&pfd, 1, slice);
    if (r > 0) return 1;
    /* R delivers signals to this thread: an interrupted wait goes on with
     * whatever time is left rather than failing the request. */
    if (r < 0 && errno != EINTR) return -1;
    if (_vek_check_interrupt()) {
      errno = EINTR;
      return -1;
    }
    if (r == 0 && slice == left) return 0;
  }
}

int _vek_wait_readable(int sock, int timeout_ms) { return _vek_wait_fd(sock, POLLIN, timeout_ms); }

int _vek_connect(const char *host, unsigned short port, int *sock) {
  if (_vek_trace_level >= 4) _vek_trace("_vek_connect(%s,%d,%p)", VEK_STR(host), port, (void *)sock);
  _vek_empty_write_buffer();
  _vek_empty_read_buffer();
  _vek_exchange_lost = 0;
  *sock = -1;
  if (!host) {
    _vek_error("_vek_connect((nil):%d), gethostbyname", port);
    return 1;
  }
  sethostent(0);
  struct hostent *he = gethostbyname(host);
  if (!he || he->h_addrtype != AF_INET || !he->h_addr_list[0] || (size_t)he->h_length > sizeof(struct in_addr)) {
    _vek_fail(VEK_FAIL_HOST);
    _vek_herror("_vek_connect(%s:%d), gethostbyname", host, port);
    endhostent();
    return 1;
  }
  struct sockaddr_in addr {};
  addr.sin_family = (sa_family_t)he->h_addrtype;
  memcpy(&addr.sin_addr, he->h_addr_list[0], (size_t)he->h_length);
  addr.sin_port = htons(port);
  endhostent();
  if (_vek_trace_level >= 4) {
    const unsigned char *a = (const unsigned char *)&addr.sin_addr;
    _vek_trace("gethostbyname returned name=%s, addr=%d.%d.%d.%d", host, a[0], a[1], a[2], a[3]);
    _vek_trace("Creating socket for connection");
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    _vek_perror("_vek_connect(%s:%d), socket creation failed", host, port);
    *sock = -1;
    return 2;
  }
  *sock = s;
  if (_vek_trace_level >= 4) _vek_trace("Socket %d created, connecting to %s:%d", s, host, port);
  /* Connecting without blocking: a host that never completes the handshake
   * costs one answer time limit, and the wait can be interrupted like every
   * other wait on the server. The socket blocks again afterwards. */
  int flags = fcntl(s, F_GETFL, 0);
  if (flags >= 0) fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int r = connect(s, (struct sockaddr *)&addr, sizeof addr);
  if (r < 0 && (errno == EINPROGRESS || errno == EINTR)) {
    int w = _vek_wait_fd(s, POLLOUT, _vek_answer_timeout_ms);
    if (w > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
      errno = err;
      r = err ? -1 : 0;
    } else {
      if (w == 0) _vek_time_out();
      r = -1;
    }
  }
  if (flags >= 0) {
    int saved = errno;
    fcntl(s, F_SETFL, flags);
    errno = saved;
  }
  if (r < 0) {
    if (errno == ECONNREFUSED) _vek_fail(VEK_FAIL_REFUSED);
    _vek_perror("_vek_connect(%s:%d), connect", host, port);
    _vek_close_socket(sock);
    return 3;
  }
  if (_vek_trace_level >= 4) _vek_trace("... connected");
  return 0;
}

int _vek_listen_port(unsigned short *port, int backlog, int *sock) {
  _vek_winsock_init();
  if (_vek_trace_level >= 4)
    _vek_trace("_vek_listen_port(%p=%d,%d,%p)", (void *)port, port ? *port : 0, backlog, (void *)sock);
  *sock = socket(AF_INET, SOCK_STREAM, 0);
  if (*sock < 0) {
    *sock = -1;
    _vek_error("Error during socket creation.");
    return 1;
  }
  if (_vek_trace_level >= 4) {
    _vek_trace("Created Listening socket: %d", *sock);
    _vek_trace("Setting socket option: REUSEADDR");
  }
  int one = 1;
  if (setsockopt(*sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
    /* This library lives inside the user's R session: a failed option is a
     * failed call, never the end of the process. */
    _vek_perror("Could not set socket option SO_REUSEADDR");
    _vek_close_socket(sock);
    _vek_winsock_free();
    return 5;
  }
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(*port);
  if (_vek_trace_level >= 4) _vek_trace("Binding socket to 0.0.0.0:%d", *port);
  if (bind(*sock, (struct sockaddr *)&addr, sizeof addr) < 0) {
    _vek_perror("Cannot bind socket");
    _vek_close_socket(sock);
    _vek_winsock_free();
    return 2;
  }
  if (_vek_trace_level >= 4) _vek_trace("Set socket to listen for %d connections", backlog);
  if (listen(*sock, backlog) < 0) {
    _vek_perror("Cannot listen to socket");
    _vek_close_socket(sock);
    _vek_winsock_free();
    return 3;
  }
  if (_vek_trace_level >= 4) _vek_trace("Socket listening.");
  if (*port == 0) {
    socklen_t len = sizeof addr;
    if (getsockname(*sock, (struct sockaddr *)&addr, &len) < 0) {
      _vek_error("Cannot get new port.");
      return 4;
    }
    *port = ntohs(addr.sin_port);
    _vek_debug("New Socket Port: %d", *port);
  }
  return 0;
}

int _vek_wait_connect(int listen_sock, int *new_sock, int blocking, int timeout_seconds) {
  _vek_debug("Wait for connection...");
  if (_vek_trace_level >= 4)
    _vek_trace("_vek_wait_connect(%d,%p,%d,%d)", listen_sock, (void *)new_sock, blocking, timeout_seconds);
  if (!blocking) {
    int r = _vek_wait_readable(listen_sock, timeout_seconds * 1000);
    if (r < 0) {
      _vek_perror("_vek_wait_connect: select() failed.");
      return -1;
    }
    if (r == 0) return 1;
  }
  if (_vek_trace_level >= 4) _vek_trace("Calling accept on socket");
  struct sockaddr_in peer;
  socklen_t len = sizeof peer;
  int s;
  do {
    s = accept(listen_sock, (struct sockaddr *)&peer, &len);
  } while (s < 0 && errno == EINTR);
  if (s < 0) {
    /* The listening socket stays open: it belongs to the caller, who closes
     * it on every path; closing it here too would close a descriptor number
     * that may already have been handed out again. */
    _vek_perror("Call to accept() failed.\n");
    return -1;
  }
  *new_sock = s;
  unsigned long a = ntohl(peer.sin_addr.s_addr);
  _vek_debug("Get a client connection from %lu.%lu.%lu.%lu:%d.", (a >> 24) & 0xFF, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
             a & 0xFF, ntohs(peer.sin_port));
  if (_vek_trace_level >= 4) _vek_trace("New socket for communication: %d", s);
  return 0;
}

void _vek_close_socket(int *sock) {
  if (_vek_trace_level >= 4) _vek_trace("_vek_close_socket(%p=%d)", (void *)sock, sock ? *sock : -1);
  if (sock && *sock != -1) {
    close(*sock);
    *sock = -1;
  }
}

} /* extern "C" */
