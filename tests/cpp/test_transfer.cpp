// Variable data transfer: reads that fail part-way, reads handed to a sink
// window by window, the header samples of line Files on servers below
// 900000, the versions that take sample ranges, and the refusals that send
// nothing.
#include <limits>

#include "client_test.h"

using namespace vekt;

namespace {

const double kTest = 1.234e30;

class Transfer : public ClientTest {};

/* A read that must hand out these values, or nothing at all. */
std::function<int()> reads(vek_long first, vek_long last, std::vector<double> want) {
  return [=] {
    vek_long count = 77;  // data starts as a stale, non-null pointer
    double tv = 0, *data = (double *)&count;
    int r = first == -2 ? VEKClientReadDoubleVariable(0, &tv, &count, &data)
                        : VEKClientReadDoubleVariableSub(first, last, 0, &tv, &count, &data);
    EXPECT_EQ(r != 0, data == nullptr);
    std::vector<double> got(data, data + (data ? count : 0));
    EXPECT_EQ(want, got);
    VEKClientFreePointer(data);
    return r;
  };
}

TEST_F(Transfer, Reads) {
  auto answer = [](int64_t announced, int values) {
    return kw("SDATAF").i64(announced).dbl(kTest).append(doubles(std::vector<double>(values, 1.0)));
  };
  const Bytes whole = kw("CREADVARF").i64(-1).i64(-1).i32(0), range = kw("CREADVARF").i32(1).i32(10).i32(0);
  run({
      ex("no values", {{whole, answer(0, 0)}}, reads(-2, 0, {})),
      ex("never a count", {{whole, answer(-1, 0)}}, reads(-2, 0, {}), VEK_RESULT_COMMUNICATION),
      ex("2^64 bytes", {{whole, answer((int64_t)1 << 61, 0)}}, reads(-2, 0, {}), VEK_RESULT_MEMORY),
      ex("8 PiB", {{whole, answer((int64_t)1 << 50, 0)}}, reads(-2, 0, {}), VEK_RESULT_MEMORY),
      ex("closed after half the values", {{whole, answer(1000, 500)}}, reads(-2, 0, {}), VEK_RESULT_COMMUNICATION, "",
         kModern, {"CARCH"}, true),
      ex("no output", {}, calls(VEKClientReadDoubleVariable, 0, nullptr, &g_count, &g_data), VEK_RESULT_USAGE),
      ex("no count", {}, calls(VEKClientReadDoubleVariableSub, 1, 2, 0, &g_test, nullptr, &g_data), VEK_RESULT_USAGE),
      // Sample ranges: 4.0.7 to 4.0.9, and from 4.1.1 on; ints below 400000.
      ex("range at 406", {}, reads(1, 10, {}), VEK_RESULT_COMMUNICATION,
         "VEKClientReadDoubleVariableSub() does not work with a server version lower than 4.0.7 for 4.0.x series "
         "and 4.1.1 for 4.1.x series",
         406, {}),
      ex("range at 407", {{range, kw("SDATAF").i32(1).dbl(kTest).dbl(3.5)}}, reads(1, 10, {3.5}), 0, "", 407, {}),
      ex("range at 409", {{range, kw("SDATAF").i32(0).dbl(kTest)}}, reads(1, 10, {}), 0, "", 409, {}),
      ex("range at 410", {}, reads(1, 10, {}), VEK_RESULT_COMMUNICATION, VEK_UPGRADE_MESSAGE, 410, {}),
      ex("range at 411", {{range, kw("SDATAF").i32(0).dbl(kTest)}}, reads(1, 10, {}), 0, "", 411, {}),
  });
}

/* A sink that keeps what it is given, in windows of `room` values, and
 * refuses any count but `accept`. */
struct Kept {
  size_t room;
  int64_t accept;
  std::vector<double> window, values;
  double test = 0;
  std::vector<std::pair<size_t, size_t>> placed;
};
int kept_start(void *c, vek_long count, double test) {
  Kept *k = (Kept *)c;
  k->test = test;
  if (count != k->accept) return 1;
  k->values.assign((size_t)count, -1);
  k->window.assign(k->room, 0);
  return 0;
}
double *kept_window(void *c, size_t, size_t *room) {
  Kept *k = (Kept *)c;
  *room = k->room;
  return k->room ? k->window.data() : nullptr;
}
void kept_placed(void *c, size_t at, size_t n) {
  Kept *k = (Kept *)c;
  k->placed.push_back({at, n});
  std::copy_n(k->window.begin(), n, k->values.begin() + (ptrdiff_t)at);
}

std::vector<std::pair<double, double>> told;
int tell(double done, double total) {
  told.push_back({done, total});
  return 0;
}

/* Values handed to a sink window by window, every one in its place, the
 * host told of the progress of the whole; a count the sink refuses, a sink
 * with no room or an answer cut short fail with code 2 and leave nothing
 * behind on the connection. */
TEST_F(Transfer, ReadsIntoASink) {
  std::vector<double> ten;
  for (int i = 0; i < 10; i++) ten.push_back(i + 0.5);
  const Bytes whole = kw("CREADVARF").i64(-1).i64(-1).i32(0);
  const Bytes answer = kw("SDATAF").i64(10).dbl(-7).append(doubles(ten));
  const Bytes cut = kw("SDATAF").i64(10).dbl(-7).append(doubles({0.5, 1.5, 2.5, 3.5}));
  struct Row {
    const char *name;
    Bytes answer;
    size_t room;
    int64_t accept;
    int code;
    std::vector<std::pair<size_t, size_t>> placed;
    bool closes;
  } rows[] = {
      {"in windows of 3", answer, 3, 10, 0, {{0, 3}, {3, 3}, {6, 3}, {9, 1}}, false},
      {"in one window", answer, 64, 10, 0, {{0, 10}}, false},
      {"no values", kw("SDATAF").i64(0).dbl(-7), 3, 0, 0, {}, false},
      {"a count refused", answer, 3, 9, VEK_RESULT_COMMUNICATION, {}, false},
      {"never a count", kw("SDATAF").i64(-1).dbl(-7), 3, -1, VEK_RESULT_COMMUNICATION, {}, false},
      {"no room", answer, 0, 10, VEK_RESULT_COMMUNICATION, {}, false},
      {"closed after 4 values", cut, 3, 10, VEK_RESULT_COMMUNICATION, {{0, 3}}, true},
  };
  for (const Row &r : rows) {
    Kept k{r.room, r.accept, {}, {}, 0, {}};
    told.clear();
    run({ex(
        r.name, {{whole, r.answer}},
        [&] {
          vek_value_sink sink = {kept_start, kept_window, kept_placed, &k};
          _vek_progress_function = tell;
          int code = _vek_read_double_variable_into(0, &sink);
          _vek_progress_function = nullptr;
          return code;
        },
        r.code, "", kModern, {"CARCH"}, r.closes)});
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.placed, k.placed);
    if (r.code) continue;
    EXPECT_EQ(-7, k.test);
    EXPECT_EQ(std::vector<double>(ten.begin(), ten.begin() + r.accept), k.values);
    if (r.accept > 0) {
      ASSERT_FALSE(told.empty());
      EXPECT_EQ(std::make_pair(0.0, 10.0), told.front());
      EXPECT_EQ(std::make_pair(10.0, 10.0), told.back());
    }
  }
  // A plain read that grows its array (past 16 values in this build): the
  // host is told of one transfer.
  std::vector<double> forty(ten);
  for (int i = 0; i < 3; i++) forty.insert(forty.end(), ten.begin(), ten.end());
  told.clear();
  auto told_read = [&] {
    _vek_progress_function = tell;
    return reads(-2, 0, forty)();
  };
  run({ex("grown", {{whole, kw("SDATAF").i64(40).dbl(-7).append(doubles(forty))}}, told_read, 0, "", kModern,
          {"CARCH"})});
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(std::make_pair(40.0, 40.0), told.back());
  for (const auto &t : told) EXPECT_EQ(40.0, t.second);
}

std::pair<Bytes, Bytes> described(int type, int64_t samples, int lines) {
  return {kw("CFILEINFO"), file_info_answer(type, samples, lines)};
}
std::pair<Bytes, Bytes> counted(const std::vector<int> &c) { return {kw("CLFILECNT"), line_counts_answer(c)}; }
std::pair<Bytes, Bytes> written(int64_t first, int64_t last, const std::vector<double> &v, int flag = 0) {
  return {kw("CWRITVARF").i64(first).i64(last).i32(flag).dbl(kTest).i64((int64_t)v.size()).append(doubles(v)),
          kw("SDONE")};
}

const double kData[] = {10, 11, 12, 13, 14};

std::function<int()> writes(vek_long first, vek_long last, vek_long count, const double *data = kData) {
  return [=] {
    if (first == -2) return VEKClientWriteDoubleVariable(0, kTest, count, data);
    return VEKClientWriteDoubleVariableSub(first, last, 0, kTest, count, data);
  };
}

/* Writes into line Files map to file samples below 900000: three lines of
 * 3, 1 and 4 file samples, S = 8, L = 3, 5 data samples. */
TEST_F(Transfer, Writes) {
  const vek_long too_many = std::numeric_limits<vek_long>::max();
  const int GL = VEK_FILE_TYPE_GRAVITY_LINES;
  const std::vector<int> c = {3, 1, 4};
  const std::vector<double> staged = {kTest, 10, 11, kTest, kTest, 12, 13, 14};
  const std::vector<std::string> lines = {"CARCH", "CLFILECNT"};
  const auto d = described(GL, 8, 3), cc = counted(c);
  auto row = [&](const char *name, std::vector<std::pair<Bytes, Bytes>> talk, std::function<int()> call, int code = 0,
                 int version = 800000) { return Exchange{name, talk, call, code, "", version, lines}; };
  run({
      // The whole variable, by (-1, -1) or (1, S - L): headers filled in.
      row("whole", {d, cc, written(1, 8, staged)}, writes(-2, 0, 5)),
      row("whole by range", {d, cc, written(1, 8, staged)}, writes(1, 5, 5)),
      // One whole line: its file samples, whatever count the caller gave.
      row("third line", {d, cc, cc, written(6, 8, {12, 13, 14})}, writes(3, 5, 5, kData + 2)),
      row("first line", {d, cc, cc, written(2, 3, {10, 11})}, writes(1, 2, 2)),
      // Across two lines, or another count: unchanged.
      row("across lines", {d, cc, cc, written(2, 3, {11, 12})}, writes(2, 3, 2, kData + 1)),
      row("another count", {d, cc, written(-1, -1, {10, 11, 12, 13})}, writes(-2, 0, 4)),
      // Refused, nothing written: fewer values than the line holds, or
      // counts that contradict the File.
      row("a line given too few", {d, cc, cc}, writes(3, 5, 2), VEK_RESULT_USAGE),
      ex("fewer counts than lines", {d, counted({3, 1})}, writes(-2, 0, 5), VEK_RESULT_USAGE,
         "(2 entries) do not match its description (3 lines)", 800000, lines),
      row("a line without header", {d, counted({3, 0, 5})}, writes(-2, 0, 5), VEK_RESULT_USAGE),
      ex("counts not adding up", {d, counted({3, 1, 3})}, writes(-2, 0, 5), VEK_RESULT_USAGE,
         "(3 entries) do not match its description (3 lines)", 800000, lines),
      row("the line walk's counts short", {d, cc, counted({3})}, writes(3, 5, 3), VEK_RESULT_USAGE),
      row("the description refused", {{kw("CFILEINFO"), kw("SERROR").str("no file")}}, writes(-2, 0, 5),
          VEK_RESULT_USAGE),
      // Not staged: no lines, another type, a server without line counts,
      // a transfer flag, a server of 900000.
      row("no lines", {described(GL, 5, 0), counted({}), written(-1, -1, {10, 11, 12, 13, 14})}, writes(-2, 0, 5)),
      row("a grid", {described(VEK_FILE_TYPE_GRID, 8, 3), written(-1, -1, {10, 11})}, writes(-2, 0, 2)),
      ex("without line counts", {described(GL, 4, 2), written(-1, -1, {10, 11})}, writes(-2, 0, 2), 0, "", 800000),
      row("a transfer flag", {written(-1, -1, {1, 2}, 7)},
          [] {
            double d[] = {1, 2};
            return VEKClientWriteDoubleVariable(7, kTest, 2, d);
          }),
      row("900000", {written(1, 2, {10, 11})}, writes(1, 2, 2), 0, 900000),
      row("900000, nothing", {written(-1, -1, {})}, writes(-2, 0, 0, nullptr), 0, 900000),
      // Refused before anything is sent, and the versions that take sample ranges.
      ex("no values", {}, writes(-2, 0, 3, nullptr), VEK_RESULT_USAGE),
      ex("negative count", {}, writes(-2, 0, -1), VEK_RESULT_USAGE),
      ex("count beyond size_t", {}, writes(1, 1, too_many), VEK_RESULT_USAGE),
      ex("range at 406", {}, writes(-1, -1, 2), VEK_RESULT_COMMUNICATION,
         "VEKClientWriteDoubleVariableSub() does not work", 406, {}),
      ex("range at 410", {}, writes(1, 2, 2), VEK_RESULT_COMMUNICATION, "", 410, {}),
      ex("range at 409",
         {{kw("CFILEINFO"), file_info_answer(0, 10, 0, false)},
          {kw("CWRITVARF").i32(1).i32(2).i32(0).dbl(kTest).i32(2).dbl(10).dbl(11), kw("SDONE")}},
         writes(1, 2, 2), 0, "", 409, {}),
  });
  // The progress of a write (after the line counts read) is told up to its last value.
  told.clear();
  run({row("whole, told", {d, cc, written(1, 8, staged)}, [] {
    _vek_progress_function = tell;
    return writes(-2, 0, 5)();
  })});
  EXPECT_EQ((std::vector<std::pair<double, double>>{{0, 3}, {3, 3}, {0, 8}, {8, 8}}), told);
}

/* The line requests return their code. */
std::function<int()> line_call(std::function<int()> f) {
  return [=] {
    int r = f();
    EXPECT_EQ(VEKClientGetLastError(), r);
    return r != 0;
  };
}

TEST_F(Transfer, LineTransfers) {
  const std::vector<std::string> lines = {"CARCH", "CLFILECNT"};
  const double d[] = {7, 8};
  auto read_line = [](int line, std::vector<double> want) {
    return line_call([=] {
      double tv = 0, *data = nullptr;
      int count = -1;
      int r = VEKClientReadLineDoubleVariable(line, &tv, &count, &data);
      EXPECT_EQ(want, std::vector<double>(data, data + (data ? count : 0)));
      EXPECT_EQ(r != 0, data == nullptr);
      VEKClientFreePointer(data);
      return r;
    });
  };
  run({
      ex("read", {{kw("CREADLINF").i32(4), kw("SDATAF").i32(2).dbl(-1).dbl(7).dbl(-8)}}, read_line(4, {7, -8}), 0, "",
         kModern, lines),
      ex("written", {{kw("CWRITLINF").i32(4).i32(2).dbl(kTest).dbl(7).dbl(8), kw("SDONE")}},
         line_call(calls(VEKClientWriteLineDoubleVariable, 4, kTest, 2, d)), 0, "", kModern, lines),
      ex("read unsupported", {}, read_line(1, {}), VEK_RESULT_COMMUNICATION,
         "Server Request not recognized (CLFILECNT)"),
      ex("write unsupported", {}, line_call(calls(VEKClientWriteLineDoubleVariable, 1, kTest, 2, d)),
         VEK_RESULT_COMMUNICATION),
      ex("write of no values", {}, line_call(calls(VEKClientWriteLineDoubleVariable, 1, kTest, 2, nullptr)),
         VEK_RESULT_USAGE, "", kModern, lines),
      ex("write of a negative count", {}, line_call(calls(VEKClientWriteLineDoubleVariable, 1, kTest, -2, d)),
         VEK_RESULT_USAGE, "", kModern, lines),
  });
}

}  // namespace
