/*
 * Whole Files for the R functions that turn a File into a data frame or a
 * spatial object and back: the description of a File with its lines and
 * variables, and several variables read or written in one call, without
 * dialogue.
 *
 * A whole-File operation must not be left half done by a refusal: every
 * count and every name is checked before the first variable is written.
 */
#include <cstring>
#include <string>
#include <vector>

#include "entry.h"
#include "transfer.h"
#include "vek_internal.h"

/* The suffix that makes a name a macro variable's. */
#define MACRO_SUFFIX "[xxxxx]"

static bool is_macro_name(const std::string &name) {
  size_t n = strlen(MACRO_SUFFIX);
  return name.size() > n && name.compare(name.size() - n, n, MACRO_SUFFIX) == 0;
}

/* Samples of each line of the current File. The client's line-count request
 * leaves the result code and the socket to its caller, as its line write
 * does. */
static bool line_samples(std::vector<int> &counts) {
  int n = 0;
  st_client_array<int> c;
  if (_vek_get_line_samples(&n, &c.p)) {
    _vek_cleanup_socket();
    _vek_store(VEK_RESULT_USAGE);
    return true;
  }
  if (c.p != NULL && n > 0) counts.assign(c.p, c.p + n);
  return false;
}

/* The variables of the File that the last description with variables
 * found, kept for a write that comes right after it (WriteFile() describes
 * first): their names and kinds need not be asked again. */
static std::vector<std::pair<std::string, VEKVariableInfo> > DESCRIBED;
static unsigned long DESCRIBED_CALL = 0;

/* Name, type code, bit length, unit and, for a macro variable, the item
 * indices, of every variable of the File. */
static int describe_variables(Rcpp::List &out) {
  DESCRIBED.clear();
  DESCRIBED_CALL = 0;
  st_names list;
  if (VEKClientGetVariableList(&list.n, &list.items)) return 1;
  std::vector<std::string> names, units;
  std::vector<int> types, bits;
  Rcpp::List items(list.n);
  for (int i = 0; i < list.n; i++) {
    const char *name = list.items[i] != NULL ? list.items[i] : "";
    VEKVariableInfo info{};
    if (VEKClientSetVariable(name) || VEKClientGetVariableInfo(&info)) return 1;
    names.push_back(name);
    types.push_back(info.type);
    bits.push_back(info.bit_length);
    units.push_back(std::string(info.unit, strnlen(info.unit, sizeof info.unit)));
    DESCRIBED.emplace_back(name, info);
    if (info.type != VEK_VAR_TYPE_MACRO) continue;
    int n = 0;
    st_client_array<int> ind;
    if (VEKClientGetMacroIndices(&n, &ind.p)) return 1;
    items[i] = std::vector<int>(ind.p, ind.p + (ind.p != NULL && n > 0 ? n : 0));
  }
  out = Rcpp::List::create(Rcpp::Named("name") = names, Rcpp::Named("type") = types, Rcpp::Named("bits") = bits,
                           Rcpp::Named("unit") = units, Rcpp::Named("items") = items);
  DESCRIBED_CALL = ST_CALL;
  return 0;
}

/* A NULL File name (R's NULL, not "") describes the target's File as the
 * server holds it, without defining the path again. */
static int describe_file(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, int with_variables,
                         std::vector<int> &lines, Rcpp::List &variables) {
  if (Rf_isNull(s_file_name)) {
    if (st_check_validity(ST_LEVEL_FILE) || st_file_from_vek()) return 1;
  } else if (st_check_validity(0) || st_define_path(s_study_name, s_dir_name, s_file_name)) {
    return 1;
  }
  int type = INFO_VEK.type;
  if ((type == VEK_FILE_TYPE_GRAVITY_LINES || type == VEK_FILE_TYPE_CORE_LINES) && line_samples(lines)) return 1;
  return with_variables ? describe_variables(variables) : 0;
}

extern "C" SEXP IDescribeFile(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_flag_variables) {
  return st_entry([&]() -> SEXP {
    int with_variables = RC_get_value_integer(s_flag_variables, NULL) == 1;
    std::vector<int> lines;
    Rcpp::List variables;
    int error = describe_file(s_study_name, s_dir_name, s_file_name, with_variables, lines, variables);
    /* A read or write of the File right after takes its path as held. */
    if (!error) st_path_confirm();
    const F_Desc &d = DESC_VEK;
    const VEKFileInfo &f = INFO_VEK;
    int line_file = f.type == VEK_FILE_TYPE_GRAVITY_LINES || f.type == VEK_FILE_TYPE_CORE_LINES;
    std::vector<std::string> coords = {f.xg_var_name, f.yg_var_name, f.zg_var_name};
    return Rcpp::List::create(
        Rcpp::Named("type") = error ? (int)VEK_FILE_TYPE_INVALID : (int)f.type, Rcpp::Named("ndim") = d.ndim,
        Rcpp::Named("nech") = d.nech, Rcpp::Named("nlines") = line_file ? f.item_number : 0,
        Rcpp::Named("line.samples") = lines, Rcpp::Named("nx") = std::vector<int>(d.nx, d.nx + 3),
        Rcpp::Named("x0") = std::vector<double>(d.x0, d.x0 + 3),
        Rcpp::Named("dx") = std::vector<double>(d.dx, d.dx + 3),
        Rcpp::Named("angles") = std::vector<double>(d.angle, d.angle + 3), Rcpp::Named("coordinates") = coords,
        Rcpp::Named("variables") = variables, Rcpp::Named("error") = error);
  });
}

/* ------------------------------------------------------------------ */
/* Reading                                                             */
/* ------------------------------------------------------------------ */

/* IReadFile(study, directory, file, names, items): every sample of each
 * named variable, grid values in Db order, undefined values as NA, each
 * received straight into its R vector; a macro variable's items (items[[i]]
 * holds their macro indices, integer(0) for any other variable) as a list
 * of one vector per item. The File is taken as the call just before
 * described it when that call confirmed its path (ReadFile() describes it
 * first): nothing is listed or described again, and each variable costs
 * its Set request and its read, each item of a macro variable its index
 * and its read. One progress bar covers the whole call. */
static int read_file(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_names, SEXP s_items,
                     Rcpp::List &values) {
  if (st_check_validity(0)) return 1;
  if (!st_path_is_current(s_study_name, s_dir_name, s_file_name) &&
      st_define_path(s_study_name, s_dir_name, s_file_name))
    return 1;
  int n = 0;
  std::vector<std::string> names = RC_get_array_char(s_names, NULL, &n);
  if (TYPEOF(s_items) != VECSXP || Rf_length(s_items) != n) {
    st_refuse(ST_USAGE, "The %d variables to read are not given their items one by one", n);
    return 1;
  }
  std::vector<std::vector<int> > items((size_t)n);
  double whole = 0;
  for (int i = 0; i < n; i++) {
    SEXP it = VECTOR_ELT(s_items, i);
    if (!Rf_isNull(it)) items[(size_t)i] = Rcpp::as<std::vector<int> >(it);
    whole += (double)std::max<size_t>(1, items[(size_t)i].size());
  }
  int nech = DESC_VEK.nech;
  if (nech <= 0 || (DESC_VEK.flag_grid && st_grid_size() != nech)) {
    st_refuse(ST_USAGE, "There is no sample to read in the File");
    return 1;
  }
  /* Rows are left out in R: the server would send unselected samples as
   * undefined, which an R user could not tell from undefined values. */
  if (VEKClientSetSelection(NULL)) return 1;
  st_read_window win;
  st_progress_span span(whole * nech);
  double done = 0;
  values = Rcpp::List(n);
  for (int i = 0; i < n; i++) {
    char name[ST_NAME_SIZE];
    st_copy_name(name, names[(size_t)i].c_str());
    if (VEKClientSetVariable(name)) return 1;
    const std::vector<int> &ind = items[(size_t)i];
    Rcpp::List parts(std::max<size_t>(1, ind.size()));
    for (size_t k = 0; k < (size_t)parts.size(); k++) {
      if (!ind.empty() && VEKClientSetIndice(ind[k])) return 1;
      Rcpp::NumericVector v = RC_new_array_double(nech);
      span.at(done);
      if (st_read_item_into(name, nech, win, v.begin())) return 1;
      done += nech;
      parts[k] = v;
    }
    if (ind.empty()) values[i] = parts[0];
    else values[i] = parts;
  }
  return 0;
}

extern "C" SEXP IReadFile(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_names, SEXP s_items) {
  return st_entry([&]() -> SEXP {
    Rcpp::List values;
    int error = read_file(s_study_name, s_dir_name, s_file_name, s_names, s_items, values);
    if (!error) st_path_confirm();
    return Rcpp::List::create(Rcpp::Named("values") = error ? Rcpp::List() : values, Rcpp::Named("error") = error);
  });
}

/* ------------------------------------------------------------------ */
/* Writing                                                             */
/* ------------------------------------------------------------------ */

/* One variable written whole, item after item, its values produced from
 * the R vector while they are sent. A plain variable of the kind, bit
 * length and unit asked for is written over in place; anything else of
 * that name (a macro variable among them, whose items would otherwise
 * outlive the write) gives way to a new variable. */
static bool write_variable(const std::string &name, const std::string &unit, int bits, int items,
                           const VEKVariableInfo *known, int exists, SEXP s_values, st_progress_span &span,
                           double &done) {
  char buf[ST_NAME_SIZE];
  st_copy_name(buf, name.c_str());
  const char *u = unit.empty() ? NULL : unit.c_str();
  bool macro = is_macro_name(name);
  if (macro && exists) {
    if (st_clean_variable_and_selection(buf)) return true;
    st_journal_note(ST_NOTE_DELETED, buf);
  }
  if (st_replace_variable(buf, u, bits, 10, 3, macro ? 0 : exists, macro ? NULL : known)) return true;
  static const int plain[3] = {1, 1, 1};
  int per_item = (int)(Rf_xlength(s_values) / items);
  for (int k = 0; k < items; k++) {
    if (macro && VEKClientSetIndice(k + 1)) return true;
    span.at(done);
    if (st_write_values(s_values, (R_xlen_t)k * per_item, per_item, plain)) return true;
    done += per_item;
  }
  return false;
}

/* IWriteFile(study, directory, file, names, units, bits, items, values,
 * overwrite): the variables of a data frame into a File, each whole. The
 * File is taken as the call just before described it when that call
 * confirmed its path (WriteFile() describes an existing File first);
 * the File's variables are listed once for the whole call. One progress
 * bar covers the call. */
static int write_file(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_names, SEXP s_units, SEXP s_bits,
                      SEXP s_items, SEXP s_values, SEXP s_overwrite) {
  if (st_check_validity(0)) return 1;
  bool held = st_path_is_current(s_study_name, s_dir_name, s_file_name);
  if (!held && st_define_path(s_study_name, s_dir_name, s_file_name)) return 1;
  held = held && DESCRIBED_CALL != 0 && DESCRIBED_CALL + 1 == ST_CALL;
  int n = 0, nunits = 0;
  std::vector<std::string> names = RC_get_array_char(s_names, NULL, &n);
  std::vector<std::string> units = RC_get_array_char(s_units, NULL, &nunits);
  std::vector<int> bits = Rcpp::as<std::vector<int> >(s_bits);
  std::vector<int> items = Rcpp::as<std::vector<int> >(s_items);
  int overwrite = RC_get_value_integer(s_overwrite, NULL) == 1;
  if (nunits != n || (int)bits.size() != n || (int)items.size() != n || TYPEOF(s_values) != VECSXP ||
      Rf_length(s_values) != n) {
    st_refuse(ST_USAGE, "The %d variables to write are not described one by one", n);
    return 1;
  }

  double whole = 0;
  for (int i = 0; i < n; i++) {
    SEXP v = VECTOR_ELT(s_values, i);
    R_xlen_t count = Rf_xlength(v);
    int k = items[i];
    static const int ok_types[] = {REALSXP, INTSXP, LGLSXP};
    if (std::find(std::begin(ok_types), std::end(ok_types), TYPEOF(v)) == std::end(ok_types)) {
      st_refuse(ST_USAGE, "The values of '%s' are not numbers", names[i].c_str());
      return 1;
    }
    if (st_double_bytes(count, names[i].c_str()) < 0) return 1;
    if (k < 1 || (k > 1 && !is_macro_name(names[i])) || count % k != 0 || !st_whole_count_ok(count / k)) {
      st_refuse(ST_USAGE, "The %d item(s) of '%s' hold %lld values where the File '%s' has %d samples", k,
                names[i].c_str(), (long long)count, REF_file, DESC_VEK.nech);
      return 1;
    }
    whole += (double)count;
  }
  /* What the File holds: as described just before, or asked now. */
  std::vector<const VEKVariableInfo *> known((size_t)n, NULL);
  std::vector<int> exists((size_t)n, 0);
  {
    st_names asked;
    std::vector<char *> described;
    if (held)
      for (const auto &d : DESCRIBED) described.push_back(const_cast<char *>(d.first.c_str()));
    else if (VEKClientGetVariableList(&asked.n, &asked.items)) return 1;
    int count = held ? (int)described.size() : asked.n;
    char **list = held ? described.data() : asked.items;
    for (int i = 0; i < n; i++) {
      exists[(size_t)i] = !st_status(1, 0, count, list, names[i].c_str());
      if (st_status(0, !overwrite, count, list, names[i].c_str()) && !overwrite) return 1;
      for (const auto &d : DESCRIBED)
        if (held && d.first == names[i]) known[(size_t)i] = &d.second;
    }
  }
  /* Whole variables: no selection may hold samples back. */
  if (VEKClientSetSelection(NULL)) return 1;
  st_progress_span span(whole);
  double done = 0;
  for (int i = 0; i < n; i++)
    if (write_variable(names[i], units[i], bits[i], items[i], known[(size_t)i], exists[(size_t)i],
                       VECTOR_ELT(s_values, i), span, done))
      return 1;
  if (FLAG_DEBUG) message("%d variable(s) written into Orvane(%s/%s/%s)\n", n, LOC_study, LOC_directory, LOC_file);
  return 0;
}

extern "C" SEXP IWriteFile(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name, SEXP s_names, SEXP s_units,
                           SEXP s_bits, SEXP s_items, SEXP s_values, SEXP s_overwrite) {
  return st_entry([&]() -> SEXP {
    int error =
        write_file(s_study_name, s_dir_name, s_file_name, s_names, s_units, s_bits, s_items, s_values, s_overwrite);
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}
