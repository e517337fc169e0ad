/*
 * Runs the reference server for a test: a private copy of the sample project,
 * the server started with -control on a loopback port (its session port comes
 * back on that connection), and a stop that never leaves a process behind.
 *
 *   vsrv::Project proj;                       // copy of the sample project
 *   vsrv::Server srv;
 *   ASSERT_TRUE(vsrv::start(srv, proj.path)); // srv.port is the session port
 *   ASSERT_EQ(0, vsrv::connect(srv));
 *   ...
 *   vsrv::stop(srv);                          // also done by ~Server
 */
#ifndef VSRV_SERVER_HARNESS_H
#define VSRV_SERVER_HARNESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "VEKClient.h"
#include "peer.h"
#include "vek_internal.h"

extern char **environ;

namespace vsrv {

inline long now_ms() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

/* A temporary copy of the shipped sample project, removed at the end. */
struct Project {
  std::string dir;  /* temporary folder */
  std::string path; /* the project root inside it */
  Project() {
    char tmpl[] = "/tmp/vekserver-test-XXXXXX";
    dir = mkdtemp(tmpl) ? tmpl : "";
    path = dir + "/project";
    std::filesystem::copy(std::string(VEK_SOURCE_DIR) + "/inst/extdata/sample_project", path,
                          std::filesystem::copy_options::recursive);
  }
  ~Project() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string file(const std::string &rel) const { return path + "/" + rel; }
};

struct Server {
  pid_t pid = -1;
  unsigned short port = 0;
  int err_fd = -1; /* read end of the server's standard error */
  int status = -1; /* wait status once it has ended */
  ~Server();
};

/* Waits for pid at most ms; true when it ended (status filled). */
inline bool wait_exit(Server &s, int ms) {
  long end = now_ms() + ms;
  while (s.pid > 0) {
    int st;
    pid_t r = waitpid(s.pid, &st, WNOHANG);
    if (r == s.pid) {
      s.status = st;
      s.pid = -1;
      return true;
    }
    if (r < 0 || now_ms() > end) return false;
    usleep(10000);
  }
  return true;
}

/* Everything the server wrote on its standard error so far (it has ended, or
 * what is there now). */
inline std::string stderr_text(Server &s) {
  std::string out;
  if (s.err_fd < 0) return out;
  char buf[4096];
  for (;;) {
    struct pollfd p = {s.err_fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) break;
    ssize_t n = read(s.err_fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, (size_t)n);
  }
  return out;
}

inline void kill_now(Server &s) {
  if (s.pid > 0) {
    kill(s.pid, SIGKILL);
    waitpid(s.pid, &s.status, 0);
    s.pid = -1;
  }
}

/* SIGTERM, then SIGKILL if it has not ended within 5 s. Returns the wait
 * status. */
inline int stop(Server &s) {
  if (s.pid > 0) {
    kill(s.pid, SIGTERM);
    if (!wait_exit(s, 5000)) kill_now(s);
  }
  return s.status;
}

/* Stops the server and expects a clean end: status 0 and nothing on its
 * standard error (a sanitizer's report included). */
inline void stop_clean(Server &s) {
  int st = stop(s);
  std::string text = stderr_text(s);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "wait status " << st << "\n" << text;
  EXPECT_EQ("", text);
}

inline Server::~Server() {
  stop(*this);
  if (err_fd >= 0) close(err_fd);
}

/* Starts the server on project (empty: no VEK_PROJECT_DIR) with extra
 * NAME=value settings. Returns true when it reported its session port; false
 * when it ended or said nothing within 5 s (then it is stopped; s.status and
 * stderr_text tell why). */
inline bool start(Server &s, const std::string &project, const std::vector<std::string> &env = {}) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (lfd < 0 || bind(lfd, (struct sockaddr *)&a, sizeof a) != 0 || listen(lfd, 1) != 0 ||
      getsockname(lfd, (struct sockaddr *)&a, &len) != 0) {
    if (lfd >= 0) close(lfd);
    return false;
  }
  std::string control = std::to_string(ntohs(a.sin_port));
  std::vector<std::string> vars;
  for (char **e = environ; *e; e++)
    if (strncmp(*e, "VEK_", 4) != 0) vars.push_back(*e);
  bool idle_given = false;
  for (const std::string &v : env) {
    vars.push_back(v);
    idle_given = idle_given || v.rfind("VEK_TEST_IDLE_EXIT=", 0) == 0;
  }
  /* No server may outlive its test, whatever happens to the test. */
  if (!idle_given) vars.push_back("VEK_TEST_IDLE_EXIT=60");
  if (!project.empty()) vars.push_back("VEK_PROJECT_DIR=" + project);
  std::vector<char *> envp;
  for (std::string &v : vars) envp.push_back(&v[0]);
  envp.push_back(nullptr);
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) {
    close(lfd);
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 2);
    char *argv[] = {(char *)"VEKserver", (char *)"-control", &control[0], nullptr};
    execve(VEK_TEST_SERVER, argv, envp.data());
    _exit(127);
  }
  close(pipefd[1]);
  s.pid = pid;
  s.err_fd = pipefd[0];
  s.status = -1;
  bool ok = false;
  /* Short polls, so that a server that ends at once is seen at once. */
  bool ready = false;
  for (long end = now_ms() + 5000; pid > 0 && !ready && now_ms() < end;) {
    struct pollfd p = {lfd, POLLIN, 0};
    ready = poll(&p, 1, 50) == 1;
    if (!ready && waitpid(pid, &s.status, WNOHANG) == pid) {
      s.pid = -1;
      break;
    }
  }
  if (ready) {
    int c = accept(lfd, nullptr, nullptr);
    unsigned char b[4];
    size_t got = 0;
    while (c >= 0 && got < 4) {
      struct pollfd pc = {c, POLLIN, 0};
      if (poll(&pc, 1, 3000) != 1) break;
      ssize_t n = read(c, b + got, 4 - got);
      if (n <= 0) break;
      got += (size_t)n;
    }
    if (got == 4) {
      s.port = (unsigned short)((b[2] << 8) | b[3]);
      ok = true;
    }
    if (c >= 0) close(c);
  }
  close(lfd);
  if (!ok && s.pid > 0 && !wait_exit(s, 2000)) kill_now(s);
  return ok;
}

/* A plain loopback connection to port (-1 on failure); reads on it give up
 * after 5 s. */
inline int dial(unsigned short port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  struct timeval tv = {5, 0};
  if (fd >= 0 && (::connect(fd, (struct sockaddr *)&a, sizeof a) != 0 ||
                  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

/* Runs body in a child process, whose exit status is body's result. */
inline pid_t spawn(const std::function<int()> &body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

/* The exit status of a spawned child; one still running after ms is killed
 * and gives -1. */
inline int reap(pid_t pid, int ms) {
  Server s;
  s.pid = pid;
  if (!wait_exit(s, ms)) kill_now(s);
  return WIFEXITED(s.status) ? WEXITSTATUS(s.status) : -1;
}

/* Connects the client library to the server (the library is reset first). */
inline int connect(const Server &s, const std::string &data_path = "") {
  vekt::reset_client(10000);
  VEKClientInitialize(1300030);
  return VEKClientConnect("127.0.0.1", s.port, data_path.c_str());
}

/* Makes Study/Directory/File and, when given, Variable current. */
inline int target(const char *file, const char *var = nullptr) {
  if (VEKClientSetStudy("Demo") || VEKClientSetDirectory("Mining") || VEKClientSetFile(file)) return 1;
  return var ? VEKClientSetVariable(var) : 0;
}

/* The current variable's values (empty when the read failed). */
inline std::vector<double> read_all(int *code = nullptr) {
  double test = 0;
  vek_long n = 0;
  double *data = nullptr;
  int r = VEKClientReadDoubleVariable(0, &test, &n, &data);
  if (code) *code = VEKClientGetLastError();
  std::vector<double> out;
  if (r == 0 && data) out.assign(data, data + n);
  VEKClientFreePointer(data);
  return out;
}

inline std::vector<std::string> names_of(int n, char **names) {
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back(names[i]);
  VEKClientFreeStringArray(n, names);
  return out;
}

}  // namespace vsrv

#endif  // VSRV_SERVER_HARNESS_H
