/*
 * Entry points around another call: what it prints is kept (and, for a
 * dialogue, shown as well), so that the package's R functions can emit it
 * as R messages or fold it into the condition that reports a failure.
 */
#include "source.h"
#include "vek_internal.h"

/* SCaptureBegin(tee): starts keeping; returns the mark for SCaptureEnd. */
extern "C" SEXP SCaptureBegin(SEXP s_tee) {
  return Rcpp::wrap(util_capture_begin(Rcpp::as<int>(s_tee)));
}

/* SCaptureEnd(mark): what was printed since the mark, in order, each piece
 * with its kind ("M" message, "E" error line of the bridge, "C" client
 * error, "D" client debug line); the code of the client's last failed
 * function (0: none), the text of a "SERROR" answer, and whether a wait
 * reached its time limit. */
extern "C" SEXP SCaptureEnd(SEXP s_mark) {
  std::vector<std::string> kinds, texts;
  util_capture_end(Rcpp::as<int>(s_mark), kinds, texts);
  return Rcpp::List::create(Rcpp::Named("kind") = kinds, Rcpp::Named("text") = texts,
                            Rcpp::Named("code") = _vek_client_failed_code,
                            Rcpp::Named("server") = std::string(_vek_server_message),
                            Rcpp::Named("timed_out") = _vek_timed_out != 0);
}
