/*
 * Hostile streams: each connection makes an item current and then sends one
 * request whose arguments are random, cut anywhere. The server must answer or
 * end that session, never fail, and the tree it leaves must pass its own
 * start-up check.
 */
#include <gtest/gtest.h>

#include <random>

#include "server_harness.h"

using vsrv::Project;
using vsrv::Server;

namespace {

const char *const kKeywords[] = {
    "CHELLO",    "CNEWSESS",  "CVEKDATA",  "CSUPREQ",   "CARCH",     "CSTUDYLST", "CDIRLST",   "CFILELST",
    "CFILETLST", "CVARLST",   "CVARTLST",  "CDIRXIST",  "CFILEXIST", "CVARXIST",  "CSTUDYSET", "CDIRSET",
    "CFILESET",  "CVARSET",   "CSELSET",   "CINDSET",   "CINDASET",  "CUNITMODE", "CDISTUSET", "CUNITCR",
    "CVARUNIT",  "CFILEINFO", "CVARINFO",  "CCOMGET",   "CMACROIND", "CMACROALP", "CLFILECNT", "CSTUDYNEW",
    "CDIRNEW",   "CGFILENEW", "CPFILENEW", "CPFILEAPP", "CVARFNEW",  "CVARMNEW",  "CVARDEL",   "CFILEDEL",
    "GRIDMODR",  "GRIDMODM",  "GRIDMODO",  "CREADVARF", "CREADLINF", "CWRITVARF", "CWRITLINF", "CJUNK"};
const char *const kFiles[] = {"Grid3D", "Grid2D", "Samples", "Lines", "Cores"};
const char *const kVars[] = {"Grade", "Simu[xxxxx]", "Lithology", "X", "Cu", "Inside", "Gravity", "Z", "Depth"};

/* Random arguments: small and boundary ints, short strings (some with
 * hostile lengths), doubles, raw bytes; the whole cut at a random point. */
vekt::Bytes junk(std::mt19937 &rng) {
  vekt::Bytes b;
  const int32_t ints[] = {0, 1, 2, 3, -1, -2, 5, 24, 12, 1000, 0x7fffffff, (int32_t)0x80000000};
  const char *const texts[] = {"", "Demo", "Mining", "Grade", "x", "../up", "a/b", ".h", "Simu[00002]", "m", "mid"};
  int n = (int)(rng() % 12);
  for (int i = 0; i < n; i++) {
    switch (rng() % 6) {
      case 0: b.i32(ints[rng() % 12]); break;
      case 1: b.i32((int32_t)(rng() % 40) - 5); break;
      case 2: b.str(texts[rng() % 11]); break;
      case 3: b.dbl((double)(int)(rng() % 200) - 50.0); break;
      case 4: b.u32(rng() % 3 == 0 ? 0xffffffffu : (uint32_t)(rng() % 20000)); break;
      default:
        for (int k = (int)(rng() % 16); k > 0; k--) b.raw({(uint8_t)rng()});
    }
  }
  if (rng() % 3 == 0 && b.size() > 0) b = b.prefix(rng() % b.size());
  return b;
}

}  // namespace

TEST(ServerFuzz, RandomRequestsNeverBreakTheServerOrTheTree) {
  Project proj;
  Server srv;
  ASSERT_TRUE(vsrv::start(srv, proj.path));
  /* VEK_FUZZ_SEED and VEK_FUZZ_ROUNDS explore further by hand. */
  const char *seed = getenv("VEK_FUZZ_SEED"), *rounds = getenv("VEK_FUZZ_ROUNDS");
  std::mt19937 rng(seed ? (unsigned)atol(seed) : 20240611u);
  int total = rounds ? atoi(rounds) : 300;
  for (int round = 0; round < total; round++) {
    int fd = vsrv::dial(srv.port);
    ASSERT_GE(fd, 0) << "round " << round;
    vekt::Bytes b;
    b.append(vekt::kw("CSTUDYSET").str("Demo")).append(vekt::kw("CDIRSET").str("Mining"));
    b.append(vekt::kw("CFILESET").str(kFiles[rng() % 5])).append(vekt::kw("CVARSET").str(kVars[rng() % 9]));
    if (rng() % 2) b.append(vekt::kw("CINDSET").i32((int32_t)(rng() % 4)));
    if (rng() % 4 == 0) b.append(vekt::kw("CSELSET").str("Inside"));
    b.append(vekt::kw(kKeywords[rng() % (sizeof kKeywords / sizeof *kKeywords)])).append(junk(rng));
    ASSERT_EQ((ssize_t)b.size(), send(fd, b.b.data(), b.size(), MSG_NOSIGNAL));
    shutdown(fd, SHUT_WR);
    /* The server answers what it could read, then sees the end. */
    char buf[65536];
    long end = vsrv::now_ms() + 15000;
    for (;;) {
      struct pollfd p = {fd, POLLIN, 0};
      ASSERT_EQ(1, poll(&p, 1, 5000)) << "round " << round << ": the server keeps the session open";
      if (recv(fd, buf, sizeof buf, 0) <= 0) break;
      ASSERT_LT(vsrv::now_ms(), end);
    }
    close(fd);
    ASSERT_GT(srv.pid, 0);
    ASSERT_EQ(0, waitpid(srv.pid, &srv.status, WNOHANG)) << "round " << round << ": the server ended";
  }
  vsrv::stop_clean(srv);
  /* What the requests changed is a tree the server accepts. */
  Server again;
  ASSERT_TRUE(vsrv::start(again, proj.path)) << vsrv::stderr_text(again);
  ASSERT_EQ(0, vsrv::connect(again));
  int n = 0;
  char **names = nullptr;
  EXPECT_EQ(0, VEKClientGetStudyList(&n, &names));
  VEKClientFreeStringArray(n, names);
  EXPECT_EQ(0, VEKClientDisconnect());
  vsrv::stop_clean(again);
}
