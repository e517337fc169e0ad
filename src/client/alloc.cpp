/*
 * The client's heap. Every block the client allocates comes from here, and
 * so do the bridge's (mem_alloc), so that a test can make one chosen
 * allocation fail and walk a request through every failure it can meet, as
 * a machine out of memory would. Nothing but a test ever arms it. Blocks are
 * released with _vek_free(), which keeps the count of those still held: a
 * test ends with none, or something leaked.
 */
#include <stdlib.h>

#include <atomic>

#include "vek_internal.h"

/* Allocations left before the one that fails; 0 when none is to fail. */
static long countdown;

static std::atomic<long> live_blocks;

static void *counted(void *p) {
  if (p) live_blocks++;
  return p;
}

static bool fails_now(void) {
  if (countdown <= 0 || --countdown > 0) return false;
  errno = ENOMEM;
  return true;
}

extern "C" {

void *_vek_malloc(size_t n) { return fails_now() ? NULL : counted(malloc(n)); }

void *_vek_calloc(size_t n, size_t size) { return fails_now() ? NULL : counted(calloc(n, size)); }

void *_vek_realloc(void *p, size_t n) {
  if (fails_now()) return NULL;
  void *q = realloc(p, n);
  return p ? q : counted(q);
}

void _vek_free(void *p) {
  if (p) live_blocks--;
  free(p);
}

long _vek_live_blocks(void) { return live_blocks; }

long _vek_fail_allocation(long n) {
  long left = countdown;
  countdown = n > 0 ? n : 0;
  return left;
}

} /* extern "C" */
