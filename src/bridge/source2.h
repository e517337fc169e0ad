/*
 * R bridge, second half: variable transfer, Db compatibility and the
 * interactive browser. Routines shared between those files; everything else
 * they use comes from source.h.
 */
#ifndef ORVANE_SOURCE2_H
#define ORVANE_SOURCE2_H

#include "source.h"

/* ---- variable transfer ---- */

/* A read of the current variable into R: all items of a macro variable when
 * imacro is 0, item `imacro` from 1 otherwise, grid values put in Db order
 * with the orientation flags. Undefined samples become 1.234e30, or R's NA
 * when r_na is set (then also values above 1e30, as R users expect). */
struct st_read_request {
  int imacro = 0;
  int orient[3] = {1, 1, 1};
  int r_na = 0;
  /* Results: nvar*nech values, item-major; whether a macro variable. */
  Rcpp::NumericVector tab;
  int nvar = 0;
  int nech = 0;
  int macro = 0;
};
/* Fills r's results; 1 on failure, after a message, with an empty tab. */
int st_read_variable(const char *var_name, st_read_request &r);
/* Makes var_name current; for a macro variable hands its indices back in
 * *ind (release with VEKClientFreePointer) and asks which item to take. */
int st_define_macro(const char *var_name, int **ind, int *imacro);
void st_check_variable_name(char *var_name);
int st_variable_exists(char *var_name, int *exists);

/* Copies `count` values read from the server, the server's test value
 * becoming the bridge's undefined value. */
void st_copy_read_values(double *dest, const double *src, int64_t count, double test_val);

/* Byte size of `count` doubles for mem_alloc, or -1 (after a message naming
 * `what`) when it does not fit the allocator's int. */
int st_double_bytes(int64_t count, const char *what);

/* ---- Db compatibility ---- */
int st_check_compatibility(void);
void st_print_vek(void);
void st_print_db(void);

/* ---- interactive browser ---- */
int st_get_action(const char *title, char **choices, int *ranks, int flag_start, int nchoice,
                  int flag_create, int flag_delete, int flag_up, int *answer);
int st_get_new_name(const char *question, char **choices, int nchoice, char *name);
int st_get_variable(int flag_create, int flag_delete, int flag_up);
int st_ask_and_create_variable(void);

#endif /* ORVANE_SOURCE2_H */
