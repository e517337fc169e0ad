/*
 * R bridge: state shared by every entry point (connection, target,
 * descriptions) and the internal st_ routines.
 *
 * Every internal routine prints its own message and returns 0 on success and
 * 1 on failure unless its comment says otherwise. Names held by the bridge
 * are at most ST_NAME_MAX characters.
 */
#ifndef ORVANE_SOURCE_H
#define ORVANE_SOURCE_H

#include <Rcpp.h>

#include <algorithm>
#include <cstdint>

#include "VEKClient.h"
#include "util.h"

#define ST_NAME_SIZE 500
#define ST_NAME_MAX (ST_NAME_SIZE - 1)
#define ST_PATH_SIZE 1024
#define ST_NONE "None"

/* Target levels: the `mode` argument of the routines below. */
#define ST_LEVEL_STUDY 1
#define ST_LEVEL_DIRECTORY 2
#define ST_LEVEL_FILE 3
#define ST_LEVEL_SELECTION 4
#define ST_LEVEL_VARIABLE 5

/* ---- description of a server File or of a Db ---- */
typedef struct {
  int ndim;
  int nech;
  int flag_grid;
  int nx[3];
  double x0[3];
  double dx[3];
  double angle[3];
  double *coor; /* point Db only, axis-major: value of sample k on axis d at d*nech+k */
} F_Desc;

/* ---- bridge-wide state ---- */
extern int IS_CONNECTED;
extern int FLAG_DEBUG;
extern char STR_empty[ST_NAME_SIZE];

extern char REF_study[ST_NAME_SIZE];
extern char REF_directory[ST_NAME_SIZE];
extern char REF_file[ST_NAME_SIZE];
extern char REF_selection[ST_NAME_SIZE];
extern char REF_variable[ST_NAME_SIZE];

extern int Nstudy;
extern int Ndirectory;
extern int Nfile;
extern int Nselection;
extern int Nvariable;

extern char LOC_study[ST_NAME_SIZE];
extern char LOC_directory[ST_NAME_SIZE];
extern char LOC_file[ST_NAME_SIZE];
extern char LOC_selection[ST_NAME_SIZE];
extern char LOC_variable[ST_NAME_SIZE];

extern char REF_path[ST_NAME_SIZE];
extern char REF_phystudy[ST_NAME_SIZE];
extern char NewName[ST_PATH_SIZE];

extern F_Desc DESC_VEK;
extern F_Desc DESC_DB;

/* Buffers of a level (1 to 5); null for any other level. */
char *st_ref_name(int mode);
char *st_loc_name(int mode);
int *st_rank(int mode);
/* 1 when the level's REF_ buffer holds a name other than "None". */
int st_is_defined(int mode);

/* ---- refusals ----
 * Every refusal the bridge prints carries its kind to the R functions,
 * which tell their users what went wrong from the kind (and from the item
 * of the target it concerns), never from the text: the text is the
 * console's. */
enum st_kind {
  ST_USAGE,         /* the call cannot be made as given */
  ST_NOT_CONNECTED,
  ST_NOT_FOUND,
  ST_ALREADY_EXISTS,
  ST_MISMATCH,      /* a Db and a File that do not fit each other */
  ST_COMMUNICATION, /* what the server sent cannot be used */
  ST_KIND_COUNT
};
/* The support layer's kind of a bridge kind. */
int st_kind_code(st_kind kind);
void st_refuse(st_kind kind, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* A refusal about an item of the target: its level, its name (null: the
 * level is not defined at all) and whether the caller named it. */
void st_refuse_item(st_kind kind, int level, const char *item, int given, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
/* mes_abort with the kind. */
void st_abort(st_kind kind, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Whether the name in the level's LOC_ buffer came from the caller (1) or
 * from the target (0), for the refusals about it. */
void st_loc_given(int level, int given);

/* ---- connection and target ---- */
int st_check_validity(int mode);
void st_reset(int mode);
void st_define(int mode, int value, const char *name);
int st_status(int status, int verbose, int nchoice, char **choices, const char *local);
void st_print_items(int nchoice, char **choices);
void st_free(int *n_items, char ***r_items);
int st_connect(char *vek_init, char *vek_server, char *hostname, int port_number, int run_server);
void st_print_path(void);

/* ---- the path the server already holds ---- */

/* Number of the entry point call under way (st_entry counts them). */
extern unsigned long ST_CALL;
/* Sets the Study, Directory and File local names as a definition by name
 * would, and tells whether the server is known to hold exactly these as
 * its current items: the call just before this one confirmed them
 * (st_path_confirm) and the target still names them. Any other call in
 * between may have changed the server's items without a word to the
 * target, and so does any failure: both send the caller the full way. */
int st_path_is_current(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name);
/* Records that the target's Study, Directory and File are the server's
 * current ones; called by a call that ends well on them. */
void st_path_confirm(void);

/* ---- definition, creation and deletion ---- */
int st_get_local_name(SEXP sexp_name, int level);
int st_define_study(SEXP s_study_name);
int st_define_directory(SEXP s_dir_name, SEXP s_flag_allow, int mode, int *must_create);
int st_define_file(SEXP s_file_name, SEXP s_flag_allow, int mode, int *must_create);
/* Study, Directory and, unless s_file_name is NULL, File by name, each made
 * current on the server; nothing is created. */
int st_define_path(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name);
int st_define_selection(SEXP s_sel_name, int mode, int *sel_defined, int *must_create);
int st_define_variable(SEXP s_var_name, int mode, int *must_create);
int st_set_selection(void);
int st_create_study(const char *study_name, const char *physical_name, int flag_allow,
                    int *nb_study_loc, char ***studies_loc);
int st_create_directory(const char *directory, int *nb_dir_loc, char ***directories_loc);
int st_create_file(const char *file_name);
int st_create_variable(char *var_name, const char *unit, int type, int ncar, int ndig, int nbits);
int st_delete_study(const char *study_name, int *nb_study_loc, char ***studies_loc);
int st_delete_directory(const char *dir_name, int *nb_dir_loc, char ***directories_loc);
int st_delete_file(const char *file_name, int *nb_file_loc, char ***files_loc);
int st_delete_variable(const char *var_name, int *nb_var_loc, char ***variables_loc);
int st_clean_variable_and_selection(char *varname);
/* Outputs: all names (release with st_free), the number kept and the kept
 * ranks (indices into the names, release with mem_free). */
int st_varsel_list(int flag_var, int *arg_nb_var, int *arg_nb_util, char ***arg_variables,
                   int **arg_ranks);

/* ---- what the R functions' writes create (journal.cpp) ---- */
#define ST_NOTE_FILE 3     /* a File is about to be created */
#define ST_NOTE_VARIABLE 5 /* a variable or selection is about to be created */
#define ST_NOTE_DELETED 6  /* a variable was deleted to be created anew */
/* Notes the item `name` of the target's path, when R has asked for notes. */
void st_journal_note(int kind, const char *name);

/* ---- File description and grid orders ---- */
/* The whole description behind DESC_VEK, as the last st_file_from_vek read it. */
extern VEKFileInfo INFO_VEK;
int st_file_from_vek(void);
/* Fills DESC_VEK from a description already read from the server. */
int st_file_from_info(const VEKFileInfo &info);
/* Whether `count` values make a whole variable of the File of DESC_VEK: one
 * per sample or, on a gravity-lines File, one per data sample (the client
 * puts those behind the line headers). */
int st_whole_count_ok(int64_t count);
int st_file_from_db(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db,
                    SEXP s_dx_db, SEXP s_angle_db, SEXP s_coor_db);
void st_file_from_db_free(void);
/* Number of nodes of the grid described by DESC_VEK (nx*ny*nz), 0 when an
 * axis has no node, -1 when the product does not fit an int. st_transpose
 * trusts its caller for the length of `tab`: check it against this first. */
int st_grid_size(void);
int st_transpose(int mode, int orientx, int orienty, int orientz, double *tab);

/* X slices of a grid made at once in the Db-to-server direction: the 8
 * doubles of a 64-byte line. */
#define ST_SLICES 8

/*
 * Values of `b` consecutive X slices of a grid File (DESC_VEK) in the
 * server's order (Z fastest, X slowest), from slice `x0` on, into `out`
 * (b * NY * NZ values), taken from `src` in Db order with the orientation
 * flags of st_transpose, each value through `map`. Each read of `src`
 * takes the values of b consecutive X nodes (a cache line for ST_SLICES)
 * and hands one to each slice, so slice after slice a whole grid is read
 * once, line by line, and never needs a second full-size array.
 */
template <class T, class Map>
void st_server_slices(int orientx, int orienty, int orientz, const T *src, int64_t x0, int64_t b, double *out,
                      Map map) {
  const int64_t nx = DESC_VEK.nx[0], ny = DESC_VEK.nx[1], nz = DESC_VEK.nx[2];
  const bool fx = orientx <= 0, fy = orienty <= 0, fz = orientz <= 0;
  const size_t slice = (size_t)ny * (size_t)nz;
  /* Db X index of the lowest node of the slices: they run up from it, or
   * down from its other end along a reversed X. */
  const int64_t low = fx ? nx - x0 - b : x0;
  /* The line the inner loop reads 16 nodes later: the hardware does not
   * see a stride of a whole row coming. */
  const int64_t ahead = 16 * (int64_t)sizeof(T) * (nz > 1 ? (fz ? -1 : 1) * nx * ny : (fy ? -1 : 1) * nx);
  size_t pos = 0;
  for (int64_t y = 0; y < ny; y++) {
    const int64_t dy = fy ? ny - 1 - y : y;
    for (int64_t z = 0; z < nz; z++, pos++) {
      const int64_t dz = fz ? nz - 1 - z : z;
      const T *line = src + low + nx * (dy + ny * dz);
      __builtin_prefetch((const void *)((uintptr_t)line + (uintptr_t)ahead));
      double *o = out + pos;
      if (b == ST_SLICES && !fx) {
        for (size_t k = 0; k < ST_SLICES; k++) o[k * slice] = map(line[k]);
      } else if (b == ST_SLICES) {
        for (size_t k = 0; k < ST_SLICES; k++) o[(ST_SLICES - 1 - k) * slice] = map(line[k]);
      } else {
        for (int64_t k = 0; k < b; k++) o[(size_t)(fx ? b - 1 - k : k) * slice] = map(line[k]);
      }
    }
  }
}

/*
 * One pass of the values of a grid File (DESC_VEK) from one sample order
 * into the other, each value going through `map` on the way: `mode` as for
 * st_transpose (>= 0 server to Db, < 0 Db to server). `src` and `dest` hold
 * st_grid_size() values each and do not overlap. Server to Db, the loops
 * follow the source order, so `src` is read sequentially, and the
 * destination index moves by fixed strides (negative along a reversed
 * axis) rather than being computed from three indices per value; Db to
 * server goes slices at a time (st_server_slices).
 */
template <class T, class Map>
void st_reorder(int mode, int orientx, int orienty, int orientz, const T *src, double *dest, Map map) {
  const int64_t n[3] = {DESC_VEK.nx[0], DESC_VEK.nx[1], DESC_VEK.nx[2]};
  const int orient[3] = {orientx, orienty, orientz};
  if (n[0] <= 0 || n[1] <= 0 || n[2] <= 0) return;
  if (mode < 0) {
    for (int64_t x0 = 0; x0 < n[0]; x0 += ST_SLICES)
      st_server_slices(orientx, orienty, orientz, src, x0, std::min<int64_t>(ST_SLICES, n[0] - x0),
                       dest + x0 * n[1] * n[2], map);
    return;
  }
  /* Stride of each axis in the destination; the source's axes from the
   * slowest to the fastest. */
  int64_t stride[3] = {1, n[0], n[0] * n[1]};
  const int axes[3] = {0, 1, 2};
  int64_t start = 0;
  for (int a = 0; a < 3; a++) {
    if (orient[a] > 0) continue;
    start += (n[a] - 1) * stride[a];
    stride[a] = -stride[a];
  }
  /* Single-node axes (the Z of a 2-D grid) move nothing: they become outer
   * loops of one turn rather than an inner loop of one value. */
  int64_t count[3] = {1, 1, 1}, step[3] = {0, 0, 0};
  for (int k = 2, slot = 2; k >= 0; k--) {
    if (n[axes[k]] == 1) continue;
    count[slot] = n[axes[k]];
    step[slot--] = stride[axes[k]];
  }
  const T *p = src;
  for (int64_t i0 = 0; i0 < count[0]; i0++) {
    for (int64_t i1 = 0; i1 < count[1]; i1++) {
      double *d = dest + start + i0 * step[0] + i1 * step[1];
      const int64_t s2 = step[2];
      for (int64_t i2 = 0; i2 < count[2]; i2++) d[i2 * s2] = map(p[i2]);
      p += count[2];
    }
  }
}

/*
 * The reverse of st_server_slices, in plain Db order (all flags 1): `b`
 * consecutive X slices of a grid File (DESC_VEK) in the server's order,
 * from slice `x0` on, as `src` holds them (b * NY * NZ values), put in
 * their places of `dest`, each value through `map`. Each write of `dest`
 * takes the values of b consecutive X nodes, a cache line for ST_SLICES,
 * rather than one value at a row's stride.
 */
template <class Map>
void st_db_slices(const double *src, int64_t x0, int64_t b, double *dest, Map map) {
  const int64_t nx = DESC_VEK.nx[0], ny = DESC_VEK.nx[1], nz = DESC_VEK.nx[2];
  const size_t slice = (size_t)ny * (size_t)nz;
  size_t pos = 0;
  for (int64_t y = 0; y < ny; y++) {
    for (int64_t z = 0; z < nz; z++, pos++) {
      double *line = dest + x0 + nx * (y + ny * z);
      const double *in = src + pos;
      if (b == ST_SLICES) {
        for (size_t k = 0; k < ST_SLICES; k++) line[k] = map(in[k * slice]);
      } else {
        for (int64_t k = 0; k < b; k++) line[k] = map(in[(size_t)k * slice]);
      }
    }
  }
}

/*
 * Values `at` to `at + n - 1` of a grid File (DESC_VEK) in the server's
 * order, as `src` holds them, put in their places of `dest` in plain Db
 * order, each through `map`: for a piece of a grid that does not start or
 * end on an X slice. The inner loop runs along the fastest axis of the
 * server's order that has more than one node, the place moving by that
 * axis's stride in `dest`.
 */
template <class Map>
void st_db_run(const double *src, int64_t at, int64_t n, double *dest, Map map) {
  const int64_t cnt[3] = {DESC_VEK.nx[0], DESC_VEK.nx[1], DESC_VEK.nx[2]};
  if (n <= 0 || cnt[0] <= 0 || cnt[1] <= 0 || cnt[2] <= 0) return;
  /* Index along each axis, Z fastest in the server's order, and the Db
   * stride of each. */
  const int64_t stride[3] = {1, cnt[0], cnt[0] * cnt[1]};
  int64_t idx[3];
  int64_t rest = at;
  for (int a = 2; a >= 0; a--) {
    idx[a] = rest % cnt[a];
    rest /= cnt[a];
  }
  int inner = 2;
  while (inner > 0 && cnt[inner] == 1) inner--;
  const int64_t s = stride[inner];
  while (n > 0) {
    int64_t run = std::min<int64_t>(n, cnt[inner] - idx[inner]);
    double *d = dest + idx[0] + idx[1] * stride[1] + idx[2] * stride[2];
    for (int64_t k = 0; k < run; k++) d[k * s] = map(src[k]);
    src += run;
    n -= run;
    idx[inner] += run;
    for (int a = inner; a > 0 && idx[a] == cnt[a]; a--) {
      idx[a] = 0;
      idx[a - 1]++;
    }
  }
}

/* ---- small helpers shared by the bridge files ---- */

/* A yes/no flag handed over by R: absent is 0, NA is refused with an R
 * error (read either way it could create, keep or clear what the caller did
 * not mean). */
int st_get_flag(SEXP s_flag, const char *what);
#define ST_FLAG_ALLOW "allow existing"

/* Copies a name into a target-sized buffer, cutting it at ST_NAME_MAX. */
void st_copy_name(char *dest, const char *src);

/* A name list from the client library, released when it goes out of scope,
 * also when an abort unwinds the call. Pass &n and &items to the routines
 * above; they keep the pair consistent. */
struct st_names {
  int n;
  char **items;
  st_names() : n(0), items(NULL) {}
  ~st_names() { st_free(&n, &items); }
  st_names(const st_names &) = delete;
  st_names &operator=(const st_names &) = delete;
};

/* An array handed out by the client library (values read, macro indices),
 * released with VEKClientFreePointer when it goes out of scope. */
template <class T>
struct st_client_array {
  T *p;
  st_client_array() : p(NULL) {}
  ~st_client_array() {
    if (p != NULL) VEKClientFreePointer(p);
  }
  st_client_array(const st_client_array &) = delete;
  st_client_array &operator=(const st_client_array &) = delete;
};

/* Called on an unwound entry point before the block registry is swept: the
 * coordinate block of DESC_DB must not be left pointing at freed memory. */
void st_entry_unwind(void);
/* Run before the body of every entry point: reaps launched servers that
 * have ended, and forgets a connection the client has closed. */
void st_entry_start(void);
/* Run after it, also when it unwinds: a connection the client closed
 * during the call (interrupted, timed out, ended by the server) is no
 * connection from now on, and its launched server, if it ended, is reaped. */
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

/* A refusal printed without its kind would reach the R functions' users as
 * a failure of no kind: the bridge prints its refusals only through
 * st_refuse, st_refuse_item and st_abort. */
#pragma GCC poison messerr mes_abort

#endif /* ORVANE_SOURCE_H */
