/*
 * The client library inside R: where its error and debug lines go, how its
 * waits learn of a Ctrl-C, and the progress bar of a long transfer; and the
 * capture of what one call prints, which the package's R functions turn
 * into messages and conditions.
 *
 * R requires that code loaded into it write through R's console and never
 * jump over C++ frames: the client's two default writers are defined here
 * over Rprintf/REprintf (a plain program links client/diag_stdio.cpp
 * instead), and an interrupt is only noted here, the call unwinding
 * normally before util_protected_call raises it. Plain C against R's API,
 * like the client it binds.
 */
#include <string>
#include <vector>

#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>
#include <cli/progress.h>

#include "routing.h"
#include "vek_internal.h"

/* ------------------------------------------------------------------ */
/* Capture of one call's output                                        */
/* ------------------------------------------------------------------ */

/* While a capture runs, the bridge's texts and the client's error and debug
 * lines are kept, each with its kind, instead of (or, for a dialogue, as
 * well as) being written on the console. Each error line also keeps the
 * kind of failure it reports, as its writer gave it: the bridge with the
 * line (util_refuse), the client when the function that raised it stores
 * its failed code. */
#define OUT_MESSAGE 'M'      /* the bridge's message, mestitle */
#define OUT_ERROR 'E'        /* the bridge's messerr, mes_abort */
#define OUT_CLIENT_ERROR 'C' /* the client's error function */
#define OUT_CLIENT_DEBUG 'D' /* the client's debug lines */

namespace {
struct captured {
  char kind;
  std::string text;
  int what; /* util_kind of an error line, 0 for none */
  int level;
  int given;
  std::string item;
};
struct capture_mode {
  int mode;        /* 1 keeps the texts, 2 also writes them (a dialogue must be seen while kept) */
  int client_kind; /* of the first client function that failed under it */
};
}  // namespace

static std::vector<captured> CAPTURED;
/* The captures under way, innermost last. */
static std::vector<capture_mode> CAPTURES;
static util_write_func CONSOLE_WRITE = NULL;

static int capturing(void) { return CAPTURES.empty() ? 0 : CAPTURES.back().mode; }

static void keep(char kind, const char *text) {
  if (text == NULL || *text == '\0') return;
  /* The bridge writes a line in pieces (text, then its line end); an error
   * line is a piece of its own, with its own record. */
  if ((kind == OUT_MESSAGE || kind == OUT_ERROR) && !CAPTURED.empty() && CAPTURED.back().kind == kind &&
      (kind == OUT_MESSAGE || CAPTURED.back().text.back() != '\n')) {
    CAPTURED.back().text += text;
    return;
  }
  captured c = {kind, text, UTIL_KIND_NONE, 0, 1, ""};
  if (kind == OUT_ERROR) {
    util_refusal r = util_current_refusal();
    c.what = r.kind;
    c.level = r.level;
    c.given = r.given;
    c.item = r.item ? r.item : "";
  }
  CAPTURED.push_back(c);
}

static int client_kind(int vek_fail) {
  switch (vek_fail) {
    case VEK_FAIL_USAGE: return UTIL_KIND_USAGE;
    case VEK_FAIL_SERVER: return UTIL_KIND_SERVER;
    case VEK_FAIL_MEMORY: return UTIL_KIND_MEMORY;
    case VEK_FAIL_CLOSED: return UTIL_KIND_CLOSED;
    case VEK_FAIL_TIMEOUT: return UTIL_KIND_TIMEOUT;
    case VEK_FAIL_REFUSED: return UTIL_KIND_REFUSED;
    case VEK_FAIL_HOST: return UTIL_KIND_HOST;
    case VEK_FAIL_LAUNCH: return UTIL_KIND_LAUNCH;
    default: return UTIL_KIND_COMMUNICATION;
  }
}

/* The client's failure hook: its error lines not yet given a kind are the
 * failed function's. */
static void client_failed(int, int vek_fail) {
  int kind = client_kind(vek_fail);
  for (size_t i = CAPTURED.size(); i > 0; i--) {
    captured &c = CAPTURED[i - 1];
    if (c.kind != OUT_CLIENT_ERROR) continue;
    if (c.what != UTIL_KIND_NONE) break;
    c.what = kind;
  }
  for (capture_mode &m : CAPTURES)
    if (m.client_kind == UTIL_KIND_NONE) m.client_kind = kind;
}

static void capture_write(const char *text, ...) {
  keep(util_writing_error() ? OUT_ERROR : OUT_MESSAGE, text);
  if (capturing() == 2 && CONSOLE_WRITE != NULL) CONSOLE_WRITE(text);
}

/* SCaptureBegin(tee): starts keeping, and clears the client's failed code,
 * SERROR text and time-out flag so that they describe this call. Captures
 * nest: the mark returned tells SCaptureEnd where this one began. */
extern "C" SEXP SCaptureBegin(SEXP s_tee) {
  if (CAPTURES.empty()) CONSOLE_WRITE = util_route_write(capture_write);
  CAPTURES.push_back({Rf_asInteger(s_tee) ? 2 : 1, UTIL_KIND_NONE});
  _vek_client_failed_code = 0;
  _vek_server_message[0] = '\0';
  _vek_timed_out = 0;
  return Rf_ScalarInteger((int)CAPTURED.size());
}

/* SCaptureEnd(mark): what was printed since the mark, in order, each piece
 * with its kind and, for an error line, the kind of failure it reports
 * ("what") and the level, item and whether the caller named it; the code
 * of the client's last failed function (0: none) and the kind of its first
 * ("client"), the text of a "SERROR" answer, and whether a wait reached
 * its limit. */
extern "C" SEXP SCaptureEnd(SEXP s_mark) {
  int mark = Rf_asInteger(s_mark);
  if (mark < 0 || (size_t)mark > CAPTURED.size()) mark = (int)CAPTURED.size();
  R_xlen_t n = (R_xlen_t)(CAPTURED.size() - (size_t)mark);
  const char *names[] = {"kind", "text", "what", "level", "item", "given", "code", "client", "server", "timed_out", ""};
  SEXP out = PROTECT(Rf_mkNamed(VECSXP, names));
  SEXP kinds = Rf_allocVector(STRSXP, n);
  SET_VECTOR_ELT(out, 0, kinds);
  SEXP texts = Rf_allocVector(STRSXP, n);
  SET_VECTOR_ELT(out, 1, texts);
  SEXP whats = Rf_allocVector(STRSXP, n);
  SET_VECTOR_ELT(out, 2, whats);
  SEXP levels = Rf_allocVector(INTSXP, n);
  SET_VECTOR_ELT(out, 3, levels);
  SEXP items = Rf_allocVector(STRSXP, n);
  SET_VECTOR_ELT(out, 4, items);
  SEXP given = Rf_allocVector(LGLSXP, n);
  SET_VECTOR_ELT(out, 5, given);
  for (R_xlen_t i = 0; i < n; i++) {
    const captured &c = CAPTURED[(size_t)mark + (size_t)i];
    const char kind[2] = {c.kind, '\0'};
    SET_STRING_ELT(kinds, i, Rf_mkChar(kind));
    SET_STRING_ELT(texts, i, Rf_mkCharLen(c.text.data(), (int)c.text.size()));
    SET_STRING_ELT(whats, i, Rf_mkChar(util_kind_name(c.what)));
    INTEGER(levels)[i] = c.level;
    SET_STRING_ELT(items, i, Rf_mkCharLen(c.item.data(), (int)c.item.size()));
    LOGICAL(given)[i] = c.given != 0;
  }
  int client = CAPTURES.empty() ? UTIL_KIND_NONE : CAPTURES.back().client_kind;
  SET_VECTOR_ELT(out, 6, Rf_ScalarInteger(_vek_client_failed_code));
  SET_VECTOR_ELT(out, 7, Rf_mkString(util_kind_name(client)));
  SET_VECTOR_ELT(out, 8, Rf_mkString(_vek_server_message));
  SET_VECTOR_ELT(out, 9, Rf_ScalarLogical(_vek_timed_out != 0));
  CAPTURED.resize((size_t)mark);
  if (!CAPTURES.empty()) CAPTURES.pop_back();
  if (CAPTURES.empty()) {
    util_route_write(CONSOLE_WRITE);
    CAPTURED.clear();
  }
  UNPROTECT(1);
  return out;
}

/* ------------------------------------------------------------------ */
/* The client's writers                                                */
/* ------------------------------------------------------------------ */

extern "C" void st_def_error(const char *text) {
  int mode = capturing();
  if (mode) keep(OUT_CLIENT_ERROR, text);
  if (mode != 1) REprintf("%s ERROR: %s\n", _vek_program_tag(), text);
}

extern "C" void st_def_debug(const char *text) {
  int mode = capturing();
  if (mode) keep(OUT_CLIENT_DEBUG, text);
  if (mode != 1) Rprintf("%s Debug: %s\n", _vek_program_tag(), text);
}

/* ------------------------------------------------------------------ */
/* Interrupts                                                          */
/* ------------------------------------------------------------------ */

/* Set once R_CheckUserInterrupt has taken a pending Ctrl-C; raised again by
 * util_protected_call after the call has unwound. */
static int INTERRUPT_TAKEN;

/* Runs R code at top level, where a jump out of it ends instead of crossing
 * the client's frames. R code checks for a pending Ctrl-C as it runs, so a
 * jump is taken for the interrupt (as Rcpp does); R has printed any error. */
static int run_at_top_level(void (*fn)(void *), void *data) {
  if (R_ToplevelExec(fn, data)) return 1;
  INTERRUPT_TAKEN = 1;
  return 0;
}

static void check_interrupt(void *) { R_CheckUserInterrupt(); }

static int r_interrupted(void) {
  if (!INTERRUPT_TAKEN) run_at_top_level(check_interrupt, NULL);
  return INTERRUPT_TAKEN;
}

/* ------------------------------------------------------------------ */
/* Progress of long transfers                                          */
/* ------------------------------------------------------------------ */

/* The bar appears once a transfer has run this long; until then a
 * transfer costs one clock reading per send or receive. */
#define BAR_AFTER_MS 2000
/* Ticks of the bar, and of the question about an interrupt while values
 * flow (a stalled transfer asks through its waits). */
#define TICK_MS 100

static struct {
  long long start;
  long long last;
  double total;
  SEXP bar;
} PROGRESS = {0, 0, 0, NULL};

static long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000LL;
}

/* Interactive sessions only, and not when options(orvanelink.progress =
 * FALSE): a log or a knitr report has no use for a bar. */
static void progress_wanted(void *data) {
  SEXP opt = Rf_GetOption1(Rf_install("orvanelink.progress"));
  int on = Rf_isNull(opt) || Rf_asLogical(opt) == TRUE;
  if (on) {
    SEXP call = PROTECT(Rf_lang1(Rf_install("interactive")));
    on = Rf_asLogical(Rf_eval(call, R_BaseEnv)) == TRUE;
    UNPROTECT(1);
  }
  *static_cast<int *>(data) = on;
}

/* The bar counts the bytes the values take on the wire: cli prints them as
 * "472 MB / 800 MB" and "12 MB/s", where a count of values came out as
 * "59064441/1e+08" from R's number format. */
#define BYTES_PER_VALUE 8.0

/* Made once the transfer has run BAR_AFTER_MS: shown at once. */
static void bar_create(void *) {
  const char *names[] = {"format", "clear", "show_after", ""};
  SEXP config = PROTECT(Rf_mkNamed(VECSXP, names));
  SET_VECTOR_ELT(config, 0,
                 Rf_mkString("{cli::pb_bar} {cli::pb_percent} | {cli::pb_current_bytes} / {cli::pb_total_bytes} | "
                             "{cli::pb_rate_bytes} | {cli::pb_eta_str}"));
  SET_VECTOR_ELT(config, 1, Rf_ScalarLogical(TRUE));
  SET_VECTOR_ELT(config, 2, Rf_ScalarReal(0));
  SEXP bar = PROTECT(cli_progress_bar(PROGRESS.total * BYTES_PER_VALUE, config));
  R_PreserveObject(bar);
  PROGRESS.bar = bar;
  UNPROTECT(2);
}

static void bar_set(void *data) { cli_progress_set(PROGRESS.bar, *static_cast<double *>(data) * BYTES_PER_VALUE); }

static void bar_done(void *) { cli_progress_done(PROGRESS.bar); }

static void progress_end(void) {
  if (PROGRESS.bar == NULL) return;
  run_at_top_level(bar_done, NULL);
  R_ReleaseObject(PROGRESS.bar);
  PROGRESS.bar = NULL;
}

static int r_progress(double done, double total) {
  long long now = now_ms();
  if (done <= 0) {
    progress_end();
    PROGRESS.start = PROGRESS.last = now;
    PROGRESS.total = total;
    return 0;
  }
  if (done >= total) {
    progress_end();
    return 0;
  }
  if (now - PROGRESS.last < TICK_MS) return 0;
  PROGRESS.last = now;
  if (r_interrupted()) return 1;
  if (PROGRESS.bar == NULL && now - PROGRESS.start >= BAR_AFTER_MS) {
    int wanted = 0;
    if (run_at_top_level(progress_wanted, &wanted) && wanted) run_at_top_level(bar_create, NULL);
    PROGRESS.start = now;
  }
  if (PROGRESS.bar != NULL) run_at_top_level(bar_set, &done);
  return INTERRUPT_TAKEN;
}

void util_progress_draw(double done, double total) {
  progress_end();
  PROGRESS.total = total;
  run_at_top_level(bar_create, NULL);
  if (PROGRESS.bar != NULL) cli_progress_update(PROGRESS.bar, done * BYTES_PER_VALUE, 0, 1);
  progress_end();
}

/* ------------------------------------------------------------------ */
/* Binding                                                             */
/* ------------------------------------------------------------------ */

int util_call_finish(void) {
  progress_end();
  int taken = INTERRUPT_TAKEN;
  INTERRUPT_TAKEN = 0;
  _vek_interrupted = 0;
  return taken;
}

extern "C" void R_init_orvanelink(DllInfo *dll) {
  _vek_interrupt_function = r_interrupted;
  _vek_progress_function = r_progress;
  _vek_failure_function = client_failed;
  /* The R functions and the tests reach the entry points by name
   * (.Call("SConnectOrvane", ..., PACKAGE = "orvanelink")), so symbol
   * search stays on; nothing is registered by table. */
  R_registerRoutines(dll, NULL, NULL, NULL, NULL);
  R_useDynamicSymbols(dll, TRUE);
}
