/*
 * What the request handlers share: what a request needs of the session
 * (a project, a current item, a lock), the change of the current File, and
 * the table of each request family (one file each, as the client's
 * requests are: catalogue and current items, units, descriptions, creation
 * and deletion, transfers; the session's own in handlers.cpp).
 *
 * A handler reads its arguments, returns if the stream broke, checks what
 * it needs, acts, and answers. A handler that changes the tree first takes
 * the project's exclusive lock (need_change), and reaches the current File
 * it changes only through it (need_file with the lock): see project.h.
 */
#ifndef VEK_SERVER_HANDLERS_H
#define VEK_SERVER_HANDLERS_H

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "project.h"
#include "server.h"
#include "storage.h"

typedef void (*Handler)(Session &, Io &);
struct Request {
  const char *keyword;
  Handler handler;
};
struct RequestFamily {
  const Request *requests;
  size_t count;
  const Request *begin() const { return requests; }
  const Request *end() const { return requests + count; }
};
#define REQUEST_FAMILY(table) \
  { table, sizeof table / sizeof table[0] }

extern const RequestFamily kCatalogueRequests;
extern const RequestFamily kUnitRequests;
extern const RequestFamily kDescriptionRequests;
extern const RequestFamily kEditRequests;
extern const RequestFamily kTransferRequests;

/* ---- the session's items ---- */
std::string study_path(const Session &s);
std::string dir_path(const Session &s);
std::string file_path(const Session &s);
void clear_below_file(Session &s);
void clear_below_dir(Session &s);
void clear_below_study(Session &s);
void clear_all(Session &s);

/* ---- what a request needs: each answers the error itself and returns
 * false (or null) when the session lacks it ---- */
bool need_project(Session &s, Io &io);
/* True when the session has a current item of this level (its name). */
bool need_current(Io &io, const std::string &name, const char *level);
bool need_study(Session &s, Io &io);
bool need_dir(Session &s, Io &io);
/* The current File as it is on disk now, in s.current, under the shared
 * lock: another server may have changed it since the last request. */
bool need_file(Session &s, Io &io);
/* The current variable of the current File so loaded: another server may
 * have deleted it. */
const Variable *need_var(Session &s, Io &io);
const Variable *need_macro(Session &s, Io &io);

/* Taken before a change looks at the tree: the change is then made on the
 * tree as it is, and no other server changes it until the request ends. */
std::unique_ptr<ExclusiveLock> need_change(Session &s, Io &io);
/* The current File as it is on disk under the exclusive lock, in
 * s.current: the one way to a File to change. */
std::unique_ptr<LockedFile> need_file(Session &s, Io &io, const ExclusiveLock &lock);
/* need_change, then the current File under that lock. */
std::unique_ptr<LockedFile> need_file_to_change(Session &s, Io &io);
/* The current variable of a File loaded for a change. */
const Variable *need_var(Session &s, Io &io, const LockedFile &file);
/* Why the current variable cannot be found. */
std::string missing_var(const Session &s);

bool check_name(Io &io, const std::string &name);
bool check_text(Io &io, const std::string &text, size_t max, const char *what);

/* Makes next the current File on disk and in the session. */
bool commit(Session &s, Io &io, LockedFile &file, FileModel &next, const std::vector<DataChange> &changes);
void done(Io &io);

#endif /* VEK_SERVER_HANDLERS_H */
