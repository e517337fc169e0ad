/*
 * Fuzz target: the client reading a server's answers.
 *
 * An input is a six-byte head and the bytes a server sends, in pieces cut by
 * "|SEG|". The head picks the call (byte 0: the call, its variant in the top
 * bits), the server's version (byte 1), the requests it announces (bytes 2-3,
 * one bit each), the word size, the application's protocol and the trace
 * (byte 4), and an allocation that fails (byte 5, 0: none). The server's end
 * of the connection is a socketpair that gets its next piece whenever the
 * client waits with nothing left to read, and closes once the pieces run out,
 * so no wait lasts. Besides what the sanitizers see, a call that breaks the
 * promises of its outputs (a failure that hands out an array, a success
 * without one, a name without its end) aborts.
 */
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "VEKClient.h"
#include "vek_internal.h"

namespace {

const std::string kSeparator = "|SEG|";
std::vector<std::string> pieces;
size_t next_piece = 0;
int client_end = -1, server_end = -1;

void check(bool ok) {
  if (!ok) abort();
}

void close_server_end() {
  if (server_end >= 0) close(server_end);
  server_end = -1;
}

/* The next non-empty piece, after what the client sent is dropped; the end
 * of the stream once there is none. */
void feed() {
  if (server_end < 0) return;
  char sink[4096];
  while (recv(server_end, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
  while (next_piece < pieces.size() && pieces[next_piece].empty()) next_piece++;
  if (next_piece < pieces.size()) {
    const std::string &p = pieces[next_piece++];
    check(send(server_end, p.data(), p.size(), MSG_NOSIGNAL) == (ssize_t)p.size());
  } else {
    shutdown(server_end, SHUT_WR);
  }
}

int open_connection(int *sock) {
  close_server_end();
  int sv[2];
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
  *sock = client_end = sv[0];
  server_end = sv[1];
  return 0;
}

void quiet(const char *text) { check(strlen(text) < VEK_MSG_SIZE); }

}  // namespace

/* Linked with --wrap: every connection the client opens is a new socketpair,
 * and every wait on it lets the server speak first. */
extern "C" int __real__vek_wait_readable(int sock, int timeout_ms);
extern "C" int __wrap__vek_connect(const char *, unsigned short, int *sock) { return open_connection(sock); }
extern "C" int __wrap__vek_wait_readable(int sock, int timeout_ms) {
  struct pollfd p = {sock, POLLIN, 0};
  if (sock == client_end && poll(&p, 1, 0) == 0) feed();
  return __real__vek_wait_readable(sock, timeout_ms);
}

namespace {

const int kVersions[16] = {100,    406,    407,    408,    409,    410,     411,     400000,
                           400500, 401000, 800000, 899999, 900000, 1300029, 1300030, 1300031};
const char *const kAnnounced[16] = {"CARCH",     "CCOMGET",  "CMACROALP", "CLFILECNT", "CINDASET",  "CDIRXIST",
                                    "CFILEXIST", "CVARXIST", "CVARMNEW",  "CPFILEAPP", "CFILETLST", "CVARTLST",
                                    "CVDATEXIS", "CSUPREQ",  "CPALLST",   "CUNK7"};

/* The result of a call that returns 0 or 1: the code it stored agrees. */
void check_result(int r) {
  int code = VEKClientGetLastError();
  check((r == 0) == (code == VEK_RESULT_OK) && (r == 0 || r == 1) && code >= 0 && code <= VEK_RESULT_MEMORY);
}

void check_names(int r, int n, char **names) {
  check_result(r);
  if (r == 0) {
    check(names != NULL && n >= 0);
    for (int i = 0; i < n; i++) check(names[i] != NULL && strlen(names[i]) < 10000);
  } else {
    check(names == NULL && n == 0);
  }
  VEKClientFreeStringArray(n, names);
}

void check_values(int r, vek_long n, double *data) {
  if (r == 0) {
    check(data != NULL && n >= 0);
    if (n > 0) {
      volatile double last = data[n - 1];
      (void)last;
    }
  } else {
    check(data == NULL && n == 0);
  }
  VEKClientFreePointer(data);
}

bool terminated(const char *field, size_t size) { return memchr(field, 0, size) != NULL; }

void list_call(int variant) {
  int n = -1, r;
  char **names = (char **)&n;
  switch (variant) {
    case 0: r = VEKClientGetStudyList(&n, &names); break;
    case 1: r = VEKClientGetDirectoryList(&n, &names); break;
    case 2: r = VEKClientGetFileList(&n, &names); break;
    case 3: r = VEKClientGetFileListByType(VEK_FILE_TYPE_GRID, -1, &n, &names); break;
    case 4: r = VEKClientGetVariableList(&n, &names); break;
    case 5: r = VEKClientGetVariableListByType(VEK_VAR_TYPE_FLOAT, &n, &names); break;
    case 6: r = VEKClientGetVariableListByType(VEK_VAR_TYPE_MACRO, &n, &names); break;
    default: r = VEKClientGetVariableListByType(VEK_VAR_TYPE_SELECTION, &n, &names); break;
  }
  check_names(r, n, names);
}

void set_call(int variant) {
  switch (variant) {
    case 0: return check_result(VEKClientSetStudy("Demo"));
    case 1: return check_result(VEKClientSetVariable("Grade"));
    case 2: return check_result(VEKClientSetSelection(NULL));
    case 3: return check_result(VEKClientSetIndice(2));
    case 4: return check_result(VEKClientSetAlphaIndice("Cu"));
    case 5: return check_result(VEKClientSetUnitMode(1));
    case 6: return check_result(VEKClientSetVariableUnit("m", "km"));
    default: return check_result(VEKClientSetCreationUnits("m", "m", "m"));
  }
}

void file_info_call() {
  VEKFileInfo info;
  memset(&info, 'A', sizeof info);
  int r = VEKClientGetFileInfo(&info);
  check_result(r);
  if (r != 0) return check(info.type == VEK_FILE_TYPE_INVALID);
  check(info.type >= VEK_FILE_TYPE_ANY && info.type <= VEK_FILE_TYPE_INVALID);
  const char *names[] = {info.linked_file, info.sn_var_name, info.ln_var_name, info.lname_var_name,
                         info.rn_var_name, info.xg_var_name, info.yg_var_name, info.zg_var_name,
                         info.xb_var_name, info.yb_var_name, info.zb_var_name, info.xe_var_name,
                         info.ye_var_name, info.ze_var_name};
  for (const char *f : names) check(terminated(f, 50));
}

void variable_info_call() {
  VEKVariableInfo info;
  memset(&info, 'A', sizeof info);
  int r = VEKClientGetVariableInfo(&info);
  check_result(r);
  if (r != 0) return check(info.type == VEK_VAR_TYPE_INVALID);
  check(info.type >= VEK_VAR_TYPE_SELECTION && info.type <= VEK_VAR_TYPE_INVALID && terminated(info.unit, 11));
  if (_vek_client_linked_version >= 410) check(terminated(info.unit_symbol, 11));
}

void macro_call(int variant) {
  int n = -1, *indices = &n;
  char **alpha = (char **)&n;
  int r = variant & 1 ? VEKClientGetMacroIndicesWithAlpha(&n, &indices, &alpha)
                      : VEKClientGetMacroIndices(&n, &indices);
  if (!(variant & 1)) alpha = NULL;
  check_result(r);
  if (r == 0) {
    check(indices != NULL && n >= 0);
    if (n > 0) {
      volatile int last = indices[n - 1];
      (void)last;
    }
    for (int i = 0; alpha && i < n; i++) check(alpha[i] != NULL && strlen(alpha[i]) < 10000);
  } else {
    check(indices == NULL && alpha == NULL && n == 0);
  }
  VEKClientFreePointer(indices);
  VEKClientFreeStringArray(n, alpha);
}

void read_call(int variant) {
  double test;
  vek_long n = -1;
  double *data = &test;
  int r;
  if (variant % 4 == 3) {
    int line_n = -1;
    r = VEKClientReadLineDoubleVariable(2, &test, &line_n, &data);
    check(r == VEKClientGetLastError() && r >= 0 && r <= VEK_RESULT_MEMORY);
    return check_values(r, line_n, data);
  }
  if (variant % 4 == 0) r = VEKClientReadDoubleVariable(0, &test, &n, &data);
  else if (variant % 4 == 1) r = VEKClientReadDoubleVariableSub(1, 10, 0, &test, &n, &data);
  else r = VEKClientReadDoubleVariableSub(-1, -1, 0, &test, &n, &data);
  check_result(r);
  check_values(r, n, data);
}

void write_call(int variant) {
  static const double values[6] = {1, 2, 3, 1.234e30, 5, 6};
  switch (variant % 6) {
    case 0: return check_result(VEKClientWriteDoubleVariable(0, 1.234e30, 6, values));
    case 1: return check_result(VEKClientWriteDoubleVariable(1, 1.234e30, 6, values));
    case 2: return check_result(VEKClientWriteDoubleVariableSub(1, 6, 0, 1.234e30, 6, values));
    case 3: return check_result(VEKClientWriteDoubleVariableSub(4, 7, 0, 1.234e30, 4, values));
    case 4: return check_result(VEKClientWriteDoubleVariableSub(-1, -1, 0, 1.234e30, 6, values));
    default: {
      int r = VEKClientWriteLineDoubleVariable(2, 1.234e30, 3, values);
      return check(r == VEKClientGetLastError() && r >= 0 && r <= VEK_RESULT_MEMORY);
    }
  }
}

void edit_call(int variant) {
  static const double x[2] = {0, 1}, y[2] = {2, 3};
  switch (variant % 4) {
    case 0: return check_result(VEKClientNewDoubleVariable("Simu[xxxxx]", 32, 0, 10, 3, "m"));
    case 1: return check_result(VEKClientNewPointsFile("P", 2, x, y, NULL));
    case 2: return check_result(VEKClientPointsFileAppend(2, x, y, NULL));
    default: return check_result(VEKClientDeleteVariable());
  }
}

void handshake(int variant) {
  int r = VEKClientConnect("127.0.0.1", 5500, variant & 1 ? "/project" : "");
  check_result(r);
  if (r != 0) return check(_vek_server_socket == -1 && _vek_client_supported_requests == NULL);
  check_result(VEKClientDisconnect());
}

/* A session as the handshake with that server would have left it. */
void pretend_connected(const uint8_t *head) {
  _vek_client_server_version = kVersions[head[1] % 16];
  unsigned bits = (unsigned)head[2] << 8 | head[3];
  int n = 0;
  char **list = (char **)calloc(17, sizeof(char *));
  for (int i = 0; i < 16; i++)
    if (bits & (1u << i)) list[n++] = strdup(kAnnounced[i]);
  _vek_client_supported_requests = list;
  _vek_client_n_supported_requests = n;
  _vek_server64 = head[4] & 1;
  open_connection(&_vek_server_socket);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  VEK_ERROR_FUNCTION = quiet;
  /* A safety net only: the pieces and the closing end every wait at once. */
  _vek_answer_timeout_ms = 2000;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  std::string rest((const char *)data + 6, size - 6);
  pieces.clear();
  next_piece = 0;
  for (size_t at = 0;;) {
    size_t cut = rest.find(kSeparator, at);
    pieces.push_back(rest.substr(at, cut == std::string::npos ? std::string::npos : cut - at));
    if (cut == std::string::npos) break;
    at = cut + kSeparator.size();
  }
  _vek_client64 = 1;
  _vek_client_linked_version = data[4] & 2 ? 409 : VEK_PROTOCOL_VERSION;
  FILE *trace = data[4] & 4 ? fopen("/dev/null", "w") : NULL;
  _vek_trace_file = trace;
  _vek_trace_level = trace ? 5 : 0;
  _vek_empty_read_buffer();
  _vek_empty_write_buffer();

  int call = data[0] % 11, variant = data[0] / 11;
  if (call != 0) pretend_connected(data);
  _vek_fail_allocation(data[5]);
  switch (call) {
    case 0: handshake(variant); break;
    case 1: list_call(variant % 8); break;
    case 2: {
      int exists = -1, r;
      if (variant % 3 == 0) r = VEKClientDirectoryExists("Mining", &exists);
      else if (variant % 3 == 1) r = VEKClientFileExists("Grid3D", &exists);
      else r = VEKClientVariableExists("Grade", &exists);
      check_result(r);
      check(r == 0 || exists == 0);
      break;
    }
    case 3: set_call(variant % 8); break;
    case 4: file_info_call(); break;
    case 5: variable_info_call(); break;
    case 6: macro_call(variant); break;
    case 7: read_call(variant); break;
    case 8: write_call(variant); break;
    case 9: edit_call(variant); break;
    default: check_result(VEKClientDisconnect()); break;
  }
  _vek_fail_allocation(0);
  _vek_close_client();
  close_server_end();
  _vek_interrupted = 0;
  _vek_timed_out = 0;
  _vek_trace_file = NULL;
  _vek_trace_level = 0;
  if (trace) fclose(trace);
  return 0;
}
