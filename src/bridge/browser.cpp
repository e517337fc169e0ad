/*
 * The interactive browser: text menus on the R console that walk the tree
 * Study / Directory / File / Selection / Variable, choose the target, and
 * create or delete items on the way; and the menu that picks one name of a
 * Db's variables.
 *
 * Each level's rank field is the answer slot of its menu: a level whose
 * rank is still valid is passed without a menu.
 */
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bridge.h"
#include "entry.h"

/* Name of menu entry k (from 1), through the rank array when there is one. */
static const char *entry_name(char **choices, const int *ranks, int k) {
  if (choices == NULL) return "";
  const char *name = ranks != NULL ? choices[ranks[k - 1]] : choices[k - 1];
  return name != NULL ? name : "";
}

static void print_menu(const char *title, char **choices, const int *ranks, int flag_start, int nchoice,
                       int flag_create, int flag_delete, int flag_up) {
  char line[ST_PATH_SIZE];
  size_t n = strlen(title);
  if (n > sizeof line - 9) n = sizeof line - 9;
  memcpy(line, "-----|-", 7);
  memset(line + 7, '-', n);
  line[7 + n] = '\0';

  message("\n");
  message("Rank | %s\n", title);
  message("%s\n", line);
  if (flag_up) message("  .. | Return to upper level\n");
  if (flag_start == 0) message("   0 | None\n");
  for (int k = 1; k <= nchoice; k++) message("%4d | %s\n", k, entry_name(choices, ranks, k));
  message("     | \n");
  if (flag_create) message(" new | Create a new item\n");
  if (flag_delete && nchoice > 0) message(" del | Delete an item\n");
  message("help | Display the current list\n");
  message("stop | Stop browsing\n");
}

static int st_get_action(const char *title, char **choices, int *ranks, int flag_start, int nchoice, int flag_create,
                         int flag_delete, int flag_up, int *answer) {
  if (*answer == 0) return -4;
  if (*answer >= 1 && *answer <= nchoice) return 0;

  if (st_is_defined(ST_LEVEL_STUDY)) st_print_path();
  print_menu(title, choices, ranks, flag_start, nchoice, flag_create, flag_delete, flag_up);

  char reply[ST_NAME_SIZE];
  for (;;) {
    lire_string("Enter your choice", 0, "", reply);
    if (strcmp(reply, "..") == 0) {
      if (flag_up) return -1;
      continue;
    }
    if (strcmp(reply, "help") == 0) {
      print_menu(title, choices, ranks, flag_start, nchoice, flag_create, flag_delete, flag_up);
      continue;
    }
    if (strcmp(reply, "del") == 0) {
      if (!flag_delete || nchoice <= 0) continue;
      int rank = lire_int("Rank of the item to be deleted", 0, 0, 1, nchoice);
      /* "NA" passes the reader's bounds but designates no item. */
      if (rank < 1 || rank > nchoice) {
        st_refuse(ST_USAGE, "No item designated for deletion");
        continue;
      }
      *answer = rank;
      return -2;
    }
    if (strcmp(reply, "new") == 0) {
      if (flag_create) return -3;
      continue;
    }
    if (strcmp(reply, "stop") == 0) return 1;

    char *end = NULL;
    errno = 0;
    long number = strtol(reply, &end, 10);
    if (end == reply || *end != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX) {
      st_refuse(ST_USAGE, "The answer '%s' is not valid", reply);
      continue;
    }
    if (number < flag_start || number > nchoice) {
      st_refuse(ST_USAGE, "The answer '%d' is not valid", (int)number);
      continue;
    }
    *answer = (int)number;
    return number == 0 ? -4 : 0;
  }
}

static bool st_get_new_name(const char *question, char **choices, int nchoice, char *name) {
  char prompt[ST_PATH_SIZE];
  char reply[ST_NAME_SIZE];
  snprintf(prompt, sizeof prompt, "%s ('stop' to cancel)", question);
  for (;;) {
    lire_string(prompt, 0, "", reply);
    if (strcmp(reply, "stop") == 0) return true;
    if (st_status(0, 1, nchoice, choices, reply)) continue;
    st_copy_name(name, reply);
    return false;
  }
}

/* A rank kept from an earlier walk, or stored as 1 by a definition by name,
 * must take the item that the target names, not whatever stands at that
 * place of the list now. A named item that has gone leaves the level to its
 * menu. A rank typed for a deletion that was declined names no item of the
 * target and is left alone. */
static void sync_rank(int level, char **choices, const int *ranks, int nchoice) {
  int *slot = st_rank(level);
  if (*slot < 1 || *slot > nchoice || !st_is_defined(level)) return;
  const char *ref = st_ref_name(level);
  if (strcmp(entry_name(choices, ranks, *slot), ref) == 0) return;
  for (int k = 1; k <= nchoice; k++) {
    if (strcmp(entry_name(choices, ranks, k), ref) == 0) {
      *slot = k;
      return;
    }
  }
  *slot = -1;
}

/* Name at a typed rank of a list read again after the menu: the list may
 * have changed in between. */
static bool name_at(char **choices, const int *ranks, int nchoice, int rank, std::string &name) {
  if (rank < 1 || rank > nchoice) {
    st_refuse(ST_USAGE, "The rank %d designates no item of the list", rank);
    return true;
  }
  name = entry_name(choices, ranks, rank);
  return false;
}

static int confirm_deletion(void) { return lire_logical("Confirm deletion", 0, 0); }

/* ------------------------------------------------------------------ */
/* Variable level                                                      */
/* ------------------------------------------------------------------ */

static int st_ask_and_create_variable(void) {
  st_names list;
  if (VEKClientGetVariableList(&list.n, &list.items)) return 1;
  if (st_get_new_name("New Variable Name", list.items, list.n, NewName)) return 1;
  int nbits;
  do {
    nbits = lire_int("Bit Length (1,2,4,8,16,32 or 64", 1, 32, 1, 64);
  } while (nbits != 1 && nbits != 2 && nbits != 4 && nbits != 8 && nbits != 16 && nbits != 32 && nbits != 64);
  char unit[ST_NAME_SIZE];
  lire_string("Unit", 0, "", unit);
  /* "NA" would hand the server an undefined count: ask again. */
  int format, ncar, ndig;
  do {
    format = lire_int("Format: 0 (Decimal) 1 (Integer) 2 (Exponent) 3 (Free)", 1, 0, 0, 3);
  } while (IFFFF(format));
  do {
    ncar = lire_int("Number of characters for printout", 1, 10, 1, UTIL_UNDEF_INT);
  } while (IFFFF(ncar));
  do {
    ndig = lire_int("Number of decimal digits", 1, 3, 0, UTIL_UNDEF_INT);
  } while (IFFFF(ndig));
  return st_create_variable(NewName, unit, format, ncar, ndig, nbits);
}

/* The deletion asked at the Variable level: `name` was chosen by rank. */
static int delete_variable_dialogue(const std::string &name) {
  st_names all;
  if (VEKClientGetVariableList(&all.n, &all.items)) return 0;
  if (!confirm_deletion()) return -1;
  if (VEKClientSetStudy(REF_study) || VEKClientSetDirectory(REF_directory) || VEKClientSetFile(REF_file)) return 0;
  if (!st_delete_variable(name.c_str(), &all.n, &all.items)) st_reset(ST_LEVEL_VARIABLE);
  return -1;
}

int st_get_variable(int flag_create, int flag_delete, int flag_up) {
  st_names list;
  int nb_util = 0;
  int *ranks = NULL;
  if (st_varsel_list(1, &list.n, &nb_util, &list.items, &ranks)) {
    mem_free((char *)ranks);
    return 0;
  }
  sync_rank(ST_LEVEL_VARIABLE, list.items, ranks, nb_util);
  if (Nvariable < 1 || Nvariable > nb_util) st_reset(ST_LEVEL_VARIABLE);

  int result = 0;
  int action =
      st_get_action("Orvane Variable", list.items, ranks, 1, nb_util, flag_create, flag_delete, flag_up, &Nvariable);
  switch (action) {
    case 0:
      st_copy_name(REF_variable, entry_name(list.items, ranks, Nvariable));
      result = VEKClientSetVariable(REF_variable) ? 0 : 1;
      break;
    case -3: result = st_ask_and_create_variable() ? 0 : 1; break;
    case -1:
      st_reset(ST_LEVEL_SELECTION);
      result = -1;
      break;
    case -2: {
      std::string name;
      if (!name_at(list.items, ranks, nb_util, Nvariable, name)) result = delete_variable_dialogue(name);
      break;
    }
    default: result = 0; break;
  }
  mem_free((char *)ranks);
  return result;
}

/* ------------------------------------------------------------------ */
/* SManageTarget: one routine per level, each giving the next step, or 0  */
/* to end the walk with error 1.                                        */
/* ------------------------------------------------------------------ */

typedef int (*list_func)(int *, char ***);

/* The start shared by the Study, Directory and File levels. */
static bool level_menu(int level, const char *title, list_func read_list, st_names &list, int flag_create,
                       int flag_delete, int flag_up, int *action) {
  if (read_list(&list.n, &list.items)) return true;
  int *slot = st_rank(level);
  sync_rank(level, list.items, NULL, list.n);
  if (*slot < 1 || *slot > list.n) st_reset(level);
  *action = st_get_action(title, list.items, NULL, 1, list.n, flag_create, flag_delete, flag_up, slot);
  return false;
}

static int reread(list_func read_list, st_names &list) {
  st_free(&list.n, &list.items);
  return read_list(&list.n, &list.items);
}

static int study_level(int flag_create, int flag_delete) {
  st_names list;
  int action;
  if (level_menu(ST_LEVEL_STUDY, "Orvane Study", VEKClientGetStudyList, list, flag_create, flag_delete, 0, &action))
    return 0;
  switch (action) {
    case 0: st_copy_name(REF_study, list.items[Nstudy - 1]); return VEKClientSetStudy(REF_study) ? 0 : 2;
    case -3:
      if (reread(VEKClientGetStudyList, list)) return 0;
      if (st_get_new_name("New Study Name", list.items, list.n, NewName)) return 0;
      if (st_get_new_name("New Physical Study Location", NULL, 0, REF_phystudy)) return 0;
      if (st_create_study(NewName, REF_phystudy, 0, &list.n, &list.items)) return 0;
      return 2;
    case -2: {
      int rank = Nstudy;
      std::string name;
      if (reread(VEKClientGetStudyList, list)) return 0;
      if (!confirm_deletion()) return 0;
      if (name_at(list.items, NULL, list.n, rank, name)) return 0;
      if (st_delete_study(name.c_str(), &list.n, &list.items)) return 0;
      return 1;
    }
    default: return 0;
  }
}

static int directory_level(int flag_create, int flag_delete) {
  st_names list;
  int action;
  if (level_menu(ST_LEVEL_DIRECTORY, "Orvane Directory", VEKClientGetDirectoryList, list, flag_create, flag_delete, 1,
                 &action))
    return 0;
  switch (action) {
    case 0:
      st_copy_name(REF_directory, list.items[Ndirectory - 1]);
      return VEKClientSetDirectory(REF_directory) ? 0 : 3;
    case -1: st_reset(ST_LEVEL_STUDY); return 1;
    case -3:
      if (reread(VEKClientGetDirectoryList, list)) return 0;
      if (st_get_new_name("New Directory Name", list.items, list.n, NewName)) return 0;
      if (st_create_directory(NewName, &list.n, &list.items)) return 0;
      return 3;
    case -2: {
      int rank = Ndirectory;
      std::string name;
      if (reread(VEKClientGetDirectoryList, list)) return 0;
      if (!confirm_deletion()) return 0;
      if (name_at(list.items, NULL, list.n, rank, name)) return 0;
      if (st_delete_directory(name.c_str(), &list.n, &list.items)) return 0;
      st_reset(ST_LEVEL_DIRECTORY);
      return 1;
    }
    default: return 0;
  }
}

static int file_level(int flag_create, int flag_delete) {
  st_names list;
  int action;
  if (level_menu(ST_LEVEL_FILE, "Orvane File", VEKClientGetFileList, list, flag_create, flag_delete, 1, &action))
    return 0;
  switch (action) {
    case 0: st_copy_name(REF_file, list.items[Nfile - 1]); return VEKClientSetFile(REF_file) ? 0 : 4;
    case -1: st_reset(ST_LEVEL_DIRECTORY); return 2;
    case -3:
      if (reread(VEKClientGetFileList, list)) return 0;
      if (st_get_new_name("New File Name", list.items, list.n, NewName)) return 0;
      if (st_create_file(NewName)) return 0;
      return 4;
    case -2: {
      int rank = Nfile;
      std::string name;
      if (reread(VEKClientGetFileList, list)) return 2;
      if (!confirm_deletion()) return 2;
      if (VEKClientSetStudy(REF_study) || VEKClientSetDirectory(REF_directory)) return 0;
      if (!name_at(list.items, NULL, list.n, rank, name)) st_delete_file(name.c_str(), &list.n, &list.items);
      return 2;
    }
    default: return 0;
  }
}

static int set_selection_and_go(const char *name) {
  st_copy_name(REF_selection, name);
  return st_set_selection() ? 0 : 5;
}

static int delete_selection(void) {
  if (!confirm_deletion()) return 0;
  if (VEKClientSetStudy(REF_study) || VEKClientSetDirectory(REF_directory) || VEKClientSetFile(REF_file) ||
      VEKClientSetVariable(REF_selection) || VEKClientDeleteVariable())
    return 0;
  if (FLAG_DEBUG) message("Variable '%s' deleted successfully\n", REF_selection);
  st_copy_name(REF_selection, STR_empty);
  st_reset(ST_LEVEL_SELECTION);
  return 3;
}

static int selection_level(int flag_delete) {
  st_names list;
  int nb_util = 0;
  int *ranks = NULL;
  int next = 0;
  if (st_varsel_list(0, &list.n, &nb_util, &list.items, &ranks) == 0) {
    sync_rank(ST_LEVEL_SELECTION, list.items, ranks, nb_util);
    if (Nselection < 0 || Nselection > nb_util) st_reset(ST_LEVEL_SELECTION);
    if (nb_util == 0) {
      next = set_selection_and_go(STR_empty);
      if (next) Nselection = 0;
    } else {
      int action = st_get_action("Orvane Selection", list.items, ranks, 0, nb_util, 0, flag_delete, 1, &Nselection);
      switch (action) {
        case 0: next = set_selection_and_go(entry_name(list.items, ranks, Nselection)); break;
        case -4: next = set_selection_and_go(STR_empty); break;
        case -2:
          st_copy_name(REF_selection, entry_name(list.items, ranks, Nselection));
          next = delete_selection();
          break;
        case -1:
          st_reset(ST_LEVEL_FILE);
          next = 3;
          break;
        default: next = 0; break;
      }
    }
  }
  mem_free((char *)ranks);
  return next;
}

static int variable_level(int flag_create, int flag_delete) {
  switch (st_get_variable(flag_create, flag_delete, 1)) {
    case 1: return 6;
    case -1: return 4;
    default: return 0;
  }
}

static int walk(int flag_delete, int flag_create, int stop_level) {
  /* Below 1 the Study level still runs, and the walk ends once it is left
   * downwards (a deletion there shows the Study menu again). */
  if (stop_level < 1) stop_level = 1;
  int step = 1;
  for (;;) {
    switch (step) {
      case 1: step = study_level(flag_create, flag_delete); break;
      case 2: step = directory_level(flag_create, flag_delete); break;
      case 3: step = file_level(flag_create, flag_delete); break;
      case 4: step = selection_level(flag_delete); break;
      default: step = variable_level(flag_create, flag_delete); break;
    }
    if (step == 0) return 1;
    if (step > stop_level || step > 5) return 0;
  }
}

extern "C" SEXP SManageTarget(SEXP s_flag_delete, SEXP s_flag_create, SEXP s_flag_reset, SEXP s_stop_level, SEXP s_ndim,
                              SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db, SEXP s_angle_db,
                              SEXP s_coor_db) {
  return st_entry([&]() -> SEXP {
    int flag_delete = st_get_flag(s_flag_delete, "delete");
    int flag_create = st_get_flag(s_flag_create, "create");
    int flag_reset = st_get_flag(s_flag_reset, "reset");
    int stop_level = RC_get_value_integer(s_stop_level, NULL);
    int error = 1;
    if (!st_file_from_db(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db, s_coor_db) &&
        !st_check_validity(0)) {
      if (flag_reset) st_reset(0);
      error = walk(flag_delete, flag_create, stop_level);
    }
    st_file_from_db_free();
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

/* ------------------------------------------------------------------ */
/* SDesignateVariable                                                  */
/* ------------------------------------------------------------------ */

extern "C" SEXP SDesignateVariable(SEXP s_var_names) {
  return st_entry([&]() -> SEXP {
    int error = 1, flag_continue = 0;
    int count = 0;
    std::vector<std::string> names = RC_get_array_char(s_var_names, NULL, &count);
    std::vector<char *> choices;
    for (std::string &name : names) choices.push_back(&name[0]);
    if (!st_check_validity(4)) {
      mestitle(0, "Loop for selecting Variable(s) to be copied from Db into Orvane");
      Nvariable = -1;
      int action = st_get_action("Db Variable", choices.empty() ? NULL : choices.data(), NULL, 1, (int)choices.size(),
                                 0, 0, 0, &Nvariable);
      error = 0;
      flag_continue = action == 1 ? 0 : 1;
    }
    return Rcpp::List::create(Rcpp::Named("error") = error, Rcpp::Named("flag.continue") = flag_continue,
                              Rcpp::Named("rank") = Nvariable);
  });
}
