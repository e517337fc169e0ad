/*
 * Variable data transfer: exact requests, large round trips, reads that
 * fail part-way, the header-sample handling of line files on servers below
 * 900000, and the refusals that must send nothing (proved by the next
 * request's bytes arriving first).
 */
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "client_test.h"
#include "vek_internal.h"

using namespace vekt;

namespace {

const double kTest = 1.234e30;

class Transfer : public ClientTest {};

void script_probe(Peer& p) { p.expect(kw("CDIRNEW").str("probe")).send(kw("SDONE")); }
int probe() { return VEKClientNewDirectory("probe"); }

/* A long as the client sends it: 8 bytes once both ends agreed on 64 bits. */
Bytes& lng(Bytes& b, bool wide, int64_t v) { return wide ? b.i64(v) : b.i32((int32_t)v); }

/* "SFILEINFO" of a server below 1300030 (no line-name field), for a File of
 * type 0 to 3, which carries no core-line names at any version. */
Bytes file_info(bool wide, int type, int64_t samples, int lines) {
  Bytes b = kw("SFILEINFO").i32(type).str("").i32(0).i32(0).i32(2);
  lng(b, wide, samples).i32(lines);
  for (int i = 0; i < 6; i++) b.dbl(0);
  b.i32(0).i32(0).i32(0).i32(0);
  for (int i = 0; i < 3; i++) b.dbl(0);
  for (int i = 0; i < 6; i++) b.str("");
  return b.i32(0).i32(0).i32(0).i32(0).i32(0).i32(0).i32(0);
}

Bytes line_counts(const std::vector<int>& c) {
  Bytes b = kw("SLFILECNT").i32((int32_t)c.size());
  for (int v : c) b.i32(v);
  return b;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

/* Values that a conversion anywhere would change: NaNs with payloads,
 * signed zero, subnormals, infinities, the undefined value. */
std::vector<double> awkward_values(size_t n) {
  std::vector<double> v(n);
  const uint64_t nan_bits[] = {0x7ff8000000000001ull, 0xfff4000000000abcull};
  for (size_t i = 0; i < n; i++) v[i] = (double)i * 0.1 - 12345.678;
  double nan1, nan2;
  std::memcpy(&nan1, &nan_bits[0], 8);
  std::memcpy(&nan2, &nan_bits[1], 8);
  const double special[] = {nan1, nan2, -0.0, 4.9e-324, INFINITY, -INFINITY, DBL_MAX, kTest};
  for (size_t k = 0; k < sizeof special / sizeof special[0]; k++) v[(k * 7919) % n] = special[k];
  return v;
}

TEST_F(Transfer, MillionValuesRoundTripBitExactInFullBuffers) {
  const size_t n = 1000000;
  const std::vector<double> values = awkward_values(n);
  const Bytes payload = doubles(values);
  Peer p;
  connect(p, kModern, {"CARCH"});
  Bytes write = kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(kTest).i64((int64_t)n).append(payload);
  p.expect(write).send(kw("SDONE"));
  p.expect(kw("CREADVARF").i64(-1).i64(-1).i32(0)).send(kw("SDATAF").i64((int64_t)n).dbl(-999).append(payload));

  send_log_start();
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, (vek_long)n, values.data()));
  std::vector<size_t> sends = send_log_stop();
  /* The request leaves buffer by buffer: no send asks for more than 1024
   * bytes (a full socket may split a buffer into several sends). */
  size_t largest = 0;
  for (size_t s : sends) largest = s > largest ? s : largest;
  EXPECT_EQ(1024u, largest);
  EXPECT_GE(sends.size(), write.size() / 1024);

  double test_val = 0;
  vek_long count = -5;
  double *data = nullptr;
  ASSERT_EQ(0, VEKClientReadDoubleVariable(0, &test_val, &count, &data));
  ASSERT_EQ((vek_long)n, count);
  EXPECT_EQ(-999, test_val);
  size_t differ = 0;
  for (size_t i = 0; i < n; i++) differ += !same_bits(values[i], data[i]);
  EXPECT_EQ(0u, differ);
  VEKClientFreePointer(data);
  EXPECT_TRUE(p.finish(20000)) << p.report();
}

#ifdef VEK_TEST_SERVER
/* The reference server on loopback over an empty temporary project; it
 * reports its port on a control connection and is stopped by the
 * destructor (and ends by itself after a minute without a client). */
struct ReferenceServer {
  pid_t pid = -1;
  unsigned short port = 0;
  std::string dir;

  bool start() {
    char tmpl[] = "/tmp/vek_transfer_test.XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    unsigned short control = 0;
    int listener = -1;
    if (_vek_listen_port(&control, 1, &listener)) return false;
    pid = fork();
    if (pid == 0) {
      setenv("VEK_TEST_IDLE_EXIT", "60", 1);
      std::string c = std::to_string(control);
      execl(VEK_TEST_SERVER, "VEKserver", "-control", c.c_str(), (char *)nullptr);
      _exit(127);
    }
    int fd = -1;
    int value = 0;
    bool ok = pid > 0 && _vek_wait_connect(listener, &fd, 0, 10) == 0 && _vek_read_int(fd, &value);
    _vek_empty_read_buffer();
    if (fd >= 0) close(fd);
    close(listener);
    port = (unsigned short)value;
    return ok && port != 0;
  }

  ~ReferenceServer() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status;
      for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(50000);
      if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
      }
    }
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

TEST_F(Transfer, MillionValuesRoundTripThroughTheReferenceServer) {
  const size_t n = 1000000;
  std::vector<double> values = awkward_values(n);
  ReferenceServer server;
  ASSERT_TRUE(server.start());
  VEKClientInitialize(VEK_PROTOCOL_VERSION);
  ASSERT_EQ(0, VEKClientConnect("127.0.0.1", server.port, server.dir.c_str()));
  ASSERT_EQ(0, VEKClientNewStudy("S", (server.dir + "/S").c_str()));
  ASSERT_EQ(0, VEKClientSetStudy("S"));
  ASSERT_EQ(0, VEKClientNewDirectory("D"));
  ASSERT_EQ(0, VEKClientSetDirectory("D"));
  ASSERT_EQ(0, VEKClientNewGridFile("G", 2, 0, 0, 0, 1, 1, 1, 1000, 1000, 1));
  ASSERT_EQ(0, VEKClientSetFile("G"));
  ASSERT_EQ(0, VEKClientNewDoubleVariable("V", 64, VEK_FORMAT_TYPE_FREE, 24, 12, nullptr));
  ASSERT_EQ(0, VEKClientSetVariable("V"));
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, (vek_long)n, values.data()));
  double tv = 0;
  vek_long count = 0;
  double *data = nullptr;
  ASSERT_EQ(0, VEKClientReadDoubleVariable(0, &tv, &count, &data));
  ASSERT_EQ((vek_long)n, count);
  /* Undefined samples come back as the server's test value. */
  size_t differ = 0;
  for (size_t i = 0; i < n; i++)
    differ += !same_bits(values[i] == kTest ? tv : values[i], data[i]);
  EXPECT_EQ(0u, differ);
  VEKClientFreePointer(data);
  EXPECT_EQ(0, VEKClientDisconnect());
}
#endif

TEST_F(Transfer, ReadThatFailsPartWayLeavesNoArray) {
  const int64_t huge_counts[] = {
      -1,                        /* never a count */
      (int64_t)1 << 61,          /* 2^64 bytes: beyond size_t */
      (int64_t)1 << 50,          /* 8 PiB: beyond any machine's memory */
      1000,                      /* then 500 values and the connection closes */
  };
  for (int64_t announced : huge_counts) {
    SCOPED_TRACE(announced);
    reset_client();
    Peer p;
    connect(p, kModern, {"CARCH"});
    Bytes answer = kw("SDATAF").i64(announced).dbl(kTest);
    if (announced == 1000) answer.append(doubles(std::vector<double>(500, 1.0)));
    p.expect(kw("CREADVARF").i64(-1).i64(-1).i32(0)).send(answer);
    if (announced == 1000) p.close_now();
    ErrorCapture errors;
    double test_val;
    vek_long count = 77;
    double *data = (double *)&count; /* must come back null, not freed */
    EXPECT_EQ(1, VEKClientReadDoubleVariable(0, &test_val, &count, &data));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, count);
    int expected = announced > 1000 ? VEK_RESULT_MEMORY : VEK_RESULT_COMMUNICATION;
    EXPECT_EQ(expected, VEKClientGetLastError());
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Transfer, LineFileWholeAndSingleLineWritesMapToFileSamplesBelow900000) {
  /* Three lines of 3, 1 and 4 samples: S = 8, L = 3, 5 data samples. */
  const std::vector<int> c = {3, 1, 4};
  const std::vector<double> data = {10, 11, 12, 13, 14};
  const Bytes staged = doubles({kTest, 10, 11, kTest, kTest, 12, 13, 14});
  Peer p;
  connect(p, 800000, {"CARCH", "CLFILECNT"});
  auto describe = [&](int times) {
    p.expect(kw("CFILEINFO")).send(file_info(true, VEK_FILE_TYPE_GRAVITY_LINES, 8, 3));
    for (int i = 0; i < times; i++) p.expect(kw("CLFILECNT")).send(line_counts(c));
  };
  auto write = [&](int64_t first, int64_t last, int64_t count) {
    return kw("CWRITVARF").i64(first).i64(last).i32(0).dbl(kTest).i64(count);
  };
  /* Whole variable, by (-1, -1) and by (1, S - L): S values, headers filled. */
  describe(1);
  p.expect(write(1, 8, 8).append(staged)).send(kw("SDONE"));
  describe(1);
  p.expect(write(1, 8, 8).append(staged)).send(kw("SDONE"));
  /* One whole line, the caller's count not used: its file samples. */
  describe(2);
  p.expect(write(6, 8, 3).append(doubles({12, 13, 14}))).send(kw("SDONE"));
  describe(2);
  p.expect(write(2, 3, 2).append(doubles({10, 11}))).send(kw("SDONE"));
  /* Across two lines, or a whole write of another count: unchanged. */
  describe(2);
  p.expect(write(2, 3, 2).append(doubles({11, 12}))).send(kw("SDONE"));
  describe(1);
  p.expect(write(-1, -1, 4).append(doubles({10, 11, 12, 13}))).send(kw("SDONE"));
  /* A line given fewer values than it holds: refused, nothing written. */
  describe(2);
  script_probe(p);

  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, 5, data.data()));
  EXPECT_EQ(0, VEKClientWriteDoubleVariableSub(1, 5, 0, kTest, 5, data.data()));
  EXPECT_EQ(0, VEKClientWriteDoubleVariableSub(3, 5, 0, kTest, 5, data.data() + 2));
  EXPECT_EQ(0, VEKClientWriteDoubleVariableSub(1, 2, 0, kTest, 2, data.data()));
  EXPECT_EQ(0, VEKClientWriteDoubleVariableSub(2, 3, 0, kTest, 2, data.data() + 1));
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, 4, data.data()));
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(3, 5, 0, kTest, 2, data.data() + 2));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Transfer, LineCountsThatContradictTheFileAreNeverFollowed) {
  const std::vector<double> data = {1, 2, 3, 4, 5};
  Peer p;
  connect(p, 800000, {"CARCH", "CLFILECNT"});
  ErrorCapture errors;
  /* Fewer entries than lines, a line without its header, counts that do not
   * add up to S: each refused with nothing written. */
  for (const std::vector<int>& c : std::vector<std::vector<int>>{{3, 1}, {3, 0, 5}, {3, 1, 3}}) {
    p.expect(kw("CFILEINFO")).send(file_info(true, VEK_FILE_TYPE_GRAVITY_LINES, 8, 3));
    p.expect(kw("CLFILECNT")).send(line_counts(c));
    script_probe(p);
  }
  /* The same for the line walk of a sub-range write. */
  p.expect(kw("CFILEINFO")).send(file_info(true, VEK_FILE_TYPE_GRAVITY_LINES, 8, 3));
  p.expect(kw("CLFILECNT")).send(line_counts({3, 1, 4}));
  p.expect(kw("CLFILECNT")).send(line_counts({3}));
  script_probe(p);
  /* No lines: the caller's values go as they are. */
  p.expect(kw("CFILEINFO")).send(file_info(true, VEK_FILE_TYPE_GRAVITY_LINES, 5, 0));
  p.expect(kw("CLFILECNT")).send(line_counts({}));
  p.expect(kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(kTest).i64(5).append(doubles(data))).send(kw("SDONE"));

  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, kTest, 5, data.data()));
    EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
    EXPECT_EQ(0, probe());
  }
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(3, 5, 0, kTest, 3, data.data()));
  EXPECT_EQ(0, probe());
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, 5, data.data()));
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Transfer, PlainWriteAt900000WithATransferFlagOrOutsideLineFiles) {
  const double d[] = {1, 2};
  const Bytes values = doubles({1, 2});
  Peer p;
  connect(p, 800000, {"CARCH"});
  p.expect(kw("CWRITVARF").i64(-1).i64(-1).i32(7).dbl(kTest).i64(2).append(values)).send(kw("SDONE"));
  p.expect(kw("CFILEINFO")).send(file_info(true, VEK_FILE_TYPE_GRID, 8, 3));
  p.expect(kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(kTest).i64(2).append(values)).send(kw("SDONE"));
  /* A line file, but the server cannot count line samples. */
  p.expect(kw("CFILEINFO")).send(file_info(true, VEK_FILE_TYPE_GRAVITY_LINES, 4, 2));
  p.expect(kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(kTest).i64(2).append(values)).send(kw("SDONE"));
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(7, kTest, 2, d));
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, 2, d));
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, 2, d));
  EXPECT_TRUE(p.finish()) << p.report();

  reset_client();
  Peer q;
  connect(q, 900000, {"CARCH", "CLFILECNT"});
  q.expect(kw("CWRITVARF").i64(1).i64(2).i32(0).dbl(kTest).i64(2).append(values)).send(kw("SDONE"));
  q.expect(kw("CWRITVARF").i64(-1).i64(-1).i32(0).dbl(kTest).i64(0)).send(kw("SDONE"));
  EXPECT_EQ(0, VEKClientWriteDoubleVariableSub(1, 2, 0, kTest, 2, d));
  EXPECT_EQ(0, VEKClientWriteDoubleVariable(0, kTest, 0, nullptr));
  EXPECT_TRUE(q.finish()) << q.report();
}

TEST_F(Transfer, SubRangeCallsAreRefusedByOldServersWithoutSendingAnything) {
  const double d[] = {5, 6};
  for (int version : {406, 410}) {
    SCOPED_TRACE(version);
    reset_client();
    Peer p;
    connect(p, version, {});
    /* The whole variable still reads from an old server, without numbers. */
    p.expect(kw("CREADVARF").i32(0)).send(kw("SDATAF").i32(1).dbl(kTest).dbl(3.5));
    script_probe(p);
    ErrorCapture errors;
    double tv;
    vek_long count;
    double *data = nullptr;
    ASSERT_EQ(0, VEKClientReadDoubleVariableSub(-1, -1, 0, &tv, &count, &data));
    EXPECT_EQ(1, count);
    EXPECT_EQ(3.5, data[0]);
    VEKClientFreePointer(data);
    EXPECT_EQ(1, VEKClientReadDoubleVariableSub(1, 10, 0, &tv, &count, &data));
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
    EXPECT_EQ(nullptr, data);
    EXPECT_TRUE(errors.contains("VEKClientReadDoubleVariableSub() does not work with a server version lower "
                                "than 4.0.7 for 4.0.x series and 4.1.1 for 4.1.x series"))
        << errors.joined();
    EXPECT_TRUE(errors.contains(VEK_UPGRADE_MESSAGE)) << errors.joined();
    errors.clear();
    EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(-1, -1, 0, kTest, 2, d));
    EXPECT_EQ(VEK_RESULT_COMMUNICATION, VEKClientGetLastError());
    EXPECT_TRUE(errors.contains("VEKClientWriteDoubleVariableSub() does not work")) << errors.joined();
    EXPECT_EQ(0, probe());
    EXPECT_TRUE(p.finish()) << p.report();
  }
  for (int version : {409, 411}) {
    SCOPED_TRACE(version);
    reset_client();
    Peer p;
    connect(p, version, {});
    p.expect(kw("CREADVARF").i32(1).i32(10).i32(0)).send(kw("SDATAF").i32(0).dbl(kTest));
    p.expect(kw("CFILEINFO")).send(file_info(false, VEK_FILE_TYPE_POINTS, 10, 0));
    p.expect(kw("CWRITVARF").i32(1).i32(2).i32(0).dbl(kTest).i32(2).dbl(5).dbl(6)).send(kw("SDONE"));
    double tv;
    vek_long count;
    double *data = nullptr;
    EXPECT_EQ(0, VEKClientReadDoubleVariableSub(1, 10, 0, &tv, &count, &data));
    EXPECT_EQ(0, count);
    EXPECT_NE(nullptr, data);
    VEKClientFreePointer(data);
    EXPECT_EQ(0, VEKClientWriteDoubleVariableSub(1, 2, 0, kTest, 2, d));
    EXPECT_TRUE(p.finish()) << p.report();
  }
}

TEST_F(Transfer, LineTransfersNeedCLFILECNTAndReturnTheCode) {
  const double d[] = {7, 8};
  {
    Peer p;
    connect(p, kModern, {"CARCH"});
    script_probe(p);
    ErrorCapture errors;
    double tv;
    int count;
    double *data = nullptr;
    EXPECT_EQ(2, VEKClientReadLineDoubleVariable(1, &tv, &count, &data));
    EXPECT_TRUE(errors.contains("Server Request not recognized (CLFILECNT)")) << errors.joined();
    EXPECT_EQ(2, VEKClientWriteLineDoubleVariable(1, kTest, 2, d));
    EXPECT_EQ(0, probe());
    EXPECT_TRUE(p.finish()) << p.report();
  }
  reset_client();
  Peer p;
  connect(p, kModern, {"CARCH", "CLFILECNT"});
  p.expect(kw("CREADLINF").i32(4)).send(kw("SDATAF").i32(2).dbl(-1).dbl(7).dbl(NAN));
  p.expect(kw("CWRITLINF").i32(4).i32(2).dbl(kTest).dbl(7).dbl(8)).send(kw("SDONE"));
  p.expect(kw("CREADLINF").i32(5)).send(kw("SDATAF").i32(-3).dbl(-1));
  script_probe(p);
  double tv = 0;
  int count = 0;
  double *data = nullptr;
  ASSERT_EQ(0, VEKClientReadLineDoubleVariable(4, &tv, &count, &data));
  EXPECT_EQ(2, count);
  EXPECT_EQ(-1, tv);
  EXPECT_EQ(7, data[0]);
  EXPECT_TRUE(std::isnan(data[1]));
  VEKClientFreePointer(data);
  EXPECT_EQ(0, VEKClientWriteLineDoubleVariable(4, kTest, 2, d));
  EXPECT_EQ(2, VEKClientReadLineDoubleVariable(5, &tv, &count, &data));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(0, count);
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

TEST_F(Transfer, ArraysThatCannotExistAreRefusedWithCode1BeforeSending) {
  const double d[] = {1};
  Peer p;
  connect(p, 900000, {"CARCH", "CLFILECNT"});
  script_probe(p);
  double tv;
  vek_long count;
  double *data;
  EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, kTest, 3, nullptr));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientWriteDoubleVariable(0, kTest, -1, d));
  EXPECT_EQ(1, VEKClientWriteDoubleVariableSub(1, 1, 0, kTest, std::numeric_limits<vek_long>::max(), d));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(1, VEKClientWriteLineDoubleVariable(1, kTest, 2, nullptr));
  EXPECT_EQ(1, VEKClientWriteLineDoubleVariable(1, kTest, -2, d));
  EXPECT_EQ(1, VEKClientReadDoubleVariable(0, nullptr, &count, &data));
  EXPECT_EQ(1, VEKClientReadDoubleVariableSub(1, 2, 0, &tv, nullptr, &data));
  EXPECT_EQ(VEK_RESULT_USAGE, VEKClientGetLastError());
  EXPECT_EQ(0, probe());
  EXPECT_TRUE(p.finish()) << p.report();
}

}  // namespace
