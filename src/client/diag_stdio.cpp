/*
 * Where the client's error and debug lines go in a plain program (the
 * reference server, the native tests): the standard streams. The R package
 * does not build this file; its support layer defines both functions over
 * R's console instead, which R requires of code loaded into it.
 */
#include <stdio.h>

#include "vek_internal.h"

extern "C" {

void st_def_error(const char *text) { fprintf(stderr, "%s ERROR: %s\n", _vek_program_tag(), text); }

void st_def_debug(const char *text) {
  printf("%s Debug: %s\n", _vek_program_tag(), text);
  fflush(stdout);
}

} /* extern "C" */
