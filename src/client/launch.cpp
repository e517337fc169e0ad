/*
 * Finding the server program on this machine and starting it. A server
 * started without a port connects back to a control port of ours and tells
 * on which port it takes sessions.
 */
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "vek_internal.h"

#define SERVER_NAME "VEKserver"
/* Seconds a launched server has to connect back, and to say its port. */
#define CONTROL_TIMEOUT_S 3

static char vek_server_variable[VEK_PATH_MAX];

/* Servers launched by this process and not yet reaped. The library never
 * stops them, but a child that ends stays a zombie until its parent waits
 * for it: the host reaps them through _vek_reap_servers. Only the ids
 * listed here are ever waited for, so a child of someone else in the same
 * process (R runs many) is never taken from its owner. */
#define MAX_LAUNCHED 64
static int launched[MAX_LAUNCHED];
static int n_launched;

/* 1 when pid has ended and was reaped (it leaves the list), else 0. */
static int reap_one(int pid, int *status) {
  pid_t r;
  do {
    r = waitpid(pid, status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  for (int i = 0; i < n_launched; i++) {
    if (launched[i] == pid) {
      launched[i] = launched[--n_launched];
      break;
    }
  }
  return 1;
}

static void remember_launch(int pid) {
  if (n_launched == MAX_LAUNCHED) _vek_reap_servers();
  if (n_launched < MAX_LAUNCHED) launched[n_launched++] = pid;
}

/* The suggested port only has to differ between launches; a generator of
 * our own leaves the host's random sequence (R's) alone. */
static int suggest_port(void) {
  unsigned x = (unsigned)time(NULL) ^ ((unsigned)getpid() << 16);
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return (int)(x % 1024) + 1024;
}

/* Builds a candidate location into path (VEK_PATH_MAX bytes) and tells
 * whether it exists. A candidate that does not fit is skipped, never cut:
 * a cut path could name another program. */
__attribute__((format(printf, 2, 3))) static int try_candidate(char *path, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(path, VEK_PATH_MAX, fmt, ap);
  va_end(ap);
  if (n < 0 || n >= VEK_PATH_MAX) {
    path[0] = '\0';
    VEK_TRACE(2, "Candidate longer than %d characters skipped", VEK_PATH_MAX - 1);
    return 0;
  }
  return st_file_exists(path);
}

/* The locations tried in order; returns the result code. */
static int locate_server(char *path) {
  const char sep = VEK_PATH_SEPARATOR;
  path[0] = '\0';
  VEK_TRACE(2, "Checking value set by VEKClientSetVEKserverPath()");
  if (vek_server_variable[0] && try_candidate(path, "%s", vek_server_variable)) return VEK_RESULT_OK;
  VEK_TRACE(2, "Checking environment variable VEK_SERVER");
  if (getenv("VEKSERVER")) {
    _vek_error("Use VEK_SERVER environment variable instead of VEKSERVER");
    path[0] = '\0';
    return VEK_RESULT_USAGE;
  }
  const char *server = getenv("VEK_SERVER");
  if (server) {
    VEK_TRACE(2, "VEK_SERVER=%s", server);
    if (try_candidate(path, "%s", server)) return VEK_RESULT_OK;
  }
  VEK_TRACE(2, "Checking environment variable VEK_HOME");
  const char *home = getenv("VEK_HOME");
  if (home) {
    VEK_TRACE(2, "VEK_HOME=%s", home);
    if (try_candidate(path, "%s%cbin%c%s%c%s", home, sep, sep, "linux64-gcc44", sep, SERVER_NAME) ||
        try_candidate(path, "%s%cbin%c%s%c%s", home, sep, sep, "linux", sep, SERVER_NAME) ||
        try_candidate(path, "%s%cbin%c%s", home, sep, sep, SERVER_NAME))
      return VEK_RESULT_OK;
  }
  if (search_in_path(SERVER_NAME, sep, path) == 0) return VEK_RESULT_OK;
  _vek_error("VEKserver executable has not been found");
  path[0] = '\0';
  return VEK_RESULT_USAGE;
}

/* A server told to take a given port has a second to start; whether it
 * still runs only goes to the trace. */
static int run_on_given_port(const char *path, char **argv) {
  int pid = _vek_exec_server(path, argv);
  if (pid < 0) return VEK_RESULT_USAGE;
  VEK_TRACE(2, "Sleeping 1s to let the server initialize...");
  if (_vek_wait_fd(-1, 0, 1000) < 0) return VEK_RESULT_COMMUNICATION;
  int status;
  int ended = reap_one(pid, &status);
  VEK_TRACE(2, "VEKserver %s...", ended ? "is already dead" : "is still alive !!");
  return VEK_RESULT_OK;
}

/* The one int the server writes on the control connection: its port. The
 * codec's waits are bounded by the control time-out here, so that a server
 * that connects and says nothing cannot hold the caller. */
static int read_control_port(int sock, unsigned short *port) {
  VEK_TRACE(2, "Reading server port from the socket");
  int saved_timeout = _vek_answer_timeout_ms;
  _vek_answer_timeout_ms = CONTROL_TIMEOUT_S * 1000;
  /* The read window is shared with the session: it must neither hold old
   * bytes for this read nor keep this connection's bytes for the next. */
  _vek_empty_read_buffer();
  int value = 0;
  int ok = _vek_read_int(sock, &value);
  _vek_empty_read_buffer();
  _vek_answer_timeout_ms = saved_timeout;
  if (!ok) {
    /* Whatever the read met, the program is no server. */
    _vek_failure = VEK_FAIL_LAUNCH;
    return VEK_RESULT_COMMUNICATION;
  }
  if ((value & 0xFFFF) == 0) {
    _vek_fail(VEK_FAIL_LAUNCH);
    _vek_error("VEKClientRunVEKserver(): the server announced port 0");
    return VEK_RESULT_COMMUNICATION;
  }
  VEK_TRACE(2, "Server in running on port %d", value & 0xFFFF);
  *port = (unsigned short)(value & 0xFFFF);
  return VEK_RESULT_OK;
}

/* The wait for the control connection, in slices that also look at the
 * child: a program that ends without connecting back will never do so, and
 * waiting out the limit would only hide why. 2 when it ended, else as
 * _vek_wait_connect. */
static int wait_control(int listen_sock, int *control_sock, int pid) {
  for (int slice = 0; slice < CONTROL_TIMEOUT_S * 10; slice++) {
    int r = _vek_wait_readable(listen_sock, 100);
    /* Ready: accepted at once; a failed wait: reported by the accepting
     * call's own wait, which fails the same way. */
    if (r != 0) return _vek_wait_connect(listen_sock, control_sock, r > 0, 0);
    int status = 0;
    if (reap_one(pid, &status)) {
      _vek_fail(VEK_FAIL_LAUNCH);
      if (WIFEXITED(status))
        _vek_error("VEKClientRunVEKserver(): the server program ended (status %d) before reporting its port",
                   WEXITSTATUS(status));
      else
        _vek_error("VEKClientRunVEKserver(): the server program ended (signal %d) before reporting its port",
                   WIFSIGNALED(status) ? WTERMSIG(status) : 0);
      return 2;
    }
  }
  return 1;
}

/* A server started without a port is given a control port to report on and
 * a suggested port, which stands when it does not report in time. */
static int run_with_control(const char *path, char **argv, int argc, unsigned short *port) {
  VEK_TRACE(2, "Port not given, create control connection");
  unsigned short control_port = 0;
  int listen_sock = -1, control_sock = -1;
  if (_vek_listen_port(&control_port, 1, &listen_sock)) {
    _vek_close_socket(&listen_sock);
    return VEK_RESULT_COMMUNICATION;
  }
  char control_flag[] = "-control", port_flag[] = "-port";
  char control_text[16], suggested_text[16];
  snprintf(control_text, sizeof control_text, "%d", control_port);
  int suggested = suggest_port();
  snprintf(suggested_text, sizeof suggested_text, "%d", suggested);
  argv[argc++] = control_flag;
  argv[argc++] = control_text;
  argv[argc++] = port_flag;
  argv[argc++] = suggested_text;
  argv[argc] = NULL;
  int code = VEK_RESULT_COMMUNICATION;
  int pid = _vek_exec_server(path, argv);
  if (pid >= 0) {
    VEK_TRACE(2, "Waiting for server to connect control port");
    int r = wait_control(listen_sock, &control_sock, pid);
    if (r == 2) {
      code = VEK_RESULT_COMMUNICATION;
    } else if (r == 1) {
      VEK_TRACE(2, "No connection from server during interval. Returning random new port=%d to caller", suggested);
      *port = (unsigned short)suggested;
      code = VEK_RESULT_OK;
      reap_one(pid, NULL); /* collects a child whose exec failed */
    } else if (r == 0) {
      code = read_control_port(control_sock, port);
    }
  }
  _vek_close_socket(&control_sock);
  _vek_close_socket(&listen_sock);
  return code;
}

static int run_server(unsigned short *port) {
  if (_vek_client_linked_version == 0) {
    _vek_error(VEK_NOT_INITIALIZED);
    return VEK_RESULT_USAGE;
  }
  if (!port) {
    _vek_error("VEKClientRunVEKserver(): port cannot be NULL.");
    return VEK_RESULT_USAGE;
  }
  _vek_winsock_init();
  char path[VEK_PATH_MAX];
  if (VEKClientLocateVEKserver(path)) return VEK_RESULT_USAGE;
  char name[] = SERVER_NAME, debug_flag[] = "-debug", port_flag[] = "-port";
  char given_text[16];
  char *argv[8];
  int argc = 0;
  argv[argc++] = name;
  if (_vek_client_dbg_mode) argv[argc++] = debug_flag;
  if (*port == 0) return run_with_control(path, argv, argc, port);
  snprintf(given_text, sizeof given_text, "%u", (unsigned)*port);
  argv[argc++] = port_flag;
  argv[argc++] = given_text;
  argv[argc] = NULL;
  return run_on_given_port(path, argv);
}

extern "C" {

/* A path that does not fit the location buffer is refused, not cut; the
 * path set before stays. */
void VEKClientSetVEKserverPath(const char *path) {
  VEK_TRACE_ENTRY("VEKClientSetVEKserverPath", "(%s)", VEK_STR(path));
  if (!path) {
    _vek_error("VEKClientSetVEKserverPath(): path cannot be NULL.");
  } else if (strlen(path) >= VEK_PATH_MAX) {
    _vek_error("VEKClientSetVEKserverPath(): path longer than %d characters ignored", VEK_PATH_MAX - 1);
  } else {
    memcpy(vek_server_variable, path, strlen(path) + 1);
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end(NULL);
}

int VEKClientLocateVEKserver(char *path) {
  VEK_TRACE_ENTRY("VEKClientLocateVEKserver", "(%p)", (void *)path);
  int code = VEK_RESULT_USAGE;
  if (!path) {
    _vek_error("VEKClientLocateVEKserver(): path cannot be NULL.");
  } else if (_vek_client_linked_version == 0) {
    _vek_error(VEK_NOT_INITIALIZED);
    path[0] = '\0';
  } else {
    code = locate_server(path);
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

int VEKClientRunVEKserver(unsigned short *port) {
  VEK_TRACE_ENTRY("VEKClientRunVEKserver", "(%p=%d)", (void *)port, port ? *port : 0);
  int code = run_server(port);
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

/* Walks PATH from the left; an empty element ends the walk. An element too
 * long for the buffer is passed over. */
int search_in_path(const char *name, char separator, char *path) {
  VEK_TRACE(4, "search_in_path(%s,%c,%p)", VEK_STR(name), separator, (void *)path);
  const char *env = getenv("PATH");
  if (path) path[0] = '\0';
  if (!name || !path || !env) return 1;
  VEK_TRACE(5, "PATH=%s", env);
  for (const char *element = env;;) {
    const char *end = strchr(element, VEK_PATH_LIST_SEPARATOR);
    size_t len = end ? (size_t)(end - element) : strlen(element);
    if (len == 0) break;
    int n = len < VEK_PATH_MAX ? snprintf(path, VEK_PATH_MAX, "%.*s%c%s", (int)len, element, separator, name) : -1;
    if (n > 0 && n < VEK_PATH_MAX) {
      VEK_TRACE(5, "checking if exists %s", path);
      struct stat st;
      if (stat(path, &st) == 0) {
        VEK_TRACE(5, "checking if regular (mode=%o)", (unsigned)st.st_mode);
        if (S_ISREG(st.st_mode)) {
          VEK_TRACE(2, "Found VEKserver in PATH: %s", path);
          return 0;
        }
      }
    } else {
      VEK_TRACE(5, "PATH element longer than %d characters skipped", VEK_PATH_MAX - 1);
    }
    if (!end) break;
    element = end + 1;
  }
  path[0] = '\0';
  VEK_TRACE(2, "...not found.");
  return 1;
}

int st_file_exists(const char *path) {
  VEK_TRACE(2, "Checking if file exists: %s", VEK_STR(path));
  return path && access(path, R_OK) == 0;
}

/* posix_spawn rather than fork and exec: no code of ours runs in a copy of
 * the host process (R), nothing there has to leave with _exit, and an exec
 * that fails is reported here instead of only by a child nobody watches.
 * The child keeps only its standard streams: the caller's sockets and files
 * are not the server's to hold for the rest of its life.
 *
 * It starts a session of its own: in the host's process group it would get
 * every Ctrl-C, Ctrl-\ and Ctrl-Z typed at the host's terminal, and the
 * host's user presses those for the host, not for its server. Being the
 * leader of its own group also lets _vek_stop_servers stop whatever the
 * program started (a script's children). Its signals start as a new
 * program's, not as the host's: R blocks some and ignores SIGPIPE. */
int _vek_exec_server(const char *path, char **argv) {
  const char *program = path ? path : SERVER_NAME;
  if (_vek_trace_level >= 2) {
    _vek_trace("_vek_exec_server(%s,%p)", VEK_STR(path), (void *)argv);
    _vek_trace("Arguments:");
    for (int i = 0; argv && argv[i]; i++) _vek_trace("  %s", argv[i]);
    _vek_trace("calling execv(%s,%p)", program, (void *)argv);
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int err = posix_spawn_file_actions_init(&actions);
  if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  int have_attr = err == 0 && posix_spawnattr_init(&attr) == 0;
  if (err == 0 && !have_attr) err = ENOMEM;
  if (err == 0) {
    sigset_t none, reset;
    sigemptyset(&none);
    sigfillset(&reset);
    sigdelset(&reset, SIGKILL);
    sigdelset(&reset, SIGSTOP);
    err = posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &reset);
    if (err == 0)
      err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  pid_t pid = -1;
  if (err == 0) err = posix_spawn(&pid, program, &actions, &attr, argv, environ);
  if (have_attr) posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    errno = err;
    _vek_perror("_vek_exec_server");
    return -1;
  }
  VEK_TRACE(2, "New Process Id: %d", (int)pid);
  remember_launch((int)pid);
  return (int)pid;
}

static void signal_group(int pid, int sig) {
  /* The group is the server's own (it leads a session); a child that could
   * not start one is signalled alone. */
  if (kill(-pid, sig) != 0) kill(pid, sig);
}

static int launched_index(int pid) {
  for (int i = 0; i < n_launched; i++)
    if (launched[i] == pid) return i;
  return -1;
}

/* Sleeps ms milliseconds, whatever signals arrive. */
static void pause_ms(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L}, left;
  while (nanosleep(&t, &left) != 0 && errno == EINTR) t = left;
}

int _vek_stop_servers(const int *pids, int n, int grace_ms) {
  int targets[MAX_LAUNCHED];
  int count = 0;
  /* Only servers of ours that have not been reaped: their ids cannot have
   * been given to another process meanwhile. Those that ended leave the
   * list first, so that it does not change under the walk. */
  _vek_reap_servers();
  for (int i = 0; i < (pids ? n : n_launched) && count < MAX_LAUNCHED; i++) {
    int pid = pids ? pids[i] : launched[i];
    if (launched_index(pid) >= 0) targets[count++] = pid;
  }
  for (int i = 0; i < count; i++) {
    VEK_TRACE(2, "Stopping VEKserver %d", targets[i]);
    signal_group(targets[i], SIGTERM);
  }
  int left = count, killed = 0;
  for (int waited = 0; left > 0; waited += 20) {
    left = 0;
    for (int i = 0; i < count; i++) {
      if (targets[i] > 0 && reap_one(targets[i], NULL)) {
        /* Whatever else the server started goes with it. */
        kill(-targets[i], SIGKILL);
        targets[i] = 0;
      }
      if (targets[i] > 0) left++;
    }
    if (left == 0) break;
    if (!killed && waited >= grace_ms) {
      killed = 1;
      for (int i = 0; i < count; i++)
        if (targets[i] > 0) signal_group(targets[i], SIGKILL);
    }
    /* SIGKILL is not refused; the bound is for a process that the system
     * cannot end (stuck in the kernel), which is not ours to wait for. */
    if (waited > grace_ms + 5000) break;
    pause_ms(20);
  }
  return count;
}

int _vek_reap_servers(int *pids, int max) {
  int running = 0;
  for (int i = n_launched - 1; i >= 0; i--) {
    int pid = launched[i];
    if (reap_one(pid, NULL)) {
      VEK_TRACE(2, "VEKserver %d has ended", pid);
    } else if (pids != NULL && running < max) {
      pids[running++] = pid;
    }
  }
  return running;
}

} /* extern "C" */
