/*
 * Storage faults for the reference server under test, loaded with
 * LD_PRELOAD. VEK_FAULT="call:pattern:errno" makes every call of `call`
 * (write, fsync, rename, link or mkdir) whose path (the target of a rename or
 * link, the file behind a descriptor) matches the fnmatch pattern fail with
 * that errno, as a full or failing disk would.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int injected(const char *call, const char *path) {
  const char *rule = getenv("VEK_FAULT");
  char name[16], pattern[1024];
  int err;
  if (!rule || !path || sscanf(rule, "%15[^:]:%1023[^:]:%d", name, pattern, &err) != 3) return 0;
  if (strcmp(name, call) != 0 || fnmatch(pattern, path, 0) != 0) return 0;
  errno = err;
  return 1;
}

static const char *fd_path(int fd, char *buf, size_t n) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t r = readlink(link, buf, n - 1);
  if (r < 0) return NULL;
  buf[r] = '\0';
  return buf;
}

#define REAL(name) static __typeof__(name) *real_##name; \
  if (!real_##name) real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

ssize_t write(int fd, const void *data, size_t n) {
  REAL(write);
  char path[4096];
  return injected("write", fd_path(fd, path, sizeof path)) ? -1 : real_write(fd, data, n);
}

int fsync(int fd) {
  REAL(fsync);
  char path[4096];
  return injected("fsync", fd_path(fd, path, sizeof path)) ? -1 : real_fsync(fd);
}

int rename(const char *from, const char *to) {
  REAL(rename);
  return injected("rename", to) ? -1 : real_rename(from, to);
}

int link(const char *from, const char *to) {
  REAL(link);
  return injected("link", to) ? -1 : real_link(from, to);
}

int mkdir(const char *path, mode_t mode) {
  REAL(mkdir);
  return injected("mkdir", path) ? -1 : real_mkdir(path, mode);
}
