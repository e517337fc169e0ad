// The wire codec against literal bytes: every expected byte sequence below is
// written out by hand (or with vekt::Bytes), never produced by the codec under
// test, so a mistake shared by both ends of the protocol cannot pass.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <thread>

#include "client_test.h"

using vekt::Bytes;
using vekt::Codec;
using V = std::vector<uint8_t>;
using Sends = std::vector<size_t>;

namespace {

template <typename T>
std::function<int(int)> w(int (*f)(int, const T *), T v) {
  return [=](int s) { return f(s, &v); };
}

TEST_F(Codec, ValuesWidenToBigEndianUnits) {
  char hello[] = "hello", four[] = "abcd", nine[] = "123456789", ten[] = "0123456789";
  auto str = [](char *text, unsigned maxsize) {
    return [=](int s) {
      char *t = text;
      return _vek_write_string(s, &t, maxsize);
    };
  };
  auto raw = [](int s) {
    const uint8_t b[] = {1, 2, 3}, n[] = {0, 0, 0, 9};
    return _vek_write_bytes(s, b, 3) && _vek_write_bytes(s, n, 4);
  };
  const struct {
    const char *name;
    std::function<int(int)> write;
    V bytes;
    int ok;
  } rows[] = {
      {"int 1", w(_vek_write_int, 1), {0, 0, 0, 1}, 1},
      {"int -1", w(_vek_write_int, -1), {0xFF, 0xFF, 0xFF, 0xFF}, 1},
      {"int min", w(_vek_write_int, INT_MIN), {0x80, 0, 0, 0}, 1},
      {"uint", w(_vek_write_uint, 0xFFFFFFFEu), {0xFF, 0xFF, 0xFF, 0xFE}, 1},
      {"char -1", w<signed char>(_vek_write_char, -1), {0xFF, 0xFF, 0xFF, 0xFF}, 1},
      {"uchar 255", w<unsigned char>(_vek_write_uchar, 255), {0, 0, 0, 0xFF}, 1},
      {"short -2", w<short>(_vek_write_short, -2), {0xFF, 0xFF, 0xFF, 0xFE}, 1},
      {"ushort 65535", w<unsigned short>(_vek_write_ushort, 65535), {0, 0, 0xFF, 0xFF}, 1},
      {"bool 7", w(_vek_write_bool, 7), {0, 0, 0, 1}, 1},
      {"bool 0", w(_vek_write_bool, 0), {0, 0, 0, 0}, 1},
      {"double 1", w(_vek_write_double, 1.0), {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, 1},
      {"double -2.5", w(_vek_write_double, -2.5), {0xC0, 0x04, 0, 0, 0, 0, 0, 0}, 1},
      {"the undefined value", w(_vek_write_double, 1.234e30), {0x46, 0x2F, 0x26, 0x89, 0xC0, 0x74, 0xB6, 0x14}, 1},
      {"long -1", w<vek_long>(_vek_write_long, -1), V(8, 0xFF), 1},
      {"long", w<vek_long>(_vek_write_long, 0x0102030405060708LL), {1, 2, 3, 4, 5, 6, 7, 8}, 1},
      // A string carries its length, its text and zeros to a 4-byte unit;
      // maxsize counts the terminator, and a refused string leaves nothing,
      // not even its length.
      {"string", str(hello, 100), {0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0}, 1},
      {"string of four", str(four, 100), {0, 0, 0, 4, 'a', 'b', 'c', 'd'}, 1},
      {"no string", str(nullptr, 100), {0, 0, 0, 0}, 1},
      {"nine in ten", str(nine, 10), {0, 0, 0, 9, '1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0, 0}, 1},
      {"ten in ten", str(ten, 10), {}, 0},
      {"raw bytes, no length nor padding", raw, {1, 2, 3, 0, 0, 0, 9}, 1},
  };
  for (const auto &r : rows) EXPECT_EQ(r.bytes, wire(r.write, r.ok)) << r.name;
}

// A read of type T as a number, 99 when it fails.
template <typename T>
std::function<long long(int)> r(int (*f)(int, T *)) {
  return [=](int s) {
    T v = 0;
    return f(s, &v) ? (long long)v : 99LL;
  };
}

TEST_F(Codec, ReadsKeepTheLowBitsAndTheSign) {
  const struct {
    const char *name;
    Bytes in;
    std::function<long long(int)> read;
    long long want;
  } rows[] = {
      {"int", Bytes().raw({0x80, 0, 0, 0}), r(_vek_read_int), INT_MIN},
      {"uint", Bytes().raw({0xDE, 0xAD, 0xBE, 0xEF}), r(_vek_read_uint), 0xDEADBEEFLL},
      {"char", Bytes().raw({0, 0, 1, 0x80}), r(_vek_read_char), -128},
      {"uchar", Bytes().raw({0x12, 0x34, 0x56, 0x78}), r(_vek_read_uchar), 0x78},
      {"short", Bytes().raw({0, 1, 0xFF, 0xFF}), r(_vek_read_short), -1},
      {"ushort", Bytes().raw({0xFF, 0xFF, 0x80, 0}), r(_vek_read_ushort), 0x8000},
      {"bool 256 is exactly 1", Bytes().raw({0, 0, 1, 0}), r(_vek_read_bool), 1},
      {"bool 0", Bytes().i32(0), r(_vek_read_bool), 0},
      {"long", Bytes().raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), r(_vek_read_long), -2},
      {"long 2^32", Bytes().raw({0, 0, 0, 1, 0, 0, 0, 0}), r(_vek_read_long), 4294967296LL},
  };
  _vek_answer_timeout_ms = 20;  // what arrived is read at once
  for (const auto &r : rows) {
    p.put(r.in);
    errno = EINTR;  // left by an earlier call: no reason to drop what arrived
    EXPECT_EQ(r.want, r.read(p.c)) << r.name;
  }
  p.put(Bytes().raw({0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}).raw({0x80, 0, 0, 0, 0, 0, 0, 0}));
  double d = 0, z = 1;
  ASSERT_EQ(1, _vek_read_double(p.c, &d) && _vek_read_double(p.c, &z));
  EXPECT_EQ(0.1, d);
  EXPECT_TRUE(z == 0.0 && std::signbit(z));
  // A value cut short is a failure, not a value.
  for (const auto &read :
       {r(_vek_read_int), r(_vek_read_uint), r(_vek_read_char), r(_vek_read_uchar), r(_vek_read_short),
        r(_vek_read_ushort), r(_vek_read_bool), r(_vek_read_long), r(_vek_read_double)}) {
    _vek_empty_read_buffer(), p.put(Bytes().raw({0, 0, 1}));
    EXPECT_EQ(99, read(p.c));
  }
}

TEST_F(Codec, LongsTakeFourBytesUnlessBothSidesAre64Bits) {
  vekt::ErrorCapture errors;
  vek_long v = 0, v2 = 0;
  for (int mode = 0; mode < 2; mode++) {
    _vek_client64 = mode;
    _vek_server64 = 1 - mode;
    EXPECT_EQ(V({0xFF, 0xFF, 0xFF, 0xFF}), wire(w<vek_long>(_vek_write_long, -1)));
    EXPECT_EQ(V({0x80, 0, 0, 0}), wire(w<vek_long>(_vek_write_long, INT32_MIN)));
    // Read sign-extended.
    p.put(Bytes().raw({0xFF, 0xFF, 0xFF, 0xFF}).raw({0x7F, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(1, _vek_read_long(p.c, &v) && _vek_read_long(p.c, &v2));
    EXPECT_EQ((std::pair<vek_long, vek_long>(-1, INT32_MAX)), std::make_pair(v, v2));
  }
  // A value beyond 32 bits is refused with nothing buffered.
  int pending = 42;
  ASSERT_EQ(1, _vek_write_int(p.c, &pending));
  for (vek_long big : std::vector<vek_long>{4294967296LL, (vek_long)INT32_MAX + 1, (vek_long)INT32_MIN - 1}) {
    errors.clear();
    EXPECT_EQ(0, _vek_write_long(p.c, &big)) << big;
    EXPECT_EQ(std::vector<std::string>({"_vek_write_long(): Server & Client are not both 64 bits"}), errors.messages());
  }
  EXPECT_EQ(V({0, 0, 0, 42}), wire([](int) { return 1; }));
}

int write_short_elem(int sock, void *v, unsigned) { return _vek_write_short(sock, (const short *)v); }

// The buffer leaves the moment it fills: 1024-byte sends, whatever the
// values written into it, and a value that does not fit flushes first.
TEST_F(Codec, SendsFollowTheBufferOf1024Bytes) {
  V blob(3000);
  for (size_t i = 0; i < blob.size(); i++) blob[i] = (uint8_t)(i * 7);
  auto long_of = [](vek_long v) { return w<vek_long>(_vek_write_long, v); };
  auto shorts = [](int s) {
    short v[] = {-3, 4};
    return _vek_rw_vector(s, v, 2, sizeof(short), write_short_elem);
  };
  auto raw_run = [&](int s) { return _vek_write_bytes(s, blob.data(), blob.size()); };
  const struct {
    const char *name;
    int lead;  // ints written first
    std::function<int(int)> write;
    Bytes tail;
    Sends sends;
  } rows[] = {
      {"300 ints", 300, [](int) { return 1; }, Bytes(), {1024, 176}},
      {"a long that does not fit", 255, long_of(0x1122334455667788LL), Bytes().i64(0x1122334455667788LL), {1020, 8}},
      {"a double across two sends", 255, w(_vek_write_double, 1.0), Bytes().dbl(1.0), {1024, 4}},
      {"a long that fits, then an int",
       1,
       [&](int s) { return long_of(7)(s) && w(_vek_write_int, 9)(s); },
       Bytes().i64(7).i32(9),
       {16}},
      {"elements without a bulk path", 0, shorts, Bytes().i32(-3).i32(4), {8}},
      {"a long raw run", 1, raw_run, Bytes().raw(blob), {4, 1024, 1024, 952}},
  };
  for (const auto &r : rows) {
    Bytes want;
    vekt::send_log_start();
    for (int i = 0; i < r.lead; i++) {
      want.i32(i);
      ASSERT_EQ(1, _vek_write_int(p.c, &i));
    }
    ASSERT_EQ(1, r.write(p.c) && _vek_flush_write(p.c));
    EXPECT_EQ(r.sends, vekt::send_log_stop()) << r.name;
    EXPECT_EQ(want.append(r.tail).b, p.take()) << r.name;
  }
}

// The bulk path of doubles must produce the bytes and the sends of the
// plain element loop, from any buffer offset.
TEST_F(Codec, DoubleVectorsMatchTheElementLoopAtEveryOffset) {
  // Values that a conversion anywhere would change: NaNs with payloads,
  // signed zero, subnormals, infinities.
  std::vector<double> values(300);
  for (size_t i = 0; i < values.size(); i++) values[i] = (double)i * 1.5 - 7.25;
  const uint64_t odd_bits[] = {0x7ff8000000000001ull, 0xfff4000000000abcull, 0x8000000000000000ull, 1,
                               0x7ff0000000000000ull};
  for (size_t k = 0; k < 5; k++) memcpy(&values[k * 61], &odd_bits[k], 8);
  for (int lead : {0, 1, 3, 127, 128, 255}) {
    Bytes want;
    for (int i = 0; i < lead; i++) want.i32(i);
    want.append(vekt::doubles(values));
    vekt::send_log_start();
    for (int i = 0; i < lead; i++) ASSERT_EQ(1, _vek_write_int(p.c, &i));
    ASSERT_EQ(1, _vek_rw_vector(p.c, values.data(), values.size(), 8, _vek_write_double_elem) && _vek_flush_write(p.c));
    Sends expected(want.size() / 1024, 1024);
    if (want.size() % 1024) expected.push_back(want.size() % 1024);
    EXPECT_EQ(expected, vekt::send_log_stop()) << "lead " << lead;
    EXPECT_EQ(want.b, p.take()) << "lead " << lead;
  }
  // And reads decode every element, bit for bit, through a buffer refilled
  // many times.
  Bytes in;
  for (int i = 0; i < 40000; i++) in.i32(i * 1000 - 7);
  for (int i = 0; i < 40000; i++) in.dbl(values[i % 300]);
  in.i64(77);  // read apart: nothing beyond the vectors is taken
  std::thread writer([&] { p.put(in); });
  std::vector<int> ints(40000);
  std::vector<double> dbls(40000);
  ASSERT_EQ(1, _vek_rw_vector(p.c, ints.data(), ints.size(), 4, _vek_read_int_elem));
  ASSERT_EQ(1, _vek_rw_vector(p.c, dbls.data(), dbls.size(), 8, _vek_read_double_elem));
  vek_long after = 0;
  EXPECT_TRUE(_vek_read_long(p.c, &after) && after == 77);
  writer.join();
  int wrong = 0;
  for (int i = 0; i < 40000; i++) wrong += ints[i] != i * 1000 - 7 || memcmp(&dbls[i], &values[i % 300], 8) != 0;
  EXPECT_EQ(0, wrong);
}

// A producer that hands out more values than were asked for, or gives up,
// ends the write with a failure rather than a read past what it holds.
TEST_F(Codec, TransfersThatCannotCompleteFail) {
  static double held[16];
  for (size_t give : {9, 0}) {
    vek_value_source src{[](void *ctx, size_t, size_t, const double **run) {
                           *run = held;
                           return *(size_t *)ctx;
                         },
                         &give};
    EXPECT_EQ(0, _vek_write_double_source(p.c, 8, &src)) << "gives " << give << " of 8";
    _vek_empty_write_buffer();
  }
  // So does a sink that hands out no room, or none at all, for a read.
  for (bool null_window : {false, true}) {
    p.put(Bytes().dbl(1).dbl(2));
    vek_value_sink sink{nullptr,
                        null_window ? [](void *, size_t, size_t *room) -> double * { return *room = 4, nullptr; }
                                    : [](void *, size_t, size_t *room) -> double * { return *room = 0, held; },
                        [](void *, size_t, size_t) {}, nullptr};
    EXPECT_EQ(0, _vek_read_double_sink(p.c, 2, &sink)) << (null_window ? "no window" : "no room");
    _vek_empty_read_buffer();
  }
  // Bytes with nowhere to go fail at once, or after the time limit when the
  // peer stops reading.
  EXPECT_EQ(0, _vek_write_bytes(-1, "abcd", 4));
  EXPECT_EQ(1, _vek_write_bytes(-1, "", 0));
  _vek_answer_timeout_ms = 200;
  int small = 4096;
  setsockopt(p.c, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(p.s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  V blob(1024, 0xAB);
  int ok = 1;
  // Bounded: a few megabytes at most before the socket buffers are full.
  for (int rounds = 0; ok && rounds < 4096; rounds++) ok = _vek_write_bytes(p.c, blob.data(), blob.size());
  EXPECT_EQ(0, ok);
}

TEST(Net, ListenAcceptConnectAndRefuse) {
  vekt::ErrorCapture errors;
  unsigned short port = 0;
  int listener = -1, conn = -1, client = -1;
  ASSERT_EQ(0, _vek_listen_port(&port, 1, &listener));
  EXPECT_NE(0, port);                                      // the system's choice is handed back
  EXPECT_EQ(1, _vek_wait_connect(listener, &conn, 0, 0));  // nobody came
  ASSERT_EQ(0, _vek_connect("127.0.0.1", port, &client));
  EXPECT_EQ(0, _vek_wait_connect(listener, &conn, 0, 2));
  _vek_close_socket(&conn);
  EXPECT_EQ(-1, conn);
  _vek_close_socket(&conn);  // a second close is harmless
  _vek_close_socket(&client);
  _vek_close_socket(&listener);
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
  // Nobody listens any more: refused, and no descriptor is left behind.
  int refused = 123;
  EXPECT_EQ(3, _vek_connect("127.0.0.1", port, &refused));
  EXPECT_EQ(-1, refused);
  EXPECT_EQ(1, _vek_connect(nullptr, port, &refused));
  EXPECT_EQ(-1, refused);
  // A failed accept leaves the caller's socket to the caller.
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  EXPECT_EQ(-1, _vek_wait_connect(fds[0], &conn, 1, 0));  // not a socket
  EXPECT_TRUE(errors.contains("Call to accept() failed.")) << errors.joined();
  EXPECT_NE(-1, fcntl(fds[0], F_GETFD));
  close(fds[0]);
  close(fds[1]);
  // Each step the system refuses has its code; only a listening socket is left to the caller.
  for (auto [call, code] : std::vector<std::pair<const char *, int>>{
           {"socket", 1}, {"setsockopt", 5}, {"bind", 2}, {"listen", 3}, {"getsockname", 4}}) {
    vekt::refuse_next_call(call, ENOBUFS);
    EXPECT_EQ(code, _vek_listen_port(&(port = 0), 1, &listener)) << call;
    EXPECT_EQ(code == 4, listener >= 0) << call;
    _vek_close_socket(&listener);
  }
  vekt::refuse_next_call("socket", EMFILE);
  EXPECT_TRUE(_vek_connect("127.0.0.1", 1, &refused) == 2 && refused == -1);
}

}  // namespace
