// Every allocation a request makes can fail: each one in turn, the request
// gives its code, keeps nothing (the sanitized build's leak check sees it)
// and the connection serves the next request.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "server_harness.h"

namespace {

struct Case {
  const char *name;
  int server;                 /* 0: current, 1: 800000 without the existence and alpha requests */
  const char *file, *var;     /* made current before each call (null: none) */
  std::function<void()> call; /* leaves its result code */
  int ok;                     /* its code when no allocation fails */
  std::set<int> failed;       /* the codes allowed when one does */
};

int code() { return VEKClientGetLastError(); }
int scratch;

/* A case as a call, so that its fields pack. */
Case row(const char *name, int server, const char *file, const char *var, std::function<void()> call, int ok,
         std::set<int> failed) {
  return {name, server, file, var, call, ok, failed};
}

/* The code of a call that hands out a name list, the list released. */
template <class F>
int names(F list) {
  int n;
  char **v;
  list(&n, &v);
  VEKClientFreeStringArray(n, v);
  return code();
}

}  // namespace

TEST(Allocation, EveryAllocationOfEveryRequestCanFail) {
  void *held = _vek_malloc(1); /* the count that finds a leak sees a block */
  EXPECT_EQ(1, _vek_live_blocks());
  _vek_free(held);
  vsrv::Project proj;
  vsrv::Server srv[2];
  ASSERT_TRUE(vsrv::start(srv[0], proj.path));
  ASSERT_TRUE(vsrv::start(
      srv[1], proj.path, {"VEK_TEST_VERSION=800000", "VEK_TEST_SUPPORTED=CARCH,CCOMGET,CMACROALP,CLFILECNT,CVARMNEW"}));
  int current = -1;
  auto connect = [&](int s) {
    current = s;
    return vsrv::connect(srv[s]);
  };
  static const std::vector<double> nine(9, 1.5);
  const Case cases[] = {
      row("handshake", 1, nullptr, nullptr, [&] { connect(1); }, 0, {3}),
      row("study list", 0, nullptr, nullptr, [] { names(VEKClientGetStudyList); }, 0, {4}),
      row("file list by type", 0, "Grid3D", nullptr,
          [] { names([](int *n, char ***v) { return VEKClientGetFileListByType(3, -1, n, v); }); }, 0, {4}),
      row("variable list", 0, "Grid3D", nullptr, [] { names(VEKClientGetVariableList); }, 0, {1}),
      row("file exists by list", 1, "Grid3D", nullptr, [] { VEKClientFileExists("Lines", &scratch); }, 0, {4}),
      row("directory exists by list", 1, "Grid3D", nullptr, [] { VEKClientDirectoryExists("Mining", &scratch); }, 0,
          {1}),
      row("macro indices with names", 0, "Grid3D", "Simu[xxxxx]",
          [] {
            int n, *ind;
            char **alpha;
            VEKClientGetMacroIndicesWithAlpha(&n, &ind, &alpha);
            VEKClientFreePointer(ind);
            VEKClientFreeStringArray(n, alpha);
          },
          0, {4}),
      row("alpha index by names", 1, "Grid3D", "Simu[xxxxx]", [] { VEKClientSetAlphaIndice("mid"); }, 0, {1}),
      row("read", 0, "Samples", "Cu", [] { vsrv::read_all(); }, 0, {4}),
      row("read line", 0, "Lines", "Gravity",
          [] {
            double test, *data = nullptr;
            int n;
            VEKClientReadLineDoubleVariable(2, &test, &n, &data);
            VEKClientFreePointer(data);
          },
          0, {4}),
      row("staged line write", 1, "Lines", "Gravity", [] { VEKClientWriteDoubleVariable(0, 1.234e30, 9, nine.data()); },
          0, {1, 4}),
      row("server error", 0, "Grid3D", nullptr, [] { VEKClientSetVariable("NoSuch"); }, 3, {3}),
  };
  vekt::ErrorCapture quiet;
  _vek_drain_wait_ms = 20;
  static int kind; /* what the host is told of each failure */
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int n = 0;
    for (long left = 0; left == 0 && n < 1000;) {
      n++;
      ASSERT_EQ(0, current != c.server ? connect(c.server) : 0);
      ASSERT_EQ(0, c.file ? vsrv::target(c.file, c.var) : 0);
      kind = VEK_FAIL_NONE;
      _vek_failure_function = [](int, int k) { kind = k; };
      _vek_fail_allocation(n);
      c.call();
      int got = code();
      left = _vek_fail_allocation(0);
      if (left > 0) {
        EXPECT_EQ(c.ok, got) << "nothing failed";
        break;
      }
      EXPECT_EQ(1, c.failed.count(got)) << "allocation " << n << " failed with code " << got;
      EXPECT_TRUE(got != VEK_RESULT_MEMORY || kind == VEK_FAIL_MEMORY) << "allocation " << n << ", kind " << kind;
      ASSERT_EQ(0, VEKClientIsConnected() ? 0 : connect(c.server)) << "allocation " << n;
      ASSERT_EQ(0, names(VEKClientGetStudyList)) << "the request after allocation " << n;
    }
    EXPECT_GT(n, 1) << "the request allocated nothing";
  }
  _vek_drain_wait_ms = 500;
  _vek_failure_function = nullptr;
  VEKClientDisconnect();
  vsrv::stop_clean(srv[0]);
  vsrv::stop_clean(srv[1]);
}
