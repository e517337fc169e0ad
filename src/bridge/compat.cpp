/*
 * Whether an R Db fits the current server File, the report of a mismatch,
 * and the entry points that describe a File, read its coordinates, or create
 * a File for a Db.
 */
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "entry.h"
#include "transfer.h"

/* Axes that an F_Desc can hold for a given dimension. */
static int desc_axes(const F_Desc &desc) {
  if (desc.ndim < 0) return 0;
  return desc.ndim > 3 ? 3 : desc.ndim;
}

static void print_desc(const F_Desc &desc) {
  message("%s", desc.flag_grid ? "Grid File\n" : "Point File\n");
  message("Space Dimension   = %d\n", desc.ndim);
  message("Number of samples = %d\n", desc.nech);
  if (!desc.flag_grid) return;
  int naxes = desc_axes(desc);
  if (naxes > 0) message("X : Origin=%13.3lf - Mesh=%10.3lf - Number=%d\n", desc.x0[0], desc.dx[0], desc.nx[0]);
  if (naxes > 1) message("Y : Origin=%13.3lf - Mesh=%10.3lf - Number=%d\n", desc.x0[1], desc.dx[1], desc.nx[1]);
  if (naxes > 2) message("Z : Origin=%13.3lf - Mesh=%10.3lf - Number=%d\n", desc.x0[2], desc.dx[2], desc.nx[2]);
}

static void st_print_vek(void) { print_desc(DESC_VEK); }

static void st_print_db(void) { print_desc(DESC_DB); }

/* Exact comparison: two grids that differ in the last bit are different
 * grids; NaN equals nothing. */
static bool same_layout(void) {
  if (DESC_DB.ndim != DESC_VEK.ndim || DESC_DB.nech != DESC_VEK.nech || DESC_DB.flag_grid != DESC_VEK.flag_grid)
    return false;
  if (DESC_DB.flag_grid == 0 || DESC_DB.ndim <= 0) return true;
  for (int i = 0; i < desc_axes(DESC_DB); i++) {
    if (DESC_DB.nx[i] != DESC_VEK.nx[i]) return false;
    if (!(DESC_DB.x0[i] == DESC_VEK.x0[i])) return false;
    if (!(DESC_DB.dx[i] == DESC_VEK.dx[i])) return false;
  }
  return true;
}

static int st_check_compatibility(void) {
  if (same_layout()) return 0;
  st_refuse(ST_MISMATCH, "Incompatibility between Orvane and Db File Characteristics");
  mestitle(1, "Orvane File");
  st_print_vek();
  mestitle(1, "Db File");
  st_print_db();
  return 1;
}

/* ------------------------------------------------------------------ */
/* Descriptions                                                        */
/* ------------------------------------------------------------------ */

/* The list of SFileCharacteristics and DbCreateFile; the vectors are empty
 * when the description could not be read. */
static SEXP characteristics(int error) {
  int n = error ? 0 : desc_axes(DESC_VEK);
  return Rcpp::List::create(
      Rcpp::Named("ndim") = DESC_VEK.ndim, Rcpp::Named("nech") = DESC_VEK.nech,
      Rcpp::Named("flag.grid") = DESC_VEK.flag_grid, Rcpp::Named("x0") = RC_set_array_double(n, DESC_VEK.x0),
      Rcpp::Named("dx") = RC_set_array_double(n, DESC_VEK.dx), Rcpp::Named("nx") = RC_set_array_integer(n, DESC_VEK.nx),
      Rcpp::Named("angles") = RC_set_array_double(n, DESC_VEK.angle), Rcpp::Named("error") = error);
}

extern "C" SEXP SFileCharacteristics(void) {
  return st_entry([&]() -> SEXP {
    int error = st_check_validity(3) || st_file_from_vek();
    return characteristics(error);
  });
}

static int define_named_file(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name) {
  if (st_check_validity(0) || st_define_path(s_study_name, s_dir_name, s_file_name)) return 1;
  return st_file_from_vek();
}

extern "C" SEXP DbCreateFile(SEXP s_study_name, SEXP s_dir_name, SEXP s_file_name) {
  return st_entry([&]() -> SEXP {
    int error = define_named_file(s_study_name, s_dir_name, s_file_name);
    st_file_from_db_free();
    return characteristics(error);
  });
}

/* ------------------------------------------------------------------ */
/* Compatibility and creation                                          */
/* ------------------------------------------------------------------ */

static int db_compatible(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                         SEXP s_angle_db, SEXP s_coor_db) {
  if (st_file_from_db(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db, s_coor_db)) return 1;
  if (st_check_validity(3)) return 1;
  if (st_file_from_vek()) return 1;
  if (st_check_compatibility()) {
    st_reset(ST_LEVEL_FILE);
    return 1;
  }
  return 0;
}

extern "C" SEXP SDbCompatible(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                              SEXP s_angle_db, SEXP s_coor_db) {
  return st_entry([&]() -> SEXP {
    int error = db_compatible(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db, s_coor_db);
    st_file_from_db_free();
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

/* The first difference between DESC_DB and DESC_VEK, for DbCompatible(): as
 * st_check_compatibility, but grids must also be turned alike, and reals
 * agree when they differ by at most 1e-9 of their size (at least 1), so
 * that a geometry recomputed from a raster's extent still fits. Empty when
 * they agree. */
static std::string first_difference(void) {
  const F_Desc &f = DESC_VEK, &d = DESC_DB;
  char text[256];
  if (d.ndim != f.ndim || d.nech != f.nech || d.flag_grid != f.flag_grid) {
    snprintf(text, sizeof text,
             "Different layout: %s of %d dimension(s) and %d sample(s) (Orvane File), %s of %d and %d (Db)",
             f.flag_grid ? "grid" : "points", f.ndim, f.nech, d.flag_grid ? "grid" : "points", d.ndim, d.nech);
    return text;
  }
  if (d.flag_grid == 0) return "";
  static const char *const axis[3] = {"X", "Y", "Z"};
  /* The angles are about Z, then Y, then X. */
  static const char *const about[3] = {"Z", "Y", "X"};
  auto near = [](double a, double b) {
    double size = std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
    return std::fabs(a - b) <= 1e-9 * size;
  };
  for (int i = 0; i < desc_axes(d); i++) {
    const char *what = NULL;
    double a = 0, b = 0;
    if (d.nx[i] != f.nx[i]) {
      snprintf(text, sizeof text, "Different number of nodes along %s: %d (Orvane File) and %d (Db)", axis[i], f.nx[i],
               d.nx[i]);
      return text;
    }
    if (!near(d.x0[i], f.x0[i])) what = "origin", a = f.x0[i], b = d.x0[i];
    else if (!near(d.dx[i], f.dx[i])) what = "mesh", a = f.dx[i], b = d.dx[i];
    if (what != NULL) {
      snprintf(text, sizeof text, "Different %s along %s: %.15g (Orvane File) and %.15g (Db)", what, axis[i], a, b);
      return text;
    }
  }
  for (int i = 0; i < desc_axes(d); i++) {
    if (!near(d.angle[i], f.angle[i])) {
      snprintf(text, sizeof text, "Different angle about %s: %.15g (Orvane File) and %.15g (Db)", about[i], f.angle[i],
               d.angle[i]);
      return text;
    }
  }
  return "";
}

/* DESC_DB for a comparison: points are compared by their counts alone, so
 * their coordinates are neither asked for nor copied. */
static int db_to_compare(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                         SEXP s_angle_db) {
  if (RC_get_value_integer(s_flag_grid, NULL) != 0)
    return st_file_from_db(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db, R_NilValue);
  int ndim = RC_get_value_integer(s_ndim, NULL);
  if (ndim > 3) {
    st_refuse(ST_USAGE, "Space dimension may not be larger than 3");
    return 1;
  }
  st_file_from_db_free();
  F_Desc points = {ndim, RC_get_value_integer(s_nech, NULL), 0, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, NULL};
  DESC_DB = points;
  return 0;
}

/* IDbFits(the eight Db description arguments, the last unused): the check
 * of DbCompatible(), made as SDbCompatible makes it (the same report and
 * the same reset of the target on a mismatch) but with first_difference(),
 * which it names. */
extern "C" SEXP IDbFits(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                        SEXP s_angle_db, SEXP) {
  return st_entry([&]() -> SEXP {
    int error = 1;
    if (!db_to_compare(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db) && !st_check_validity(3) &&
        !st_file_from_vek()) {
      std::string why = first_difference();
      error = 0;
      if (!why.empty()) {
        /* The difference is the reason the R functions give. */
        st_refuse(ST_MISMATCH, "Incompatibility between Orvane and Db File Characteristics: %s", why.c_str());
        mestitle(1, "Orvane File");
        st_print_vek();
        mestitle(1, "Db File");
        st_print_db();
        st_reset(ST_LEVEL_FILE);
        error = 1;
      }
    }
    st_file_from_db_free();
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

static int create_file_for_db(SEXP s_file_name, SEXP s_study_name, SEXP s_dir_name, SEXP s_flag_allow) {
  int must_create = 0;
  if (st_check_validity(0)) return 1;
  if (st_define_study(s_study_name)) return 1;
  if (st_define_directory(s_dir_name, NULL, 1, &must_create)) return 1;
  if (st_define_file(s_file_name, s_flag_allow, 0, &must_create)) return 1;
  if (must_create) return st_create_file(LOC_file);
  return st_check_compatibility();
}

extern "C" SEXP ICreateFile(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                            SEXP s_angle_db, SEXP s_coor_db, SEXP s_file_name, SEXP s_study_name, SEXP s_dir_name,
                            SEXP s_flag_allow) {
  return st_entry([&]() -> SEXP {
    int error = 1;
    st_get_flag(s_flag_allow, ST_FLAG_ALLOW); /* refused before anything changes */
    if (!st_file_from_db(s_ndim, s_nech, s_flag_grid, s_nx_db, s_x0_db, s_dx_db, s_angle_db, s_coor_db))
      error = create_file_for_db(s_file_name, s_study_name, s_dir_name, s_flag_allow);
    st_file_from_db_free();
    return Rcpp::List::create(Rcpp::Named("error") = error);
  });
}

/* ------------------------------------------------------------------ */
/* Coordinates                                                         */
/* ------------------------------------------------------------------ */

struct coord_result {
  int ndim = 0;
  int nech = 0;
  double *tab = NULL;
  int ntab = 0;
};

/* Reads one coordinate variable into `dest` (nech doubles). */
static int read_coordinate(const char *name, int nech, double *dest) {
  st_client_array<double> values;
  double test_val = 0.;
  vek_long count = 0;
  if (VEKClientSetVariable(name)) return 1;
  if (VEKClientReadDoubleVariable(0, &test_val, &count, &values.p)) return 1;
  if (count != nech) {
    st_refuse(ST_COMMUNICATION, "The server sent %lld values of '%s' where the File has %d samples", (long long)count,
              name, nech);
    return 1;
  }
  st_copy_read_values(dest, values.p, count, test_val);
  return 0;
}

static int read_coordinates(coord_result &r) {
  if (st_check_validity(3)) return 1;
  if (st_file_from_vek()) return 1;
  r.nech = DESC_VEK.nech;

  st_names list;
  int nb_util = 0;
  int *ranks = NULL;
  int error = st_varsel_list(-1, &list.n, &nb_util, &list.items, &ranks);
  if (!error) {
    r.ndim = nb_util;
    if (r.ndim < 1) {
      st_refuse(ST_USAGE, "There is no coordinate (rank=%d) in the File", r.ndim);
      error = 1;
    }
  }
  int bytes = error ? -1 : st_double_bytes((int64_t)r.ndim * r.nech, "Coordinates");
  if (bytes < 0) error = 1;
  if (!error) {
    r.tab = (double *)mem_alloc(bytes, 1);
    error = st_set_selection();
  }
  for (int d = 0; !error && d < r.ndim; d++) {
    const char *name = list.items[ranks[d]] != NULL ? list.items[ranks[d]] : "";
    error = read_coordinate(name, r.nech, r.tab + (size_t)d * r.nech);
  }
  if (!error) r.ntab = r.ndim * r.nech;
  mem_free((char *)ranks);
  return error;
}

extern "C" SEXP SReadCoordinates(void) {
  return st_entry([&]() -> SEXP {
    coord_result r;
    int error = read_coordinates(r);
    Rcpp::NumericVector tab(r.tab, r.tab + (error ? 0 : r.ntab));
    mem_free((char *)r.tab);
    return Rcpp::List::create(Rcpp::Named("ndim") = r.ndim, Rcpp::Named("nech") = r.nech, Rcpp::Named("tab") = tab,
                              Rcpp::Named("error") = error);
  });
}
