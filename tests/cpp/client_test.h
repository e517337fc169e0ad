/*
 * The fixture shared by the tests that drive the client library against a
 * scripted Peer: every test starts and ends with the library initialised and
 * not connected, so a test that fails half-way leaves nothing to the next.
 */
#ifndef VEKT_CLIENT_TEST_H
#define VEKT_CLIENT_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer.h"

namespace vekt {

/* The version of a current server. */
constexpr int kModern = 1300030;

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_client(); }
  void TearDown() override { reset_client(); }

  /* Starts the peer, whose script begins with script_handshake, and
   * connects to it. */
  void go(Peer& p) {
    p.start();
    ASSERT_EQ(0, connect_client(p));
  }

  /* Plays the handshake of a server of this version and connects; the
   * test's steps are queued behind it. "CARCH" in the list makes longs 8
   * bytes. */
  void connect(Peer& p, int version, const std::vector<std::string>& supported) {
    script_handshake(p, version, supported);
    go(p);
  }
};

}  // namespace vekt

#endif  // VEKT_CLIENT_TEST_H
