/*
 * What the parts of the reference server share: its settings, the state of
 * one session, and the reading and answering of one request on the wire.
 */
#ifndef VEK_SERVER_SERVER_H
#define VEK_SERVER_SERVER_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "project.h"
#include "tree.h"

/* Settings fixed at start-up (command line and environment). */
struct Config {
  int version = 1300030;              /* VEK_TEST_VERSION */
  std::vector<std::string> supported; /* VEK_TEST_SUPPORTED, or every request known */
  bool new_port = false;              /* VEK_TEST_NEWPORT=1 */
  std::string project;                /* VEK_PROJECT_DIR, checked at start-up */
  int idle_exit = 0;                  /* VEK_TEST_IDLE_EXIT seconds, 0: never */
};
extern Config g_config;
/* Set by SIGTERM, SIGINT and SIGHUP: finish the request at hand, then exit. */
extern volatile int g_stop;

/* Layouts that depend on the announced version. */
bool cfg_announces(const char *keyword);
bool cfg_extended();  /* units and physical names */
bool cfg_sub_range(); /* first/last sample numbers in transfers */

/* The session's current items and settings. */
struct Session {
  int sock = -1;
  std::string project; /* root of the tree served; empty until known */
  std::string study, dir, file, selection, variable;
  int macro_index = -1; /* -1: none set */
  CurrentFile current;  /* the current File, as last read from disk */
  int unit_mode = 0;
  std::string distance_unit = "m";
  std::string creation_units[3];
  int protocol = 0;
  bool ended = false;        /* "CBYE BYE" answered */
  int pending_listener = -1; /* "SNEWPORT" sent: the session moves there */
  /* Data files that a commit has made unreferenced: removed once the answer
   * has left, before the lock is let go. */
  std::vector<std::string> stale;

  const FileModel &model() const { return current.model(); }
};

/*
 * One request on the wire. Arguments are read with the r* calls; a failed
 * read marks the request broken (the stream is then out of step, or gone) and
 * makes every later call a no-op, so a handler reads all its arguments, returns
 * if broken() and only then answers, either with error() or with answer() and
 * the a* calls. Answers are composed in the codec's buffer and leave at
 * flush.
 */
struct Io {
  int sock;
  bool bad = false;  /* a read failed: the request's arguments are lost */
  bool wbad = false; /* a write failed: the peer is gone */
  bool answered = false;

  int rint();
  int64_t rlong();
  double rdouble();
  /* Strings are read with a generous limit so that an over-long argument
   * still leaves the stream in step; handlers check the real limits. */
  std::string rstring();
  /* n doubles into out; when keep is false, or the buffer cannot be had, the
   * values are read and dropped. Returns whether out holds them. */
  bool rdoubles(int64_t n, bool keep, std::vector<double> &out);
  /* n doubles handed to take(values, k) a piece at a time, as they arrive
   * (host order; take may change them). Once take returns false the rest
   * is read and dropped. Returns whether take had every piece. */
  bool rdoubles_each(int64_t n, const std::function<bool(double *values, size_t k)> &take);
  bool broken() const { return bad; }

  void error(const std::string &message);
  void answer(const char *keyword);
  void aint(int v);
  void along(int64_t v);
  void adouble(double v);
  void astring(const std::string &s, unsigned maxsize);
  /* n doubles that fill() hands over piece by piece (at most kValuesPerSend
   * at a time, from value at on), encoded in bulk and sent in large sends. A
   * fill() that fails cannot turn the answer into an error any more: the
   * session ends. */
  static const size_t kValuesPerSend = 32768;
  void adoubles_from(int64_t n, const std::function<bool(int64_t at, size_t n, double *out, std::string &err)> &fill);
  void astrings(const std::vector<std::string> &names); /* count, then the names */
};

/* Runs the request named keyword; returns false when the keyword is unknown
 * (nothing has been read or answered then). */
bool dispatch(Session &s, const std::string &keyword, Io &io);
/* Every keyword dispatch knows, for the default announcement. */
std::vector<std::string> known_requests();
/* Forgets the session's items and the codec's buffered bytes: a new
 * connection, on fd, starts from scratch. */
void session_reset(Session &s, int fd);

/* Whether the client at the other end of the loopback connection fd runs as
 * the user who runs the server; when not, why. */
bool peer_is_owner(int fd, std::string &why);

/* A loopback listening socket; *port 0 lets the system choose. -1 on failure. */
int listen_loopback(unsigned short *port);

#endif /* VEK_SERVER_SERVER_H */
