/*
 * Byte orders of what the package writes, whatever the host's: the
 * protocol's values are big-endian (32-bit units, a double as its 8 bytes),
 * the reference server's data files little-endian. The one place that knows
 * the host's order, shared by the client's codec and the server.
 *
 * A whole variable turns with one swap per value rather than byte by byte:
 * on a 10^7-value variable that is the difference between the encoding
 * costing more than the sends and costing next to nothing.
 */
#ifndef VEK_BYTE_ORDER_H
#define VEK_BYTE_ORDER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define VEK_HOST_BIG_ENDIAN 1
#else
#define VEK_HOST_BIG_ENDIAN 0
#endif

/* 8 bytes between host order and big-endian order, either way. */
static inline uint64_t vek_be64(uint64_t u) {
#if VEK_HOST_BIG_ENDIAN
  return u;
#else
  return __builtin_bswap64(u);
#endif
}

/* 8 bytes between host order and little-endian order, either way. */
static inline uint64_t vek_le64(uint64_t u) {
#if VEK_HOST_BIG_ENDIAN
  return __builtin_bswap64(u);
#else
  return u;
#endif
}

static inline void vek_put_be32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

static inline uint32_t vek_get_be32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

/* The bits of a double and back, without breaking the aliasing rules. */
static inline uint64_t vek_double_bits(double d) {
  uint64_t u;
  memcpy(&u, &d, sizeof u);
  return u;
}

static inline double vek_bits_double(uint64_t u) {
  double d;
  memcpy(&d, &u, sizeof d);
  return d;
}

/* n doubles with the order of their bytes reversed, in place. */
static inline void vek_swap_doubles(double *v, size_t n) {
  for (size_t i = 0; i < n; i++) {
    uint64_t u;
    memcpy(&u, &v[i], 8);
    u = __builtin_bswap64(u);
    memcpy(&v[i], &u, 8);
  }
}

/* n doubles turned in place between host order and big-endian order. */
static inline void vek_doubles_be(double *v, size_t n) {
#if VEK_HOST_BIG_ENDIAN
  (void)v, (void)n;
#else
  vek_swap_doubles(v, n);
#endif
}

/* n doubles turned in place between host order and little-endian order. */
static inline void vek_doubles_le(double *v, size_t n) {
#if VEK_HOST_BIG_ENDIAN
  vek_swap_doubles(v, n);
#else
  (void)v, (void)n;
#endif
}

#endif /* VEK_BYTE_ORDER_H */
