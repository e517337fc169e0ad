/*
 * Durable file-system primitives of the reference server.
 *
 * Everything that changes the project tree goes through here, so that an
 * answer "SDONE" is only sent once the change would survive a crash: new
 * contents are written to a fresh file, flushed to the disk, and only then
 * put in place by a rename whose directory entry is flushed as well.
 *
 * Functions return true on success; on failure they fill err with a message
 * that names the path and the system's reason.
 */
#ifndef VEK_SERVER_STORAGE_H
#define VEK_SERVER_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#include <set>
#include <string>
#include <vector>

/* Names that the server itself puts in the tree (temporary files, trees on
 * their way to deletion or creation) start with this prefix. Item names may
 * not start with a dot, so they can never collide with them. */
#define VEK_STORAGE_PREFIX ".vek-"

std::string fs_join(const std::string &a, const std::string &b);
bool fs_is_dir(const std::string &path);
bool fs_exists(const std::string &path);

/* Sub-directories of dir, sorted, without dot entries. */
bool fs_list_dirs(const std::string &dir, std::vector<std::string> &names, std::string &err);
bool fs_read_file(const std::string &path, std::string &out, std::string &err);

/* Replaces dir/name with data: temporary file, fsync, rename, fsync dir.
 * Whichever step fails, dir/name is left as it was (a rename whose
 * directory could not be flushed is undone). The old contents keep a
 * second, server-owned name until the rename is durable; with `aside`, that
 * name is handed to the caller to remove when it suits it (an unlink right
 * after the directory's flush waits for the journal, on the caller's
 * time), else it is removed here. */
bool fs_replace_file(const std::string &dir, const std::string &name, const void *data, size_t n, std::string &err,
                     std::string *aside = nullptr);
/* Creates path, which must not exist yet, with data, flushed to the disk.
 * Its directory entry becomes durable with the next fs_sync_dir of its
 * directory (fs_replace_file in the same directory does that). */
bool fs_create_file(const std::string &path, const void *data, size_t n, std::string &err);
bool fs_sync_dir(const std::string &dir, std::string &err);

/* Doubles on disk: raw little-endian binary64, nothing else. */
bool fs_create_doubles(const std::string &path, const double *v, size_t n, std::string &err);
/* Opens a data file of exactly n doubles for fs_pread_doubles; -1 on failure. */
int fs_open_doubles(const std::string &path, size_t n, std::string &err);
/* Doubles [at, at + n) of an open data file, in host order. */
bool fs_pread_doubles(int fd, const std::string &path, int64_t at, size_t n, double *out, std::string &err);
/*
 * A new data file written while its values arrive, and named only once it
 * is complete and flushed: until put in place it is an unnamed file in its
 * folder (O_TMPFILE), so a request that breaks off, a refusal and a crash
 * all leave nothing behind, and no lock is needed while it is written.
 * The kernel is asked to start writing each piece to the disk as soon as it
 * is handed over, so that the final flush finds little left to do.
 */
class fs_new_data {
 public:
  fs_new_data() = default;
  fs_new_data(const fs_new_data &) = delete;
  fs_new_data &operator=(const fs_new_data &) = delete;
  ~fs_new_data();
  /* False when dir's file system has no unnamed files (or refuses one). */
  bool open(const std::string &dir, std::string &err);
  /* Appends n doubles (host order; v may be changed on the way). */
  bool append(double *v, size_t n, std::string &err);
  bool flush(std::string &err);
  /* Gives the flushed file the name dir/name, which must not exist (dir on
   * the file system it was opened on). Like fs_create_file, the entry is
   * durable with the next flush of dir. */
  bool place(const std::string &dir, const std::string &name, std::string &err);
  int64_t count() const { return bytes_ / 8; }

 private:
  int fd_ = -1;
  std::string dir_;
  int64_t bytes_ = 0;
};

/* Size of a regular file in bytes, or -1 with err filled. */
long long fs_file_size(const std::string &path, std::string &err);

/* mkdir parent/name; durable: the new entry is flushed too (else it becomes
 * durable with whatever rename later puts it in place). */
bool fs_make_dir(const std::string &parent, const std::string &name, bool durable, std::string &err);
/* Renames parent/from to parent/to (to must not exist) and makes it durable;
 * a rename that cannot be flushed is undone. */
bool fs_rename_in(const std::string &parent, const std::string &from, const std::string &to, std::string &err);
/* Removes parent/name and everything below it: first a durable rename to a
 * server-owned name (the deletion is then complete as far as the tree is
 * concerned), then the removal itself, whose failure is only a leftover. */
bool fs_remove_tree(const std::string &parent, const std::string &name, std::string &err);
/* A fresh server-owned name in dir for a temporary item. */
std::string fs_temp_name(const std::string &dir, const char *what);
/* Best effort: removes the server-owned leftovers of an interrupted change,
 * and, when keep is given, the data files (*.bin) that it does not name. */
void fs_sweep_leftovers(const std::string &dir, const std::set<std::string> *keep = nullptr);
void fs_remove_quietly(const std::string &path);

#endif /* VEK_SERVER_STORAGE_H */
