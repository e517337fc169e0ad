// The wire codec against literal bytes: every expected byte sequence below is
// written out by hand (or with vekt::Bytes), never produced by the codec under
// test, so a mistake shared by both ends of the protocol cannot pass.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "peer.h"
#include "vek_internal.h"

using vekt::Bytes;
using V = std::vector<uint8_t>;

namespace {

// A connected pair of sockets: the codec works on `c`, the test plays the
// server on `s`.
struct Pair {
  int c = -1, s = -1;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      c = fds[0];
      s = fds[1];
    }
  }
  ~Pair() {
    if (c >= 0) close(c);
    if (s >= 0) close(s);
  }
  void put(const Bytes& b) const { ASSERT_EQ((ssize_t)b.size(), ::send(s, b.b.data(), b.size(), MSG_NOSIGNAL)); }
  // Everything the codec has sent so far.
  V take() const {
    V out;
    uint8_t buf[8192];
    pollfd pfd{s, POLLIN, 0};
    while (poll(&pfd, 1, 0) > 0) {
      ssize_t n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
  void close_server() {
    close(s);
    s = -1;
  }
};

class Codec : public ::testing::Test {
 protected:
  void SetUp() override {
    vekt::reset_client();
    _vek_client64 = 1;
    _vek_server64 = 1;
    ASSERT_GE(p.c, 0);
  }
  void TearDown() override { vekt::reset_client(); }
  // The bytes that one codec write puts on the wire.
  template <typename F>
  V wire(F write) {
    EXPECT_EQ(1, write(p.c));
    EXPECT_EQ(1, _vek_flush_write(p.c));
    return p.take();
  }
  Pair p;
};

TEST_F(Codec, IntegersWidenToFourBigEndianBytes) {
  int one = 1, minus = -1, low = INT_MIN;
  unsigned big = 0xFFFFFFFEu;
  signed char c = -1;
  unsigned char uc = 255;
  short sh = -2;
  unsigned short us = 65535;
  int yes = 7, no = 0;
  EXPECT_EQ(V({0, 0, 0, 1}), wire([&](int s) { return _vek_write_int(s, &one); }));
  EXPECT_EQ(V({0xFF, 0xFF, 0xFF, 0xFF}), wire([&](int s) { return _vek_write_int(s, &minus); }));
  EXPECT_EQ(V({0x80, 0, 0, 0}), wire([&](int s) { return _vek_write_int(s, &low); }));
  EXPECT_EQ(V({0xFF, 0xFF, 0xFF, 0xFE}), wire([&](int s) { return _vek_write_uint(s, &big); }));
  EXPECT_EQ(V({0xFF, 0xFF, 0xFF, 0xFF}), wire([&](int s) { return _vek_write_char(s, &c); }));
  EXPECT_EQ(V({0, 0, 0, 0xFF}), wire([&](int s) { return _vek_write_uchar(s, &uc); }));
  EXPECT_EQ(V({0xFF, 0xFF, 0xFF, 0xFE}), wire([&](int s) { return _vek_write_short(s, &sh); }));
  EXPECT_EQ(V({0, 0, 0xFF, 0xFF}), wire([&](int s) { return _vek_write_ushort(s, &us); }));
  EXPECT_EQ(V({0, 0, 0, 1}), wire([&](int s) { return _vek_write_bool(s, &yes); }));
  EXPECT_EQ(V({0, 0, 0, 0}), wire([&](int s) { return _vek_write_bool(s, &no); }));
}

TEST_F(Codec, NarrowReadsKeepTheLowBits) {
  p.put(Bytes()
            .raw({0x80, 0, 0, 0})
            .raw({0xDE, 0xAD, 0xBE, 0xEF})
            .raw({0, 0, 1, 0x80})
            .raw({0x12, 0x34, 0x56, 0x78})
            .raw({0, 1, 0xFF, 0xFF})
            .raw({0xFF, 0xFF, 0x80, 0x00})
            .raw({0, 0, 1, 0})
            .raw({0, 0, 0, 0}));
  int i = 0, b1 = 0, b0 = 9;
  unsigned u = 0;
  signed char c = 0;
  unsigned char uc = 0;
  short sh = 0;
  unsigned short us = 0;
  ASSERT_EQ(1, _vek_read_int(p.c, &i));
  EXPECT_EQ(INT_MIN, i);
  ASSERT_EQ(1, _vek_read_uint(p.c, &u));
  EXPECT_EQ(0xDEADBEEFu, u);
  ASSERT_EQ(1, _vek_read_char(p.c, &c));
  EXPECT_EQ(-128, c);
  ASSERT_EQ(1, _vek_read_uchar(p.c, &uc));
  EXPECT_EQ(0x78, uc);
  ASSERT_EQ(1, _vek_read_short(p.c, &sh));
  EXPECT_EQ(-1, sh);
  ASSERT_EQ(1, _vek_read_ushort(p.c, &us));
  EXPECT_EQ(0x8000, us);
  ASSERT_EQ(1, _vek_read_bool(p.c, &b1));
  EXPECT_EQ(1, b1);  // 256 is true, and reads as exactly 1
  ASSERT_EQ(1, _vek_read_bool(p.c, &b0));
  EXPECT_EQ(0, b0);
}

TEST_F(Codec, DoublesTravelMostSignificantHalfFirst) {
  double one = 1.0, neg = -2.5, undef = 1.234e30;
  EXPECT_EQ(V({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), wire([&](int s) { return _vek_write_double(s, &one); }));
  EXPECT_EQ(V({0xC0, 0x04, 0, 0, 0, 0, 0, 0}), wire([&](int s) { return _vek_write_double(s, &neg); }));
  EXPECT_EQ(V({0x46, 0x2F, 0x26, 0x89, 0xC0, 0x74, 0xB6, 0x14}),
            wire([&](int s) { return _vek_write_double(s, &undef); }));
  p.put(Bytes().raw({0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}).raw({0x80, 0, 0, 0, 0, 0, 0, 0}));
  double d = 0, z = 1;
  ASSERT_EQ(1, _vek_read_double(p.c, &d));
  EXPECT_EQ(0.1, d);
  ASSERT_EQ(1, _vek_read_double(p.c, &z));
  EXPECT_TRUE(z == 0.0 && std::signbit(z));
}

TEST_F(Codec, LongsTakeEightBytesOnlyWhenBothSidesAre64Bits) {
  vek_long minus = -1, wide = 0x0102030405060708LL;
  EXPECT_EQ(V(8, 0xFF), wire([&](int s) { return _vek_write_long(s, &minus); }));
  EXPECT_EQ(V({1, 2, 3, 4, 5, 6, 7, 8}), wire([&](int s) { return _vek_write_long(s, &wide); }));
  p.put(Bytes().raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}).raw({0, 0, 0, 1, 0, 0, 0, 0}));
  vek_long v = 0;
  ASSERT_EQ(1, _vek_read_long(p.c, &v));
  EXPECT_EQ(-2, v);
  ASSERT_EQ(1, _vek_read_long(p.c, &v));
  EXPECT_EQ(4294967296LL, v);

  // Either side at 32 bits: four bytes, sign-extended on reading.
  for (int mode = 0; mode < 2; mode++) {
    _vek_client64 = mode;
    _vek_server64 = 1 - mode;
    vek_long lowest = INT32_MIN;
    EXPECT_EQ(V({0xFF, 0xFF, 0xFF, 0xFF}), wire([&](int s) { return _vek_write_long(s, &minus); }));
    EXPECT_EQ(V({0x80, 0, 0, 0}), wire([&](int s) { return _vek_write_long(s, &lowest); }));
    p.put(Bytes().raw({0xFF, 0xFF, 0xFF, 0xFF}).raw({0x7F, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(1, _vek_read_long(p.c, &v));
    EXPECT_EQ(-1, v);
    ASSERT_EQ(1, _vek_read_long(p.c, &v));
    EXPECT_EQ(INT32_MAX, v);
  }
}

TEST_F(Codec, A64BitValueIsRefusedIn4ByteModeWithNothingBuffered) {
  _vek_server64 = 0;
  vekt::ErrorCapture errors;
  int pending = 42;
  ASSERT_EQ(1, _vek_write_int(p.c, &pending));
  for (vek_long v : std::vector<vek_long>{4294967296LL, (vek_long)INT32_MAX + 1, (vek_long)INT32_MIN - 1}) {
    errors.clear();
    EXPECT_EQ(0, _vek_write_long(p.c, &v)) << v;
    ASSERT_EQ(1u, errors.messages().size());
    EXPECT_EQ("_vek_write_long(): Server & Client are not both 64 bits", errors.messages()[0]);
  }
  ASSERT_EQ(1, _vek_flush_write(p.c));
  EXPECT_EQ(V({0, 0, 0, 42}), p.take());  // only the int that came before
}

TEST_F(Codec, StringsCarryLengthTextAndPadding) {
  char hello[] = "hello", four[] = "abcd", empty[] = "", nine[] = "123456789";
  char* s5 = hello;
  char* s4 = four;
  char* s0 = empty;
  char* none = nullptr;
  EXPECT_EQ(V({0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0}),
            wire([&](int s) { return _vek_write_string(s, &s5, 100); }));
  EXPECT_EQ(V({0, 0, 0, 4, 'a', 'b', 'c', 'd'}), wire([&](int s) { return _vek_write_string(s, &s4, 100); }));
  EXPECT_EQ(V({0, 0, 0, 0}), wire([&](int s) { return _vek_write_string(s, &s0, 100); }));
  EXPECT_EQ(V({0, 0, 0, 0}), wire([&](int s) { return _vek_write_string(s, &none, 100); }));

  // maxsize counts the terminator: 9 characters fit in 10, 10 do not, and a
  // refused string leaves nothing behind (not even its length).
  char* s9 = nine;
  EXPECT_EQ(V({0, 0, 0, 9, '1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0, 0}),
            wire([&](int s) { return _vek_write_string(s, &s9, 10); }));
  char ten[] = "0123456789";
  char* s10 = ten;
  EXPECT_EQ(0, _vek_write_string(p.c, &s10, 10));
  EXPECT_EQ(1, _vek_flush_write(p.c));
  EXPECT_TRUE(p.take().empty());
}

TEST_F(Codec, StringReadsHonourMaxsizeAndOwnership) {
  // Allocated by the codec when the destination is null.
  p.put(Bytes().raw({0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0}).raw({0, 0, 0, 0}).raw({0, 0, 0, 7}));
  char* got = nullptr;
  ASSERT_EQ(1, _vek_read_string(p.c, &got, 100));
  ASSERT_NE(nullptr, got);
  EXPECT_STREQ("hello", got);
  free(got);
  got = nullptr;
  ASSERT_EQ(1, _vek_read_string(p.c, &got, 100));
  EXPECT_STREQ("", got);
  free(got);
  int after = 0;  // the padding was consumed: the next value is aligned
  ASSERT_EQ(1, _vek_read_int(p.c, &after));
  EXPECT_EQ(7, after);

  // maxsize 10: a length of 9 fits the caller's buffer, 10 is refused
  // without touching it.
  char buf[10];
  char* into = buf;
  p.put(Bytes().str("123456789"));
  ASSERT_EQ(1, _vek_read_string(p.c, &into, 10));
  EXPECT_STREQ("123456789", buf);
  EXPECT_EQ(buf, into);
  memcpy(buf, "untouched", 10);
  p.put(Bytes().str("0123456789"));
  EXPECT_EQ(0, _vek_read_string(p.c, &into, 10));
  EXPECT_STREQ("untouched", buf);
}

TEST_F(Codec, HostileStringLengthsNeverAllocateOrLeaveNull) {
  // A length near 2^31 is refused by the limit before any allocation.
  p.put(Bytes().u32(0x7FFFFFF0u));
  char* got = nullptr;
  EXPECT_EQ(0, _vek_read_string(p.c, &got, 10000));
  EXPECT_EQ(nullptr, got);
  // The length whose terminator cannot be counted reads as an empty string:
  // a successful read never leaves a null or stale text behind.
  p.put(Bytes().u32(0xFFFFFFFFu));
  ASSERT_EQ(1, _vek_read_string(p.c, &got, 10000));
  ASSERT_NE(nullptr, got);
  EXPECT_STREQ("", got);
  free(got);
  char buf[10] = "stale";
  char* into = buf;
  p.put(Bytes().u32(0xFFFFFFFFu).i32(5));
  ASSERT_EQ(1, _vek_read_string(p.c, &into, 10));
  EXPECT_STREQ("", buf);
  int next = 0;
  ASSERT_EQ(1, _vek_read_int(p.c, &next));
  EXPECT_EQ(5, next);
}

TEST_F(Codec, AStringCutShortFailsAndReleasesItsText) {
  p.put(Bytes().u32(5).raw({'a', 'b', 'c'}));
  p.close_server();
  char* got = nullptr;
  EXPECT_EQ(0, _vek_read_string(p.c, &got, 100));
  EXPECT_EQ(nullptr, got);
  Pair q;
  q.put(Bytes().u32(5).raw({'a', 'b', 'c'}));
  q.close_server();
  char buf[100] = "old";
  char* into = buf;
  EXPECT_EQ(0, _vek_read_string(q.c, &into, 100));
  EXPECT_STREQ("", buf);  // no half-read text behind a failure
}

TEST_F(Codec, RawBytesHaveNoLengthNorPadding) {
  const uint8_t three[] = {1, 2, 3};
  int after = 9;
  EXPECT_EQ(V({1, 2, 3, 0, 0, 0, 9}),
            wire([&](int s) { return _vek_write_bytes(s, three, 3) && _vek_write_int(s, &after); }));
  p.put(Bytes().raw({7, 8, 9, 10, 11}));
  uint8_t in[5] = {0};
  ASSERT_EQ(1, _vek_read_bytes(p.c, in, 2));
  ASSERT_EQ(1, _vek_read_bytes(p.c, in + 2, 0));
  ASSERT_EQ(1, _vek_read_bytes(p.c, in + 2, 3));
  EXPECT_EQ(V({7, 8, 9, 10, 11}), V(in, in + 5));
}

TEST_F(Codec, NoSocketFailsSilentlyExceptForNothing) {
  vekt::ErrorCapture errors;
  int v = 1;
  double d = 1;
  vek_long l = 1;
  char text[] = "x";
  char* s = text;
  EXPECT_EQ(1, _vek_write_bytes(-1, &v, 0));
  EXPECT_EQ(0, _vek_write_int(-1, &v));
  EXPECT_EQ(0, _vek_write_double(-1, &d));
  EXPECT_EQ(0, _vek_write_long(-1, &l));
  EXPECT_EQ(0, _vek_write_bytes(-1, &v, 4));
  EXPECT_EQ(0, _vek_write_string(-1, &s, 10));
  EXPECT_EQ(0, _vek_read_int(-1, &v));
  EXPECT_TRUE(errors.messages().empty()) << errors.joined();
  // Flushing nothing sends nothing and succeeds, socket or not.
  vekt::send_log_start();
  EXPECT_EQ(1, _vek_flush_write(-1));
  EXPECT_EQ(1, _vek_flush_write(p.c));
  EXPECT_TRUE(vekt::send_log_stop().empty());
}

TEST_F(Codec, AClosedPeerFailsTheNextReadThatNeedsBytes) {
  p.put(Bytes().i32(3).raw({0, 0}));
  p.close_server();
  int v = 0;
  ASSERT_EQ(1, _vek_read_int(p.c, &v));
  EXPECT_EQ(3, v);
  EXPECT_EQ(0, _vek_read_int(p.c, &v));  // two bytes, then the end
  double d;
  EXPECT_EQ(0, _vek_read_double(p.c, &d));
}

// ---- the send pattern ----

TEST_F(Codec, ThreeHundredIntsLeaveAs1024Then176) {
  vekt::send_log_start();
  for (int i = 0; i < 300; i++) ASSERT_EQ(1, _vek_write_int(p.c, &i));
  std::vector<size_t> at_fill = vekt::send_log_stop();
  EXPECT_EQ(std::vector<size_t>({1024}), at_fill);  // sent the moment the buffer filled
  vekt::send_log_start();
  ASSERT_EQ(1, _vek_flush_write(p.c));
  EXPECT_EQ(std::vector<size_t>({176}), vekt::send_log_stop());
  Bytes want;
  for (int i = 0; i < 300; i++) want.i32(i);
  EXPECT_EQ(want.b, p.take());
}

TEST_F(Codec, ALongThatDoesNotFitFlushesWhatIsPending) {
  vekt::send_log_start();
  for (int i = 0; i < 255; i++) ASSERT_EQ(1, _vek_write_int(p.c, &i));
  vek_long big = 0x1122334455667788LL;
  ASSERT_EQ(1, _vek_write_long(p.c, &big));
  ASSERT_EQ(1, _vek_flush_write(p.c));
  EXPECT_EQ(std::vector<size_t>({1020, 8}), vekt::send_log_stop());
  V got = p.take();
  ASSERT_EQ(1028u, got.size());
  EXPECT_EQ(V({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}), V(got.end() - 8, got.end()));
}

TEST_F(Codec, ADoubleIsTwoIntsAndMaySpanTwoSends) {
  vekt::send_log_start();
  for (int i = 0; i < 255; i++) ASSERT_EQ(1, _vek_write_int(p.c, &i));
  double one = 1.0;
  ASSERT_EQ(1, _vek_write_double(p.c, &one));
  ASSERT_EQ(1, _vek_flush_write(p.c));
  EXPECT_EQ(std::vector<size_t>({1024, 4}), vekt::send_log_stop());
  V got = p.take();
  EXPECT_EQ(V({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), V(got.end() - 8, got.end()));
}

TEST_F(Codec, LongRawRunsLeaveInBufferSizedPieces) {
  int first = 1;
  V blob(3000);
  for (size_t i = 0; i < blob.size(); i++) blob[i] = (uint8_t)(i * 7);
  vekt::send_log_start();
  ASSERT_EQ(1, _vek_write_int(p.c, &first));
  ASSERT_EQ(1, _vek_write_bytes(p.c, blob.data(), blob.size()));
  ASSERT_EQ(1, _vek_flush_write(p.c));
  EXPECT_EQ(std::vector<size_t>({4, 1024, 1024, 952}), vekt::send_log_stop());
  EXPECT_EQ(Bytes().i32(1).raw(blob).b, p.take());
}

// ---- vectors ----

// The bulk paths of the three common element operations must produce the
// bytes and the sends of the plain element loop, from any buffer offset.
TEST_F(Codec, DoubleVectorsMatchTheElementLoopAtEveryOffset) {
  std::vector<double> values(300);
  for (size_t i = 0; i < values.size(); i++) values[i] = (double)i * 1.5 - 7.25;
  for (int lead : {0, 1, 3, 127, 128, 255}) {
    Bytes want;
    for (int i = 0; i < lead; i++) want.i32(i);
    for (double v : values) want.dbl(v);
    vekt::send_log_start();
    for (int i = 0; i < lead; i++) ASSERT_EQ(1, _vek_write_int(p.c, &i));
    ASSERT_EQ(1, _vek_rw_vector(p.c, values.data(), values.size(), 8, _vek_write_double_elem));
    ASSERT_EQ(1, _vek_flush_write(p.c));
    std::vector<size_t> sends = vekt::send_log_stop();
    EXPECT_EQ(want.b, p.take()) << "lead " << lead;
    size_t total = want.size();
    std::vector<size_t> expected(total / 1024, 1024);
    if (total % 1024) expected.push_back(total % 1024);
    EXPECT_EQ(expected, sends) << "lead " << lead;
  }
}

TEST_F(Codec, VectorReadsDecodeEveryElement) {
  Bytes in;
  for (int i = 0; i < 40; i++) in.i32(i * 1000 - 7);
  for (int i = 0; i < 40; i++) in.dbl(i / 3.0);
  p.put(in);
  std::vector<int> ints(40);
  std::vector<double> dbls(40);
  ASSERT_EQ(1, _vek_rw_vector(p.c, ints.data(), ints.size(), 4, _vek_read_int_elem));
  ASSERT_EQ(1, _vek_rw_vector(p.c, dbls.data(), dbls.size(), 8, _vek_read_double_elem));
  for (int i = 0; i < 40; i++) {
    EXPECT_EQ(i * 1000 - 7, ints[i]);
    EXPECT_EQ(i / 3.0, dbls[i]);
  }
  EXPECT_EQ(1, _vek_rw_vector(p.c, nullptr, 0, 8, _vek_read_double_elem));
}

TEST_F(Codec, AVectorCutShortFails) {
  p.put(Bytes().dbl(1).dbl(2).raw({0x40, 0}));
  p.close_server();
  double d[3];
  EXPECT_EQ(0, _vek_rw_vector(p.c, d, 3, 8, _vek_read_double_elem));
}

static int write_short_elem(int sock, void* v, unsigned maxsize) {
  EXPECT_EQ(0xFFFFFFFFu, maxsize);
  return _vek_write_short(sock, (const short*)v);
}

TEST_F(Codec, VectorsTraceTenElementsThenACount) {
  char path[] = "/tmp/vek_codec_trace_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  _vek_trace_file = fopen(path, "w");
  ASSERT_NE(nullptr, _vek_trace_file);
  _vek_trace_level = 3;
  std::vector<double> dbls(25, 2.0);
  std::vector<short> shorts(12, -3);
  p.put(Bytes().fill(25 * 8, 0));
  EXPECT_EQ(1, _vek_rw_vector(p.c, dbls.data(), dbls.size(), 8, _vek_read_double_elem));
  EXPECT_EQ(1, _vek_rw_vector(p.c, shorts.data(), shorts.size(), 2, write_short_elem));
  EXPECT_EQ(0, _vek_disable_rw_trace);  // restored
  _vek_trace_end();
  std::ifstream in(path);
  std::string line;
  int reads = 0, writes = 0;
  std::vector<std::string> counts;
  while (std::getline(in, line)) {
    if (line.find("Read Dbl(0)") != std::string::npos) reads++;
    if (line.find("Write Int(-3)") != std::string::npos) writes++;
    if (line.find("... + some other") != std::string::npos) counts.push_back(line.substr(line.find("...")));
  }
  unlink(path);
  EXPECT_EQ(10, reads);
  EXPECT_EQ(10, writes);
  EXPECT_EQ(std::vector<std::string>({"... + some other 15 values", "... + some other 2 values"}), counts);
  Bytes want;
  for (int i = 0; i < 12; i++) want.i32(-3);
  ASSERT_EQ(1, _vek_flush_write(p.c));
  EXPECT_EQ(want.b, p.take());
}

// ---- a peer that goes silent in the middle of a value ----

TEST_F(Codec, ASilentPeerInTheMiddleOfAValueFailsTheRead) {
  _vek_answer_timeout_ms = 200;
  p.put(Bytes().raw({0, 0}));
  int v = 0;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, _vek_read_int(p.c, &v));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 3000);
}

TEST_F(Codec, APeerThatStopsReadingFailsTheWrite) {
  _vek_answer_timeout_ms = 200;
  int small = 4096;
  setsockopt(p.c, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(p.s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  V blob(1024, 0xAB);
  int ok = 1;
  int rounds = 0;
  auto t0 = std::chrono::steady_clock::now();
  // Bounded: a few megabytes at most before the socket buffers are full.
  for (; ok && rounds < 4096; rounds++) ok = _vek_write_bytes(p.c, blob.data(), blob.size());
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(0, ok);
  EXPECT_LT(ms, 5000);
}

}  // namespace

// ---- socket primitives ----

namespace {

TEST(Net, ListenAcceptAndClose) {
  vekt::ErrorCapture errors;
  unsigned short port = 0;
  int listener = -1;
  ASSERT_EQ(0, _vek_listen_port(&port, 1, &listener));
  EXPECT_NE(0, port);  // the system's choice is handed back
  int conn = -1;
  EXPECT_EQ(1, _vek_wait_connect(listener, &conn, 0, 0));  // nobody came
  int client = -1;
  ASSERT_EQ(0, _vek_connect("127.0.0.1", port, &client));
  EXPECT_EQ(0, _vek_wait_connect(listener, &conn, 0, 2));
  EXPECT_GE(conn, 0);
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
}

TEST(Net, AFailedAcceptLeavesTheCallersSocketToTheCaller) {
  vekt::ErrorCapture errors;
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  int conn = -1;
  EXPECT_EQ(-1, _vek_wait_connect(fds[0], &conn, 1, 0));  // not a socket
  EXPECT_TRUE(errors.contains("Call to accept() failed.")) << errors.joined();
  EXPECT_NE(-1, fcntl(fds[0], F_GETFD));  // still the caller's to close
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
