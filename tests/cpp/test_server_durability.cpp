/*
 * What the reference server acknowledges is on disk: a server killed with
 * SIGKILL right after an answer loses nothing, and a restarted server shows
 * the same tree. Also: the server ends by itself on a signal or when idle,
 * and a data path names the project when VEK_PROJECT_DIR is not set.
 */
#include <gtest/gtest.h>

#include "server_harness.h"

using vsrv::Project;
using vsrv::Server;

namespace {

void restart(Server &srv, const Project &proj) {
  vsrv::kill_now(srv);
  vekt::reset_client(10000);
  ASSERT_TRUE(vsrv::start(srv, proj.path)) << vsrv::stderr_text(srv);
  ASSERT_EQ(0, vsrv::connect(srv));
}

std::vector<std::string> list_files() {
  int n = 0;
  char **names = nullptr;
  EXPECT_EQ(0, VEKClientGetFileList(&n, &names));
  return vsrv::names_of(n, names);
}

bool has_leftovers(const std::string &root) {
  for (auto &e : std::filesystem::recursive_directory_iterator(root))
    if (e.path().filename().string().rfind(".vek-", 0) == 0) return true;
  return false;
}

}  // namespace

TEST(ServerDurability, AcknowledgedChangesSurviveSigkill) {
  Project proj;
  Server srv;
  ASSERT_TRUE(vsrv::start(srv, proj.path));
  ASSERT_EQ(0, vsrv::connect(srv));

  /* A write, killed right after its answer. */
  ASSERT_EQ(0, vsrv::target("Grid3D", "Grade"));
  std::vector<double> g = vsrv::read_all();
  ASSERT_EQ(24u, g.size());
  for (size_t i = 0; i < g.size(); i++) g[i] = 0.5 * (double)i;
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 24, g.data()));
  restart(srv, proj);
  ASSERT_EQ(0, vsrv::target("Grid3D", "Grade"));
  EXPECT_EQ(g, vsrv::read_all());

  /* A new variable with values, a new points File, a grid change. */
  ASSERT_EQ(0, VEKClientNewDoubleVariable("Fresh", 32, 0, 10, 3, "m"));
  ASSERT_EQ(0, VEKClientSetVariable("Fresh"));
  std::vector<double> f(24, 4.5);
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 24, f.data()));
  double x[3] = {1, 2, 3}, y[3] = {4, 5, 6}, z[3] = {7, 8, 9};
  ASSERT_EQ(0, VEKClientNewPointsFile("Pts", 3, x, y, z));
  ASSERT_EQ(0, VEKClientGridModifyOrigin(1, 2, 3));
  restart(srv, proj);
  ASSERT_EQ(0, vsrv::target("Grid3D", "Fresh"));
  EXPECT_EQ(f, vsrv::read_all());
  VEKFileInfo fi;
  ASSERT_EQ(0, VEKClientGetFileInfo(&fi));
  EXPECT_EQ(1.0, fi.X0);
  EXPECT_EQ(3.0, fi.Z0);
  ASSERT_EQ(0, vsrv::target("Pts", "Z"));
  EXPECT_EQ((std::vector<double>{7, 8, 9}), vsrv::read_all());

  /* Appends and deletions. */
  ASSERT_EQ(0, VEKClientPointsFileAppend(3, x, y, z));
  ASSERT_EQ(0, vsrv::target("Grid3D", "Fresh"));
  ASSERT_EQ(0, VEKClientDeleteVariable());
  ASSERT_EQ(0, vsrv::target("Grid2D"));
  ASSERT_EQ(0, VEKClientDeleteFile());
  std::vector<std::string> files = list_files();
  restart(srv, proj);
  ASSERT_EQ(0, VEKClientSetStudy("Demo"));
  ASSERT_EQ(0, VEKClientSetDirectory("Mining"));
  EXPECT_EQ(files, list_files());
  ASSERT_EQ(0, vsrv::target("Pts", "X"));
  EXPECT_EQ((std::vector<double>{1, 2, 3, 1, 2, 3}), vsrv::read_all());
  ASSERT_EQ(0, vsrv::target("Grid3D"));
  int exists = 1;
  ASSERT_EQ(0, VEKClientVariableExists("Fresh", &exists));
  EXPECT_EQ(0, exists);
  ASSERT_EQ(0, VEKClientDisconnect());
  vsrv::stop_clean(srv);
  EXPECT_FALSE(has_leftovers(proj.path));
}

TEST(ServerDurability, LeftoversOfAnInterruptedChangeAreIgnoredAndSwept) {
  Project proj;
  /* What a crash in the middle of a File creation and of a write leaves. */
  std::filesystem::create_directories(proj.file("Demo/Mining/.vek-new-123-1"));
  std::filesystem::copy_file(proj.file("Demo/Mining/Samples/Cu.bin"), proj.file("Demo/Mining/Samples/.vek-tmp-9-9"));
  std::filesystem::copy_file(proj.file("Demo/Mining/Samples/Cu.bin"), proj.file("Demo/Mining/Samples/Cu.1.bin"));
  Server srv;
  ASSERT_TRUE(vsrv::start(srv, proj.path)) << vsrv::stderr_text(srv);
  EXPECT_FALSE(has_leftovers(proj.path));
  ASSERT_EQ(0, vsrv::connect(srv));
  ASSERT_EQ(0, vsrv::target("Samples", "Cu"));
  EXPECT_EQ(5u, list_files().size());
  /* The next data file name is taken already: the write picks another. */
  std::vector<double> v(12, 2.0);
  ASSERT_EQ(0, VEKClientWriteDoubleVariable(0, 1.234e30, 12, v.data()));
  restart(srv, proj);
  ASSERT_EQ(0, vsrv::target("Samples", "Cu"));
  EXPECT_EQ(v, vsrv::read_all());
  ASSERT_EQ(0, VEKClientDisconnect());
  vsrv::stop_clean(srv);
}

TEST(ServerLifetime, EndsOnSignalsAndWhenIdle) {
  Project proj;
  {
    Server srv;
    ASSERT_TRUE(vsrv::start(srv, proj.path));
    ASSERT_EQ(0, vsrv::connect(srv)); /* also in the middle of a session */
    kill(srv.pid, SIGTERM);
    ASSERT_TRUE(vsrv::wait_exit(srv, 3000));
    EXPECT_TRUE(WIFEXITED(srv.status));
    EXPECT_EQ(0, WEXITSTATUS(srv.status));
    vekt::reset_client(10000);
  }
  {
    Server srv;
    ASSERT_TRUE(vsrv::start(srv, proj.path));
    kill(srv.pid, SIGINT);
    ASSERT_TRUE(vsrv::wait_exit(srv, 3000));
    EXPECT_EQ(0, WEXITSTATUS(srv.status));
  }
  {
    Server srv;
    long t0 = vsrv::now_ms();
    ASSERT_TRUE(vsrv::start(srv, proj.path, {"VEK_TEST_IDLE_EXIT=1"}));
    ASSERT_TRUE(vsrv::wait_exit(srv, 5000));
    EXPECT_GE(vsrv::now_ms() - t0, 900);
    EXPECT_EQ(0, WEXITSTATUS(srv.status));
  }
}

TEST(ServerLifetime, DataPathNamesTheProjectWithoutSetting) {
  Project proj;
  Server srv;
  ASSERT_TRUE(vsrv::start(srv, ""));
  {
    vekt::ErrorCapture errors;
    EXPECT_EQ(1, vsrv::connect(srv, proj.dir + "/nothing-here"));
    EXPECT_TRUE(errors.contains("Cannot serve")) << errors.joined();
  }
  ASSERT_EQ(0, vsrv::connect(srv, proj.path));
  ASSERT_EQ(0, vsrv::target("Samples", "Au"));
  EXPECT_EQ(12u, vsrv::read_all().size());
  ASSERT_EQ(0, VEKClientDisconnect());
  vsrv::stop_clean(srv);
}
