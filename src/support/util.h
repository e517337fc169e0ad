/*
 * R support layer: console messages and dialogue, undefined values, memory,
 * and conversion between R values and plain arrays.
 *
 * Every text goes through four routing slots bound by io_define() to small
 * adapters over R's console. A fatal message (mes_abort) leaves the current
 * R call; because a longjmp across C++ frames would skip destructors, the
 * abort is a C++ exception (util_abort) that util_protected_call() catches at
 * the R entry point, after which the per-call allocations are released and
 * only then the R error is raised.
 */
#ifndef ORVANE_UTIL_H
#define ORVANE_UTIL_H

#include <Rcpp.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "routing.h"

/* Undefined values shared by the whole bridge. */
#define UTIL_UNDEF_INT (-1234567)
#define UTIL_UNDEF_REAL 1.234e30
#define UTIL_UNDEF_LIMIT 1.0e30

/* Fixed buffers of the message routines and readers. An answer holds at
 * most UTIL_ANSWER_MAX characters (R_Read refuses a longer one and asks
 * again); lire_string's caller must therefore provide at least
 * UTIL_BUFFER_SIZE bytes. */
#define UTIL_STRING_SIZE 1000
#define UTIL_LINE_SIZE 1000
#define UTIL_BUFFER_SIZE 100
#define UTIL_ANSWER_MAX 98

#define UTIL_ABORT_MESSAGE "Abort caught by C and return to R"

/* ---- routing slots and their R adapters ---- */
typedef void (*util_read_func)(const char *prompt, char *answer);
typedef void (*util_exit_func)(void);

void io_define(void);
void R_Write(const char *string, ...);
void R_Warning(const char *string, ...);
void R_Read(const char *prompt, char *answer);
void R_Exit(void);

/* ---- undefined values ---- */
int FFFF(double value);
int IFFFF(int value);

/* ---- messages ---- */
void message(const char *format, ...) __attribute__((format(printf, 1, 2)));
void messerr(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Does not come back when routed to R (the usual case). */
void mes_abort(const char *format, ...) __attribute__((format(printf, 1, 2)));
void mestitle(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* messerr (fatal 0) or mes_abort (fatal 1) of a line that carries its
 * refusal record (see util_refuse). */
void util_refuse_line(int fatal, int kind, int level, const char *item, int given, const char *format, va_list ap);

/* ---- console readers ---- */
int lire_logical(const char *question, int flag_def, int valdef);
int lire_int(const char *question, int flag_def, int valdef, int valmin, int valmax);
/* `answer` must hold UTIL_BUFFER_SIZE bytes; a longer default is cut. */
void lire_string(const char *question, int flag_def, const char *valdef, char *answer);

/* ---- memory ---- */
char *mem_alloc(int size, int flag_fatal);
char *mem_free(char *tab);

/* ---- R value conversion ---- */
/* Support layer only: aborts on a wrong R type or an over-long value. */
void st_OK(const char *call_name, SEXP sexp_name, int max_args, int nok, int *ok_type);

int RC_get_value_integer(SEXP sexp_name, const char *slot_name);
std::string RC_get_value_char(SEXP sexp_name, const char *slot_name);
int *RC_get_array_integer(SEXP sexp_name, const char *slot_name, int *count);
double *RC_get_array_double(SEXP sexp_name, const char *slot_name, int *count);
std::vector<std::string> RC_get_array_char(SEXP sexp_name, const char *slot_name, int *count);
/* For values read in place rather than copied: the length of a numeric,
 * integer or logical R vector (0 for NULL); any other type aborts with the
 * message of RC_get_array_double. */
R_xlen_t RC_check_array_double(SEXP sexp_name);
/* A new numeric R vector of n values, left for the caller to fill; a failed
 * allocation unwinds the call like any R error. */
Rcpp::NumericVector RC_new_array_double(R_xlen_t n);
std::vector<int> RC_set_array_integer(int ntab, int *itab);
std::vector<double> RC_set_array_double(int ntab, double *rtab);
std::vector<std::string> RC_set_array_char(int ntab, char **names);

/* ---- leaving an R call safely ---- */

/* Thrown by R_Exit (and by the readers at the end of console input); carries
 * the text of the R error raised once the C++ frames are unwound. */
struct util_abort {
  char text[UTIL_STRING_SIZE];
};
[[noreturn]] void util_throw_abort(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Copies at most size-1 bytes of src and always terminates dest. */
void util_copy(char *dest, size_t size, const char *src);

/* Bookkeeping of one protected R call: mem_alloc blocks made during the call
 * are remembered so that an unwound call can release them. */
void util_call_enter(void);
void util_call_leave(int unwound);
int util_call_depth(void);
/* Number of mem_alloc blocks handed out and not yet released (tests). */
int util_live_blocks(void);
/* Draws at once, then closes, the bar a long transfer of `total` values
 * shows when `done` have crossed (tests). */
void util_progress_draw(double done, double total);

/* Exported by R, declared in no header meant for packages: raises R's
 * interrupt condition as a pending Ctrl-C would. */
extern "C" void Rf_onintr(void);

/*
 * Runs `body` (a callable returning SEXP) as the body of an R entry point.
 * A bridge abort, an end of console input, any C++ exception (Rcpp's
 * conversion errors, std::bad_alloc) and an R longjmp caught by
 * Rcpp::unwindProtect all unwind the C++ frames first; `on_unwind` (may be
 * null) and the block registry then release what the call held, and only
 * after that is the R error raised (or the R jump resumed, or an interrupt
 * taken by the client raised) from this frame, which holds no C++ object
 * with a destructor.
 */
template <class F>
SEXP util_protected_call(F &&body, void (*on_unwind)(void)) {
  char text[UTIL_STRING_SIZE];
  int failed = 0;
  SEXP token = NULL;
  SEXP result = R_NilValue;
  text[0] = '\0';
  util_call_enter();
  try {
    io_define();
    result = body();
  } catch (const util_abort &e) {
    failed = 1;
    util_copy(text, sizeof text, e.text);
  } catch (Rcpp::LongjumpException &e) {
    failed = 1;
    token = e.token;
  } catch (const std::bad_alloc &) {
    failed = 1;
    util_copy(text, sizeof text, "Memory allocation failed in C++ code");
  } catch (const std::exception &e) {
    failed = 1;
    util_copy(text, sizeof text, e.what());
  } catch (...) {
    failed = 1;
    util_copy(text, sizeof text, "Unknown C++ exception caught by C and return to R");
  }
  if (failed && on_unwind != NULL) on_unwind();
  /* An interrupt taken by a wait on the server made the call fail on its
   * way out; the user gets it as R's interrupt, not as an error. */
  int interrupted = util_call_depth() == 1 && util_call_finish();
  util_call_leave(failed);
  if (token != NULL) Rcpp::internal::resumeJump(token);
  if (interrupted) Rf_onintr();
  if (failed) Rf_error("%s", text);
  return result;
}

#endif /* ORVANE_UTIL_H */
