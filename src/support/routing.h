/*
 * Where the support layer's texts go, as far as the client's bindings to R
 * (rclient.cpp) need to know: that file is plain C against R's API, like
 * the client it binds, and includes this rather than util.h.
 */
#ifndef ORVANE_ROUTING_H
#define ORVANE_ROUTING_H

typedef void (*util_write_func)(const char *string, ...);

/* Puts `write` in the writing slot (binding the slots first if needed) and
 * returns what it held, so that a caller can route the bridge's texts
 * elsewhere for a while and put the slot back. */
util_write_func util_route_write(util_write_func write);
/* 1 while the text being written is an error line (messerr, mes_abort). */
int util_writing_error(void);

/* The kinds of failure that the R functions report, each error line
 * carrying its own beside its text: the R functions read the kind, never
 * the text, whose wording is the bridge's and the client's. */
enum util_kind {
  UTIL_KIND_NONE = 0,
  UTIL_KIND_USAGE, /* the call cannot be made as given */
  UTIL_KIND_NOT_CONNECTED,
  UTIL_KIND_NOT_FOUND,
  UTIL_KIND_ALREADY_EXISTS,
  UTIL_KIND_MISMATCH,      /* a Db and a File that do not fit each other */
  UTIL_KIND_SERVER,        /* the server refused the request */
  UTIL_KIND_COMMUNICATION, /* the exchange failed, or its answer cannot be used */
  UTIL_KIND_TIMEOUT,
  UTIL_KIND_CLOSED,  /* the server ended the connection */
  UTIL_KIND_REFUSED, /* nothing accepts connections there */
  UTIL_KIND_HOST,    /* unknown host name */
  UTIL_KIND_LAUNCH,  /* the launched program did not become a server */
  UTIL_KIND_MEMORY,
  UTIL_KIND_COUNT
};
/* The name R reads for a kind ("usage", "not_found", ...). */
const char *util_kind_name(int kind);

/* A refusal's record: its kind and, when it concerns a level of the
 * target, the level (1 Study to 5 Variable), the item's name and whether
 * the caller gave that name (0: it came from the target). */
typedef struct {
  int kind;
  int level;
  int given;
  const char *item;
} util_refusal;
/* Sets the record of the error line written next (messerr, mes_abort);
 * the line takes it, and it is cleared once the line is written. */
void util_refuse(int kind, int level, const char *item, int given);
/* The record of the error line being written (kind 0: none given). */
util_refusal util_current_refusal(void);

/* End of the outermost protected call: closes a progress bar left open and
 * returns 1 when the user interrupted the call, clearing that for the next
 * one (rclient.cpp). */
int util_call_finish(void);

#endif /* ORVANE_ROUTING_H */
