/*
 * VEKserver, the reference server: command line, settings, the listening
 * socket, the control connection of a launched server, and the sessions, one
 * at a time, each a loop of request keyword -> handler -> answer.
 *
 *   VEKserver [-debug] [-port N] [-control P]
 *
 * See README.md beside this file for the environment variables and the
 * project tree on disk.
 */
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "project.h"
#include "server.h"
#include "vek_internal.h"

/* A request that has begun must keep coming: a peer silent this long in the
 * middle of one (or not reading an answer) has gone away. */
#define MID_REQUEST_TIMEOUT_S 60
/* How long the server waits for the client on a port named by "SNEWPORT". */
#define NEW_PORT_WAIT_MS 10000
/* Draining after a broken request stops once the peer has been quiet this
 * long, or after the cap whatever it sends. */
#define DRAIN_QUIET_MS 100
#define DRAIN_CAP_MS 10000
/* A refused client is not listened to for longer than this. */
#define REFUSE_CAP_MS 1000
#define TICK_MS 250

static volatile int g_session_fd = -1;
static struct timespec g_last_activity;
/* The process that launched this server with a control port, or 0. A
 * launched server runs in a session of its own, out of reach of the
 * terminal's signals, so nothing else would end it when its launcher is
 * killed: it would serve nobody for ever. */
static pid_t g_launcher = 0;

static void on_signal(int) {
  g_stop = 1;
  /* A read blocked in the middle of a request ends at once; the answer being
   * written, if any, can still leave. */
  int fd = g_session_fd;
  if (fd >= 0) shutdown(fd, SHUT_RD);
}

static void touch() { clock_gettime(CLOCK_MONOTONIC, &g_last_activity); }

static bool idle_too_long() {
  return g_config.idle_exit > 0 && _vek_elapsed_ms(&g_last_activity) >= (long)g_config.idle_exit * 1000L;
}

/* The launcher has died once this process has another parent (it was
 * handed to init or a subreaper): a dead launcher that nobody has reaped
 * yet would still answer kill(pid, 0). */
static bool launcher_gone() {
  if (g_launcher == 0 || getppid() == g_launcher) return false;
  _vek_debug("The process that launched this server has ended");
  g_stop = 1;
  return true;
}

/* Waits until fd is readable: 1 readable, 0 the wait was cut short by a
 * signal or the idle limit (or timeout_ms, unless -1, ran out), -1 failure. */
static int wait_readable(int fd, int timeout_ms) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (g_stop || idle_too_long() || launcher_gone()) return 0;
    if (timeout_ms != -1 && _vek_elapsed_ms(&start) >= timeout_ms) return 0;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, TICK_MS);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
  }
}

int listen_loopback(unsigned short *port) {
  /* Non-blocking: a client that gives up between the wake-up and accept()
   * must not leave the server stuck in accept(), deaf to its idle limit. */
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(*port);
  socklen_t len = sizeof a;
  if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

/* Tells a launching client the session port: one codec int on a connection
 * to 127.0.0.1:control, made within 3 seconds. */
static bool send_control(unsigned short control, unsigned short port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(control);
  bool ok = connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
  if (!ok && errno == EINPROGRESS) {
    struct pollfd p = {fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    int r = TEMP_FAILURE_RETRY(poll(&p, 1, 3000));
    ok = r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
  /* Four bytes on a fresh connection go out whole: its send buffer is empty. */
  const uint32_t be = htonl((uint32_t)port);
  ok = ok && send(fd, &be, sizeof be, MSG_NOSIGNAL) == (ssize_t)sizeof be;
  close(fd);
  return ok;
}

/* Drops what is left of a broken request. Returns false when the peer has
 * closed the connection. */
static bool drain(int fd, long cap_ms = DRAIN_CAP_MS) {
  _vek_empty_read_buffer();
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  char scratch[65536];
  while (_vek_elapsed_ms(&start) < cap_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = TEMP_FAILURE_RETRY(poll(&p, 1, DRAIN_QUIET_MS));
    if (r <= 0) return r == 0;
    ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
  }
  return true;
}

static void set_timeouts(int fd) {
  struct timeval tv = {MID_REQUEST_TIMEOUT_S, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

/* A connection of another user is answered why, without a request being
 * read, and closed. */
static void refuse(int fd, const std::string &why) {
  _vek_debug("Refused a connection: %s", why.c_str());
  _vek_empty_write_buffer();
  Io e{fd};
  e.error("This server serves only the user who started it");
  if (!e.wbad && _vek_flush_write(fd)) {
    shutdown(fd, SHUT_WR);
    /* Closing with the client's request unread would reset the connection,
     * and the answer with it. */
    drain(fd, REFUSE_CAP_MS);
  }
  close(fd);
}

/* The next connection of the server's own user; others are refused. */
static int accept_one(int listener) {
  for (;;) {
    int fd;
    do fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR && !g_stop);
    if (fd < 0) return fd;
    std::string why;
    if (peer_is_owner(fd, why)) {
      set_timeouts(fd);
      return fd;
    }
    refuse(fd, why);
    /* The listener does not block: no one else waiting ends the loop. */
  }
}

/* "SNEWPORT" was answered: the session goes on with the client's connection
 * to the new port. */
static int move_session(Session &s, int fd) {
  int listener = s.pending_listener;
  s.pending_listener = -1;
  int moved = -1;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (moved < 0 && !g_stop) {
    long left = NEW_PORT_WAIT_MS - _vek_elapsed_ms(&start);
    if (left <= 0 || wait_readable(listener, (int)left) != 1) break;
    moved = accept_one(listener);
  }
  close(listener);
  if (moved < 0 && !g_stop) _vek_error("The client did not come to the new session port");
  close(fd);
  _vek_empty_read_buffer();
  _vek_empty_write_buffer();
  return moved;
}

static void run_session(int fd) {
  Session s;
  session_reset(s, fd);
  for (;;) {
    g_session_fd = fd;
    s.sock = fd;
    if (wait_readable(fd, -1) != 1) break;
    touch();
    Io io{fd};
    std::string keyword = io.rstring();
    if (io.broken()) {
      if (!drain(fd)) break; /* the usual end: the client closed */
      Io e{fd};
      e.error("Malformed request keyword");
      if (e.wbad || !_vek_flush_write(fd)) break;
      continue;
    }
    _vek_debug("Request %s", keyword.c_str());
    if (!dispatch(s, keyword, io)) {
      /* Its arguments, if any, cannot be known: whatever follows the keyword
       * is dropped before the answer, so the next request starts clean. */
      if (!drain(fd)) break;
      Io e{fd};
      e.error("Unknown request '" + keyword.substr(0, 64) + "'");
      io = e;
    } else if (io.broken()) {
      if (!drain(fd)) break;
      Io e{fd};
      e.error("Malformed arguments of request '" + keyword + "'");
      io = e;
    }
    if (io.wbad || !_vek_flush_write(fd)) break;
    touch();
    if (s.pending_listener >= 0) {
      fd = move_session(s, fd);
      if (fd < 0) break;
    }
    if (s.ended || g_stop) break;
  }
  g_session_fd = -1;
  if (s.pending_listener >= 0) close(s.pending_listener);
  if (fd >= 0) close(fd);
}

/* ---------------- start-up ---------------- */

static void usage() { fprintf(stderr, "usage: VEKserver [-debug] [-port N] [-control P]\n"); }

static bool parse_port(const char *text, unsigned short *port) {
  char *end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || *end || end == text || v < 0 || v > 65535) return false;
  *port = (unsigned short)v;
  return true;
}

static bool read_environment(std::string &err) {
  if (const char *v = getenv("VEK_TEST_VERSION")) {
    char *end;
    long x = strtol(v, &end, 10);
    if (*end || end == v || x <= 0 || x > 2000000000L) {
      err = std::string("VEK_TEST_VERSION must be a positive number, not '") + v + "'";
      return false;
    }
    g_config.version = (int)x;
  }
  if (const char *v = getenv("VEK_TEST_SUPPORTED")) {
    std::string list = v, item;
    for (size_t i = 0; i <= list.size(); i++) {
      if (i == list.size() || list[i] == ',') {
        if (!item.empty()) g_config.supported.push_back(item);
        item.clear();
      } else if (list[i] != ' ') {
        item += list[i];
      }
    }
  } else {
    g_config.supported = known_requests();
  }
  const char *np = getenv("VEK_TEST_NEWPORT");
  g_config.new_port = np && strcmp(np, "1") == 0;
  if (const char *v = getenv("VEK_TEST_IDLE_EXIT")) {
    char *end;
    long x = strtol(v, &end, 10);
    if (*end || end == v || x < 0 || x > 100000000L) {
      err = std::string("VEK_TEST_IDLE_EXIT must be a number of seconds, not '") + v + "'";
      return false;
    }
    g_config.idle_exit = (int)x;
  }
  if (const char *v = getenv("VEK_PROJECT_DIR")) g_config.project = v;
  return true;
}

int main(int argc, char **argv) {
  _vek_is_server = 1;
  /* Taken first: the launcher may die at any moment from now on. */
  pid_t parent = getppid();
  bool have_port = false, have_control = false;
  unsigned short port = 0, control = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-debug") == 0) {
      _vek_client_dbg_mode = 1;
    } else if (strcmp(argv[i], "-port") == 0 && i + 1 < argc) {
      /* An unusable port is like none: the system picks one. */
      have_port = parse_port(argv[++i], &port);
    } else if (strcmp(argv[i], "-control") == 0 && i + 1 < argc) {
      if (!parse_port(argv[++i], &control) || control == 0) {
        usage();
        return 2;
      }
      have_control = true;
      g_launcher = parent;
    } else {
      usage();
      return 2;
    }
  }
  _vek_trace_init();

  std::string err;
  if (!read_environment(err)) {
    fprintf(stderr, "VEKserver: %s\n", err.c_str());
    return 2;
  }
  if (!g_config.project.empty() && !project_check(g_config.project, err)) {
    fprintf(stderr, "VEKserver: cannot serve the project: %s\n", err.c_str());
    return 2;
  }

  signal(SIGPIPE, SIG_IGN);
  /* The server's own longs are 8 bytes; whether they go out so is each
   * session's agreement. */
  _vek_client64 = 1;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  /* No SA_RESTART: a wait cut by the signal returns and sees g_stop. */
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGHUP, &sa, NULL);

  int listener = -1;
  if (have_port && port != 0) listener = listen_loopback(&port);
  if (listener < 0) {
    port = 0;
    listener = listen_loopback(&port);
  }
  if (listener < 0) {
    fprintf(stderr, "VEKserver: cannot listen: %s\n", strerror(errno));
    return 1;
  }
  _vek_debug("Listening on port %d", port);
  if (have_control && !send_control(control, port))
    fprintf(stderr, "VEKserver: could not report port %d on control port %d\n", port, control);

  touch();
  while (!g_stop) {
    int r = wait_readable(listener, -1);
    if (r < 0) {
      fprintf(stderr, "VEKserver: waiting for a client failed: %s\n", strerror(errno));
      break;
    }
    if (r == 0) break; /* a signal or the idle limit */
    int fd = accept_one(listener);
    if (fd < 0) continue;
    touch();
    run_session(fd);
    touch();
  }
  close(listener);
  _vek_trace_end();
  return 0;
}
