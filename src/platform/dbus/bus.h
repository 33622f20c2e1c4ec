// The user's session bus, for the display systems that ask a desktop service
// for the picture (KWin, the desktop portal). sd-bus (libsystemd) is loaded
// only when such a path runs. No step on the bus waits without end: the
// connection and each method call fail after kBusTimeoutUs, and a wait for
// a signal ends at a deadline of the caller's (a time on NowUs's clock).
#ifndef TUSAK_PLATFORM_DBUS_BUS_H
#define TUSAK_PLATFORM_DBUS_BUS_H

#include <systemd/sd-bus.h>

#include <cstdint>

// A bus, or a service on it, that says nothing for this long is not there.
const uint64_t kBusTimeoutUs = 5 * 1000 * 1000;

// The procedures of libsystemd's sd-bus that are called, each once, named
// without "sd_bus_": the table and its lookup are both made from this list.
// clang-format off
#define TUSAK_SD_BUS_PROCS(X) \
  X(open_user) X(is_ready) X(set_method_call_timeout) X(get_fd) \
  X(get_events) X(add_match) X(slot_unref) X(call_method) \
  X(call_async) X(message_new_method_call) X(message_append) \
  X(message_read) X(message_enter_container) \
  X(message_exit_container) X(message_skip) X(message_peek_type) \
  X(message_get_path) X(message_get_error) \
  X(message_is_method_error) X(message_unref) X(process) X(wait) \
  X(error_free) X(close_unref)
// clang-format on

struct SdBus {
#define TUSAK_PROC(name) decltype(&sd_bus_##name) name;
  TUSAK_SD_BUS_PROCS(TUSAK_PROC)
#undef TUSAK_PROC
};

// libsystemd's table, loaded once; null, with a why line, if it or a
// procedure is missing.
const SdBus *LoadSdBus();

// The session bus, connected and greeted within kBusTimeoutUs, and with
// every method call on it (sd_bus_call_method, sd_bus_call_async with a
// time-out of 0) bounded by the same. Opened once for the whole
// process and kept to its end, shared by whoever asks: null, with a why line
// noted the first time, if there is none or it does not answer in time.
// Slots and callbacks of a caller that is done must be released (slot_unref),
// as the next caller runs the same bus.
sd_bus *OpenSessionBus(const SdBus &p);

// The session bus for a display system that asks a desktop service for the
// picture: only in a session that names a Wayland display (WAYLAND_DISPLAY),
// as these services serve Wayland desktops (and KWin on X11 when a session
// names one). Null, with *pp, otherwise or when there is no bus.
sd_bus *OpenDesktopBus(const SdBus **pp);

// Processes the bus (running callbacks) until *pDone or deadlineUs; false if
// the deadline passed first or the connection failed.
bool RunBusUntil(const SdBus &p, sd_bus *bus, const bool *pDone,
                 uint64_t deadlineUs);

#endif
