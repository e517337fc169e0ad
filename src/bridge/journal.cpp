/*
 * The items a write of the R functions has created, or was about to create
 * when it stopped: a write that fails or is interrupted removes them again
 * (R/undo.R). A note is taken before each creation is asked for, since an
 * interrupt may end the call after the server made the item and before its
 * answer came; it names the item's whole path, because an interrupt also
 * closes the connection and the target is gone by the time R cleans up.
 *
 * Notes are taken only while R has armed the journal, so that the entry
 * points called alone (or by the console dialogues) collect nothing.
 */
#include <string>
#include <vector>

#include "bridge.h"

namespace {
struct st_note {
  int kind;
  std::string study, directory, file, name;
};
int ARMED;
std::vector<st_note> NOTES;
}  // namespace

void st_journal_note(int kind, const char *name) {
  if (!ARMED) return;
  st_note n;
  n.kind = kind;
  n.study = REF_study;
  n.directory = REF_directory;
  /* A File being created is not yet the target's File. */
  n.file = kind == ST_NOTE_FILE ? "" : REF_file;
  n.name = name != NULL ? name : "";
  NOTES.push_back(n);
}

/* SJournal(arm): the notes taken since the journal was last armed, as a
 * list of equal vectors (kind, study, directory, file, name); the notes are
 * dropped, and notes are taken from now on when `arm` is TRUE. It touches
 * neither the server nor the target, so it is no call in between for the
 * copies that skip a path the server already holds (st_path_is_current),
 * and it runs outside st_entry: nothing here needs unwinding, and the notes
 * stay until the list is made. */
extern "C" SEXP SJournal(SEXP s_arm) {
  const R_xlen_t n = (R_xlen_t)NOTES.size();
  const char *names[] = {"kind", "study", "directory", "file", "name", ""};
  SEXP out = PROTECT(Rf_mkNamed(VECSXP, names));
  SEXP kind = Rf_allocVector(INTSXP, n);
  SET_VECTOR_ELT(out, 0, kind);
  for (int f = 1; f < 5; f++) SET_VECTOR_ELT(out, f, Rf_allocVector(STRSXP, n));
  for (R_xlen_t i = 0; i < n; i++) {
    const st_note &note = NOTES[(size_t)i];
    INTEGER(kind)[i] = note.kind;
    const std::string *text[4] = {&note.study, &note.directory, &note.file, &note.name};
    for (int f = 0; f < 4; f++) SET_STRING_ELT(VECTOR_ELT(out, f + 1), i, Rf_mkCharCE(text[f]->c_str(), CE_UTF8));
  }
  NOTES.clear();
  ARMED = Rf_asLogical(s_arm) == TRUE;
  UNPROTECT(1);
  return out;
}
