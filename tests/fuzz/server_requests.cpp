/*
 * Fuzz target: the reference server reading requests. An input is one byte
 * that picks the version the server announces, then the requests a client
 * sends on one connection, answered as the session loop does until the
 * stream breaks or ends. The sample project on a RAM disk is put back after
 * any input that may have changed it, so that every input meets the same tree.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "ram_project.h"
#include "vek_internal.h"

namespace {

const int kVersions[8] = {100, 406, 409, 410, 400500, 800000, 1300029, 1300030};
/* Requests that leave the tree as it was. */
const std::set<std::string> kReadOnly = {
    "CHELLO",    "CNEWSESS",  "CVEKDATA",  "CSUPREQ",   "CARCH",     "CBYE BYE",  "CSTUDYLST", "CDIRLST",   "CFILELST",
    "CFILETLST", "CVARLST",   "CVARTLST",  "CDIRXIST",  "CFILEXIST", "CVARXIST",  "CSTUDYSET", "CDIRSET",   "CFILESET",
    "CVARSET",   "CSELSET",   "CINDSET",   "CINDASET",  "CUNITMODE", "CDISTUSET", "CUNITCR",   "CFILEINFO", "CVARINFO",
    "CCOMGET",   "CMACROIND", "CMACROALP", "CLFILECNT", "CREADVARF", "CREADLINF"};

void quiet(const char *) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  _vek_is_server = 1;
  VEK_ERROR_FUNCTION = quiet;
  g_config.supported = known_requests();
  make_ram_project();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  g_config.version = kVersions[data[0] % 8];
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  /* The whole stream is waiting before the server reads a byte: the socket
   * holds more than the longest input. */
  if (send(sv[0], data + 1, size - 1, MSG_NOSIGNAL) != (ssize_t)(size - 1)) abort();
  shutdown(sv[0], SHUT_WR);
  std::thread client([fd = sv[0]] {
    char sink[65536];
    while (recv(fd, sink, sizeof sink, 0) > 0) {}
  });

  Session s;
  session_reset(s, sv[1]);
  bool changed = false;
  while (!s.ended) {
    Io io{sv[1]};
    std::string keyword = io.rstring();
    if (io.broken()) break;
    bool known = dispatch(s, keyword, io);
    changed = changed || (known && !kReadOnly.count(keyword));
    if (!known || io.broken()) {
      Io e{sv[1]};
      e.error("Malformed request");
      io = e;
    }
    if (io.wbad || !_vek_flush_write(sv[1]) || s.pending_listener >= 0) break;
  }
  if (s.pending_listener >= 0) close(s.pending_listener);
  close(sv[1]);
  client.join();
  close(sv[0]);
  /* What the requests changed is a tree the server still accepts. */
  std::string err;
  if (changed && !project_check(g_config.project, err)) abort();
  if (changed) put_back_project();
  return 0;
}
