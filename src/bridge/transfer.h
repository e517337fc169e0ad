/*
 * Variables between R and the server: the reads and writes of whole
 * variables that the transfer entry points, the whole-File ones and the Db
 * comparison share.
 */
#ifndef ORVANE_TRANSFER_H
#define ORVANE_TRANSFER_H

#include <cstdint>

#include "bridge.h"

/* A read of the current variable into R: all items of a macro variable when
 * imacro is 0, item `imacro` from 1 otherwise. The entry points' reads put
 * grid values in Db order with the orientation flags and undefined samples
 * as 1.234e30. The R functions' reads (for_r) take plain Db order and R's
 * NA for undefined samples and for values above 1e30, as R users expect;
 * their values go straight into tab as they arrive, not through the
 * client's array. */
struct st_read_request {
  int imacro = 0;
  int orient[3] = {1, 1, 1};
  bool for_r = false;
  /* Results: nvar*nech values, item-major; whether a macro variable. */
  Rcpp::NumericVector tab;
  int nvar = 0;
  int nech = 0;
  int macro = 0;
};
/* Fills r's results; true on failure, after a message, with an empty tab. */
bool st_read_variable(const char *var_name, st_read_request &r);
/* Makes var_name current; for a macro variable hands its indices back in
 * *ind (release with VEKClientFreePointer) and asks which item to take. */
bool st_define_macro(const char *var_name, int **ind, int *imacro);
void st_check_variable_name(char *var_name);
bool st_variable_exists(char *var_name, int *exists);

/* Room for the pieces of a direct read of a grid on their way into Db
 * order: ST_SLICES X slices of the File of DESC_VEK, or a fixed piece when
 * that many slices are larger. Made before any request (an allocation
 * failure aborts the call there), and kept for every item of a call; none
 * when not `wanted`. */
class st_read_window {
 public:
  explicit st_read_window(bool wanted = true);
  ~st_read_window();
  st_read_window(const st_read_window &) = delete;
  st_read_window &operator=(const st_read_window &) = delete;
  double *values = nullptr;
  size_t size = 0;     /* in values; 0 for a File that is no grid */
  bool slices = false; /* size is ST_SLICES whole X slices */
};

/* Reads the current item of the current File (nech samples, DESC_VEK)
 * straight into dest: grid values in plain Db order, the server's test
 * value and anything above 1e30 as NA. True on failure, after a message
 * that names var_name when the server sent another count. */
bool st_read_item_into(const char *var_name, int nech, const st_read_window &win, double *dest);

/* One progress bar over the transfers of a call that moves several
 * variables (or items): `whole` values in all, each transfer's progress told
 * to the host as a part of them, from `done` on as given by at(). Inert
 * without a host, and inside another span. */
class st_progress_span {
 public:
  explicit st_progress_span(double whole);
  ~st_progress_span();
  st_progress_span(const st_progress_span &) = delete;
  st_progress_span &operator=(const st_progress_span &) = delete;
  void at(double done);

 private:
  bool active_ = false;
};

/* Writes `count` values of an R vector (double, integer or logical), from
 * its value `offset` on, as the whole current variable: grid values put in
 * the server's order with the orientation flags (as for st_transpose, Db to
 * server) while they are sent, NA as the bridge's undefined value. */
bool st_write_values(SEXP s_values, R_xlen_t offset, int count, const int orient[3]);
/* Makes `name` the current variable, of `nbits` bits and `unit`, ready for
 * its values: written over when it is already just that, else created (a
 * variable of that name of another kind gives way). `exists`: whether the
 * File has that name, -1 to ask the server; `known`: its description when
 * the caller holds it, else null to ask the server. */
bool st_replace_variable(const char *name, const char *unit, int nbits, int ncar, int ndig, int exists,
                         const VEKVariableInfo *known);

/* Copies `count` values read from the server, the server's test value
 * becoming the bridge's undefined value. */
void st_copy_read_values(double *dest, const double *src, int64_t count, double test_val);

/* Byte size of `count` doubles for mem_alloc, or -1 (after a message naming
 * `what`) when it does not fit the allocator's int. */
int st_double_bytes(int64_t count, const char *what);

#endif /* ORVANE_TRANSFER_H */
