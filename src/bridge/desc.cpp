/*
 * Descriptions of the current server File (DESC_VEK) and of an R Db
 * (DESC_DB), and the reordering of grid values between the server's sample
 * order (Z fastest) and the Db's (X fastest).
 */
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "bridge.h"
#include "grid_order.h"

F_Desc DESC_VEK{};
F_Desc DESC_DB{};
VEKFileInfo INFO_VEK;

int st_file_from_vek(void) {
  VEKFileInfo info{};
  if (VEKClientGetFileInfo(&info)) return 1;
  return st_file_from_info(info);
}

int st_file_from_info(const VEKFileInfo &info) {
  /* F_Desc holds three axes and int counts: a description that does not fit
   * is refused rather than read past its arrays later. */
  if (info.dimension < 0 || info.dimension > 3) {
    st_refuse(ST_COMMUNICATION, "The space dimension of the File (%d) is not supported (0 to 3)", info.dimension);
    return 1;
  }
  int grid = info.type == VEK_FILE_TYPE_GRID;
  int64_t nech = info.s_number;
  if (grid) {
    if (info.NX < 0 || info.NY < 0 || info.NZ < 0) {
      st_refuse(ST_COMMUNICATION, "The grid File has a negative number of nodes (%d x %d x %d)", info.NX, info.NY,
                info.NZ);
      return 1;
    }
    nech = (int64_t)info.NX * info.NY * info.NZ;
  }
  if (nech < 0 || nech > INT_MAX) {
    st_refuse(ST_COMMUNICATION, "The number of samples of the File (%lld) is not supported", (long long)nech);
    return 1;
  }

  INFO_VEK = info;
  DESC_VEK.ndim = info.dimension;
  DESC_VEK.flag_grid = grid;
  DESC_VEK.nech = (int)nech;
  if (!grid) {
    for (int i = 0; i < 3; i++) {
      DESC_VEK.nx[i] = 0;
      DESC_VEK.x0[i] = DESC_VEK.dx[i] = DESC_VEK.angle[i] = 0.;
    }
    return 0;
  }
  DESC_VEK.x0[0] = info.X0;
  DESC_VEK.x0[1] = info.Y0;
  DESC_VEK.x0[2] = info.Z0;
  DESC_VEK.dx[0] = info.DX;
  DESC_VEK.dx[1] = info.DY;
  DESC_VEK.dx[2] = info.DZ;
  DESC_VEK.angle[0] = info.angle_z;
  DESC_VEK.angle[1] = info.angle_y;
  DESC_VEK.angle[2] = info.angle_x;
  DESC_VEK.nx[0] = info.NX;
  DESC_VEK.nx[1] = info.NY;
  DESC_VEK.nx[2] = info.NZ;
  return 0;
}

int st_file_from_db(SEXP s_ndim, SEXP s_nech, SEXP s_flag_grid, SEXP s_nx_db, SEXP s_x0_db, SEXP s_dx_db,
                    SEXP s_angle_db, SEXP s_coor_db) {
  int n_nx, n_x0, n_dx, n_angle, n_coor;
  int ndim = RC_get_value_integer(s_ndim, NULL);
  int nech = RC_get_value_integer(s_nech, NULL);
  int flag_grid = RC_get_value_integer(s_flag_grid, NULL);
  int *nx = RC_get_array_integer(s_nx_db, NULL, &n_nx);
  double *x0 = RC_get_array_double(s_x0_db, NULL, &n_x0);
  double *dx = RC_get_array_double(s_dx_db, NULL, &n_dx);
  double *angle = RC_get_array_double(s_angle_db, NULL, &n_angle);
  /* A grid's nodes follow from its geometry: a coordinate vector handed in
   * with it would only be copied for nothing, ndim values per node. */
  double *coor = NULL;
  n_coor = 0;
  if (!flag_grid) coor = RC_get_array_double(s_coor_db, NULL, &n_coor);
  int error = 1;

  int64_t ncoor = (ndim > 0 && nech > 0) ? (int64_t)ndim * nech : 0;
  if (ndim > 3) {
    st_refuse(ST_USAGE, "Space dimension may not be larger than 3");
  } else if (!flag_grid && ncoor > n_coor) {
    /* Copying ndim*nech values out of a shorter vector would read past it. */
    st_refuse(ST_USAGE, "The Db coordinates hold %d values where %lld are expected", n_coor, (long long)ncoor);
  } else if (flag_grid && ndim > 0 && (n_nx < ndim || n_x0 < ndim || n_dx < ndim || n_angle < ndim)) {
    st_refuse(ST_USAGE, "The Db grid description needs %d values per axis vector", ndim);
  } else {
    st_file_from_db_free();
    DESC_DB.ndim = ndim;
    DESC_DB.nech = nech;
    DESC_DB.flag_grid = flag_grid;
    for (int i = 0; i < 3; i++) {
      DESC_DB.nx[i] = 0;
      DESC_DB.x0[i] = DESC_DB.dx[i] = DESC_DB.angle[i] = 0.;
    }
    if (!flag_grid) {
      if (ncoor > 0) {
        if (ncoor > INT_MAX / (int64_t)sizeof(double))
          st_abort(ST_USAGE, "Memory Allocation failed (%lld coordinates) - Too large", (long long)ncoor);
        DESC_DB.coor = (double *)mem_alloc((int)(ncoor * (int64_t)sizeof(double)), 1);
        memcpy(DESC_DB.coor, coor, (size_t)ncoor * sizeof(double));
      }
    } else {
      for (int i = 0; i < ndim; i++) {
        DESC_DB.nx[i] = nx[i];
        DESC_DB.x0[i] = x0[i];
        DESC_DB.dx[i] = dx[i];
        DESC_DB.angle[i] = angle[i];
      }
    }
    error = 0;
  }
  mem_free((char *)nx);
  mem_free((char *)x0);
  mem_free((char *)dx);
  mem_free((char *)angle);
  mem_free((char *)coor);
  return error;
}

bool st_whole_count_ok(int64_t count) {
  if (count == DESC_VEK.nech) return true;
  int lines = INFO_VEK.item_number;
  return !DESC_VEK.flag_grid && INFO_VEK.type == VEK_FILE_TYPE_GRAVITY_LINES && lines > 0 &&
         count == (int64_t)DESC_VEK.nech - lines;
}

void st_file_from_db_free(void) { DESC_DB.coor = (double *)mem_free((char *)DESC_DB.coor); }

int st_grid_size(void) {
  int64_t n = 1;
  for (int i = 0; i < 3; i++) {
    if (DESC_VEK.nx[i] <= 0) return 0;
    n *= DESC_VEK.nx[i];
    if (n > INT_MAX) return -1;
  }
  return (int)n;
}

int st_transpose(int mode, int orientx, int orienty, int orientz, double *tab) {
  int n = st_grid_size();
  if (n == 0) return 0; /* an axis without node: nothing to reorder */
  if (n < 0 || tab == NULL) return 1;
  std::unique_ptr<double[]> copy(new (std::nothrow) double[(size_t)n]);
  if (!copy) return 1;
  memcpy(copy.get(), tab, (size_t)n * sizeof(double));
  st_reorder(mode, orientx, orienty, orientz, copy.get(), tab, [](double v) { return v; });
  return 0;
}
