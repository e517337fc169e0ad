/*
 * Durable file-system primitives: see storage.h.
 */
#include "storage.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "byte_order.h"

/* Linux reads and writes at most about 2 GB in one call; larger buffers loop. */
#define IO_CHUNK_MAX ((size_t)1 << 30)

static unsigned long temp_counter = 0;

static bool fail(std::string &err, const std::string &what, const std::string &path, int e) {
  err = what + " '" + path + "': " + strerror(e);
  return false;
}

std::string fs_join(const std::string &a, const std::string &b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

bool fs_is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fs_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool fs_list_dirs(const std::string &dir, std::vector<std::string> &names, std::string &err) {
  names.clear();
  DIR *d = opendir(dir.c_str());
  if (!d) return fail(err, "cannot read directory", dir, errno);
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(d);
    if (!e) break;
    if (e->d_name[0] == '.') continue;
    std::string full = fs_join(dir, e->d_name);
    struct stat st;
    /* A symbolic link is not followed: the tree must stay inside its root. */
    if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) names.push_back(e->d_name);
  }
  int e = errno;
  closedir(d);
  if (e) return fail(err, "cannot read directory", dir, e);
  std::sort(names.begin(), names.end());
  return true;
}

bool fs_read_file(const std::string &path, std::string &out, std::string &err) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(err, "cannot open", path, errno);
  char buf[65536];
  for (;;) {
    ssize_t r = TEMP_FAILURE_RETRY(read(fd, buf, sizeof buf));
    if (r < 0) {
      int e = errno;
      close(fd);
      return fail(err, "cannot read", path, e);
    }
    if (r == 0) break;
    out.append(buf, (size_t)r);
  }
  close(fd);
  return true;
}

static bool write_all(int fd, const void *data, size_t n) {
  const char *p = (const char *)data;
  while (n > 0) {
    ssize_t w = TEMP_FAILURE_RETRY(write(fd, p, std::min(n, IO_CHUNK_MAX)));
    if (w <= 0) return false;
    p += w;
    n -= (size_t)w;
  }
  return true;
}

bool fs_sync_dir(const std::string &dir, std::string &err) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(err, "cannot open directory", dir, errno);
  int r = fsync(fd);
  int e = errno;
  close(fd);
  if (r != 0) return fail(err, "cannot flush directory", dir, e);
  return true;
}

bool fs_create_file(const std::string &path, const void *data, size_t n, std::string &err) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return fail(err, "cannot create", path, errno);
  bool ok = write_all(fd, data, n);
  int e = errno;
  if (ok && fsync(fd) != 0) {
    ok = false;
    e = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    unlink(path.c_str());
    return fail(err, "cannot write", path, e ? e : EIO);
  }
  return true;
}

std::string fs_temp_name(const std::string &dir, const char *what) {
  for (;;) {
    char tag[96];
    snprintf(tag, sizeof tag, "%s%s-%ld-%lu", VEK_STORAGE_PREFIX, what, (long)getpid(), ++temp_counter);
    if (!fs_exists(fs_join(dir, tag))) return tag;
  }
}

bool fs_replace_file(const std::string &dir, const std::string &name, const void *data, size_t n, std::string &err,
                     std::string *aside) {
  std::string tmp = fs_join(dir, fs_temp_name(dir, "tmp"));
  if (!fs_create_file(tmp, data, n, err)) return false;
  std::string dest = fs_join(dir, name);
  /* A second name for the old contents, so that a rename whose directory
   * cannot be flushed can be taken back: what readers see must be what the
   * answer says. A file system without hard links only loses that undo. */
  std::string prev = fs_join(dir, fs_temp_name(dir, "prev"));
  bool had_prev = link(dest.c_str(), prev.c_str()) == 0;
  int why = had_prev ? 0 : errno;
  bool undoable = had_prev || why == ENOENT;
  if (!undoable && why != EPERM && why != EOPNOTSUPP && why != EMLINK) {
    unlink(tmp.c_str());
    return fail(err, "cannot keep the previous", dest, why);
  }
  if (rename(tmp.c_str(), dest.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    if (had_prev) unlink(prev.c_str());
    return fail(err, "cannot replace", dest, e);
  }
  if (!fs_sync_dir(dir, err)) {
    if (!undoable || (had_prev ? rename(prev.c_str(), dest.c_str()) : unlink(dest.c_str())) != 0)
      err += "; the new contents could not be taken back";
    return false;
  }
  if (had_prev && aside) *aside = prev;
  else if (had_prev) unlink(prev.c_str());
  return true;
}

bool fs_create_doubles(const std::string &path, const double *v, size_t n, std::string &err) {
#if VEK_HOST_BIG_ENDIAN
  std::vector<double> le(v, v + n);
  vek_doubles_le(le.data(), n);
  return fs_create_file(path, le.data(), n * 8, err);
#else
  return fs_create_file(path, v, n * 8, err);
#endif
}

fs_new_data::~fs_new_data() {
  if (fd_ >= 0) close(fd_);
}

bool fs_new_data::open(const std::string &dir, std::string &err) {
#ifdef O_TMPFILE
  fd_ = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd_ >= 0) {
    dir_ = dir;
    return true;
  }
  return fail(err, "cannot open an unnamed file in", dir, errno);
#else
  return fail(err, "cannot open an unnamed file in", dir, EOPNOTSUPP);
#endif
}

bool fs_new_data::append(double *v, size_t n, std::string &err) {
  vek_doubles_le(v, n);
  if (!write_all(fd_, v, n * 8)) return fail(err, "cannot write the new data file in", dir_, errno ? errno : EIO);
#ifdef SYNC_FILE_RANGE_WRITE
  /* Only a head start for the flush, which reports any failure. */
  sync_file_range(fd_, (off64_t)bytes_, (off64_t)(n * 8), SYNC_FILE_RANGE_WRITE);
#endif
  bytes_ += (int64_t)(n * 8);
  return true;
}

bool fs_new_data::flush(std::string &err) {
  if (fsync(fd_) != 0) return fail(err, "cannot flush the new data file in", dir_, errno);
  return true;
}

bool fs_new_data::place(const std::string &dir, const std::string &name, std::string &err) {
  std::string dest = fs_join(dir, name);
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  if (linkat(AT_FDCWD, self, AT_FDCWD, dest.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  int e = errno;
  /* Without /proc, the descriptor itself (which takes a privilege). */
  if (e == ENOENT && linkat(fd_, "", AT_FDCWD, dest.c_str(), AT_EMPTY_PATH) == 0) return true;
  return fail(err, "cannot create", dest, e);
}

long long fs_file_size(const std::string &path, std::string &err) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fail(err, "cannot find", path, errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    err = "'" + path + "' is not a regular file";
    return -1;
  }
  return (long long)st.st_size;
}

int fs_open_doubles(const std::string &path, size_t n, std::string &err) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fail(err, "cannot open", path, errno);
    return -1;
  }
  /* The size of what was opened, not of what the name points at later. */
  struct stat st;
  if (fstat(fd, &st) != 0) {
    fail(err, "cannot read", path, errno);
  } else if (!S_ISREG(st.st_mode)) {
    err = "'" + path + "' is not a regular file";
  } else if ((unsigned long long)st.st_size != (unsigned long long)n * 8ULL) {
    err = "'" + path + "' holds " + std::to_string((long long)st.st_size) + " bytes where " + std::to_string(n * 8) +
          " were expected";
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

bool fs_pread_doubles(int fd, const std::string &path, int64_t at, size_t n, double *out, std::string &err) {
  char *p = (char *)out;
  size_t left = n * 8;
  off_t off = (off_t)at * 8;
  while (left > 0) {
    ssize_t r = TEMP_FAILURE_RETRY(pread(fd, p, std::min(left, IO_CHUNK_MAX), off));
    if (r <= 0) return fail(err, "cannot read", path, r < 0 ? errno : EIO);
    p += r;
    off += r;
    left -= (size_t)r;
  }
  vek_doubles_le(out, n);
  return true;
}

bool fs_make_dir(const std::string &parent, const std::string &name, bool durable, std::string &err) {
  std::string path = fs_join(parent, name);
  if (mkdir(path.c_str(), 0755) != 0) return fail(err, "cannot create directory", path, errno);
  if (durable && !fs_sync_dir(parent, err)) {
    rmdir(path.c_str());
    return false;
  }
  return true;
}

bool fs_rename_in(const std::string &parent, const std::string &from, const std::string &to, std::string &err) {
  std::string a = fs_join(parent, from), b = fs_join(parent, to);
  /* rename() would silently replace an empty directory: refuse any target. */
  if (fs_exists(b)) return fail(err, "cannot create", b, EEXIST);
  if (rename(a.c_str(), b.c_str()) != 0) return fail(err, "cannot rename", a, errno);
  if (!fs_sync_dir(parent, err)) {
    if (rename(b.c_str(), a.c_str()) != 0)
      err += std::string("; the rename could not be taken back: ") + strerror(errno);
    return false;
  }
  return true;
}

void fs_remove_quietly(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool fs_remove_tree(const std::string &parent, const std::string &name, std::string &err) {
  std::string doomed = fs_temp_name(parent, "del");
  if (!fs_rename_in(parent, name, doomed, err)) return false;
  fs_remove_quietly(fs_join(parent, doomed));
  return true;
}

void fs_sweep_leftovers(const std::string &dir, const std::set<std::string> *keep) {
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> doomed;
  const size_t plen = strlen(VEK_STORAGE_PREFIX);
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    bool data = keep && n.size() > 4 && n.compare(n.size() - 4, 4, ".bin") == 0 && !keep->count(n);
    if (n.compare(0, plen, VEK_STORAGE_PREFIX) == 0 || data) doomed.push_back(fs_join(dir, n));
  }
  closedir(d);
  for (const std::string &p : doomed) fs_remove_quietly(p);
}
