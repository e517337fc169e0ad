/*
 * The body every R entry point runs in: what comes before and after each
 * call (launched servers reaped, a connection the client closed forgotten),
 * and what an unwound call releases.
 */
#ifndef ORVANE_ENTRY_H
#define ORVANE_ENTRY_H

#include <Rcpp.h>

#include "util.h"

/* Number of the entry point call under way (st_entry counts them). */
extern unsigned long ST_CALL;

/* Called on an unwound entry point before the block registry is swept: the
 * coordinate block of DESC_DB must not be left pointing at freed memory. */
void st_entry_unwind(void);
/* Run before the body of every entry point: reaps launched servers that
 * have ended, and forgets a connection the client has closed. */
void st_entry_start(void);
/* Run after it when it returns: a connection the client closed during the
 * call (interrupted, timed out, ended by the server) is no connection from
 * now on, and its launched server, if it ended, is reaped. A call that
 * unwinds leaves that to the next call's start. */
void st_entry_end(void);

/*
 * The body of every R entry point:
 *
 *   extern "C" SEXP SIsConnected(void) {
 *     return st_entry([&]() -> SEXP {
 *       return Rcpp::List::create(Rcpp::Named("error") = st_check_validity(0));
 *     });
 *   }
 *
 * io_define() has run before the body; an abort, an end of console input or
 * any C++ exception in the body becomes an R error after the call's
 * resources are released (see util_protected_call).
 */
template <class F>
SEXP st_entry(F &&body) {
  ST_CALL++;
  return util_protected_call(
      [&]() -> SEXP {
        st_entry_start();
        SEXP result = body();
        st_entry_end();
        return result;
      },
      st_entry_unwind);
}

/* The body of an entry point that computes on R values alone, neither
 * talking to the server nor touching the target: it is no call in between
 * for the calls that take up where the one before left (st_path_is_current,
 * a File taken as just described). */
template <class F>
SEXP st_local_entry(F &&body) {
  return util_protected_call([&]() -> SEXP { return body(); }, st_entry_unwind);
}

#endif /* ORVANE_ENTRY_H */
