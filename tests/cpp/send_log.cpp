/*
 * Records the sizes of the library's sends. The test executables are linked
 * with --wrap=send, so every send() of the library lands here first; the
 * scripted peer's own sends are told apart by thread and never recorded.
 */
#include <sys/socket.h>
#include <sys/types.h>

#include <mutex>
#include <vector>

#include "peer.h"

extern "C" ssize_t __real_send(int fd, const void *buf, size_t n, int flags);

namespace {
std::mutex log_mutex;
bool recording = false;
std::vector<size_t> sizes;
thread_local bool quiet_thread = false;
}  // namespace

extern "C" ssize_t __wrap_send(int fd, const void *buf, size_t n, int flags) {
  if (!quiet_thread) {
    std::lock_guard<std::mutex> lock(log_mutex);
    if (recording) sizes.push_back(n);
  }
  return __real_send(fd, buf, n, flags);
}

namespace vekt {

void send_log_start() {
  std::lock_guard<std::mutex> lock(log_mutex);
  sizes.clear();
  recording = true;
}

std::vector<size_t> send_log_stop() {
  std::lock_guard<std::mutex> lock(log_mutex);
  recording = false;
  std::vector<size_t> out;
  out.swap(sizes);
  return out;
}

void send_log_ignore_this_thread() { quiet_thread = true; }

}  // namespace vekt
