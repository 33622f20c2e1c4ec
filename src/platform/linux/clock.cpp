#include "clock.h"

#include <cerrno>
#include <ctime>

uint64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000 +
         static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

int MsUntil(uint64_t deadlineUs) {
  uint64_t now = NowUs();
  if (now >= deadlineUs) return 0;
  uint64_t ms = (deadlineUs - now + 999) / 1000;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

void SleepMs(int ms, uint64_t deadlineUs) {
  int left = MsUntil(deadlineUs);
  if (ms > left) ms = left;
  timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
