#include "peer.h"

#include <errno.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "vek_internal.h"

namespace vekt {

/* ---------------- Bytes ---------------- */

Bytes& Bytes::u32(uint32_t v) {
  b.push_back((uint8_t)(v >> 24));
  b.push_back((uint8_t)(v >> 16));
  b.push_back((uint8_t)(v >> 8));
  b.push_back((uint8_t)v);
  return *this;
}

Bytes& Bytes::i32(int32_t v) { return u32((uint32_t)v); }

Bytes& Bytes::i64(int64_t v) {
  uint64_t u = (uint64_t)v;
  return u32((uint32_t)(u >> 32)).u32((uint32_t)u);
}

Bytes& Bytes::dbl(double v) {
  uint64_t u;
  memcpy(&u, &v, sizeof u);
  return u32((uint32_t)(u >> 32)).u32((uint32_t)u);
}

Bytes& Bytes::str(const std::string& s) {
  u32((uint32_t)s.size());
  b.insert(b.end(), s.begin(), s.end());
  for (size_t pad = (4 - s.size() % 4) % 4; pad > 0; pad--) b.push_back(0);
  return *this;
}

Bytes& Bytes::raw(std::initializer_list<uint8_t> bytes) {
  b.insert(b.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes& Bytes::raw(const std::vector<uint8_t>& bytes) {
  b.insert(b.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes& Bytes::append(const Bytes& other) { return raw(other.b); }

Bytes& Bytes::fill(size_t n, uint8_t v) {
  b.insert(b.end(), n, v);
  return *this;
}

Bytes Bytes::prefix(size_t n) const {
  Bytes out;
  out.b.assign(b.begin(), b.begin() + (ptrdiff_t)(n < b.size() ? n : b.size()));
  return out;
}

std::string hex(const std::vector<uint8_t>& bytes, size_t max) {
  std::string out;
  char tmp[4];
  for (size_t i = 0; i < bytes.size() && i < max; i++) {
    snprintf(tmp, sizeof tmp, "%02x", bytes[i]);
    if (i) out += (i % 4 == 0) ? "  " : " ";
    out += tmp;
  }
  if (bytes.size() > max) out += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

Bytes kw(const std::string& keyword) { return Bytes().str(keyword); }

Bytes doubles(const std::vector<double>& v) {
  Bytes b;
  for (double d : v) b.dbl(d);
  return b;
}

long vm_peak_kb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmPeak:", 0) == 0) return atol(line.c_str() + 7);
  return -1;
}

/* ---------------- Peer ---------------- */

namespace {
constexpr int kSliceMs = 20;
}  // namespace

Peer::Peer() { open_listener(0); }

Peer::Peer(unsigned short port) { open_listener(port); }

void Peer::open_listener(unsigned short port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) {
    log_.push_back(std::string("socket: ") + strerror(errno));
    failed_ = true;
    return;
  }
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, (sockaddr*)&addr, sizeof addr) < 0 || listen(listen_fd_, 8) < 0 ||
      getsockname(listen_fd_, (sockaddr*)&addr, &len) < 0) {
    log_.push_back(std::string("listen: ") + strerror(errno));
    failed_ = true;
    close(listen_fd_);
    listen_fd_ = -1;
    return;
  }
  port_ = ntohs(addr.sin_port);
}

Peer::~Peer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    abort_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  close_conn();
  if (listen_fd_ >= 0) close(listen_fd_);
}

Peer& Peer::add(Step s) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(s));
  }
  cv_.notify_all();
  return *this;
}

Peer& Peer::expect(const Bytes& b) {
  Step s(Step::EXPECT, b);
  return add(std::move(s));
}
Peer& Peer::skip(size_t n) {
  Step s(Step::SKIP);
  s.n = n;
  return add(std::move(s));
}
Peer& Peer::send(const Bytes& b) {
  Step s(Step::SEND, b);
  return add(std::move(s));
}
Peer& Peer::close_now() { return add(Step(Step::CLOSE)); }
Peer& Peer::stall(int ms) {
  Step s(Step::STALL);
  s.ms = ms;
  return add(std::move(s));
}
Peer& Peer::accept_next() { return add(Step(Step::ACCEPT)); }
Peer& Peer::expect_nothing(int ms) {
  Step s(Step::NOTHING);
  s.ms = ms;
  return add(std::move(s));
}
Peer& Peer::expect_eof(int ms) {
  Step s(Step::EOF_);
  s.ms = ms;
  return add(std::move(s));
}
Peer& Peer::custom(std::function<bool(int, std::string&)> fn) {
  Step s(Step::CUSTOM);
  s.fn = std::move(fn);
  return add(std::move(s));
}

void Peer::start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { run(); });
}

void Peer::fail(size_t index, const std::string& why) {
  std::lock_guard<std::mutex> lock(mu_);
  failed_ = true;
  log_.push_back("step " + std::to_string(index) + ": " + why);
}

void Peer::close_conn() {
  if (conn_fd_ >= 0) close(conn_fd_);
  conn_fd_ = -1;
}

static bool aborted(std::mutex& mu, const bool& flag) {
  std::lock_guard<std::mutex> lock(mu);
  return flag;
}

bool Peer::accept_one(std::string& why) {
  for (;;) {
    if (aborted(mu_, abort_)) {
      why = "no connection came";
      return false;
    }
    pollfd pfd{listen_fd_, POLLIN, 0};
    int r = poll(&pfd, 1, kSliceMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      why = std::string("poll on listener: ") + strerror(errno);
      return false;
    }
    if (r == 0) continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      why = std::string("accept: ") + strerror(errno);
      return false;
    }
    conn_fd_ = fd;
    std::lock_guard<std::mutex> lock(mu_);
    connections_++;
    return true;
  }
}

bool Peer::ensure_connected(std::string& why) {
  if (conn_fd_ >= 0) return true;
  return accept_one(why);
}

int Peer::read_exact(size_t n, std::vector<uint8_t>& out, int deadline_ms, std::string& why) {
  auto start = std::chrono::steady_clock::now();
  out.clear();
  while (out.size() < n) {
    if (aborted(mu_, abort_)) {
      why = "stopped while waiting";
      return -1;
    }
    if (deadline_ms >= 0) {
      auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start).count();
      if (spent >= deadline_ms) {
        why = "timed out";
        return -1;
      }
    }
    pollfd pfd{conn_fd_, POLLIN, 0};
    int r = poll(&pfd, 1, kSliceMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      why = std::string("poll: ") + strerror(errno);
      return -1;
    }
    if (r == 0) continue;
    uint8_t buf[4096];
    size_t want = n - out.size();
    if (want > sizeof buf) want = sizeof buf;
    ssize_t got = recv(conn_fd_, buf, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      why = std::string("recv: ") + strerror(errno);
      return -1;
    }
    if (got == 0) {
      why = "client closed the connection";
      return 0;
    }
    out.insert(out.end(), buf, buf + got);
    std::lock_guard<std::mutex> lock(mu_);
    received_.insert(received_.end(), buf, buf + got);
  }
  return 1;
}

void Peer::run() {
  send_log_ignore_this_thread();
  for (;;) {
    Step s(Step::STALL);
    size_t index;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return abort_ || finishing_ || !queue_.empty(); });
      if (abort_ || failed_) break;
      if (queue_.empty()) break; /* finishing with nothing left */
      s = std::move(queue_.front());
      queue_.pop_front();
      index = next_index_++;
    }
    std::string why;
    bool ok = true;
    switch (s.kind) {
      case Step::EXPECT:
      case Step::SKIP: {
        if (!ensure_connected(why)) {
          ok = false;
          break;
        }
        size_t n = s.kind == Step::EXPECT ? s.bytes.size() : s.n;
        std::vector<uint8_t> got;
        int r = read_exact(n, got, -1, why);
        if (r != 1) {
          ok = false;
          why = (s.kind == Step::EXPECT ? "expect " : "skip ") + std::to_string(n) + " bytes: " + why +
                " after " + std::to_string(got.size()) + " bytes [" + hex(got) + "]" +
                (s.kind == Step::EXPECT ? " wanted [" + hex(s.bytes.b) + "]" : "");
        } else if (s.kind == Step::EXPECT && got != s.bytes.b) {
          size_t at = 0;
          while (at < got.size() && got[at] == s.bytes.b[at]) at++;
          ok = false;
          why = "bytes differ at offset " + std::to_string(at) + "\n  wanted [" + hex(s.bytes.b) +
                "]\n  got    [" + hex(got) + "]";
        }
        break;
      }
      case Step::SEND: {
        if (!ensure_connected(why)) {
          ok = false;
          break;
        }
        size_t done = 0;
        while (done < s.bytes.size()) {
          ssize_t r = ::send(conn_fd_, s.bytes.b.data() + done, s.bytes.size() - done, MSG_NOSIGNAL);
          if (r < 0 && errno == EINTR) continue;
          if (r < 0) {
            ok = false;
            why = std::string("send: ") + strerror(errno);
            break;
          }
          done += (size_t)r;
        }
        break;
      }
      case Step::CLOSE:
        close_conn();
        break;
      case Step::STALL: {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.ms);
        while (std::chrono::steady_clock::now() < until && !aborted(mu_, abort_))
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
      }
      case Step::ACCEPT:
        close_conn();
        ok = accept_one(why);
        break;
      case Step::NOTHING:
      case Step::EOF_: {
        if (!ensure_connected(why)) {
          ok = false;
          break;
        }
        auto start = std::chrono::steady_clock::now();
        bool eof = false;
        for (;;) {
          if (aborted(mu_, abort_)) {
            ok = false;
            why = "stopped while waiting";
            break;
          }
          auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start).count();
          if (spent >= s.ms) break;
          pollfd pfd{conn_fd_, POLLIN, 0};
          int r = poll(&pfd, 1, kSliceMs);
          if (r <= 0) continue;
          uint8_t buf[256];
          ssize_t got = recv(conn_fd_, buf, sizeof buf, 0);
          if (got < 0 && errno == EINTR) continue;
          if (got <= 0) { /* closed, or reset: no byte came */
            eof = true;
            break;
          }
          ok = false;
          std::vector<uint8_t> v(buf, buf + got);
          {
            std::lock_guard<std::mutex> lock(mu_);
            received_.insert(received_.end(), v.begin(), v.end());
          }
          why = "client sent [" + hex(v) + "]";
          break;
        }
        if (ok && s.kind == Step::EOF_ && !eof) {
          ok = false;
          why = "client did not close within " + std::to_string(s.ms) + " ms";
        }
        if (eof) close_conn();
        break;
      }
      case Step::CUSTOM:
        if (!ensure_connected(why)) {
          ok = false;
          break;
        }
        ok = s.fn(conn_fd_, why);
        break;
    }
    if (!ok) {
      fail(index, why);
      break;
    }
  }
  close_conn();
  {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
  }
  cv_.notify_all();
}

bool Peer::finish(int timeout_ms) {
  start();
  bool timed_out = false;
  {
    std::unique_lock<std::mutex> lock(mu_);
    finishing_ = true;
    cv_.notify_all();
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return done_; })) {
      timed_out = true;
      abort_ = true;
      log_.push_back("script still running after " + std::to_string(timeout_ms) + " ms (step " +
                     std::to_string(next_index_ == 0 ? 0 : next_index_ - 1) + ")");
    }
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  if (!queue_.empty()) log_.push_back(std::to_string(queue_.size()) + " step(s) never ran");
  return !failed_ && !timed_out && queue_.empty();
}

std::string Peer::report() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::ostringstream out;
  for (const auto& line : log_) out << line << "\n";
  out << "received " << received_.size() << " bytes: [" << hex(received_, 128) << "]";
  return out.str();
}

std::vector<uint8_t> Peer::received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

int Peer::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

bool Peer::pending_connection(int wait_ms) const {
  if (listen_fd_ < 0) return false;
  pollfd pfd{listen_fd_, POLLIN, 0};
  return poll(&pfd, 1, wait_ms) > 0;
}

/* ---------------- scripts and client helpers ---------------- */

void script_handshake(Peer& p, int version, const std::vector<std::string>& supported, int server64,
                      const std::string& data_path) {
  p.expect(kw("CHELLO").str(data_path).i32(1300030)).send(kw("SWELCOME").i32(version));
  if (version == 100) return;
  p.expect(kw("CNEWSESS")).send(kw("SNOSESS"));
  p.expect(kw("CVEKDATA").str(data_path)).send(kw("SOK"));
  if (version <= 400000) return;
  Bytes list = kw("SSUPREQ").i32((int32_t)supported.size());
  bool arch = false;
  for (const auto& k : supported) {
    list.str(k);
    arch = arch || k == "CARCH";
  }
  p.expect(kw("CSUPREQ")).send(list);
  if (arch) p.expect(kw("CARCH").i32(1)).send(kw("SARCH").i32(server64));
}

void script_goodbye(Peer& p) { p.expect(kw("CBYE BYE")).send(kw("SBYE BYE")).expect_eof(); }

int connect_client(Peer& p, const std::string& data_path) {
  VEKClientInitialize(VEK_PROTOCOL_VERSION);
  return VEKClientConnect("127.0.0.1", p.port(), data_path.c_str());
}

void reset_client(int answer_timeout_ms) {
  _vek_close_client();
  _vek_empty_write_buffer();
  _vek_empty_read_buffer();
  _vek_client_server_version = 0;
  _vek_server64 = 0;
  _vek_client_last_error = 0;
  _vek_client_dbg_mode = 0;
  _vek_disable_rw_trace = 0;
  _vek_answer_timeout_ms = answer_timeout_ms;
  _vek_interrupt_function = nullptr;
  _vek_progress_function = nullptr;
  _vek_interrupted = 0;
}

/* ---------------- error capture ---------------- */

static std::vector<std::string> g_errors;

static void capture_error(const char* text) { g_errors.push_back(text ? text : "(null)"); }

ErrorCapture::ErrorCapture() : previous_(VEK_ERROR_FUNCTION) {
  g_errors.clear();
  VEK_ERROR_FUNCTION = capture_error;
}

ErrorCapture::~ErrorCapture() { VEK_ERROR_FUNCTION = previous_; }

const std::vector<std::string>& ErrorCapture::messages() const { return g_errors; }

bool ErrorCapture::contains(const std::string& text) const {
  for (const auto& m : g_errors)
    if (m.find(text) != std::string::npos) return true;
  return false;
}

void ErrorCapture::clear() { g_errors.clear(); }

std::string ErrorCapture::joined() const {
  std::string out;
  for (const auto& m : g_errors) out += m + "\n";
  return out;
}

}  // namespace vekt
