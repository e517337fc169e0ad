// The reference server's durability (what it acknowledged is on disk, what
// failed left nothing) and its lifetime.
#include <errno.h>
#include <gtest/gtest.h>

#include <functional>

#include "server_harness.h"

using namespace vsrv;

TEST_F(ServerTest, AcknowledgedChangesSurviveSigkill) {
  /* A write, killed right after its answer. */
  ASSERT_EQ(0, target("Grid3D", "Grade"));
  std::vector<double> g = read_all();
  ASSERT_EQ(24u, g.size());
  for (size_t i = 0; i < g.size(); i++) g[i] = 0.5 * (double)i;
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 24, g.data()));
  restart();
  ASSERT_EQ(0, target("Grid3D", "Grade"));
  EXPECT_EQ(g, read_all());

  /* A new variable with values, a new points File, a grid change. */
  ASSERT_EQ(0, VEKClientNewDoubleVariable("Fresh", 32, 0, 10, 3, "m") || VEKClientSetVariable("Fresh"));
  std::vector<double> f(24, 4.5);
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 24, f.data()));
  double x[3] = {1, 2, 3}, y[3] = {4, 5, 6}, z[3] = {7, 8, 9};
  ASSERT_EQ(0, VEKClientNewPointsFile("Pts", 3, x, y, z));
  ASSERT_EQ(0, VEKClientGridModifyOrigin(1, 2, 3));
  /* Values too many for the description, in data files of their own. */
  std::vector<double> w(200);
  for (size_t i = 0; i < w.size(); i++) w[i] = 0.25 * (double)i;
  ASSERT_EQ(0, VEKClientNewPointsFile("Wide", 200, w.data(), w.data(), w.data()));
  ASSERT_EQ(0, target("Wide") || VEKClientNewDoubleVariable("V", 32, 0, 10, 3, "m") || VEKClientSetVariable("V"));
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 200, w.data()));
  restart();
  ASSERT_EQ(0, target("Wide", "V"));
  EXPECT_EQ(w, read_all());
  ASSERT_EQ(0, target("Grid3D", "Fresh"));
  EXPECT_EQ(f, read_all());
  VEKFileInfo fi;
  ASSERT_EQ(0, VEKClientGetFileInfo(&fi));
  EXPECT_EQ(std::make_pair(1.0, 3.0), std::make_pair(fi.X0, fi.Z0));
  ASSERT_EQ(0, target("Pts", "Z"));
  EXPECT_EQ((std::vector<double>{7, 8, 9}), read_all());

  /* Appends and deletions. */
  ASSERT_EQ(0, VEKClientPointsFileAppend(3, x, y, z));
  ASSERT_EQ(0, target("Grid3D", "Fresh") || VEKClientDeleteVariable());
  ASSERT_EQ(0, target("Grid2D") || VEKClientDeleteFile());
  std::vector<std::string> files = list_of(VEKClientGetFileList);
  restart();
  ASSERT_EQ(0, VEKClientSetStudy("Demo") || VEKClientSetDirectory("Mining"));
  EXPECT_EQ(files, list_of(VEKClientGetFileList));
  ASSERT_EQ(0, target("Pts", "X"));
  EXPECT_EQ((std::vector<double>{1, 2, 3, 1, 2, 3}), read_all());
  ASSERT_EQ(0, target("Grid3D"));
  int exists = 1;
  ASSERT_EQ(0, VEKClientVariableExists("Fresh", &exists));
  EXPECT_EQ(0, exists);
  ASSERT_EQ(0, VEKClientDisconnect());
  stop_clean(srv);
  EXPECT_FALSE(has_leftovers(proj.path));
}

TEST(ServerDurability, LeftoversOfAnInterruptedChangeAreSwept) {
  Project proj;
  auto before = snapshot(proj.path);
  /* What a crash in the middle of a File creation and of a write leaves. */
  std::filesystem::create_directories(proj.file("Demo/Mining/.vek-new-123-1"));
  std::filesystem::copy_file(proj.file("Demo/Mining/Samples/Cu.bin"), proj.file("Demo/Mining/Samples/.vek-tmp-9-9"));
  std::filesystem::copy_file(proj.file("Demo/Mining/Samples/Cu.bin"), proj.file("Demo/Mining/Samples/Cu.1.bin"));
  std::filesystem::copy_file(proj.file("Demo/Mining/Samples/Cu.bin"), proj.file("Demo/Mining/Samples/Q.bin"));
  Server srv;
  ASSERT_TRUE(start(srv, proj.path)) << stderr_text(srv);
  EXPECT_EQ(before, snapshot(proj.path));
  stop_clean(srv);
}

/* A full or failing disk at any step of a commit: "SERROR" with the system's
 * reason, the server goes on serving, and once the next start has swept what
 * the change left, the tree is what it was. */
TEST(ServerDurability, StorageFaultsChangeNothing) {
  /* 24 values live in the description; a points File of 200 samples,
   * added to each project beforehand, takes a data file of its own. */
  auto writing = [](const char *file, const char *var, int n) -> std::function<int()> {
    return [=] {
      return target(file, var) || VEKClientWriteDoubleVariable(0, 1.234e30, n, std::vector<double>(n, 9).data());
    };
  };
  std::function<int()> write = writing("Grid3D", "Grade", 24), wide_write = writing("Wide", "V", 200);
  std::function<int()> create = [] {
    return target("Grid3D") || VEKClientNewGridFile("Fresh", 2, 0, 0, 0, 1, 1, 1, 3, 2, 1);
  };
  std::function<int()> erase = [] { return target("Grid2D") || VEKClientDeleteFile(); };
  std::function<int()> new_dir = [] { return VEKClientSetStudy("Demo") || VEKClientNewDirectory("New"); };
  const struct {
    const char *step;
    const std::function<int()> &change;
    std::string fault;
  } cases[] = {
      /* A whole write's data file has no name until it is complete. */
      {"new data file written", wide_write, "write:*/#*:" + std::to_string(ENOSPC)},
      {"new data file flushed", wide_write, "fsync:*/#*:" + std::to_string(EIO)},
      {"new description written", write, "write:*/.vek-tmp-*:" + std::to_string(ENOSPC)},
      {"new description flushed", write, "fsync:*/.vek-tmp-*:" + std::to_string(EIO)},
      {"old description kept aside", write, "link:*:" + std::to_string(ENOSPC)},
      {"description renamed", write, "rename:*/file.json:" + std::to_string(EIO)},
      {"project locked for the change", write, "flock:*/.vek.lock:" + std::to_string(ENOLCK)},
      {"File folder flushed", write, "fsync:*/Grid3D:" + std::to_string(EIO)},
      {"new File's folder made", create, "mkdir:*:" + std::to_string(ENOSPC)},
      {"new File's description written", create, "write:*/file.json:" + std::to_string(ENOSPC)},
      {"new File put in place", create, "rename:*/Fresh:" + std::to_string(EIO)},
      {"new File's Directory flushed", create, "fsync:*/Mining:" + std::to_string(EIO)},
      {"deleted File moved aside", erase, "rename:*/.vek-del-*:" + std::to_string(EIO)},
      {"deletion's Directory flushed", erase, "fsync:*/Mining:" + std::to_string(EIO)},
      {"new Directory flushed", new_dir, "fsync:*/Demo:" + std::to_string(EIO)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.step);
    Project proj;
    std::filesystem::create_directory(proj.file("Demo/Mining/Wide"));
    write_text(proj.file("Demo/Mining/Wide/file.json"),
               R"({"type": "points", "s_number": 200, "variables": [{"name": "X", "kind": "xg"},)"
               R"( {"name": "Y", "kind": "yg"}, {"name": "V", "kind": "float"}]})");
    auto before = snapshot(proj.path);
    Server srv;
    ASSERT_TRUE(
        start(srv, proj.path,
              {"LD_PRELOAD=" VEK_TEST_FAULT_SHIM, "VEK_FAULT=" + c.fault, "ASAN_OPTIONS=verify_asan_link_order=0"}))
        << stderr_text(srv);
    ASSERT_EQ(0, connect(srv));
    ASSERT_EQ(0, target("Grid3D", "Grade"));
    std::vector<double> grade = read_all();
    {
      vekt::ErrorCapture errors;
      EXPECT_NE(0, c.change());
      int err = atoi(c.fault.substr(c.fault.rfind(':') + 1).c_str());
      EXPECT_TRUE(errors.contains(strerror(err))) << errors.joined();
    }
    ASSERT_EQ(0, target("Grid3D", "Grade"));
    EXPECT_EQ(grade, read_all());
    /* What the failed change wrote under a temporary name is gone at once. */
    EXPECT_FALSE(has_leftovers(proj.path));
    ASSERT_EQ(0, VEKClientDisconnect());
    stop_clean(srv);
    Server again;
    ASSERT_TRUE(start(again, proj.path)) << stderr_text(again);
    EXPECT_EQ(before, snapshot(proj.path));
  }
}

TEST(ServerLifetime, EndsOnSignalsAndWhenIdle) {
  Project proj;
  const struct {
    const char *name;
    int signal;       /* 0: none, the idle limit ends it */
    int in_session;   /* 2: inside a request, its keyword sent and its argument not */
    const char *idle; /* seconds without a session; 0: never */
  } cases[] = {{"SIGTERM in a session", SIGTERM, 1, "60"},
               {"SIGTERM in a request", SIGTERM, 2, "60"},
               {"SIGINT", SIGINT, 0, "0"},
               {"idle", 0, 0, "1"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Server srv;
    long t0 = now_ms();
    ASSERT_TRUE(start(srv, proj.path, {std::string("VEK_TEST_IDLE_EXIT=") + c.idle}));
    ASSERT_EQ(0, c.in_session ? connect(srv) : 0);
    if (c.in_session == 2) {
      const vekt::Bytes keyword = vekt::kw("CSTUDYSET");
      ASSERT_TRUE(_vek_write_bytes(VEK_SOCK, keyword.b.data(), keyword.b.size()) && _vek_flush_write(VEK_SOCK));
      usleep(200000); /* the server is inside the request's read */
    }
    if (c.signal) kill(srv.pid, c.signal);
    ASSERT_TRUE(wait_exit(srv, 5000));
    EXPECT_TRUE(WIFEXITED(srv.status) && WEXITSTATUS(srv.status) == 0) << srv.status;
    EXPECT_TRUE(c.signal || now_ms() - t0 >= 900) << "ended after " << now_ms() - t0 << " ms";
    vekt::reset_client(10000);
  }
}

/* A path that is no sound project, named by a client or by VEK_PROJECT_DIR,
 * is refused and left exactly as it was: not even a lock file appears. */
TEST(ServerLifetime, DataPathNamesTheProjectAndRefusedPathsStayAsTheyWere) {
  Project proj;
  namespace fs = std::filesystem;
  const struct {
    const char *name;
    std::function<void(const std::string &)> make; /* none: the path does not exist */
  } cases[] = {
      {"missing", nullptr},
      {"an empty folder", [](const std::string &p) { fs::create_directory(p); }},
      {"folders without a Study description",
       [](const std::string &p) { fs::create_directories(p + "/Demo/Mining"), write_text(p + "/notes.txt", "x"); }},
      {"a Study description in a hidden folder",
       [](const std::string &p) { fs::create_directories(p + "/.Demo"), write_text(p + "/.Demo/study.json", "{}"); }},
      {"a damaged project",
       [&](const std::string &p) {
         fs::copy(proj.path, p, fs::copy_options::recursive);
         write_text(p + "/Demo/Mining/Samples/file.json", "{");
         write_text(p + "/Demo/Mining/Samples/Cu.7.bin", "leftover");
       }},
  };
  int k = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = proj.dir + "/refused" + std::to_string(k++);
    if (c.make) c.make(path);
    auto before = fs::exists(path) ? snapshot(path) : decltype(snapshot(path)){};
    Server srv;
    ASSERT_TRUE(start(srv, ""));
    {
      vekt::ErrorCapture errors;
      EXPECT_EQ(1, connect(srv, path));
      EXPECT_TRUE(errors.contains("Cannot serve")) << errors.joined();
    }
    stop_clean(srv);
    Server direct;
    EXPECT_FALSE(start(direct, path));
    EXPECT_TRUE(WIFEXITED(direct.status) && WEXITSTATUS(direct.status) == 2) << direct.status;
    EXPECT_NE(std::string::npos, stderr_text(direct).find("cannot serve the project"));
    EXPECT_EQ(fs::exists(path), c.make != nullptr);
    if (c.make) {
      EXPECT_EQ(before, snapshot(path));
      EXPECT_FALSE(fs::exists(path + "/.vek.lock"));
    }
  }
  Server srv;
  ASSERT_TRUE(start(srv, ""));
  ASSERT_EQ(0, connect(srv, proj.path) || target("Samples", "Au"));
  EXPECT_EQ("SOK", raw_request(vekt::kw("CVEKDATA").str(""))); /* an empty path keeps the project */
  EXPECT_EQ(12u, read_all().size());
  // A project emptied through a server is still one at the next start,
  // where it can be given a Study again.
  ASSERT_EQ(0, VEKClientDeleteStudy() || VEKClientDisconnect());
  stop_clean(srv);
  Server again;
  ASSERT_TRUE(start(again, proj.path));
  ASSERT_EQ(0, connect(again) || VEKClientNewStudy("Fresh", "") || VEKClientDisconnect());
  stop_clean(again);
  EXPECT_TRUE(fs::exists(proj.path + "/Fresh/study.json"));
  // The project a server was started on is served, whatever project the client names.
  Project other;
  Server fixed;
  ASSERT_TRUE(start(fixed, proj.path));
  ASSERT_EQ(0, connect(fixed, other.path));
  EXPECT_EQ(std::vector<std::string>{"Fresh"}, list_of(VEKClientGetStudyList));
  // A server of version 100 hears of the data path in the greeting alone.
  Server first;
  ASSERT_TRUE(start(first, "", {"VEK_TEST_VERSION=100"}));
  ASSERT_EQ(0, connect(first, other.path));
  EXPECT_EQ(std::vector<std::string>{"Demo"}, list_of(VEKClientGetStudyList));
  // Where no lock file can be made (its name is taken), nobody can change the
  // tree: it is served for reading, and a change is refused.
  Project bare;
  fs::create_directory(bare.path + "/.vek.lock");
  Server unlocked;
  ASSERT_TRUE(start(unlocked, bare.path)) << stderr_text(unlocked);
  ASSERT_EQ(0, connect(unlocked) || target("Samples", "Au"));
  EXPECT_EQ(12u, read_all().size());
  EXPECT_EQ(1, VEKClientNewDirectory("New"));
}
