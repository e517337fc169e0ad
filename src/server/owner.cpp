/*
 * Who is at the other end of a session. The server can create and delete
 * whole trees, so it serves only the user who runs it. A loopback connection
 * carries no credentials, but both its ends are sockets of this machine: the
 * kernel's socket tables (/proc/net/tcp, and /proc/net/tcp6 for a client on
 * an IPv6 socket speaking to an IPv4 address) list the client's socket with
 * the user that owns it.
 */
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server.h"

/* An address as the tables print it: 32-bit words in hex, each as it lies in
 * memory. */
static bool parse_address(const char *hex, unsigned char *out, size_t n) {
  if (strlen(hex) != n * 2) return false;
  for (size_t w = 0; w < n / 4; w++) {
    char word[9];
    memcpy(word, hex + 8 * w, 8);
    word[8] = '\0';
    unsigned int v;
    if (sscanf(word, "%8x", &v) != 1) return false;
    uint32_t u = v;
    memcpy(out + 4 * w, &u, 4);
  }
  return true;
}

/* The owner of the socket whose own end is `local` and whose peer is
 * `remote` (addresses of n bytes). */
static bool socket_owner(const char *table, const unsigned char *local, unsigned short lport,
                         const unsigned char *remote, unsigned short rport, size_t n, uid_t &uid) {
  FILE *f = fopen(table, "re");
  if (!f) return false;
  char line[512], la[40], ra[40];
  bool found = false;
  while (!found && fgets(line, sizeof line, f)) {
    unsigned lp, rp, owner;
    unsigned long inode;
    unsigned char l[16], r[16];
    if (sscanf(line, " %*u: %39[0-9A-Fa-f]:%x %39[0-9A-Fa-f]:%x %*x %*x:%*x %*x:%*x %*x %u %*d %lu", la, &lp, ra, &rp,
               &owner, &inode) != 6 ||
        !parse_address(la, l, n) || !parse_address(ra, r, n))
      continue;
    /* A socket already let go by its process (inode 0) has no owner to tell. */
    if (lp == lport && rp == rport && memcmp(l, local, n) == 0 && memcmp(r, remote, n) == 0 && inode != 0) {
      uid = owner;
      found = true;
    }
  }
  fclose(f);
  return found;
}

bool peer_is_owner(int fd, std::string &why) {
#ifndef __linux__
  /* No socket tables to ask: every local client is served, as the README says. */
  (void)fd, (void)why;
  return true;
#endif
  struct sockaddr_in self, peer;
  socklen_t a = sizeof self, b = sizeof peer;
  if (getsockname(fd, (struct sockaddr *)&self, &a) != 0 || getpeername(fd, (struct sockaddr *)&peer, &b) != 0 ||
      self.sin_family != AF_INET || peer.sin_family != AF_INET) {
    why = "the connection's addresses are unknown";
    return false;
  }
  unsigned short sport = ntohs(self.sin_port), pport = ntohs(peer.sin_port);
  unsigned char s6[16] = {0}, p6[16] = {0};
  s6[10] = s6[11] = p6[10] = p6[11] = 0xff;
  memcpy(s6 + 12, &self.sin_addr, sizeof self.sin_addr);
  memcpy(p6 + 12, &peer.sin_addr, sizeof peer.sin_addr);
  uid_t uid;
  if (!socket_owner("/proc/net/tcp", (unsigned char *)&peer.sin_addr, pport, (unsigned char *)&self.sin_addr, sport,
                    sizeof peer.sin_addr, uid) &&
      !socket_owner("/proc/net/tcp6", p6, pport, s6, sport, sizeof p6, uid)) {
    why = "the client's socket (port " + std::to_string(pport) + ") is not in the kernel's tables";
    return false;
  }
  if (uid == geteuid()) return true;
  why = "the client runs as user " + std::to_string(uid) + ", the server as user " + std::to_string(geteuid());
  return false;
}
