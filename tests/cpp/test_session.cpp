// The session against a scripted server: initialisation, the handshake and
// its variants, the farewell, and what a failed, interrupted, late or
// hostile exchange leaves behind.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "client_test.h"

using namespace vekt;

namespace {

// The kind of the last failure the client told its host.
int g_kind = VEK_FAIL_NONE;
void note_kind(int, int kind) { g_kind = kind; }

class Session : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    g_kind = VEK_FAIL_NONE;
    _vek_failure_function = note_kind;
  }
  ErrorCapture errors;
};

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

void script_greeting(Peer &p, int version, const std::string &path = "") {
  p.expect(kw("CHELLO").str(path).i32(kModern)).send(kw("SWELCOME").i32(version));
}

TEST_F(Session, InitializeAndConnectRefuseWhatTheyCannotUse) {
  _vek_client_linked_version = 0;
  EXPECT_EQ(1, VEKClientInitialize(VEK_PROTOCOL_VERSION + 1));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(std::vector<std::string>({"Bad VEKClient library (version 1300031 > 1300030)"}), errors.messages());
  // 0 is accepted but leaves the library uninitialised: nothing connects.
  EXPECT_EQ(0, VEKClientInitialize(0));
  Peer p;
  p.start();
  EXPECT_EQ(1, VEKClientConnect("127.0.0.1", p.port(), ""));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("VEKClient library has not been initialized"));
  EXPECT_FALSE(p.pending_connection(100));
  // The first real version is kept whatever follows.
  EXPECT_EQ(0, VEKClientInitialize(VEK_PROTOCOL_VERSION));
  EXPECT_EQ(0, VEKClientInitialize(VEK_PROTOCOL_VERSION + 1));
  EXPECT_EQ(VEK_PROTOCOL_VERSION, _vek_client_linked_version);
  // Arguments that cannot be used are refused before any socket.
  const std::string long_path(10000, 'a');
  for (auto hp : {std::make_pair((const char *)nullptr, ""), std::make_pair("127.0.0.1", (const char *)nullptr),
                  std::make_pair("127.0.0.1", long_path.c_str())}) {
    EXPECT_EQ(1, VEKClientConnect(hp.first, p.port(), hp.second));
    EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  }
  EXPECT_EQ(1, VEKClientConnect("127.0.0.2", p.port(), ""));  // another address: nothing listens there
  EXPECT_FALSE(p.pending_connection(50));
  EXPECT_TRUE(p.finish());
}

TEST_F(Session, Version100StopsAfterTheGreeting) {
  _vek_server64 = 1;
  Peer p;
  script_greeting(p, 100, "p");
  p.expect_nothing(300);
  script_goodbye(p);
  p.start();
  ASSERT_EQ(0, connect_client(p, "p")) << errors.joined();
  EXPECT_EQ(1, _vek_server64);                                  // the word-size step did not run
  std::this_thread::sleep_for(std::chrono::milliseconds(350));  // the peer's quiet window
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

// A connection that fails says its farewell, is closed and keeps no list.
TEST_F(Session, RefusedHandshakes) {
  auto session = [](Peer &p, const Bytes &answer) {
    script_greeting(p, kModern);
    p.expect(kw("CNEWSESS")).send(answer);
  };
  auto upto_list = [&](Peer &p, const Bytes &list) {
    session(p, kw("SNOSESS"));
    p.expect(kw("CVEKDATA").str("")).send(kw("SOK"));
    p.expect(kw("CSUPREQ")).send(list);
  };
  const struct {
    const char *name;
    std::function<void(Peer &)> script;
    std::string message = "";
    bool closes = false;
  } rows[] = {
      {"a server error", [&](Peer &p) { session(p, kw("SERROR").str("no session today")); },
       "Server: no session today"},
      {"another answer", [&](Peer &p) { session(p, kw("SNOPE")); },
       "Reply from server: \"SNOPE\" where \"SNEWPORT\" expected."},
      {"the greeting refused where the session moved",
       [&](Peer &p) {
         session(p, kw("SNEWPORT").i32(p.port()));
         p.accept_next().expect(kw("CHELLO").str("").i32(kModern)).send(kw("SERROR").str("not here"));
       },
       "Server: not here"},
      {"negative request count", [&](Peer &p) { upto_list(p, kw("SSUPREQ").i32(-1)); }},
      {"request count 100001", [&](Peer &p) { upto_list(p, kw("SSUPREQ").i32(100001)); }},
      // The part that came is released, not kept.
      {"a list cut short", [&](Peer &p) { upto_list(p, kw("SSUPREQ").i32(3).str("CARCH")), p.close_now(); }, "", true},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    reset_client();
    errors.clear();
    Peer p;
    r.script(p);
    if (!r.closes) script_goodbye(p);
    p.start();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, connect_client(p));
    EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_TRUE(r.message.empty() || errors.contains(r.message)) << errors.joined();
    EXPECT_TRUE(!VEKClientIsConnected() && !_vek_client_supported_requests && !_vek_client_n_supported_requests);
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Session, PortZeroMeansTheDefaultPort) {
  if (getservbyname("VEKserver", nullptr)) GTEST_SKIP() << "a services entry names the port";
  EXPECT_EQ(5500, VEKClientGetDefaultPort());
  Peer p(5500);
  if (!p.listening()) GTEST_SKIP() << "port 5500 is taken on this machine";
  script_handshake(p, 411, {});
  script_goodbye(p);
  p.start();
  VEKClientInitialize(VEK_PROTOCOL_VERSION);
  ASSERT_EQ(0, VEKClientConnect("127.0.0.1", 0, "")) << errors.joined();
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

// A host that is interrupted (R's Ctrl-C) gets its call back at once: the
// connection is closed, since the answer it abandoned could still arrive.
int g_asked = 0;
int interrupt_on_third_question() { return ++g_asked >= 3; }
int stop_once_values_flow(double done, double) { return done > 0; }

TEST_F(Session, AnInterruptAbandonsTheWaitAndClosesTheConnection) {
  const int n = 20000;
  const struct {
    const char *name;
    bool connected_first;
    std::function<void(Peer &)> script;
    std::function<int(Peer &)> call;
    int code;
  } cases[] = {
      {"stalled handshake", false, [](Peer &p) { p.expect(kw("CHELLO").str("").i32(kModern)).stall(4000); },
       [](Peer &p) { return connect_client(p); }, VEK_RESULT_COMMUNICATION},
      {"stalled answer", true, [](Peer &p) { p.expect(kw("CUNITMODE").i32(1)).stall(4000); },
       [](Peer &) { return VEKClientSetUnitMode(1); }, VEK_RESULT_COMMUNICATION},
      {"draining a wrong answer", true,
       [](Peer &p) { p.expect(kw("CUNITMODE").i32(1)).send(kw("SWRONG")).stall(4000); },
       [](Peer &) { return VEKClientSetUnitMode(1); }, VEK_RESULT_ANSWER},
      {"values flowing", true,
       [&](Peer &p) {
         p.expect(kw("CREADVARF").i64(-1).i64(-1).i32(0))
             .send(kw("SDATAF").i64(n).dbl(0).append(doubles(std::vector<double>(n, 1.5))))
             .stall(4000);
       },
       [](Peer &) {
         double test, *data = nullptr;
         vek_long count;
         int r = VEKClientReadDoubleVariable(0, &test, &count, &data);
         EXPECT_EQ(nullptr, data);
         return r;
       },
       VEK_RESULT_COMMUNICATION},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reset_client();
    errors.clear();
    Peer p;
    if (c.connected_first) script_handshake(p, kModern, {"CARCH", "CUNITMODE"});
    c.script(p);
    p.start();
    ASSERT_EQ(0, c.connected_first ? connect_client(p) : 0);
    g_asked = 0;
    _vek_interrupt_function = interrupt_on_third_question;
    _vek_progress_function = stop_once_values_flow;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, c.call(p));
    EXPECT_LT(ms_since(t0), 2000);
    EXPECT_EQ(c.code, VEKClientGetLastError());
    EXPECT_EQ(-1, _vek_server_socket);
    // No message of the library's own about the abandoned wait.
    EXPECT_FALSE(errors.contains("_vek_")) << errors.joined();
    p.finish(0);
  }
}

TEST_F(Session, Farewells) {
  // None without a connection: nothing sent, no failure.
  _vek_client_last_error = 3;
  send_log_start();
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(send_log_stop().empty());
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());

  // A refused farewell keeps the connection and its list.
  Peer p;
  connect(p, kModern, {"CARCH"});
  p.expect(kw("CBYE BYE")).send(kw("SERROR").str("busy"));
  script_goodbye(p);
  EXPECT_EQ(1, VEKClientDisconnect());
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientIsConnected());
  EXPECT_EQ(1, _vek_client_n_supported_requests);
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();

  // A server that went away fails the farewell, which closes our side too;
  // connecting again is possible at once.
  Peer gone, next;
  script_handshake(gone, kModern, {"CARCH"});
  gone.close_now();
  script_handshake(next, kModern, {"CARCH"});
  script_goodbye(next);
  gone.start();
  next.start();
  ASSERT_EQ(0, connect_client(gone));
  EXPECT_TRUE(gone.finish()) << gone.report();
  EXPECT_EQ(1, VEKClientDisconnect());
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(VEK_FAIL_CLOSED, g_kind);
  EXPECT_EQ(0, VEKClientIsConnected());
  ASSERT_EQ(0, connect_client(next)) << errors.joined();
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(next.finish()) << next.report();
}

TEST_F(Session, SupportOfRequestsOnOlderServers) {
  const struct {
    const char *keyword;
    std::vector<std::pair<int, int>> supported;  // by version
  } rows[] = {
      {"CVDATEXIS", {{406, 0}, {407, 1}, {410, 0}, {411, 1}}},
      {"CFILETLST", {{407, 0}, {408, 1}, {410, 0}, {411, 0}, {412, 1}}},
      // Above 400000 only the announced list counts, and an empty one names nothing.
      {"CVARTLST", {{408, 1}, {411, 0}, {400000, 1}, {400001, 0}}},
      {"CARCH", {{400000, 0}}},
      {"CUNITMODE", {{411, 0}}},
  };
  for (const auto &r : rows) {
    for (const auto &vs : r.supported) {
      _vek_client_server_version = vs.first;
      EXPECT_EQ(vs.second, _vek_is_supported(r.keyword, false)) << r.keyword << " " << vs.first;
    }
  }
  EXPECT_EQ(0, VEKClientServerHasFeature(7, 1));
  EXPECT_EQ(std::vector<std::string>({"Server Request not recognized (CUNK7)",
                                      "Please upgrade your Orvane version or VEKserver if you don't have Orvane(" +
                                          std::string(VEK_VENDOR_URL) + ")"}),
            errors.messages());
  errors.clear();
  EXPECT_EQ(0, VEKClientServerHasFeature(1, 1));
  EXPECT_TRUE(errors.contains("(CSCALST)"));
}

int never_interrupt() { return 0; }

// A failed exchange drains what the server still sends, however much. The
// host asks about interrupts all along, so the waits run in slices whose
// time left must add up to the time limit.
TEST_F(Session, AFailedExchangeLeavesACleanConnection) {
  const struct {
    const char *name;
    std::function<void(Peer &)> answer;
    int code;
    int kind;
    std::string message;
  } rows[] = {
      {"another keyword and much more", [](Peer &p) { p.send(kw("SWRONG").fill(300000, 7)); }, VEK_RESULT_ANSWER,
       VEK_FAIL_ANSWER, "Reply from server: \"SWRONG\" where \"SDONE\" expected."},
      {"a server error", [](Peer &p) { p.send(kw("SERROR").str("bad mode").i32(99)); }, VEK_RESULT_ANSWER,
       VEK_FAIL_SERVER, "Server: bad mode"},
      // Texts the client cannot hold.
      {"a keyword of no length", [](Peer &p) { p.send(Bytes().u32(0xFFFFFFFFu)); }, VEK_RESULT_ANSWER, VEK_FAIL_ANSWER,
       "Reply from server: \"\" where \"SDONE\" expected."},
      {"an error text of nearly 2 GB", [](Peer &p) { p.send(kw("SERROR").u32(0x7FFFFFF0u)); }, VEK_RESULT_ANSWER,
       VEK_FAIL_SERVER, "_vek_check_answer(): Client/Server communication error"},
  };
  Peer p;
  connect(p, kModern, {"CARCH"});
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
    p.expect(kw("CUNITMODE").i32((int)i));
    rows[i].answer(p);
    p.expect(kw("CUNITMODE").i32(100)).send(kw("SDONE"));
  }
  script_goodbye(p);
  _vek_answer_timeout_ms = 200;
  _vek_interrupt_function = never_interrupt;
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
    SCOPED_TRACE(rows[i].name);
    errors.clear();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, VEKClientSetUnitMode((int)i));
    EXPECT_EQ(rows[i].code, VEKClientGetLastError());
    EXPECT_EQ(rows[i].kind, g_kind);
    EXPECT_TRUE(errors.contains(rows[i].message)) << errors.joined();
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_EQ(0, VEKClientSetUnitMode(100));
  }
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish(10000)) << p.report();
}

bool reset_on_close(int fd, std::string &) {
  struct linger l = {1, 0};
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

// A late answer would be read as the next request's: the connection is
// closed at once (no drain, no farewell), and the kind says why.
TEST_F(Session, ALateAnswerOrAnEndedConnectionClosesIt) {
  const struct {
    const char *name;
    std::function<void(Peer &)> answer;
    int kind;
    std::string message;
  } rows[] = {
      {"an answer after the time limit", [](Peer &p) { p.stall(350).send(kw("SDONE")); }, VEK_FAIL_TIMEOUT,
       "_vek_send_and_wait(): Receives nothing from server"},
      {"half a keyword, silence, the rest",
       [](Peer &p) {
         p.send(Bytes().u32(5).raw({'S', 'D'})).stall(450).send(Bytes().raw({'O', 'N', 'E', 0, 0, 0}));
       },
       VEK_FAIL_TIMEOUT, "_vek_send_and_wait(): Client/Server communication error"},
      {"the end of the connection instead of an answer", [](Peer &p) { p.close_now(); }, VEK_FAIL_CLOSED,
       "_vek_send_and_wait(): Client/Server communication error"},
      {"half an answer, then the end", [](Peer &p) { p.send(kw("SDONE").prefix(6)).close_now(); }, VEK_FAIL_CLOSED,
       "_vek_send_and_wait(): Client/Server communication error"},
      {"a reset", [](Peer &p) { p.custom(reset_on_close).close_now(); }, VEK_FAIL_CLOSED, ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    reset_client(200);
    _vek_interrupt_function = never_interrupt; /* the wait runs in slices, as under R */
    _vek_failure_function = note_kind;
    errors.clear();
    Peer p, next;
    connect(p, kModern, {"CARCH"});
    p.expect(kw("CUNITMODE").i32(1));
    r.answer(p);
    script_handshake(next, kModern, {"CARCH"});
    script_goodbye(next);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, VEKClientSetUnitMode(1));
    // The time limit (within the clock's rounding) and nothing more: no
    // drain waits for the rest.
    EXPECT_LT(ms_since(t0), 400);
    EXPECT_TRUE(r.kind != VEK_FAIL_TIMEOUT || ms_since(t0) >= 190);
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
    EXPECT_EQ(r.kind, g_kind);
    EXPECT_TRUE(r.message.empty() || errors.contains(r.message)) << errors.joined();
    EXPECT_EQ(0, VEKClientIsConnected());
    EXPECT_TRUE(p.finish()) << p.report();
    next.start();
    ASSERT_EQ(0, connect_client(next)) << errors.joined();
    EXPECT_EQ(0, VEKClientDisconnect());
    EXPECT_TRUE(next.finish()) << next.report();
  }
}

// The end of a connection is seen without a request: the socket says so.
// A quiet server, or one that sends what nobody asked, is no end.
TEST_F(Session, AnEndedConnectionIsSeenWithoutARequest) {
  const struct {
    const char *name;
    std::function<void(Peer &)> after;
    int ended;
  } rows[] = {
      {"closed", [](Peer &p) { p.close_now(); }, 1},
      {"reset", [](Peer &p) { p.custom(reset_on_close).close_now(); }, 1},
      {"quiet", [](Peer &p) { p.expect_nothing(400); }, 0},
      {"bytes nobody asked for", [](Peer &p) { p.send(kw("SDONE")).expect_nothing(400); }, 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    reset_client();
    Peer p;
    connect(p, kModern, {"CARCH"});
    r.after(p);
    send_log_start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(r.ended, _vek_drop_ended_connection());
    EXPECT_TRUE(send_log_stop().empty());
    EXPECT_EQ(!r.ended, VEKClientIsConnected());
    reset_client();
    EXPECT_TRUE(p.finish()) << p.report();
  }
  // Which failed socket calls mean that the peer has gone.
  for (int e : {ECONNRESET, EPIPE, ENOTCONN, ECONNABORTED, EIO, EAGAIN}) {
    _vek_failure = VEK_FAIL_NONE;
    errno = e;
    _vek_note_io_failure(-1);
    EXPECT_EQ(e == EIO || e == EAGAIN ? VEK_FAIL_NONE : VEK_FAIL_CLOSED, _vek_failure) << strerror(e);
  }
}

TEST_F(Session, ARequestThatCannotLeaveFailsWithoutAWord) {
  Peer p;
  connect(p, kModern, {"CARCH"});
  p.expect_eof(3000);
  ASSERT_EQ(0, shutdown(_vek_server_socket, SHUT_WR));
  errors.clear();
  EXPECT_EQ(1, VEKClientSetUnitMode(1));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
