/*
 * R bridge: the state shared by every entry point (connection, target,
 * descriptions), the internal st_ routines and the holders of what they
 * hand out. The grid reordering kernels are in grid_order.h, the variable
 * transfers in transfer.h, and the body every entry point runs in entry.h.
 *
 * Every internal routine prints its own message and reports a failure as
 * true, or as 1 where its int result may reach R, unless its comment says
 * otherwise. Names held by the bridge are at most ST_NAME_MAX characters.
 */
#ifndef ORVANE_BRIDGE_H
#define ORVANE_BRIDGE_H

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
/* True when the level's REF_ buffer holds a name other than "None". */
bool st_is_defined(int mode);

/* ---- refusals ----
 * Every refusal the bridge prints carries its kind to the R functions,
 * which tell their users what went wrong from the kind (and from the item
 * of the target it concerns), never from the text: the text is the
 * console's. */
enum st_kind {
  ST_USAGE, /* the call cannot be made as given */
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
bool st_status(int status, int verbose, int nchoice, char **choices, const char *local);
void st_print_items(int nchoice, char **choices);
void st_free(int *n_items, char ***r_items);
int st_connect(char *vek_init, char *vek_server, char *hostname, int port_number, int run_server);
/* The client closes a connection whose request was interrupted, timed out
 * or met its end; counting it as open would send every later request into
 * a closed socket, and refuse every connection for the rest of the
 * session. This forgets such a connection, and reaps the launched servers
 * that have ended. */
void st_forget_closed_connection(void);
void st_print_path(void);

/* ---- the path the server already holds ---- */
/* Sets the Study, Directory and File local names as a definition by name
 * would, and tells whether the server is known to hold exactly these as
 * its current items: the call just before this one confirmed them
 * (st_path_confirm) and the target still names them. Any other call in
 * between may have changed the server's items without a word to the
 * target, and so does any failure: both send the caller the full way. */
bool st_path_is_current(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name);
/* Records that the target's Study, Directory and File are the server's
 * current ones; called by a call that ends well on them. */
void st_path_confirm(void);

/* ---- definition, creation and deletion ---- */
int st_get_local_name(SEXP sexp_name, int level);
bool st_define_study(SEXP s_study_name);
bool st_define_directory(SEXP s_dir_name, SEXP s_flag_allow, int mode, int *must_create);
int st_define_file(SEXP s_file_name, SEXP s_flag_allow, int mode, int *must_create);
/* Study, Directory and, unless s_file_name is NULL, File by name, each made
 * current on the server; nothing is created. */
bool st_define_path(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name);
int st_define_selection(SEXP s_sel_name, int mode, int *sel_defined, int *must_create);
int st_define_variable(SEXP s_var_name, int mode, int *must_create);
int st_set_selection(void);
bool st_create_study(const char *study_name, const char *physical_name, int flag_allow, int *nb_study_loc,
                     char ***studies_loc);
int st_create_directory(const char *directory, int *nb_dir_loc, char ***directories_loc);
int st_create_file(const char *file_name);
int st_create_variable(char *var_name, const char *unit, int type, int ncar, int ndig, int nbits);
bool st_delete_study(const char *study_name, int *nb_study_loc, char ***studies_loc);
bool st_delete_directory(const char *dir_name, int *nb_dir_loc, char ***directories_loc);
bool st_delete_file(const char *file_name, int *nb_file_loc, char ***files_loc);
bool st_delete_variable(const char *var_name, int *nb_var_loc, char ***variables_loc);
bool st_clean_variable_and_selection(char *varname);
/* Outputs: all names (release with st_free), the number kept and the kept
 * ranks (indices into the names, release with mem_free). */
int st_varsel_list(int flag_var, int *arg_nb_var, int *arg_nb_util, char ***arg_variables, int **arg_ranks);

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
bool st_whole_count_ok(int64_t count);
int st_file_from_db(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                    SEXP s_angle_db, SEXP s_coor_db);
void st_file_from_db_free(void);
/* Number of nodes of the grid described by DESC_VEK (nx*ny*nz), 0 when an
 * axis has no node, -1 when the product does not fit an int. st_transpose
 * trusts its caller for the length of `tab`: check it against this first. */
int st_grid_size(void);
int st_transpose(int mode, int orientx, int orienty, int orientz, double *tab);

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

/* ---- console browser ---- */
/* The menu of the variables of the current File: 1 when one is made the
 * target (chosen or created), -1 when the user goes up to the Selection
 * level, 0 otherwise. */
int st_get_variable(int flag_create, int flag_delete, int flag_up);

/* A refusal printed without its kind would reach the R functions' users as
 * a failure of no kind: the bridge prints its refusals only through
 * st_refuse, st_refuse_item and st_abort. */
#pragma GCC poison messerr mes_abort

#endif /* ORVANE_BRIDGE_H */
