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

/* End of the outermost protected call: closes a progress bar left open and
 * returns 1 when the user interrupted the call, clearing that for the next
 * one (rclient.cpp). */
int util_call_finish(void);

#endif /* ORVANE_ROUTING_H */
