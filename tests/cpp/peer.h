/*
 * A scripted server for the client library's tests.
 *
 * A Peer listens on 127.0.0.1 (ephemeral port) and plays a script in its own
 * thread: read exactly these bytes, send those, close, stall, accept again.
 * Expected bytes are written literally with Bytes, never with the client's
 * codec, so a codec mistake shared by both ends cannot pass unnoticed.
 *
 *   vekt::reset_client();
 *   vekt::Peer p;
 *   vekt::script_handshake(p, 1300030, {"CARCH"});
 *   p.expect(vekt::kw("CUNITMODE").i32(1)).send(vekt::kw("SDONE"));
 *   p.start();
 *   ASSERT_EQ(0, vekt::connect_client(p));
 *   EXPECT_EQ(0, VEKClientSetUnitMode(1));
 *   EXPECT_TRUE(p.finish()) << p.report();
 *
 * Steps may be added before or after start(). The connection is accepted
 * lazily, by the first step that needs it. finish() waits for the script to
 * end (at most timeout_ms), then stops the thread and closes every socket.
 */
#ifndef VEKT_PEER_H
#define VEKT_PEER_H

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vekt {

/* Literal wire bytes: big-endian 32-bit units, strings with a 32-bit length
 * and zero padding to 4 bytes. */
struct Bytes {
  std::vector<uint8_t> b;

  Bytes& i32(int32_t v);
  Bytes& u32(uint32_t v);
  Bytes& i64(int64_t v);
  Bytes& dbl(double v);
  Bytes& str(const std::string& s);
  Bytes& raw(std::initializer_list<uint8_t> bytes);
  Bytes& raw(const std::vector<uint8_t>& bytes);
  Bytes& append(const Bytes& other);
  /* n copies of the byte v (filler for large payloads). */
  Bytes& fill(size_t n, uint8_t v);
  size_t size() const { return b.size(); }
  /* The first n bytes (an answer cut short). */
  Bytes prefix(size_t n) const;
};

/* "00 01 ff" style dump, at most max bytes shown. */
std::string hex(const std::vector<uint8_t>& bytes, size_t max = 256);

class Peer {
 public:
  Peer();
  /* Listens on a given port instead; listening() tells whether it could. */
  explicit Peer(unsigned short port);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  unsigned short port() const { return port_; }
  bool listening() const { return listen_fd_ >= 0; }

  /* Read exactly b.size() bytes; a difference is recorded with a hex dump
   * and ends the script (the connection is closed). */
  Peer& expect(const Bytes& b);
  /* Read n bytes whatever they are. */
  Peer& skip(size_t n);
  Peer& send(const Bytes& b);
  /* Close the current connection; a later step that needs one accepts the
   * next connection. */
  Peer& close_now();
  Peer& stall(int ms);
  /* Close the current connection (if any) and accept a further one. */
  Peer& accept_next();
  /* Fail if the client sends any byte within ms (its closing is fine). */
  Peer& expect_nothing(int ms);
  /* The client closes the connection within ms without sending anything
   * more. */
  Peer& expect_eof(int ms = 3000);
  /* A step of the test's own: gets the connected descriptor, returns false
   * with a reason to fail the script. */
  Peer& custom(std::function<bool(int fd, std::string& why)> fn);

  void start();
  /* Waits for the script to end, at most timeout_ms; true when every step
   * ran and matched. Stops the thread and closes the sockets in any case. */
  bool finish(int timeout_ms = 5000);
  std::string report() const;

  /* Everything received from the client, on all connections. */
  std::vector<uint8_t> received() const;
  /* Connections accepted so far. */
  int connections() const;
  /* True when a connection is waiting on the listener, not yet accepted
   * (used to prove that the client opened nothing). */
  bool pending_connection(int wait_ms = 0) const;

 private:
  struct Step {
    enum Kind { EXPECT, SKIP, SEND, CLOSE, STALL, ACCEPT, NOTHING, EOF_, CUSTOM };
    explicit Step(Kind k, Bytes b = Bytes()) : kind(k), bytes(std::move(b)) {}
    Kind kind;
    Bytes bytes;
    size_t n = 0;
    int ms = 0;
    std::function<bool(int, std::string&)> fn;
  };
  void open_listener(unsigned short port);
  Peer& add(Step s);
  void run();
  bool ensure_connected(std::string& why);
  bool accept_one(std::string& why);
  /* Reads exactly n bytes; 1 done, 0 closed early, -1 error or aborted. */
  int read_exact(size_t n, std::vector<uint8_t>& out, int deadline_ms, std::string& why);
  void close_conn();
  void fail(size_t index, const std::string& why);

  int listen_fd_ = -1;
  int conn_fd_ = -1;
  unsigned short port_ = 0;
  std::thread thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Step> queue_;
  size_t next_index_ = 0;
  bool started_ = false;
  bool finishing_ = false;
  bool abort_ = false;
  bool failed_ = false;
  bool done_ = false;
  int connections_ = 0;
  std::vector<std::string> log_;
  std::vector<uint8_t> received_;
};

/* The bytes of a request or answer keyword (a codec string). */
Bytes kw(const std::string& keyword);
/* The doubles of v, one after another. */
Bytes doubles(const std::vector<double>& v);

/* The handshake of a server of the given version: greeting, "SNOSESS",
 * data path, the supported list when version > 400000, and the word-size
 * agreement (answered with server64) when "CARCH" is listed. A version of
 * 100 stops after the greeting. */
void script_handshake(Peer& p, int version, const std::vector<std::string>& supported,
                      int server64 = 1, const std::string& data_path = "");
/* The farewell: "CBYE BYE" answered "SBYE BYE", then the client closes. */
void script_goodbye(Peer& p);

/* VEKClientInitialize(1300030) then VEKClientConnect("127.0.0.1", port,
 * data_path); returns VEKClientConnect's result. */
int connect_client(Peer& p, const std::string& data_path = "");

/* Puts the library back to "initialised, not connected" between tests: closes
 * a socket left open, forgets the server's version, word size and supported
 * list, clears the last code and the host's hooks, and sets the answer
 * time-out (tests keep it short so that a forgotten answer costs seconds,
 * not half a minute). */
void reset_client(int answer_timeout_ms = 5000);

/* Collects the library's error messages while alive (restores the previous
 * error function afterwards). */
class ErrorCapture {
 public:
  ErrorCapture();
  ~ErrorCapture();
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;
  const std::vector<std::string>& messages() const;
  /* True when some message contains text. */
  bool contains(const std::string& text) const;
  void clear();
  std::string joined() const;

 private:
  void (*previous_)(const char*);
};

/* Peak of the process's address space, in kB (-1 when unknown): an
 * allocation sized by a hostile count shows up here even when it never
 * touches a page. */
long vm_peak_kb();

/* Sizes of the library's send() calls between start and stop (the peer's
 * own sends are not counted). */
void send_log_start();
std::vector<size_t> send_log_stop();
/* Sends from the calling thread are never recorded (the peer's thread). */
void send_log_ignore_this_thread();

}  // namespace vekt

#endif  // VEKT_PEER_H
