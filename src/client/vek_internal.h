/*
 * Internal interface of the client library: library-wide state, the
 * diagnostics, the socket primitives, the typed stream codec and the request
 * exchange. Exported unmangled like the public functions so that tests and
 * the reference server can reach them.
 */
#ifndef VEK_INTERNAL_H
#define VEK_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <time.h>

#include "VEKClient.h"
#include "VEKOs.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VEK_LIBRARY_VERSION "2015.3-160211"
#define VEK_LIBRARY_VERSION_SHORT "15.03-160211"
#define VEK_DEFAULT_PORT 5500
#define VEK_SERVICE_NAME "VEKserver"
#define VEK_VENDOR_URL "https://www.orvane.example"
#define VEK_MSG_SIZE 1024
#define VEK_BUFFER_SIZE 1024
/* Room for a request keyword and its NUL: every keyword of the protocol fits. */
#define VEK_KEYWORD_SIZE 11
#define VEK_NOT_INITIALIZED "VEKClient library has not been initialized"
#define VEK_UPGRADE_MESSAGE "Please upgrade your server (" VEK_VENDOR_URL ")"

/* ---- diagnostics ---- */
extern int _vek_is_server;
extern int _vek_client_dbg_mode;
extern int _vek_trace_level;
extern FILE *_vek_trace_file;

/* The default error function and the writer of debug lines: the standard
 * streams in a plain program (diag_stdio.cpp), the host's console in R. */
void st_def_error(const char *text);
void st_def_debug(const char *text);
const char *_vek_program_tag(void);
void _vek_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void _vek_perror(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void _vek_herror(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void _vek_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void _vek_trace_init(void);
void _vek_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void _vek_trace_func_start(const char *name, int with_args);
void _vek_trace_func_end(const char *fmt, ...);
void _vek_trace_end(void);
const char *st_get_time(void);
const char *st_get_date(void);
int st_get_pid(void);
/* Forgets that the trace was decided, so a test can decide it again. */
void _vek_trace_reset_for_tests(void);

/* Entry trace of a public function: the name, then its argument line. */
#define VEK_TRACE_ENTRY(name, ...)    \
  do {                                \
    if (_vek_trace_level >= 1) {      \
      _vek_trace_func_start(name, 1); \
      _vek_trace(__VA_ARGS__);        \
    }                                 \
  } while (0)
#define VEK_TRACE_ENTRY_NOARGS(name)                           \
  do {                                                         \
    if (_vek_trace_level >= 1) _vek_trace_func_start(name, 0); \
  } while (0)
#define VEK_TRACE(level, ...)                                 \
  do {                                                        \
    if (_vek_trace_level >= (level)) _vek_trace(__VA_ARGS__); \
  } while (0)
/* Text of a possibly null string for traces. */
#define VEK_STR(s) ((s) ? (s) : "(nil)")

/* ---- host hooks ----
 * A host with its own event loop (R) is asked, during every wait on the
 * server and through a long transfer, whether its user wants to stop. A
 * non-zero answer is remembered in _vek_interrupted: from then on every
 * wait fails at once (errno EINTR), the request fails with code 2 and the
 * connection is closed, since its answer may still come at any time. The
 * host clears the flag once it has dealt with the interrupt. Both hooks are
 * null in a plain program. */
extern int (*_vek_interrupt_function)(void);
/* Called with (0, total) as a bulk transfer of `total` values starts, then
 * as it goes and with (total, total) at its end; non-zero stops it like an
 * interrupt. */
extern int (*_vek_progress_function)(double done, double total);
extern int _vek_interrupted;
/* 1 when the host asked to stop (asking it if it has not yet said so). */
int _vek_check_interrupt(void);
/* Set by a wait that reached its time limit (errno ETIMEDOUT); the host
 * clears it before a call to learn whether the call timed out. */
extern int _vek_timed_out;
void _vek_time_out(void);
/* Called where a receive or a send finds the connection ended by the peer
 * (end of stream, reset, broken pipe). */
void _vek_peer_gone(void);
/* errno after a failed send or receive (r its result, 0: end of stream):
 * notes a connection the peer ended. */
void _vek_note_io_failure(long r);
/* 1 once the exchange under way met a time-out or the end of the
 * connection: its answer may still come, or never, and nothing would tell
 * it from the next request's, so the connection is closed instead of
 * drained. Cleared when a request is opened or a connection made. */
extern int _vek_exchange_lost;

/* ---- failures as data ----
 * What a failed public function met, for a host that reports failures in
 * its own words rather than with the library's texts. A failure point
 * records its kind (the first of a function counts); the kind goes with
 * the code when the function stores it, and is cleared for the next. */
enum {
  VEK_FAIL_NONE = 0,
  VEK_FAIL_USAGE,         /* refused before anything was sent (code 1) */
  VEK_FAIL_COMMUNICATION, /* a socket call failed, an answer could not be read */
  VEK_FAIL_ANSWER,        /* the server answered another keyword than the one expected */
  VEK_FAIL_SERVER,        /* the server answered "SERROR" */
  VEK_FAIL_MEMORY,
  VEK_FAIL_CLOSED,  /* the peer ended the connection */
  VEK_FAIL_TIMEOUT, /* nothing came within the time limit */
  VEK_FAIL_REFUSED, /* nothing accepts connections on that host and port */
  VEK_FAIL_HOST,    /* the host name is not known */
  VEK_FAIL_LAUNCH   /* the launched program ended or reported nonsense */
};
extern int _vek_failure;
void _vek_fail(int kind);
/* Told the code and kind of every public function that fails (null in a
 * plain program). */
extern void (*_vek_failure_function)(int code, int kind);

/* ---- heap ----
 * Every allocation of the client (and the bridge's mem_alloc) goes through
 * these; blocks are released with _vek_free(). */
void *_vek_malloc(size_t n);
void *_vek_calloc(size_t n, size_t size);
void *_vek_realloc(void *p, size_t n);
void _vek_free(void *p);
/* Blocks handed out and not yet released, whoever holds them. */
long _vek_live_blocks(void);
/* Tests only: the n-th allocation from now fails, once (0: none). Returns
 * how many were still to go before the previous setting's failure: more
 * than 0 when the calls made since then did not reach it. */
long _vek_fail_allocation(long n);
/* Asks the kernel for huge pages under the whole 2 MiB pages of a large,
 * not yet touched block: its first touch then costs one fault per 2 MiB
 * rather than per 4 KiB, and values scattered over it by a grid reordering
 * no TLB miss each. A hint: where it is refused nothing changes. */
inline void _vek_prefer_huge_pages(void *p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t huge = (uintptr_t)2 << 20;
  if (p == NULL || bytes < 2 * huge) return;
  uintptr_t start = ((uintptr_t)p + huge - 1) & ~(huge - 1);
  uintptr_t end = ((uintptr_t)p + bytes) & ~(huge - 1);
  if (end > start) madvise((void *)start, end - start, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

/* ---- socket primitives ---- */
/* Waits for events on sock: 1 ready, 0 time limit reached, -1 failure or
 * interrupt (errno set). A negative timeout waits without limit; a sock of
 * -1 only lets the time pass. */
int _vek_wait_fd(int sock, short events, int timeout_ms);
/* Milliseconds of the monotonic clock since *start. */
long long _vek_elapsed_ms(const struct timespec *start);
int _vek_connect(const char *host, unsigned short port, int *sock);
int _vek_listen_port(unsigned short *port, int backlog, int *sock);
int _vek_wait_connect(int listen_sock, int *new_sock, int blocking, int timeout_seconds);
void _vek_close_socket(int *sock);

/* ---- codec (1 on success, 0 on failure) ---- */
extern int _vek_disable_rw_trace;
extern int _vek_client64;
extern int _vek_server64;

typedef int (*vek_elem_op)(int sock, void *element, unsigned maxsize);

int _vek_write_int(int sock, const int *v);
int _vek_write_uint(int sock, const unsigned *v);
int _vek_write_bool(int sock, const int *v);
int _vek_write_char(int sock, const signed char *v);
int _vek_write_uchar(int sock, const unsigned char *v);
int _vek_write_short(int sock, const short *v);
int _vek_write_ushort(int sock, const unsigned short *v);
int _vek_write_double(int sock, const double *v);
int _vek_write_long(int sock, const vek_long *v);
int _vek_write_string(int sock, char **value, unsigned maxsize);
int _vek_write_bytes(int sock, const void *p, size_t n);
int _vek_read_int(int sock, int *v);
int _vek_read_uint(int sock, unsigned *v);
int _vek_read_bool(int sock, int *v);
int _vek_read_char(int sock, signed char *v);
int _vek_read_uchar(int sock, unsigned char *v);
int _vek_read_short(int sock, short *v);
int _vek_read_ushort(int sock, unsigned short *v);
int _vek_read_double(int sock, double *v);
int _vek_read_long(int sock, vek_long *v);
int _vek_read_string(int sock, char **value, unsigned maxsize);
/* The result code of a string read that failed: VEK_RESULT_MEMORY when it
 * found no memory for the string, VEK_RESULT_COMMUNICATION otherwise. */
int _vek_read_failed_code(void);
int _vek_read_bytes(int sock, void *p, size_t n);
int _vek_rw_vector(int sock, void *array, size_t n, unsigned elem_size, vek_elem_op op);
void _vek_empty_write_buffer(void);
void _vek_empty_read_buffer(void);
int _vek_flush_write(int sock);
int _vek_flush_read(int sock, int need);

/* The values of a bulk write, produced while it goes rather than held in
 * one array: next(ctx, at, want, &run) points run at the values from `at`
 * on (at being where the previous run ended) and returns how many of them
 * it holds there, 1 to want; 0 stops the write. */
typedef size_t (*vek_next_values)(void *ctx, size_t at, size_t want, const double **run);
typedef struct {
  vek_next_values next;
  void *ctx;
} vek_value_source;
/* n doubles from src, with the bytes, sends and trace of _vek_rw_vector
 * over an array holding them. */
int _vek_write_double_source(int sock, size_t n, const vek_value_source *src);

/* Where the values of a read go as they arrive, rather than into an array
 * of the client's: window(ctx, at, &room) hands out room for the values
 * from `at` on (server order), at least one; placed(ctx, at, n) says that
 * the n values from `at` are in that room, for the sink to put them where
 * they belong. start(ctx, count, test_val) comes first, with the count and
 * the test value of the answer, before any value: non-zero refuses the
 * values (the read fails with code 2 and the answer is drained). None of
 * the three may leave by a jump (R error, exception): the client is in the
 * middle of an answer. */
typedef struct {
  int (*start)(void *ctx, vek_long count, double test_val);
  double *(*window)(void *ctx, size_t at, size_t *room);
  void (*placed)(void *ctx, size_t at, size_t n);
  void *ctx;
} vek_value_sink;
/* n doubles into sink, with the bytes and trace of _vek_rw_vector and the
 * host told of the progress of the whole n. */
int _vek_read_double_sink(int sock, size_t n, const vek_value_sink *sink);

/* Element operations in the shape _vek_rw_vector expects. */
int _vek_read_int_elem(int sock, void *v, unsigned maxsize);
int _vek_read_double_elem(int sock, void *v, unsigned maxsize);
int _vek_write_double_elem(int sock, void *v, unsigned maxsize);

/* ---- session and request exchange ---- */
extern int _vek_server_socket;
extern int _vek_client_linked_version;
extern int _vek_client_server_version;
extern int _vek_client_n_supported_requests;
extern char **_vek_client_supported_requests;
extern int _vek_client_last_error;
/* Code of the last public function that failed, and the text of the last
 * "SERROR" answer: what a host reports about its call once the bridge has
 * called further functions. The host clears them before its call. */
extern int _vek_client_failed_code;
extern char _vek_server_message[VEK_MSG_SIZE];
/* Wait for the first byte of an answer, in milliseconds. Tests lower it so
 * that a silent peer does not cost them half a minute. */
extern int _vek_answer_timeout_ms;
/* How long the drain after a failed exchange waits for more of the failed
 * answer, in milliseconds. Tests that make many requests fail on purpose
 * lower it, so that each failure does not cost them half a second. */
extern int _vek_drain_wait_ms;

int _vek_start_packet(const char *keyword);
/* Sends the packet and reads the answer's keyword into answer (16 bytes),
 * which holds it only when 0 is returned. */
int _vek_send_and_wait(char *answer);
int _vek_check_answer(const char *answer, const char *expected);
void _vek_cleanup_socket(void);
/* 1 when the peer has ended the connection, learnt without sending
 * anything (a zero-time poll); the connection is then closed. */
int _vek_drop_ended_connection(void);
int _vek_is_supported(const char *keyword, bool verbose);
int _vek_init_client(const char *host, unsigned short port);
void _vek_close_client(void);

/* 1 for a server that takes the extended protocol (units, physical names). */
int _vek_is_extended_server(void);

/*
 * The exchange every request shares. A request function reads:
 *
 *   VEK_TRACE_ENTRY(...);
 *   int code = _vek_request("CKEYWORD");            // 0 or 2
 *   if (!code && !_vek_write_int(S, &x)) code = 2;  // arguments
 *   if (!code) code = _vek_answer("SANSWER");        // 0, 2 or 3
 *   if (!code && !_vek_read_int(S, &y)) code = 2;    // answer fields
 *   return _vek_finish(code);
 */
#define VEK_SOCK _vek_server_socket
int _vek_request(const char *keyword);
int _vek_answer(const char *expected);
/* Cleans the socket after a failure, traces the end with the code, stores
 * it and returns 0 for success, 1 otherwise. */
int _vek_finish(int code);
/* The same without the trace end line (for functions whose end line
 * differs) and without touching the socket on success. */
int _vek_store(int code);

/* A list of names: int count, then count string(10000). On failure the
 * list is released and *count is 0. Returns 0, 2 or 4. */
int _vek_read_name_list(int *count, char ***names);
/* Runs the exchange "keyword" -> "answer" with optional int filters and
 * reads a name list. Returns the code (0, 2, 3 or 4). */
int _vek_list_exchange(const char *keyword, const char *answer, int nfilters, const int *filters, int *count,
                       char ***names);

/* ---- launch ---- */
int search_in_path(const char *name, char separator, char *path);
/* Reaps the servers this process launched that have ended (so that none is
 * left a zombie) and puts the process ids of those still running into
 * pids (at most max); returns their number. Without pids it only reaps. */
int _vek_reap_servers(int *pids = NULL, int max = 0);
int st_file_exists(const char *path);
int _vek_exec_server(const char *path, char **argv);
/* Stops launched servers (pids, n of them; null: all) with all their
 * process group: SIGTERM, up to grace_ms for them to end, then SIGKILL.
 * Each is reaped. Returns how many were still running. */
int _vek_stop_servers(const int *pids, int n, int grace_ms);

/* ---- transfers ---- */
/* VEKClientWriteDoubleVariable with the values produced as they are sent
 * (a caller that reorders them need not build the whole array first). */
int _vek_write_double_variable_from(int transfer_flag, double test_val, vek_long count, const vek_value_source *src);
/* VEKClientReadDoubleVariable with the values handed to sink as they
 * arrive (a caller that keeps them elsewhere, reordered, need not hold the
 * whole answer twice). 0 on success, 1 on failure, with the result code. */
int _vek_read_double_variable_into(int transfer_flag, const vek_value_sink *sink);

/* ---- descriptions ---- */
int _vek_get_line_samples(int *line_count, int **samples_per_line);

#ifdef __cplusplus
}
#endif

#endif /* VEK_INTERNAL_H */
