/*
 * Throughput of variable transfer through the client library, beside a plain
 * loopback socket copy of the same bytes.
 *
 *   transfer_bench --server PATH [--project DIR] [--n VALUES] [--repeat K]
 *
 * 1. The reference server, started on loopback over a temporary copy of the
 *    project (or a project of one empty Study): a grid File of n samples and a 64-bit
 *    variable are created with the client, then n doubles are written and
 *    read back (and compared).
 * 2. The same write and read against an in-process sink that answers at
 *    once and never looks at the values: what the client library itself
 *    costs.
 * 3. A plain copy of the same 8n bytes over a loopback TCP connection to a
 *    reader thread, in 1024-byte sends (the client's send pattern) and in
 *    64 KiB sends.
 *
 * Each figure is the best of K runs, in MB/s (10^6 bytes of values per
 * second), with the CPU time the client's thread (and the reference
 * server's process) spent in that run.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VEKClient.h"

namespace fs = std::filesystem;

namespace {

double now_s() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* CPU time (user + system) of the calling thread. */
double thread_cpu_s() {
  rusage u;
  getrusage(RUSAGE_THREAD, &u);
  return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

/* CPU time of another process, from /proc; 0 when unknown. The scheduler's
 * count is in nanoseconds, the one of stat in 10 ms ticks: too coarse for an
 * answer that takes a few of them. */
double process_cpu_s(pid_t pid) {
  if (pid <= 0) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/schedstat", (int)pid);
  if (FILE *sf = fopen(path, "r")) {
    unsigned long long ns = 0;
    int got = fscanf(sf, "%llu", &ns);
    fclose(sf);
    if (got == 1) return (double)ns * 1e-9;
  }
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  FILE *f = fopen(path, "r");
  if (!f) return 0;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  /* Fields after the command name, which ends with the last ')'. */
  char *p = strrchr(buf, ')');
  unsigned long ut = 0, st = 0;
  if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2) return 0;
  return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}

struct Figure {
  double wall = 1e300;
  double cpu = 0;
  double other = -1; /* CPU of the server process, when there is one */
  void keep(double w, double c, double o = -1) {
    if (w < wall) {
      wall = w;
      cpu = c;
      other = o;
    }
  }
};

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "transfer_bench: %s (last client code %d)\n", what, VEKClientGetLastError());
  exit(1);
}

/* ---------------- plain sockets ---------------- */

int listen_loopback(unsigned short *port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(*port);
  socklen_t len = sizeof a;
  if (bind(fd, (sockaddr *)&a, sizeof a) || listen(fd, 4) || getsockname(fd, (sockaddr *)&a, &len)) die("listen");
  *port = ntohs(a.sin_port);
  return fd;
}

int connect_loopback(unsigned short port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, (sockaddr *)&a, sizeof a)) die("connect");
  return fd;
}

int accept_within(int listener, int ms) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return -1;
  return accept(listener, nullptr, nullptr);
}

bool send_all(int fd, const void *buf, size_t n) {
  const char *p = (const char *)buf;
  while (n > 0) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= (size_t)r;
  }
  return true;
}

bool recv_all(int fd, void *buf, size_t n) {
  char *p = (char *)buf;
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= (size_t)r;
  }
  return true;
}

/* Discards n bytes. */
bool drop(int fd, size_t n) {
  static char scratch[65536];
  while (n > 0) {
    size_t take = n < sizeof scratch ? n : sizeof scratch;
    ssize_t r = recv(fd, scratch, take, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    n -= (size_t)r;
  }
  return true;
}

/* Copies total bytes to a reader thread in sends of chunk bytes; returns the
 * seconds from the first send to the reader's last byte. */
double loopback_copy(const std::vector<char> &data, size_t chunk, double *cpu) {
  unsigned short port = 0;
  int listener = listen_loopback(&port);
  std::thread reader([&] {
    int fd = accept_within(listener, 10000);
    if (fd < 0 || !drop(fd, data.size())) die("loopback reader");
    close(fd);
  });
  int fd = connect_loopback(port);
  double c0 = thread_cpu_s(), t0 = now_s();
  for (size_t off = 0; off < data.size(); off += chunk) {
    size_t n = data.size() - off < chunk ? data.size() - off : chunk;
    if (!send_all(fd, data.data() + off, n)) die("loopback send");
  }
  reader.join();
  double t = now_s() - t0;
  *cpu = thread_cpu_s() - c0;
  close(fd);
  close(listener);
  return t;
}

/* ---------------- the sink: a server that only answers ---------------- */

uint32_t be32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

void put32(std::vector<unsigned char> &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back((unsigned char)(v >> s));
}

void put_str(std::vector<unsigned char> &b, const std::string &s) {
  put32(b, (uint32_t)s.size());
  b.insert(b.end(), s.begin(), s.end());
  for (size_t k = (4 - s.size() % 4) % 4; k > 0; k--) b.push_back(0);
}

bool read_str(int fd, std::string &s) {
  unsigned char len[4];
  if (!recv_all(fd, len, 4)) return false;
  uint32_t n = be32(len);
  if (n > 10000) return false;
  s.assign(n + (4 - n % 4) % 4, '\0');
  if (!recv_all(fd, &s[0], s.size())) return false;
  s.resize(n);
  return true;
}

/* Plays a 1300030 server with 64-bit longs: the handshake, then writes that
 * it drops and reads answered from a ready encoded payload. */
void sink_session(int listener, const std::vector<unsigned char> *payload, int64_t count) {
  int fd = accept_within(listener, 10000);
  if (fd < 0) die("sink accept");
  std::string k, arg;
  for (;;) {
    if (!read_str(fd, k)) break;
    std::vector<unsigned char> a;
    unsigned char buf[64];
    if (k == "CHELLO") {
      if (!read_str(fd, arg) || !recv_all(fd, buf, 4)) break;
      put_str(a, "SWELCOME");
      put32(a, 1300030);
    } else if (k == "CNEWSESS") {
      put_str(a, "SNOSESS");
    } else if (k == "CVEKDATA") {
      if (!read_str(fd, arg)) break;
      put_str(a, "SOK");
    } else if (k == "CSUPREQ") {
      put_str(a, "SSUPREQ");
      put32(a, 1);
      put_str(a, "CARCH");
    } else if (k == "CARCH") {
      if (!recv_all(fd, buf, 4)) break;
      put_str(a, "SARCH");
      put32(a, 1);
    } else if (k == "CWRITVARF") { /* first, last, flag, test value, count, values */
      if (!recv_all(fd, buf, 36)) break;
      uint64_t n = ((uint64_t)be32(buf + 28) << 32) | be32(buf + 32);
      if (!drop(fd, (size_t)n * 8)) break;
      put_str(a, "SDONE");
    } else if (k == "CREADVARF") { /* first, last, flag */
      if (!recv_all(fd, buf, 20)) break;
      put_str(a, "SDATAF");
      put32(a, (uint32_t)((uint64_t)count >> 32));
      put32(a, (uint32_t)count);
      put32(a, 0x462F2689); /* 1.234e30 */
      put32(a, 0xC074B614);
      if (!send_all(fd, a.data(), a.size()) || !send_all(fd, payload->data(), payload->size())) break;
      continue;
    } else if (k == "CBYE BYE") {
      put_str(a, "SBYE BYE");
      send_all(fd, a.data(), a.size());
      break;
    } else {
      break;
    }
    if (!send_all(fd, a.data(), a.size())) break;
  }
  close(fd);
}

/* ---------------- the reference server ---------------- */

pid_t start_server(const std::string &path, unsigned short *port) {
  unsigned short control = 0;
  int listener = listen_loopback(&control);
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    /* Ends on its own should this benchmark die without stopping it. */
    setenv("VEK_TEST_IDLE_EXIT", "120", 1);
    std::string c = std::to_string(control);
    execl(path.c_str(), "VEKserver", "-control", c.c_str(), (char *)nullptr);
    _exit(127);
  }
  int fd = accept_within(listener, 10000);
  unsigned char b[4];
  if (fd < 0 || !recv_all(fd, b, 4)) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    die("the server did not report its port");
  }
  *port = (unsigned short)be32(b);
  close(fd);
  close(listener);
  return pid;
}

void stop_server(pid_t pid) {
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    usleep(50000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

/* A Study, a Directory, a grid File of n samples and a 64-bit variable. */
void create_target(const std::string &project, int64_t n) {
  int nx = 10000;
  int ny = (int)((n + nx - 1) / nx);
  if (n < nx) {
    nx = (int)n;
    ny = 1;
  }
  if ((int64_t)nx * ny != n) die("n must be below 10000 or a multiple of it");
  if (VEKClientNewStudy("Bench", (project + "/Bench").c_str()) || VEKClientSetStudy("Bench") ||
      VEKClientNewDirectory("Run") || VEKClientSetDirectory("Run") ||
      VEKClientNewGridFile("Grid", 2, 0, 0, 0, 1, 1, 1, nx, ny, 1) || VEKClientSetFile("Grid") ||
      VEKClientNewDoubleVariable("Value", 64, VEK_FORMAT_TYPE_FREE, 24, 12, nullptr) || VEKClientSetVariable("Value"))
    die("cannot create the benchmark variable");
}

/* One write and one read of the current variable through the client;
 * server is the reference server's process id, or 0. */
void client_round(const std::vector<double> &values, Figure &w, Figure &r, bool verify, pid_t server) {
  double s0 = process_cpu_s(server), c0 = thread_cpu_s(), t0 = now_s();
  if (VEKClientWriteDoubleVariable(0, 1.234e30, (vek_long)values.size(), values.data())) die("write");
  w.keep(now_s() - t0, thread_cpu_s() - c0, server ? process_cpu_s(server) - s0 : -1);
  double tv;
  vek_long count;
  double *data = nullptr;
  s0 = process_cpu_s(server);
  c0 = thread_cpu_s();
  t0 = now_s();
  if (VEKClientReadDoubleVariable(0, &tv, &count, &data)) die("read");
  r.keep(now_s() - t0, thread_cpu_s() - c0, server ? process_cpu_s(server) - s0 : -1);
  if (count != (vek_long)values.size()) die("read returned another count");
  if (verify && memcmp(data, values.data(), values.size() * sizeof(double)) != 0) die("values differ");
  VEKClientFreePointer(data);
}

void line(const char *name, double bytes, const Figure &f) {
  printf("  %-40s %8.1f MB/s  %7.3f s  client cpu %6.3f s", name, bytes / f.wall / 1e6, f.wall, f.cpu);
  if (f.other >= 0) printf("  server cpu %6.2f s", f.other);
  printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::string server, project;
  int64_t n = 10000000;
  int repeat = 3;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--server" && i + 1 < argc) server = argv[++i];
    else if (a == "--project" && i + 1 < argc) project = argv[++i];
    else if (a == "--n" && i + 1 < argc) n = atoll(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc) repeat = atoi(argv[++i]);
    else {
      fprintf(stderr, "usage: transfer_bench --server PATH [--project DIR] [--n VALUES] [--repeat K]\n");
      return 2;
    }
  }
  if (n <= 0 || repeat <= 0) die("n and repeat must be positive");
  signal(SIGPIPE, SIG_IGN);
  const double bytes = (double)n * 8;

  std::vector<double> values((size_t)n);
  for (int64_t i = 0; i < n; i++) values[(size_t)i] = (double)i * 0.5 - 1e6;
  /* The same values as the wire carries them, for the sink's answers. */
  std::vector<unsigned char> encoded;
  encoded.reserve((size_t)n * 8);
  for (double d : values) {
    uint64_t u;
    memcpy(&u, &d, 8);
    put32(encoded, (uint32_t)(u >> 32));
    put32(encoded, (uint32_t)u);
  }
  if (VEKClientInitialize(VEK_PROTOCOL_VERSION)) die("initialize");
  printf("transfer of %lld doubles (%.0f MB), best of %d\n", (long long)n, bytes / 1e6, repeat);

  Figure ref_w, ref_r;
  if (!server.empty()) {
    char tmpl[] = "/tmp/vekbench.XXXXXX";
    if (!mkdtemp(tmpl)) die("mkdtemp");
    std::string dir = tmpl, root = dir + "/project";
    std::error_code ec;
    if (!project.empty()) fs::copy(project, root, fs::copy_options::recursive, ec);
    else {
      /* A server serves only a folder that holds a described Study. */
      fs::create_directories(root + "/Seed", ec);
      std::ofstream(root + "/Seed/study.json") << "{}\n";
    }
    if (ec) die("cannot prepare the project copy");
    unsigned short port = 0;
    pid_t pid = start_server(server, &port);
    if (VEKClientConnect("127.0.0.1", port, root.c_str())) {
      stop_server(pid);
      die("connect to the reference server");
    }
    create_target(root, n);
    for (int k = 0; k < repeat; k++) client_round(values, ref_w, ref_r, k == 0, pid);
    VEKClientDisconnect();
    stop_server(pid);
    fs::remove_all(dir, ec);
  }

  Figure sink_w, sink_r;
  {
    unsigned short port = 0;
    int listener = listen_loopback(&port);
    std::thread sink(sink_session, listener, &encoded, n);
    if (VEKClientConnect("127.0.0.1", port, "")) die("connect to the sink");
    for (int k = 0; k < repeat; k++) client_round(values, sink_w, sink_r, k == 0, 0);
    VEKClientDisconnect();
    sink.join();
    close(listener);
  }

  Figure raw1k, raw64k;
  {
    std::vector<char> data(encoded.begin(), encoded.end());
    for (int k = 0; k < repeat; k++) {
      double cpu, t = loopback_copy(data, 1024, &cpu);
      raw1k.keep(t, cpu);
      t = loopback_copy(data, 65536, &cpu);
      raw64k.keep(t, cpu);
    }
  }

  if (!server.empty()) {
    line("client -> reference server, write", bytes, ref_w);
    line("client <- reference server, read", bytes, ref_r);
  }
  line("client -> sink, write", bytes, sink_w);
  line("client <- sink, read", bytes, sink_r);
  line("plain loopback copy, 1024-byte sends", bytes, raw1k);
  line("plain loopback copy, 64 KiB sends", bytes, raw64k);
  printf("ratios (time of the plain copy / time of the transfer):\n");
  if (!server.empty()) {
    printf("  reference write / 1024-byte copy  %.2f\n", raw1k.wall / ref_w.wall);
    printf("  reference read  / 64 KiB copy     %.2f\n", raw64k.wall / ref_r.wall);
    printf("  reference read  / sink read       %.2f\n", sink_r.wall / ref_r.wall);
    /* What the answer costs the server beside what reading it costs the client. */
    if (ref_r.cpu > 0) printf("  read: server cpu / client cpu     %.2f\n", ref_r.other / ref_r.cpu);
  }
  printf("  sink write / 1024-byte copy       %.2f\n", raw1k.wall / sink_w.wall);
  printf("  sink read  / 64 KiB copy          %.2f\n", raw64k.wall / sink_r.wall);
  printf("  1024-byte copy / 64 KiB copy      %.2f\n", raw64k.wall / raw1k.wall);
  return 0;
}
