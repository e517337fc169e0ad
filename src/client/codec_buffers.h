/*
 * The codec's buffers, shared by its two halves only: the scalars and
 * strings (codec.cpp) and the bulk transfers of whole variables
 * (codec_bulk.cpp). Both fill the same write buffer and drain the same read
 * window, so a request's bytes and sends are the same whichever half
 * wrote them.
 */
#ifndef VEK_CODEC_BUFFERS_H
#define VEK_CODEC_BUFFERS_H

#include "vek_internal.h"

#define VEK_READ_WINDOW_SIZE 65536

/* Bytes of the request under way, sent when the buffer fills or at its end. */
extern unsigned char _vek_wbuf[VEK_BUFFER_SIZE];
extern int _vek_wbuf_nbytes;
/* Bytes received and not yet decoded: _vek_rbuf_pos .. _vek_rbuf_nbytes - 1. */
extern unsigned char _vek_rbuf[VEK_READ_WINDOW_SIZE];
extern int _vek_rbuf_pos;
extern int _vek_rbuf_nbytes;

#define TRACE_RW (!_vek_disable_rw_trace && _vek_trace_level >= 3)

/* The longest the client waits on a silent peer in the middle of a value,
 * in either direction: a server that stops halfway through an answer, or
 * stops reading a long request, must cost the caller a failed request, not
 * its session. The server waits for its client as long as it takes (-1). */
int _vek_io_timeout_ms(void);

#endif /* VEK_CODEC_BUFFERS_H */
