// The session against a scripted server: initialisation, the handshake and
// its variants, the farewell, and what a failed or hostile exchange leaves
// behind. Every byte the client must send is spelled out in the peer's script.
#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client_test.h"
#include "vek_internal.h"

using vekt::Bytes;
using vekt::kw;
using vekt::Peer;

namespace {

class Session : public vekt::ClientTest {
 protected:
  vekt::ErrorCapture errors;
};

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// A request with a long argument and a long answer field, built the way every
// request function is.
int long_exchange(vek_long out, vek_long* in) {
  int code = _vek_request("CLONG");
  if (!code && !_vek_write_long(VEK_SOCK, &out)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SLONG");
  if (!code && !_vek_read_long(VEK_SOCK, in)) code = VEK_RESULT_COMMUNICATION;
  return _vek_finish(code);
}

TEST_F(Session, InitializeGuardsTheProtocolVersion) {
  _vek_client_linked_version = 0;
  EXPECT_EQ(1, VEKClientInitialize(VEK_PROTOCOL_VERSION + 1));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  ASSERT_EQ(1u, errors.messages().size());
  EXPECT_EQ("Bad VEKClient library (version 1300031 > 1300030)", errors.messages()[0]);
  EXPECT_EQ(0, _vek_client_linked_version);

  // 0 is accepted but leaves the library uninitialised.
  _vek_client64 = 0;
  EXPECT_EQ(0, VEKClientInitialize(0));
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
  EXPECT_EQ(1, _vek_client64);
  Peer p;
  p.start();
  errors.clear();
  EXPECT_EQ(1, VEKClientConnect("127.0.0.1", p.port(), ""));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(std::vector<std::string>({"VEKClient library has not been initialized"}), errors.messages());
  EXPECT_FALSE(p.pending_connection(100));  // no socket was opened
  EXPECT_EQ(-1, _vek_server_socket);
  EXPECT_TRUE(p.finish());
  EXPECT_EQ(0, p.connections());

  EXPECT_EQ(0, VEKClientInitialize(VEK_PROTOCOL_VERSION));
  EXPECT_EQ(VEK_PROTOCOL_VERSION, _vek_client_linked_version);
  // A second call changes nothing, whatever it is given.
  EXPECT_EQ(0, VEKClientInitialize(VEK_PROTOCOL_VERSION + 1));
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
  EXPECT_EQ(VEK_PROTOCOL_VERSION, _vek_client_linked_version);
}

TEST_F(Session, FullHandshakeAgreesOn64BitLongs) {
  Peer p;
  vekt::script_handshake(p, 1300030, {"CARCH", "CUNITMODE", "CUNK7"}, 1, "/data/orvane");
  p.expect(kw("CLONG").raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}))
      .send(kw("SLONG").i64(5000000000LL));
  vekt::script_goodbye(p);
  p.start();
  ASSERT_EQ(0, vekt::connect_client(p, "/data/orvane")) << errors.joined();
  EXPECT_EQ(1, VEKClientIsConnected());
  EXPECT_EQ(1300030, VEKClientGetServerVersion());
  EXPECT_EQ(3, _vek_client_n_supported_requests);
  EXPECT_EQ(1, _vek_server64);
  EXPECT_EQ(1, VEKClientServerHasFeature(7, 0));
  EXPECT_EQ(0, VEKClientServerHasFeature(0, 0));
  EXPECT_EQ(1, _vek_is_supported("CUNITMODE", 1));
  vek_long in = 0;
  EXPECT_EQ(0, long_exchange(-2, &in));
  EXPECT_EQ(5000000000LL, in);
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_EQ(0, VEKClientIsConnected());
  EXPECT_EQ(0, _vek_client_n_supported_requests);
  EXPECT_EQ(nullptr, _vek_client_supported_requests);
  EXPECT_EQ(1300030, VEKClientGetServerVersion());  // kept after the farewell
  EXPECT_TRUE(p.finish()) << p.report();
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
}

TEST_F(Session, AnOldServerIsNeverAskedForRequestsNorWordSize) {
  for (int version : {400000, 411}) {
    vekt::reset_client();
    _vek_server64 = 1;  // left by an earlier connection
    Peer p;
    vekt::script_handshake(p, version, {});
    // Longs travel as 4 bytes right after the data path.
    p.expect(kw("CLONG").raw({0xFF, 0xFF, 0xFF, 0xFF})).send(kw("SLONG").raw({0xFF, 0xFF, 0xFF, 0xFE}));
    vekt::script_goodbye(p);
    p.start();
    ASSERT_EQ(0, vekt::connect_client(p)) << errors.joined();
    EXPECT_EQ(0, _vek_server64);
    vek_long in = 0;
    EXPECT_EQ(0, long_exchange(-1, &in));
    EXPECT_EQ(-2, in);
    EXPECT_EQ(0, VEKClientServerHasFeature(7, 0));
    EXPECT_EQ(0, VEKClientDisconnect());
    EXPECT_TRUE(p.finish()) << version << "\n" << p.report();
  }
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
}

TEST_F(Session, Version100StopsAfterTheGreeting) {
  _vek_server64 = 1;
  Peer p;
  vekt::script_handshake(p, 100, {}, 1, "p");
  p.expect_nothing(300);
  vekt::script_goodbye(p);
  p.start();
  ASSERT_EQ(0, vekt::connect_client(p, "p")) << errors.joined();
  EXPECT_EQ(100, VEKClientGetServerVersion());
  EXPECT_EQ(1, _vek_server64);  // the word-size step did not run
  std::this_thread::sleep_for(std::chrono::milliseconds(350));  // the peer's quiet window
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Session, NewPortReconnectsAndGreetsAgain) {
  Peer first, second;
  first.expect(kw("CHELLO").str("d").i32(1300030)).send(kw("SWELCOME").i32(1300030));
  // Only the low 16 bits name the port.
  first.expect(kw("CNEWSESS")).send(kw("SNEWPORT").i32(0x30000 | second.port()));
  first.expect_eof();
  second.expect(kw("CHELLO").str("d").i32(1300030)).send(kw("SWELCOME").i32(401000));
  second.expect(kw("CVEKDATA").str("d")).send(kw("SOK"));
  second.expect(kw("CSUPREQ")).send(kw("SSUPREQ").i32(1).str("CARCH"));
  second.expect(kw("CARCH").i32(1)).send(kw("SARCH").i32(0));
  vekt::script_goodbye(second);
  first.start();
  second.start();
  ASSERT_EQ(0, vekt::connect_client(first, "d")) << errors.joined();
  EXPECT_EQ(401000, VEKClientGetServerVersion());
  EXPECT_EQ(0, _vek_server64);
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(first.finish()) << first.report();
  EXPECT_TRUE(second.finish()) << second.report();
}

TEST_F(Session, AnswersOtherThanASessionEndTheConnectionPolitely) {
  struct Case {
    Bytes answer;
    std::string message;
  };
  std::vector<Case> cases = {
      {kw("SERROR").str("no session today"), "Server: no session today"},
      {kw("SNOPE"), "Reply from server: \"SNOPE\" where \"SNEWPORT\" expected."},
  };
  for (const auto& c : cases) {
    vekt::reset_client();
    errors.clear();
    Peer p;
    p.expect(kw("CHELLO").str("").i32(1300030)).send(kw("SWELCOME").i32(1300030));
    p.expect(kw("CNEWSESS")).send(c.answer);
    vekt::script_goodbye(p);
    p.start();
    EXPECT_EQ(1, vekt::connect_client(p));
    EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
    EXPECT_TRUE(errors.contains(c.message)) << errors.joined();
    EXPECT_EQ(0, VEKClientIsConnected());
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Session, HostileSupportedRequestCountsAreRefused) {
  for (int32_t n : {-1, INT32_MAX, 100001}) {
    vekt::reset_client();
    Peer q;
    q.expect(kw("CHELLO").str("").i32(1300030)).send(kw("SWELCOME").i32(400001));
    q.expect(kw("CNEWSESS")).send(kw("SNOSESS"));
    q.expect(kw("CVEKDATA").str("")).send(kw("SOK"));
    q.expect(kw("CSUPREQ")).send(kw("SSUPREQ").i32(n));
    vekt::script_goodbye(q);
    q.start();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, vekt::connect_client(q));
    EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError()) << n;
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_EQ(0, _vek_client_n_supported_requests);
    EXPECT_EQ(nullptr, _vek_client_supported_requests);
    EXPECT_TRUE(q.finish()) << q.report();
  }
  // A count larger than the keywords that follow: the partial list is
  // released, not kept.
  vekt::reset_client();
  Peer p;
  p.expect(kw("CHELLO").str("").i32(1300030)).send(kw("SWELCOME").i32(400001));
  p.expect(kw("CNEWSESS")).send(kw("SNOSESS"));
  p.expect(kw("CVEKDATA").str("")).send(kw("SOK"));
  p.expect(kw("CSUPREQ")).send(kw("SSUPREQ").i32(3).str("CARCH")).close_now();
  p.start();
  EXPECT_EQ(1, vekt::connect_client(p));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(0, _vek_client_n_supported_requests);
  EXPECT_EQ(nullptr, _vek_client_supported_requests);
  EXPECT_EQ(0, VEKClientIsConnected());
  EXPECT_TRUE(p.finish()) << p.report();
}

// The server closes the connection after every possible number of bytes of
// its handshake answers: the connection fails with a code, closed, nothing
// leaked, never a hang.
TEST_F(Session, HandshakeCutAtEveryByte) {
  struct Turn {
    Bytes request, answer;
  };
  std::vector<Turn> turns = {
      {kw("CHELLO").str("x").i32(1300030), kw("SWELCOME").i32(1300030)},
      {kw("CNEWSESS"), kw("SNOSESS")},
      {kw("CVEKDATA").str("x"), kw("SOK")},
      {kw("CSUPREQ"), kw("SSUPREQ").i32(2).str("CARCH").str("CUNITMODE")},
      {kw("CARCH").i32(1), kw("SARCH").i32(1)},
  };
  size_t total = 0;
  for (const auto& t : turns) total += t.answer.size();
  for (size_t cut = 0; cut < total; cut++) {
    vekt::reset_client(2000);
    Peer p;
    size_t left = cut;
    for (const auto& t : turns) {
      p.expect(t.request);
      if (left < t.answer.size()) {
        p.send(t.answer.prefix(left)).close_now();
        break;
      }
      p.send(t.answer);
      left -= t.answer.size();
    }
    p.start();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, vekt::connect_client(p, "x")) << "cut " << cut;
    int code = VEKClientGetLastError();
    EXPECT_TRUE(code == VEK_RESULT_COMMUNICATION || code == VEK_RESULT_ANSWER) << "cut " << cut << ": " << code;
    EXPECT_EQ(0, VEKClientIsConnected()) << "cut " << cut;
    EXPECT_EQ(0, _vek_client_n_supported_requests) << "cut " << cut;
    EXPECT_LT(ms_since(t0), 1500) << "cut " << cut;
    EXPECT_TRUE(p.finish()) << "cut " << cut << "\n" << p.report();
  }
}

TEST_F(Session, ARefusedConnectionIsCode2) {
  unsigned short port;
  {
    Peer gone;
    port = gone.port();
  }
  VEKClientInitialize(VEK_PROTOCOL_VERSION);
  EXPECT_EQ(1, VEKClientConnect("127.0.0.1", port, ""));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("_vek_connect(127.0.0.1:" + std::to_string(port) + "), connect: Connection refused"))
      << errors.joined();
  EXPECT_EQ(-1, _vek_server_socket);
}

// A host that is interrupted (R's Ctrl-C) gets its call back at once from a
// stalled handshake, a stalled answer or values still flowing: the call fails
// with code 2 and no message, and the connection is closed, since the answer
// it abandoned could still arrive.
int g_asked = 0;
int interrupt_on_third_question() { return ++g_asked >= 3; }
int stop_once_values_flow(double done, double) { return done > 0; }

TEST_F(Session, AnInterruptAbandonsTheWaitAndClosesTheConnection) {
  const int n = 20000;
  struct Case {
    const char* name;
    bool connected_first;
    std::function<void(Peer&)> script;
    std::function<int(Peer&)> call;
  } cases[] = {
      {"stalled handshake", false,
       [](Peer& p) { p.expect(kw("CHELLO").str("").i32(VEK_PROTOCOL_VERSION)).stall(4000); },
       [](Peer& p) { return vekt::connect_client(p); }},
      {"stalled answer", true, [](Peer& p) { p.expect(kw("CUNITMODE").i32(1)).stall(4000); },
       [](Peer&) { return VEKClientSetUnitMode(1); }},
      {"values flowing", true,
       [&](Peer& p) {
         p.expect(kw("CREADVARF").i64(-1).i64(-1).i32(0))
             .send(kw("SDATAF").i64(n).dbl(0).append(vekt::doubles(std::vector<double>(n, 1.5))))
             .stall(4000);
       },
       [](Peer&) {
         double test, *data = nullptr;
         vek_long count;
         int r = VEKClientReadDoubleVariable(0, &test, &count, &data);
         EXPECT_EQ(nullptr, data);
         return r;
       }},
  };
  for (const Case& c : cases) {
    vekt::reset_client();
    errors.clear();
    Peer p;
    if (c.connected_first) vekt::script_handshake(p, 1300030, {"CARCH", "CUNITMODE"});
    c.script(p);
    p.start();
    if (c.connected_first) {
      ASSERT_EQ(0, vekt::connect_client(p)) << c.name;
    }
    g_asked = 0;
    _vek_interrupt_function = interrupt_on_third_question;
    _vek_progress_function = stop_once_values_flow;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, c.call(p)) << c.name;
    EXPECT_LT(ms_since(t0), 2000) << c.name;
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError()) << c.name;
    EXPECT_EQ(-1, _vek_server_socket) << c.name;
    EXPECT_TRUE(errors.messages().empty()) << c.name << ": " << errors.joined();
    p.finish(0);
  }
}

TEST_F(Session, ConnectRefusesBadArguments) {
  Peer p;
  p.start();
  VEKClientInitialize(VEK_PROTOCOL_VERSION);
  EXPECT_EQ(1, VEKClientConnect(nullptr, p.port(), ""));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientConnect("127.0.0.1", p.port(), nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientConnect("127.0.0.1", p.port(), std::string(10000, 'a').c_str()));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_FALSE(p.pending_connection(50));
  EXPECT_TRUE(p.finish());
}

// A server that went away makes the farewell fail and leaves the connection
// open; connecting again must still be possible, and ends the old socket.
TEST_F(Session, AFailedFarewellDoesNotBlockTheNextConnection) {
  Peer gone, next;
  vekt::script_handshake(gone, 1300030, {"CARCH"});
  gone.close_now();
  vekt::script_handshake(next, 1300030, {"CARCH"});
  vekt::script_goodbye(next);
  gone.start();
  next.start();
  ASSERT_EQ(0, vekt::connect_client(gone));
  EXPECT_TRUE(gone.finish()) << gone.report();
  EXPECT_EQ(1, VEKClientDisconnect());
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientIsConnected());
  ASSERT_EQ(0, vekt::connect_client(next)) << errors.joined();
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(next.finish()) << next.report();
}

TEST_F(Session, PortZeroMeansTheDefaultPort) {
  if (getservbyname("VEKserver", nullptr)) GTEST_SKIP() << "a services entry names the port";
  EXPECT_EQ(5500, VEKClientGetDefaultPort());
  Peer p(5500);
  if (!p.listening()) GTEST_SKIP() << "port 5500 is taken on this machine";
  vekt::script_handshake(p, 411, {});
  vekt::script_goodbye(p);
  p.start();
  VEKClientInitialize(VEK_PROTOCOL_VERSION);
  ASSERT_EQ(0, VEKClientConnect("127.0.0.1", 0, "")) << errors.joined();
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Session, DisconnectWithoutAConnectionSendsNothing) {
  _vek_client_last_error = 3;
  vekt::send_log_start();
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(vekt::send_log_stop().empty());
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
}

TEST_F(Session, ARefusedFarewellKeepsTheConnection) {
  Peer p;
  vekt::script_handshake(p, 1300030, {"CARCH"});
  p.expect(kw("CBYE BYE")).send(kw("SERROR").str("busy"));
  vekt::script_goodbye(p);
  p.start();
  ASSERT_EQ(0, vekt::connect_client(p));
  EXPECT_EQ(1, VEKClientDisconnect());
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Server: busy"));
  EXPECT_EQ(1, VEKClientIsConnected());
  EXPECT_EQ(1, _vek_client_n_supported_requests);
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Session, SupportOfRequestsOnOlderServers) {
  struct Row {
    const char* keyword;
    int version;
    int supported;
  };
  const Row rows[] = {
      {"CVDATEXIS", 406, 0}, {"CVDATEXIS", 407, 1}, {"CVDATEXIS", 410, 0}, {"CVDATEXIS", 411, 1},
      {"CFILETLST", 407, 0}, {"CFILETLST", 408, 1}, {"CFILETLST", 410, 0}, {"CFILETLST", 411, 0},
      {"CFILETLST", 412, 1}, {"CVARTLST", 408, 1},  {"CVARTLST", 411, 0},  {"CVARTLST", 400000, 1},
      {"CARCH", 400000, 0},  {"CUNITMODE", 411, 0},
  };
  for (const auto& r : rows) {
    _vek_client_server_version = r.version;
    EXPECT_EQ(r.supported, _vek_is_supported(r.keyword, 0)) << r.keyword << " " << r.version;
  }
  // Above 400000 only the announced list counts, and an empty one names nothing.
  _vek_client_server_version = 400001;
  EXPECT_EQ(0, _vek_is_supported("CVARTLST", 0));
  EXPECT_TRUE(errors.messages().empty());
  EXPECT_EQ(0, VEKClientServerHasFeature(7, 1));
  EXPECT_EQ(std::vector<std::string>({"Server Request not recognized (CUNK7)",
                                      "Please upgrade your Orvane version or VEKserver if you don't have Orvane(" +
                                          std::string(VEK_VENDOR_URL) + ")"}),
            errors.messages());
  errors.clear();
  EXPECT_EQ(0, VEKClientServerHasFeature(1, 1));
  EXPECT_TRUE(errors.contains("(CSCALST)"));
}

// Every kind of failed exchange leaves its code, drains what the server
// still sends, and the next request goes out clean on the same connection:
// the peer's script holds the exact bytes of each request.
TEST_F(Session, AFailedExchangeLeavesACleanConnection) {
  Peer p;
  vekt::script_handshake(p, 1300030, {"CARCH", "CUNITMODE"});
  p.expect(kw("CUNITMODE").i32(1)).send(kw("SWRONG").i32(1).i32(2).i32(3));
  p.expect(kw("CUNITMODE").i32(2)).send(kw("SERROR").str("bad mode").i32(99));
  // Half a keyword, then silence past the time-out, then the rest.
  p.expect(kw("CUNITMODE").i32(3)).send(Bytes().u32(5).raw({'S', 'D'})).stall(450).send(Bytes().raw({'O', 'N', 'E', 0, 0, 0}));
  // No answer in time at all; it comes late and is drained.
  p.expect(kw("CUNITMODE").i32(4)).stall(350).send(kw("SDONE"));
  p.expect(kw("CUNITMODE").i32(5)).send(kw("SDONE"));
  vekt::script_goodbye(p);
  p.start();
  ASSERT_EQ(0, vekt::connect_client(p));
  _vek_answer_timeout_ms = 200;

  EXPECT_EQ(1, VEKClientSetUnitMode(1));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Reply from server: \"SWRONG\" where \"SDONE\" expected.")) << errors.joined();

  errors.clear();
  EXPECT_EQ(1, VEKClientSetUnitMode(2));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_EQ(std::vector<std::string>({"Server: bad mode"}), errors.messages());

  errors.clear();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, VEKClientSetUnitMode(3));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("_vek_send_and_wait(): Client/Server communication error")) << errors.joined();
  EXPECT_LT(ms_since(t0), 3000);

  errors.clear();
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, VEKClientSetUnitMode(4));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("_vek_send_and_wait(): Receives nothing from server")) << errors.joined();
  EXPECT_GE(ms_since(t0), 190);
  EXPECT_LT(ms_since(t0), 3000);

  errors.clear();
  EXPECT_EQ(0, VEKClientSetUnitMode(5));
  EXPECT_EQ(VEK_RESULT_OK, VEKClientGetLastError());
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
}

// A request that cannot leave fails with code 2 and no message of the
// exchange's own: only the steps that wait for and read the answer raise one.
TEST_F(Session, ARequestThatCannotBeSentFailsWithCode2AndNoMessage) {
  Peer p;
  vekt::script_handshake(p, 1300030, {"CARCH"});
  p.expect_eof(3000);
  p.start();
  ASSERT_EQ(0, vekt::connect_client(p));
  ASSERT_EQ(0, shutdown(_vek_server_socket, SHUT_WR));
  errors.clear();
  EXPECT_EQ(1, VEKClientSetUnitMode(1));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Session, AServerClosingMidAnswerFailsEveryLaterRequestQuickly) {
  Bytes answer = kw("SDONE");
  for (size_t cut = 0; cut < answer.size(); cut++) {
    vekt::reset_client();
    Peer p;
    vekt::script_handshake(p, 1300030, {"CARCH"});
    p.expect(kw("CUNITMODE").i32(1)).send(answer.prefix(cut)).close_now();
    p.start();
    ASSERT_EQ(0, vekt::connect_client(p));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, VEKClientSetUnitMode(1));
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError()) << "cut " << cut;
    EXPECT_EQ(1, VEKClientSetUnitMode(1));
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError()) << "cut " << cut;
    EXPECT_LT(ms_since(t0), 2000) << "cut " << cut;
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Session, HostileAnswerTextsGiveCodes) {
  Peer p;
  vekt::script_handshake(p, 1300030, {"CARCH"});
  // A keyword one character too long for its buffer.
  p.expect(kw("CUNITMODE").i32(1)).send(kw("SDONEDONE!"));
  // A keyword of the length that cannot be counted: read as empty.
  p.expect(kw("CUNITMODE").i32(2)).send(Bytes().u32(0xFFFFFFFFu));
  // An error text announced at nearly 2 GB: refused, nothing allocated.
  p.expect(kw("CUNITMODE").i32(3)).send(kw("SERROR").u32(0x7FFFFFF0u));
  // An error text longer than a message line: cut, not overflowed.
  p.expect(kw("CUNITMODE").i32(4)).send(kw("SERROR").str(std::string(5000, 'x')));
  p.expect(kw("CUNITMODE").i32(5)).send(kw("SDONE"));
  vekt::script_goodbye(p);
  p.start();
  ASSERT_EQ(0, vekt::connect_client(p));

  EXPECT_EQ(1, VEKClientSetUnitMode(1));
  EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("_vek_send_and_wait(): Client/Server communication error")) << errors.joined();

  errors.clear();
  EXPECT_EQ(1, VEKClientSetUnitMode(2));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("Reply from server: \"\" where \"SDONE\" expected.")) << errors.joined();

  errors.clear();
  EXPECT_EQ(1, VEKClientSetUnitMode(3));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  EXPECT_TRUE(errors.contains("_vek_check_answer(): Client/Server communication error")) << errors.joined();

  errors.clear();
  EXPECT_EQ(1, VEKClientSetUnitMode(4));
  EXPECT_EQ(VEK_RESULT_ANSWER, VEKClientGetLastError());
  ASSERT_EQ(1u, errors.messages().size());
  const std::string& m = errors.messages()[0];
  EXPECT_EQ(1023u, m.size());
  EXPECT_EQ("Server: xxx", m.substr(0, 11));
  EXPECT_EQ("x...", m.substr(m.size() - 4));

  errors.clear();
  EXPECT_EQ(0, VEKClientSetUnitMode(5));
  EXPECT_EQ(0, VEKClientDisconnect());
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
