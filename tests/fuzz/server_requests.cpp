/*
 * Fuzz target: the reference server reading requests.
 *
 * An input is one byte that picks the version the server announces, then
 * what a client sends on one connection: request after request, each a
 * keyword and its arguments. The server reads and answers them as its
 * session loop does, over a socketpair whose other end has said all it will
 * say and takes every answer, until the stream breaks or ends. It serves a
 * copy of the sample project on a RAM disk, put back after any input that
 * may have changed it, so that every input meets the same tree.
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

#include "project.h"
#include "server.h"
#include "vek_internal.h"

namespace fs = std::filesystem;

namespace {

const int kVersions[8] = {100, 406, 409, 410, 400500, 800000, 1300029, 1300030};
/* Requests that leave the tree as it was. */
const std::set<std::string> kReadOnly = {
    "CHELLO",   "CNEWSESS",  "CVEKDATA",  "CSUPREQ",   "CARCH",     "CBYE BYE",  "CSTUDYLST", "CDIRLST",
    "CFILELST", "CFILETLST", "CVARLST",   "CVARTLST",  "CDIRXIST",  "CFILEXIST", "CVARXIST",  "CSTUDYSET",
    "CDIRSET",  "CFILESET",  "CVARSET",   "CSELSET",   "CINDSET",   "CINDASET",  "CUNITMODE", "CDISTUSET",
    "CUNITCR",  "CFILEINFO", "CVARINFO",  "CCOMGET",   "CMACROIND", "CMACROALP", "CLFILECNT", "CREADVARF",
    "CREADLINF"};

std::string work_dir;

void put_back_project() {
  std::error_code ec;
  fs::remove_all(g_config.project, ec);
  fs::copy(std::string(VEK_SOURCE_DIR) + "/inst/extdata/sample_project", g_config.project,
           fs::copy_options::recursive);
}

void remove_work_dir() {
  std::error_code ec;
  fs::remove_all(work_dir, ec);
}

void quiet(const char *) {}

}  // namespace

/* The listener of "SNEWPORT" lives in the server's main.cpp, which has no
 * place here: this server keeps every session where it began. */
int listen_loopback(unsigned short *) { return -1; }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  _vek_is_server = 1;
  VEK_ERROR_FUNCTION = quiet;
  char tmpl[] = "/dev/shm/vek-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) abort();
  work_dir = tmpl;
  atexit(remove_work_dir);
  g_config.project = work_dir + "/project";
  g_config.supported = known_requests();
  put_back_project();
  std::string err;
  if (!project_check(g_config.project, err)) abort();
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
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
  });

  Session s;
  session_reset(s);
  _vek_empty_read_buffer();
  _vek_empty_write_buffer();
  _vek_client64 = 1;
  _vek_server64 = 0;
  s.sock = sv[1];
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
  if (changed) put_back_project();
  return 0;
}
