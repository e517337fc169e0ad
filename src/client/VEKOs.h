/*
 * Platform portability of the client library: the socket headers and the
 * few helpers whose spelling differs between systems.
 */
#ifndef VEKOS_H
#define VEKOS_H

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#define VEK_PATH_SEPARATOR '/'
#define VEK_PATH_LIST_SEPARATOR ':'
#define VEK_PATH_MAX 1024

#ifdef __cplusplus
extern "C" {
#endif

/* Hooks around socket use; nothing to set up on POSIX systems. */
int _vek_winsock_init(void);
void _vek_winsock_free(void);

/* Waits until sock is readable: 1 readable, 0 time-out, -1 failure (errno
 * set). poll() rather than select(): a descriptor above FD_SETSIZE, which an
 * R session with many open files can hand out, must not overrun a set. */
int _vek_wait_readable(int sock, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* VEKOS_H */
