/*
 * Test support only: entry points that reach the console readers, the
 * message routines, the R value conversions, the Db description, the grid
 * reordering and the abort path directly, so that the package's tests can
 * check them without a server. No user-facing R function calls them.
 */
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bridge.h"
#include "entry.h"
#include "vek_internal.h"

/* STestReaders(kind, question, flag_def, valdef, valmin, valmax): asks one
 * question with lire_logical ("logical"), lire_int ("int") or lire_string
 * ("string"; valdef is then a string) and returns list(value = answer). */
extern "C" SEXP STestReaders(SEXP s_kind, SEXP s_question, SEXP s_flag_def, SEXP s_valdef, SEXP s_valmin,
                             SEXP s_valmax) {
  return st_entry([&]() -> SEXP {
    std::string kind = RC_get_value_char(s_kind, NULL);
    std::string question = RC_get_value_char(s_question, NULL);
    int flag_def = RC_get_value_integer(s_flag_def, NULL);
    if (kind == "string") {
      char answer[UTIL_BUFFER_SIZE];
      std::string valdef = RC_get_value_char(s_valdef, NULL);
      lire_string(question.c_str(), flag_def, valdef.c_str(), answer);
      return Rcpp::List::create(Rcpp::Named("value") = std::string(answer));
    }
    int valdef = RC_get_value_integer(s_valdef, NULL);
    int value;
    if (kind == "logical") {
      value = lire_logical(question.c_str(), flag_def, valdef);
    } else {
      int valmin = RC_get_value_integer(s_valmin, NULL);
      int valmax = RC_get_value_integer(s_valmax, NULL);
      value = lire_int(question.c_str(), flag_def, valdef, valmin, valmax);
    }
    return Rcpp::List::create(Rcpp::Named("value") = value);
  });
}

/* STestKinds(): the name of the support layer's kind of every kind of
 * refusal the bridge can print. */
extern "C" SEXP STestKinds(void) {
  return st_entry([&]() -> SEXP {
    std::vector<std::string> names;
    for (int k = 0; k < ST_KIND_COUNT; k++) names.push_back(util_kind_name(st_kind_code((st_kind)k)));
    return Rcpp::wrap(names);
  });
}

/* STestMessages(kind, level, text): "message", "messerr", "mestitle" or
 * "abort", with the text passed as an argument (never as a format). */
extern "C" SEXP STestMessages(SEXP s_kind, SEXP s_level, SEXP s_text) {
  return st_entry([&]() -> SEXP {
    std::string kind = RC_get_value_char(s_kind, NULL);
    int level = RC_get_value_integer(s_level, NULL);
    std::string text = RC_get_value_char(s_text, NULL);
    if (kind == "message") message("%s", text.c_str());
    else if (kind == "messerr") st_refuse(ST_USAGE, "%s", text.c_str());
    else if (kind == "mestitle") mestitle(level, "%s", text.c_str());
    else if (kind == "abort") st_abort(ST_USAGE, "%s", text.c_str());
    return Rcpp::List::create(Rcpp::Named("error") = 0);
  });
}

/* STestConvert(which, value): one of the readers, its result in R terms.
 * Arrays come back with "count" and "null" (1 when the reader gave no
 * array); undefined values are returned as the bridge holds them. */
extern "C" SEXP STestConvert(SEXP s_which, SEXP s_value) {
  return st_entry([&]() -> SEXP {
    std::string which = RC_get_value_char(s_which, NULL);
    int count = 0;
    if (which == "value_integer") return Rcpp::List::create(Rcpp::Named("value") = RC_get_value_integer(s_value, NULL));
    if (which == "value_char") return Rcpp::List::create(Rcpp::Named("value") = RC_get_value_char(s_value, NULL));
    if (which == "array_integer") {
      int *tab = RC_get_array_integer(s_value, NULL, &count);
      std::vector<int> values = RC_set_array_integer(count, tab);
      int is_null = tab == NULL;
      mem_free((char *)tab);
      return Rcpp::List::create(Rcpp::Named("value") = values, Rcpp::Named("count") = count,
                                Rcpp::Named("null") = is_null);
    }
    if (which == "array_double") {
      double *tab = RC_get_array_double(s_value, NULL, &count);
      std::vector<double> values = RC_set_array_double(count, tab);
      int is_null = tab == NULL;
      mem_free((char *)tab);
      return Rcpp::List::create(Rcpp::Named("value") = values, Rcpp::Named("count") = count,
                                Rcpp::Named("null") = is_null);
    }
    if (which == "array_char") {
      std::vector<std::string> values = RC_get_array_char(s_value, NULL, &count);
      return Rcpp::List::create(Rcpp::Named("value") = values, Rcpp::Named("count") = count);
    }
    st_abort(ST_USAGE, "Unknown conversion '%s'", which.c_str());
    return R_NilValue;
  });
}

/* STestTranspose(mode, orient, nx, tab): st_transpose on a grid of nx nodes
 * (DESC_VEK's node counts are borrowed for the call and put back). */
extern "C" SEXP STestTranspose(SEXP s_mode, SEXP s_orient, SEXP s_nx, SEXP s_tab) {
  return st_entry([&]() -> SEXP {
    int mode = RC_get_value_integer(s_mode, NULL);
    int norient, nnx, ntab;
    int *orient = RC_get_array_integer(s_orient, NULL, &norient);
    int *nx = RC_get_array_integer(s_nx, NULL, &nnx);
    double *tab = RC_get_array_double(s_tab, NULL, &ntab);
    if (norient != 3 || nnx != 3) st_abort(ST_USAGE, "STestTranspose needs three flags and three counts");
    int saved[3];
    memcpy(saved, DESC_VEK.nx, sizeof saved);
    memcpy(DESC_VEK.nx, nx, sizeof saved);
    int size = st_grid_size();
    int error = 1;
    if (size == 0 || size == ntab) error = st_transpose(mode, orient[0], orient[1], orient[2], tab);
    memcpy(DESC_VEK.nx, saved, sizeof saved);
    std::vector<double> values = RC_set_array_double(ntab, tab);
    mem_free((char *)orient);
    mem_free((char *)nx);
    mem_free((char *)tab);
    return Rcpp::List::create(Rcpp::Named("tab") = values, Rcpp::Named("error") = error);
  });
}

/* STestFileFromDb(the eight Db description arguments): st_file_from_db,
 * then DESC_DB as R values; the coordinate block is released before the
 * call returns, as every real caller does. */
extern "C" SEXP STestFileFromDb(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                                SEXP s_angle_db, SEXP s_coor_db) {
  return st_entry([&]() -> SEXP {
    int error = st_file_from_db(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db, s_coor_db);
    std::vector<double> coor;
    if (DESC_DB.coor != NULL) coor.assign(DESC_DB.coor, DESC_DB.coor + (size_t)DESC_DB.ndim * DESC_DB.nech);
    Rcpp::List result = Rcpp::List::create(
        Rcpp::Named("ndim") = DESC_DB.ndim, Rcpp::Named("nech") = DESC_DB.nech,
        Rcpp::Named("flag.grid") = DESC_DB.flag_grid, Rcpp::Named("nx") = RC_set_array_integer(3, DESC_DB.nx),
        Rcpp::Named("x0") = RC_set_array_double(3, DESC_DB.x0), Rcpp::Named("dx") = RC_set_array_double(3, DESC_DB.dx),
        Rcpp::Named("angle") = RC_set_array_double(3, DESC_DB.angle), Rcpp::Named("coor") = Rcpp::wrap(coor),
        Rcpp::Named("error") = error);
    st_file_from_db_free();
    return result;
  });
}

/* STestAbort(nblocks, kind): takes bridge memory, a client-style name list
 * and a DESC_DB coordinate block, then leaves by `kind`: "abort"
 * (mes_abort), "bad_alloc", "rcpp" (a refused Rcpp conversion) or "none".
 * Used to show that every path out releases all of it. */
extern "C" SEXP STestAbort(SEXP s_nblocks, SEXP s_kind) {
  return st_entry([&]() -> SEXP {
    int nblocks = RC_get_value_integer(s_nblocks, NULL);
    std::string kind = RC_get_value_char(s_kind, NULL);
    std::vector<char *> blocks;
    for (int i = 0; i < nblocks; i++) blocks.push_back(mem_alloc(1000, 1));
    st_names list;
    list.items = (char **)_vek_calloc(3, sizeof(char *));
    if (list.items == NULL) st_abort(ST_USAGE, "No memory for the name list");
    list.n = 3;
    for (int i = 0; i < 3; i++) list.items[i] = (char *)_vek_calloc(1, sizeof "name");
    st_file_from_db_free();
    DESC_DB.coor = (double *)mem_alloc(64 * (int)sizeof(double), 1);
    std::vector<double> held(1000, 1.0);
    if (kind == "abort") st_abort(ST_USAGE, "Deliberate abort with %d blocks", nblocks);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "rcpp") {
      Rcpp::NumericVector empty(0);
      (void)Rcpp::as<double>(empty);
    }
    st_file_from_db_free();
    for (char *p : blocks) mem_free(p);
    return Rcpp::List::create(Rcpp::Named("error") = 0);
  });
}

/* STestBlocks(): mem_alloc blocks taken and not released since loading. */
extern "C" SEXP STestBlocks(void) { return Rcpp::wrap(util_live_blocks()); }

/* STestFailAllocation(n, drain_ms): the n-th allocation from now, the
 * bridge's (mem_alloc) or the client's, fails once (0: none), and the drain
 * after a failed request waits drain_ms for the rest of its answer (500 is
 * the normal wait; failures made on purpose need not cost that). Returns how
 * many allocations were still to go before the previous setting's failure
 * (0: it happened). */
extern "C" SEXP STestFailAllocation(SEXP s_n, SEXP s_drain_ms) {
  _vek_drain_wait_ms = Rf_asInteger(s_drain_ms);
  return Rf_ScalarInteger((int)_vek_fail_allocation(Rf_asInteger(s_n)));
}

/* STestProgress(record): TRUE records the progress that transfers report
 * to the host from now on, in place of the host's bar; FALSE puts the bar
 * back and returns the (done, total) pairs recorded, one row each. */
static std::vector<double> PROGRESS_SEEN;
static int (*PROGRESS_BAR)(double done, double total) = NULL;
static int progress_seen(double done, double total) {
  PROGRESS_SEEN.push_back(done);
  PROGRESS_SEEN.push_back(total);
  return 0;
}

extern "C" SEXP STestProgress(SEXP s_record) {
  if (Rf_asLogical(s_record) == TRUE) {
    if (_vek_progress_function != progress_seen) PROGRESS_BAR = _vek_progress_function;
    _vek_progress_function = progress_seen;
    PROGRESS_SEEN.clear();
    return R_NilValue;
  }
  if (_vek_progress_function == progress_seen) _vek_progress_function = PROGRESS_BAR;
  Rcpp::NumericMatrix seen(2, (int)(PROGRESS_SEEN.size() / 2), PROGRESS_SEEN.begin());
  PROGRESS_SEEN.clear();
  return Rcpp::transpose(seen);
}

/* STestTarget(op, mode): "validity" runs st_check_validity(mode), "reset"
 * runs st_reset(mode); returns list(error) and the target's five names. */
extern "C" SEXP STestTarget(SEXP s_op, SEXP s_mode) {
  return st_entry([&]() -> SEXP {
    std::string op = RC_get_value_char(s_op, NULL);
    int mode = RC_get_value_integer(s_mode, NULL);
    int error = 0;
    if (op == "validity") error = st_check_validity(mode);
    else if (op == "reset") st_reset(mode);
    std::vector<std::string> names;
    std::vector<int> ranks;
    for (int level = 1; level <= 5; level++) {
      names.push_back(st_ref_name(level));
      ranks.push_back(*st_rank(level));
    }
    return Rcpp::List::create(Rcpp::Named("error") = error, Rcpp::Named("names") = names, Rcpp::Named("ranks") = ranks);
  });
}

/* STestDefine(level, name, mode): defines the Selection (level 4) or the
 * Variable (level 5) of the current File by name; in creation mode it then
 * creates it as the bridge's writers do (1 bit for a selection, 32 bits for
 * a variable). Returns list(error, must_create, sel_defined). */
extern "C" SEXP STestDefine(SEXP s_level, SEXP s_name, SEXP s_mode) {
  return st_entry([&]() -> SEXP {
    int level = RC_get_value_integer(s_level, NULL);
    int mode = RC_get_value_integer(s_mode, NULL);
    int must_create = 0, sel_defined = 0, error;
    if (level == ST_LEVEL_SELECTION) error = st_define_selection(s_name, mode, &sel_defined, &must_create);
    else error = st_define_variable(s_name, mode, &must_create);
    if (!error && must_create) {
      if (level == ST_LEVEL_SELECTION) error = st_create_variable(LOC_selection, NULL, 0, 1, 0, 1);
      else error = st_create_variable(LOC_variable, NULL, 0, 10, 3, 32);
    }
    return Rcpp::List::create(Rcpp::Named("error") = error, Rcpp::Named("must_create") = must_create,
                              Rcpp::Named("sel_defined") = sel_defined);
  });
}

/* STestProgressBar(done, total): the progress bar of a transfer of `total`
 * values, drawn as it stands after `done` of them. */
extern "C" SEXP STestProgressBar(SEXP s_done, SEXP s_total) {
  return st_entry([&]() -> SEXP {
    util_progress_draw(Rf_asReal(s_done), Rf_asReal(s_total));
    return Rcpp::List::create(Rcpp::Named("error") = 0);
  });
}
