/*
 * Fuzz target: the client reading a server's answers (see piece_peer.h for
 * how they arrive). An input's six-byte head picks the call (byte 0, an
 * index into kCalls), the server's version (byte 1), the requests it
 * announces (bytes 2-3, one bit each), the word size, the application's
 * protocol and the trace (byte 4), and an allocation that fails (byte 5,
 * 0: none). Besides what the sanitizers see, a call that breaks the
 * promises of its outputs (a failure that hands out an array, a success
 * without one, a name without its end, a code out of step with the result)
 * aborts.
 */
#include <stdio.h>
#include <string.h>

#include "VEKClient.h"
#include "piece_peer.h"

namespace {

const int kVersions[16] = {100,    406,    407,    408,    409,    410,     411,     400000,
                           400500, 401000, 800000, 899999, 900000, 1300029, 1300030, 1300031};
const char *const kAnnounced[16] = {"CARCH",     "CCOMGET",  "CMACROALP", "CLFILECNT", "CINDASET",  "CDIRXIST",
                                    "CFILEXIST", "CVARXIST", "CVARMNEW",  "CPFILEAPP", "CFILETLST", "CVARTLST",
                                    "CVDATEXIS", "CSUPREQ",  "CPALLST",   "CUNK7"};
const double kValues[6] = {1, 2, 3, 1.234e30, 5, 6};
const double kUndef = 1.234e30;

/* The code a call stored agrees with its 0/1 result. */
void check_result(int r) {
  int code = VEKClientGetLastError();
  check((r == 0) == (code == VEK_RESULT_OK) && (r == 0 || r == 1) && code >= 0 && code <= VEK_RESULT_MEMORY);
}

bool terminated(const char *field, size_t size) { return memchr(field, 0, size) != NULL; }

template <class F>
void listing(F list) {
  int n = -1;
  char **names = (char **)&n;
  int r = list(&n, &names);
  check_result(r);
  check(r == 0 ? names != NULL && n >= 0 : names == NULL && n == 0);
  for (int i = 0; i < n; i++) check(names[i] != NULL && strlen(names[i]) < 10000);
  VEKClientFreeStringArray(n, names);
}

void existence(int (*f)(const char *, int *), const char *name) {
  int exists = -1, r = f(name, &exists);
  check_result(r);
  check(r == 0 || exists == 0);
}

/* F(test, count, data) reads values: an array of count on success, none on
 * failure. */
template <class F>
void reading(F read) {
  double test, *data = &test;
  vek_long n = -1;
  int r = read(&test, &n, &data);
  check_result(r);
  check(r == 0 ? data != NULL && n >= 0 : data == NULL && n == 0);
  if (n > 0) {
    volatile double last = data[n - 1];
    (void)last;
  }
  VEKClientFreePointer(data);
}

/* A whole read handed to a sink that takes up to 4096 values in windows of
 * 3: every value it is told of lies in the room it gave, once, in order. */
struct Taken {
  double room[3];
  double values[4096];
  size_t count = 0, next = 0;
};
int taken_start(void *c, vek_long count, double) {
  Taken *t = (Taken *)c;
  if (count < 0 || count > 4096) return 1;
  t->count = (size_t)count;
  return 0;
}
double *taken_window(void *c, size_t at, size_t *room) {
  Taken *t = (Taken *)c;
  check(at == t->next && at < t->count);
  *room = 3;
  return t->room;
}
void taken_placed(void *c, size_t at, size_t n) {
  Taken *t = (Taken *)c;
  check(at == t->next && n >= 1 && n <= 3 && at + n <= t->count);
  memcpy(t->values + at, t->room, n * sizeof(double));
  t->next = at + n;
}

void reading_into() {
  Taken t;
  vek_value_sink sink = {taken_start, taken_window, taken_placed, &t};
  int r = _vek_read_double_variable_into(0, &sink);
  check_result(r);
  check(r != 0 || t.next == t.count);
}

void macro(bool with_names) {
  int n = -1, *indices = &n;
  char **names = (char **)&n;
  int r = with_names ? VEKClientGetMacroIndicesWithAlpha(&n, &indices, &names) : VEKClientGetMacroIndices(&n, &indices);
  if (!with_names) names = NULL;
  check_result(r);
  check(r == 0 ? indices != NULL && n >= 0 : indices == NULL && names == NULL && n == 0);
  for (int i = 0; names && i < n; i++) check(names[i] != NULL && strlen(names[i]) < 10000);
  if (n > 0) {
    volatile int last = indices[n - 1];
    (void)last;
  }
  VEKClientFreePointer(indices);
  VEKClientFreeStringArray(n, names);
}

void file_info() {
  VEKFileInfo f;
  memset(&f, 'A', sizeof f);
  int r = VEKClientGetFileInfo(&f);
  check_result(r);
  check(f.type >= VEK_FILE_TYPE_ANY && f.type <= VEK_FILE_TYPE_INVALID && (r == 0 || f.type == VEK_FILE_TYPE_INVALID));
  const char *names[] = {f.linked_file, f.sn_var_name, f.ln_var_name, f.lname_var_name, f.rn_var_name,
                         f.xg_var_name, f.yg_var_name, f.zg_var_name, f.xb_var_name,    f.yb_var_name,
                         f.zb_var_name, f.xe_var_name, f.ye_var_name, f.ze_var_name};
  for (const char *name : names) check(r != 0 || terminated(name, 50));
}

void variable_info() {
  VEKVariableInfo v;
  memset(&v, 'A', sizeof v);
  int r = VEKClientGetVariableInfo(&v);
  check_result(r);
  check(v.type >= VEK_VAR_TYPE_SELECTION && v.type <= VEK_VAR_TYPE_INVALID &&
        (r == 0 || v.type == VEK_VAR_TYPE_INVALID));
  /* An application of the old protocol keeps its own unit symbol. */
  check(r != 0 || (terminated(v.unit, 11) && (_vek_client_linked_version < 410 || terminated(v.unit_symbol, 11))));
}

void handshake(const char *data_path) {
  int r = VEKClientConnect("127.0.0.1", 5500, data_path);
  check_result(r);
  /* A failed connection is closed and keeps no server's list. */
  if (r) return check(_vek_server_socket == -1 && _vek_client_supported_requests == NULL);
  check_result(VEKClientDisconnect());
}

typedef void (*Call)();
const Call kCalls[] = {
    [] { handshake(""); },
    [] { handshake("/project"); },
    [] { listing(VEKClientGetStudyList); },
    [] { listing(VEKClientGetDirectoryList); },
    [] { listing(VEKClientGetFileList); },
    [] { listing([](int *n, char ***v) { return VEKClientGetFileListByType(VEK_FILE_TYPE_GRID, -1, n, v); }); },
    [] { listing(VEKClientGetVariableList); },
    [] { listing([](int *n, char ***v) { return VEKClientGetVariableListByType(VEK_VAR_TYPE_FLOAT, n, v); }); },
    [] { listing([](int *n, char ***v) { return VEKClientGetVariableListByType(VEK_VAR_TYPE_MACRO, n, v); }); },
    [] { listing([](int *n, char ***v) { return VEKClientGetVariableListByType(VEK_VAR_TYPE_SELECTION, n, v); }); },
    [] { existence(VEKClientDirectoryExists, "Mining"); },
    [] { existence(VEKClientFileExists, "Grid3D"); },
    [] { existence(VEKClientVariableExists, "Grade"); },
    file_info,
    variable_info,
    [] { macro(false); },
    [] { macro(true); },
    [] { reading([](double *t, vek_long *n, double **d) { return VEKClientReadDoubleVariable(0, t, n, d); }); },
    [] {
      reading([](double *t, vek_long *n, double **d) { return VEKClientReadDoubleVariableSub(1, 10, 0, t, n, d); });
    },
    [] {
      reading([](double *t, vek_long *n, double **d) { return VEKClientReadDoubleVariableSub(-1, -1, 0, t, n, d); });
    },
    [] {
      reading([](double *t, vek_long *n, double **d) {
        int count = 0, r = VEKClientReadLineDoubleVariable(2, t, &count, d) ? 1 : 0;
        *n = count;
        return r;
      });
    },
    [] { check_result(VEKClientSetStudy("Demo")); },
    [] { check_result(VEKClientSetVariable("Grade")); },
    [] { check_result(VEKClientSetSelection(NULL)); },
    [] { check_result(VEKClientSetIndice(2)); },
    [] { check_result(VEKClientSetAlphaIndice("Cu")); },
    [] { check_result(VEKClientSetUnitMode(1)); },
    [] { check_result(VEKClientSetVariableUnit("m", "km")); },
    [] { check_result(VEKClientSetCreationUnits("m", "m", "m")); },
    [] { check_result(VEKClientWriteDoubleVariable(0, kUndef, 6, kValues)); },
    [] { check_result(VEKClientWriteDoubleVariable(1, kUndef, 6, kValues)); },
    [] { check_result(VEKClientWriteDoubleVariableSub(1, 6, 0, kUndef, 6, kValues)); },
    [] { check_result(VEKClientWriteDoubleVariableSub(4, 7, 0, kUndef, 4, kValues)); },
    [] { check_result(VEKClientWriteDoubleVariableSub(-1, -1, 0, kUndef, 6, kValues)); },
    [] { check_result(VEKClientWriteLineDoubleVariable(2, kUndef, 3, kValues) ? 1 : 0); },
    [] { check_result(VEKClientNewDoubleVariable("Simu[xxxxx]", 32, 0, 10, 3, "m")); },
    [] { check_result(VEKClientNewPointsFile("P", 2, kValues, kValues + 2, NULL)); },
    [] { check_result(VEKClientPointsFileAppend(2, kValues, kValues + 2, NULL)); },
    [] { check_result(VEKClientDeleteVariable()); },
    [] { check_result(VEKClientDisconnect()); },
    reading_into,
};
const size_t kCallCount = sizeof kCalls / sizeof kCalls[0];

/* The session as the handshake with that server would have left it. */
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

void quiet(const char *text) { check(strlen(text) < VEK_MSG_SIZE); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  VEK_ERROR_FUNCTION = quiet;
  /* A safety net only: the pieces and the closing end every wait at once. */
  _vek_answer_timeout_ms = 2000;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  set_pieces(data + 6, size - 6);
  _vek_client64 = 1;
  _vek_client_linked_version = data[4] & 2 ? 409 : VEK_PROTOCOL_VERSION;
  FILE *trace = data[4] & 4 ? fopen("/dev/null", "w") : NULL;
  _vek_trace_file = trace;
  _vek_trace_level = trace ? 5 : 0;
  _vek_empty_read_buffer();
  _vek_empty_write_buffer();
  size_t call = data[0] % kCallCount;
  if (call > 1) pretend_connected(data);
  _vek_fail_allocation(data[5]);
  kCalls[call]();
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
