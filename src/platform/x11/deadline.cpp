// The time limit on every wait for the X server: a poll with a deadline
// where tusak waits itself, and a watchdog where libxcb does.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

#include "clock.h"
#include "x11.h"

namespace {

// libxcb itself waits without a time limit in places: once the start of a
// reply has come it reads the rest as one block, and it writes a request
// whole. So while tusak is in libxcb a watchdog on a thread of its own keeps
// the time: once it is up the watchdog shuts the connection's socket, which
// ends any wait on it, and libxcb reports the connection broken.
//
// Arming only moves the deadline, never earlier than it was, and wakes no
// one: the watchdog sleeps until the deadline it last saw (or a whole
// timeout while disarmed) and then looks again. A fetch arms it for every
// strip, and waking a thread each time cost more than the strip.
struct Watchdog {
  pthread_mutex_t lock;
  int fd;  // -1: not armed
  uint64_t deadlineUs;
};

Watchdog g_watchdog = {PTHREAD_MUTEX_INITIALIZER, -1, 0};

const uint64_t kTimeoutUs = uint64_t(kTimeoutMs) * 1000;

void *Watch(void *) {
  Watchdog &w = g_watchdog;
  for (;;) {
    pthread_mutex_lock(&w.lock);
    if (w.fd != -1 && NowUs() >= w.deadlineUs) {
      shutdown(w.fd, SHUT_RDWR);
      w.fd = -1;
    }
    uint64_t until = w.fd != -1 ? w.deadlineUs : NowUs() + kTimeoutUs;
    pthread_mutex_unlock(&w.lock);
    // NowUs() reads the same clock.
    timespec t = {static_cast<time_t>(until / 1000000),
                  static_cast<long>(until % 1000000 * 1000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) ==
           EINTR) {
    }
  }
  return nullptr;
}

}  // namespace

bool StartWatchdog() {
  static bool started = false;
  if (started) return true;
  pthread_t thread;
  started = pthread_create(&thread, nullptr, Watch, nullptr) == 0;
  if (started) pthread_detach(thread);
  return started;
}

void Arm(xcb_connection_t *c) {
  Watchdog &w = g_watchdog;
  pthread_mutex_lock(&w.lock);
  w.deadlineUs = NowUs() + kTimeoutUs;
  w.fd = g_xcb.get_file_descriptor(c);
  pthread_mutex_unlock(&w.lock);
}

void Disarm() {
  pthread_mutex_lock(&g_watchdog.lock);
  g_watchdog.fd = -1;
  pthread_mutex_unlock(&g_watchdog.lock);
}

namespace {

// Waits at most kTimeoutMs for the server to answer request `sequence`.
// True once it has, without an error: *ppReply is then its reply, to be
// freed (null for a request without one, which counts as answered once a
// later request's reply has come). A server that lets the time pass is
// taken for gone: its connection is shut, so that the calls after this one
// fail at once instead of waiting again.
bool Await(xcb_connection_t *c, unsigned sequence, void **ppReply) {
  *ppReply = nullptr;
  Arm(c);
  uint64_t deadline = NowUs() + kTimeoutUs;
  int fd = g_xcb.get_file_descriptor(c);
  bool ok = false, answered = g_xcb.flush(c) <= 0;
  while (!answered) {
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    if (g_xcb.poll_for_reply(c, sequence, &reply, &error)) {
      answered = true;
      ok = !error && !g_xcb.connection_has_error(c);
      std::free(error);
      if (ok)
        *ppReply = reply;
      else
        std::free(reply);
      break;
    }
    pollfd p = {fd, POLLIN, 0};
    int left = MsUntil(deadline);
    int n = left > 0 ? poll(&p, 1, left) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // libxcb sees it shut when it next reads, which it does here.
      shutdown(fd, SHUT_RDWR);
      if (g_xcb.poll_for_reply(c, sequence, &reply, &error)) {
        std::free(reply);
        std::free(error);
      }
      break;
    }
  }
  Disarm();
  return ok;
}

}  // namespace

void *AwaitReply(xcb_connection_t *c, unsigned sequence, size_t cbMin) {
  void *reply;
  if (!Await(c, sequence, &reply)) return nullptr;
  const xcb_generic_reply_t *r = static_cast<xcb_generic_reply_t *>(reply);
  // The reply's length in 64 bits: 4 x a 32-bit count wraps a 32-bit size_t.
  if (!r || 32 + 4 * static_cast<uint64_t>(r->length) < cbMin) {
    std::free(reply);
    return nullptr;
  }
  return reply;
}

bool CarriedOut(xcb_connection_t *c, unsigned sequence) {
  void *reply = nullptr;
  xcb_generic_error_t *error = nullptr;
  int answered = g_xcb.poll_for_reply(c, sequence, &reply, &error);
  bool ok = answered && !reply && !error && !g_xcb.connection_has_error(c);
  std::free(reply);
  std::free(error);
  return ok;
}

bool Sync(xcb_connection_t *c) {
  void *focus = AwaitReply(c, g_xcb.get_input_focus(c).sequence,
                           sizeof(xcb_generic_reply_t));
  std::free(focus);
  return focus != nullptr;
}

bool WaitReadable(int fd, int timeoutMs) {
  uint64_t deadline = NowUs() + uint64_t(timeoutMs) * 1000;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    int left = MsUntil(deadline);
    int n = left > 0 ? poll(&p, 1, left) : 0;
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}
