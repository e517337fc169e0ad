/*
 * The grid reordering kernels: values of a grid File (DESC_VEK) moved
 * between the server's sample order (Z fastest, X slowest) and the Db's
 * (X fastest), in slices that keep every read or every write of memory on
 * whole cache lines. Templates, so that each caller's map (NA marking, type
 * conversion) is inlined into the innermost loop.
 */
#ifndef ORVANE_GRID_ORDER_H
#define ORVANE_GRID_ORDER_H

#include <algorithm>
#include <cstdint>

#include "bridge.h"

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
  int64_t count[3] = {1, 1, 1}, step[3]{};
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

#endif /* ORVANE_GRID_ORDER_H */
