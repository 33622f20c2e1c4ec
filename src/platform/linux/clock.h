// The one clock of the Linux layer: every time limit, whichever display
// system keeps it, is a deadline on the monotonic clock in microseconds.
#ifndef TUSAK_PLATFORM_LINUX_CLOCK_H
#define TUSAK_PLATFORM_LINUX_CLOCK_H

#include <cstdint>

uint64_t NowUs();
// Milliseconds from now until deadlineUs, rounded up, for poll(); 0 once it
// has passed.
int MsUntil(uint64_t deadlineUs);
// Sleeps for ms milliseconds, or until deadlineUs if that comes first.
void SleepMs(int ms, uint64_t deadlineUs);

#endif
