/*
 * The project tree on disk: Studies, Directories and Files as folders under
 * the project root, each File a folder with its file.json and data files.
 * Every change here is durable before the function returns true.
 */
#ifndef VEK_SERVER_PROJECT_H
#define VEK_SERVER_PROJECT_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tree.h"

class fs_new_data;

/* New values of one variable (samples, times items for a macro): in memory
 * (written as a data file, or into the description when they are few), or
 * already written and flushed to an unnamed file. */
struct DataChange {
  std::string var;
  const std::vector<double> *values;
  fs_new_data *written = nullptr;
};

/*
 * Several servers may serve one project. Each change is made under the
 * project's exclusive lock, on the tree as it is on disk at that moment;
 * readers hold the shared lock while they read a description and open the
 * data files it names (a data file, once written, never changes: a later
 * commit writes new ones and only removes the old under the exclusive lock).
 * One lock is held at a time, until tree_unlock(); asking for the shared lock
 * while holding the exclusive one keeps the exclusive one. A project whose
 * lock file can be neither created nor opened (a read-only tree) is read
 * without a lock and cannot be changed.
 *
 * The order is kept by the types. Only tree_lock_exclusive() makes an
 * ExclusiveLock, once the lock is held, and every function that changes the
 * tree takes one; a change of a File starts from a LockedFile, which only an
 * ExclusiveLock loads, and only a LockedFile commits. A change made under the
 * shared lock, or from a File read before the exclusive lock was taken
 * (taking it lets go of the shared lock first, and another server may change
 * the File in between), does not compile.
 */
class ExclusiveLock;
class LockedFile;

bool tree_lock_shared(const std::string &root, std::string &err);
/* Null, with the reason in err, when the lock cannot be had. */
std::unique_ptr<ExclusiveLock> tree_lock_exclusive(const std::string &root, std::string &err);
void tree_unlock();
/* Lets go of the shared lock before the request ends (a reader whose data
 * files are open); an exclusive lock stays until tree_unlock(). */
void tree_unlock_shared();

/* A session's current File as last read from disk. Anyone reads it, loads it
 * again or forgets it; only a LockedFile commits a change into it. */
class CurrentFile {
 public:
  const FileModel &model() const { return model_; }
  /* Reads the File at fpath (see file_load); on failure it stays as it was. */
  bool load(const std::string &fpath, std::string &err, bool check_data);
  void clear() { model_ = FileModel(); }

 private:
  FileModel model_;
  friend class LockedFile;
};

/* The proof that this server holds the project's exclusive lock, from its
 * taking to the end of the request (the lock outlives the object). */
class ExclusiveLock {
 public:
  ExclusiveLock(const ExclusiveLock &) = delete;
  ExclusiveLock &operator=(const ExclusiveLock &) = delete;
  /* Loads the File at fpath into current, under this lock: what a change of
   * it starts from. Null, with the reason in err, when it cannot be read. */
  std::unique_ptr<LockedFile> load(CurrentFile &current, const std::string &fpath, std::string &err) const;

 private:
  ExclusiveLock() {}
  friend std::unique_ptr<ExclusiveLock> tree_lock_exclusive(const std::string &root, std::string &err);
};

/* A File loaded under the exclusive lock, and the session's current File
 * that holds it. */
class LockedFile {
 public:
  LockedFile(const LockedFile &) = delete;
  LockedFile &operator=(const LockedFile &) = delete;
  const FileModel &model() const { return current_.model(); }
  const std::string &path() const { return path_; }
  /* Makes next the File's description: writes the changed data files (a
   * few values go into the description itself), then replaces file.json
   * (the commit point); next becomes the current File. The data files that
   * only the previous description referenced, and its second name, are put
   * in stale, for the caller to remove once it has answered (still under
   * the lock). On failure the File on disk and the current File are still
   * the previous ones. */
  bool commit(FileModel &next, const std::vector<DataChange> &changes, std::vector<std::string> &stale,
              std::string &err);

 private:
  LockedFile(CurrentFile &current, const std::string &path) : current_(current), path_(path) {}
  CurrentFile &current_;
  std::string path_;
  friend class ExclusiveLock;
};

/* Checks the whole tree below root (every File's description and the size of
 * every data file) and removes what an interrupted change left behind. */
bool project_check(const std::string &root, std::string &err);

bool tree_list(const std::string &dir, std::vector<std::string> &names, std::string &err);

/* Reads a File's description and, when check_data, the size of its data
 * files (a read finds a damaged data file by itself). */
bool file_load(const std::string &fpath, FileModel &f, std::string &err, bool check_data = true);
/* Every value of v: samples (items × samples for a macro). A variable without
 * a data file is undefined everywhere (a selection: selects nothing). */
bool file_values(const std::string &fpath, const FileModel &f, const Variable &v, std::vector<double> &out,
                 std::string &err);
/* A variable's data (macro items one after the other) from value first on,
 * read piece by piece: the data file is opened at once, under the lock, and
 * stays readable whatever later commits do. */
class ValueSource {
 public:
  ValueSource() = default;
  ValueSource(const ValueSource &) = delete;
  ValueSource &operator=(const ValueSource &) = delete;
  ~ValueSource();
  bool open(const std::string &fpath, const FileModel &f, const Variable &v, int64_t first, std::string &err);
  /* Values first + at .. first + at + n - 1, in host order. */
  bool read(int64_t at, size_t n, double *out, std::string &err) const;

 private:
  int fd_ = -1;
  std::string path_;
  int64_t first_ = 0;
  double fill_ = 0;
  std::vector<double> computed_; /* a grid's coordinates */
};

/* Creates the File dpath/name, complete with its data, in one step. */
bool file_create(const ExclusiveLock &lock, const std::string &dpath, const std::string &name, FileModel &f,
                 const std::vector<DataChange> &changes, std::string &err);

bool study_create(const ExclusiveLock &lock, const std::string &root, const std::string &name,
                  const std::string &physical, std::string &err);
bool dir_create(const ExclusiveLock &lock, const std::string &spath, const std::string &name, std::string &err);
bool item_delete(const ExclusiveLock &lock, const std::string &parent, const std::string &name, std::string &err);

#endif /* VEK_SERVER_PROJECT_H */
