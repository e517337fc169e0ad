// The reference server shares: one project with other servers (changes
// never undo each other), one machine with other users (only the user who
// runs it is served).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <thread>

#include "server_harness.h"

using namespace vsrv;

namespace {

std::vector<double> values_of(int writer, int round) {
  std::vector<double> v(24);
  for (size_t j = 0; j < v.size(); j++) v[j] = 1000.0 * writer + round + 0.001 * (double)j;
  return v;
}

std::string name_of(int writer, int round) { return "w" + std::to_string(writer) + "_" + std::to_string(round); }

}  // namespace

/* Writers on three servers of one project create, write and delete variables
 * of one File, each also writing its own sample of a shared variable, while a
 * reader on a fourth server reads that variable: no request fails, every
 * acknowledged change is there at the end, and the tree passes the start-up
 * check. A server that commits a File it read earlier loses the others'
 * changes here. */
TEST(ServerSharing, ServersOnOneProjectLoseNoAcknowledgedChange) {
  const int kWriters = 3, kRounds = 12;
  Project proj;
  Server srv[kWriters + 1];
  for (Server &s : srv) ASSERT_TRUE(vsrv::start(s, proj.path)) << vsrv::stderr_text(s);
  std::vector<pid_t> kids;
  for (int k = 0; k < kWriters; k++) {
    kids.push_back(vsrv::spawn([&, k] {
      if (vsrv::connect(srv[k]) || vsrv::target("Grid3D")) return 1;
      for (int i = 0; i < kRounds; i++) {
        std::string name = name_of(k, i);
        std::vector<double> v = values_of(k, i);
        double mine = 100.0 * k + i;
        if (VEKClientNewDoubleVariable(name.c_str(), 64, 0, 10, 3, "g") || VEKClientSetVariable(name.c_str()) ||
            VEKClientWriteDoubleVariable(0, 1.234e30, 24, v.data()) || (i % 2 == 1 && VEKClientDeleteVariable()) ||
            VEKClientSetVariable("Grade") || VEKClientWriteDoubleVariableSub(k + 1, k + 1, 0, 1.234e30, 1, &mine))
          return 2;
      }
      return VEKClientDisconnect();
    }));
  }
  kids.push_back(vsrv::spawn([&] {
    if (vsrv::connect(srv[kWriters])) return 1;
    for (int i = 0; i < 4 * kRounds; i++)
      if (vsrv::target("Grid3D", "Grade") || vsrv::read_all().size() != 24) return 2;
    return VEKClientDisconnect();
  }));
  for (size_t i = 0; i < kids.size(); i++) EXPECT_EQ(0, vsrv::reap(kids[i], 60000)) << "process " << i;
  for (Server &s : srv) vsrv::stop_clean(s);

  Server check;
  ASSERT_TRUE(vsrv::start(check, proj.path)) << vsrv::stderr_text(check);
  ASSERT_EQ(0, vsrv::connect(check));
  ASSERT_EQ(0, vsrv::target("Grid3D", "Grade"));
  std::vector<double> grade = vsrv::read_all();
  ASSERT_EQ(24u, grade.size());
  for (int k = 0; k < kWriters; k++) {
    EXPECT_EQ(100.0 * k + kRounds - 1, grade[(size_t)k]) << "writer " << k;
    for (int i = 0; i < kRounds; i++) {
      std::string name = name_of(k, i);
      int exists = -1;
      ASSERT_EQ(0, VEKClientVariableExists(name.c_str(), &exists));
      EXPECT_EQ(i % 2 == 0, exists == 1) << name;
      if (exists == 1 && VEKClientSetVariable(name.c_str()) == 0) {
        EXPECT_EQ(values_of(k, i), vsrv::read_all()) << name;
      }
    }
  }
  ASSERT_EQ(0, VEKClientDisconnect());
}

/* Another local user is answered "SERROR" and let go, whether it comes to the
 * server's port or to the port a session moves to, and changes nothing; the
 * owner is served on the same port afterwards, from an IPv4 or an IPv6 socket.
 * The stranger comes from the very port number it goes to, on another
 * address: the owner's socket of that number is not the stranger's. */
TEST(ServerSharing, OnlyTheOwnerIsServed) {
  if (geteuid() != 0) GTEST_SKIP() << "playing another user takes root";
  for (bool moved : {false, true}) {
    SCOPED_TRACE(moved ? "moved session" : "server's port");
    Project proj;
    Server srv;
    ASSERT_TRUE(vsrv::start(srv, proj.path, {"VEK_TEST_NEWPORT=1"}));
    unsigned short port = srv.port;
    int first = -1;
    if (moved) {
      first = vsrv::dial(srv.port);
      ASSERT_TRUE(send_request(first, vekt::kw("CNEWSESS")));
      ASSERT_EQ("SNEWPORT", answer_keyword(first));
      unsigned char p[4];
      ASSERT_EQ(4, recv(first, p, 4, MSG_WAITALL));
      port = (unsigned short)((p[2] << 8) | p[3]);
    }
    pid_t stranger = vsrv::spawn([&] {
      gid_t nobody = 65534;
      if (setgroups(1, &nobody) != 0 || setgid(nobody) != 0 || setuid(65534) != 0) return 1;
      int fd = vsrv::dial(port, false, port);
      if (fd < 0 || !send_request(fd, vekt::kw("CSTUDYNEW").str("Intruder").str(proj.file("Intruder")))) return 2;
      if (answer_keyword(fd) != "SERROR") return 3;
      char rest[512];
      while (recv(fd, rest, sizeof rest, 0) > 0) {}
      return 0;
    });
    EXPECT_EQ(0, vsrv::reap(stranger, 10000));
    int owner = vsrv::dial(port, /*mapped=*/moved);
    ASSERT_TRUE(send_request(owner, vekt::kw("CSTUDYLST")));
    EXPECT_EQ("SSTUDIES", answer_keyword(owner));
    close(owner);
    if (first >= 0) close(first);
    EXPECT_FALSE(std::filesystem::exists(proj.file("Intruder")));
    vsrv::stop_clean(srv);
  }
}

/* A lock file removed or replaced by hand is let go of for the one at its
 * name: a server started later must lock the same file. */
TEST_F(ServerTest, ALockFileRemovedOrReplacedIsTakenAnew) {
  const std::string lock = proj.path + "/.vek.lock";
  ASSERT_EQ(0, target("Samples"));
  for (bool replaced : {false, true}) {
    std::filesystem::remove(lock);
    if (replaced) write_text(lock, "");
    ASSERT_EQ(0, VEKClientNewDirectory(replaced ? "Replaced" : "Removed"));
    EXPECT_TRUE(std::filesystem::exists(lock)) << replaced;
    for (const std::string &t : open_targets(srv)) EXPECT_EQ(std::string::npos, t.find("(deleted)")) << t;
  }
  // A lock another holds is waited for, not refused.
  int fd = open(lock.c_str(), O_RDWR);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  std::thread release([fd] { usleep(300000), close(fd); });
  EXPECT_EQ(0, VEKClientNewDirectory("Waited"));
  release.join();
}
