/*
 * The file-system baseline of bench/transfer_bench.R: replacing a file so
 * that it survives a crash, the way any careful program does it. Base R
 * cannot fsync, hence this small helper, compiled by the benchmark with
 * R CMD SHLIB.
 */
#include <R.h>
#include <Rinternals.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return 0;
    p += w;
    n -= (size_t)w;
  }
  return 1;
}

/* Writes the doubles of `values` into `path` durably: a temporary file
 * written and fsynced, renamed over `path`, then the directory fsynced so
 * that the rename itself is on disk. */
SEXP bench_durable_write(SEXP path, SEXP dir, SEXP values) {
  const char *dest = CHAR(STRING_ELT(path, 0));
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.tmp", dest) >= (int)sizeof tmp) Rf_error("path too long");
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Rf_error("cannot create %s: %s", tmp, strerror(errno));
  int ok = write_all(fd, (const char *)REAL(values), (size_t)XLENGTH(values) * sizeof(double)) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(tmp, dest) == 0;
  int dfd = open(CHAR(STRING_ELT(dir, 0)), O_RDONLY | O_DIRECTORY);
  ok = ok && dfd >= 0 && fsync(dfd) == 0;
  if (dfd >= 0) close(dfd);
  if (!ok) Rf_error("durable write of %s failed: %s", dest, strerror(errno));
  return R_NilValue;
}
