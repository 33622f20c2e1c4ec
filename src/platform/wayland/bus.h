// The user's session bus, for the display systems that ask a desktop service
// for the picture (the desktop portal, KWin). sd-bus (libsystemd) is loaded
// only when such a path runs. No step on the bus waits without end: the
// connection and each method call fail after kBusTimeoutUs, and a wait for
// a signal ends at a deadline of the caller's.
#ifndef TUSAK_PLATFORM_WAYLAND_BUS_H
#define TUSAK_PLATFORM_WAYLAND_BUS_H

#include <systemd/sd-bus.h>

#include <cstdint>

// A bus, or a service on it, that says nothing for this long is not there.
const uint64_t kBusTimeoutUs = 5 * 1000 * 1000;

// The procedures of libsystemd's sd-bus, looked up by name.
struct BusProcs {
  decltype(&sd_bus_open_user) open_user;
  decltype(&sd_bus_is_ready) is_ready;
  decltype(&sd_bus_set_method_call_timeout) set_method_call_timeout;
  decltype(&sd_bus_get_unique_name) get_unique_name;
  decltype(&sd_bus_match_signal) match_signal;
  decltype(&sd_bus_add_match) add_match;
  decltype(&sd_bus_slot_unref) slot_unref;
  decltype(&sd_bus_call_method) call_method;
  decltype(&sd_bus_call_method_async) call_method_async;
  decltype(&sd_bus_message_new_method_call) new_method_call;
  decltype(&sd_bus_message_append) message_append;
  decltype(&sd_bus_call) call;
  decltype(&sd_bus_call_async) call_async;
  decltype(&sd_bus_message_read) message_read;
  decltype(&sd_bus_message_enter_container) enter_container;
  decltype(&sd_bus_message_exit_container) exit_container;
  decltype(&sd_bus_message_skip) message_skip;
  decltype(&sd_bus_message_peek_type) peek_type;
  decltype(&sd_bus_message_get_path) get_path;
  decltype(&sd_bus_message_get_error) get_error;
  decltype(&sd_bus_message_is_method_error) is_method_error;
  decltype(&sd_bus_message_unref) message_unref;
  decltype(&sd_bus_process) process;
  decltype(&sd_bus_wait) wait;
  decltype(&sd_bus_error_free) error_free;
  decltype(&sd_bus_close_unref) close_unref;
};

// Fills *p from libsystemd; false if it or a procedure is missing.
bool LoadBusProcs(BusProcs *p);

// The session bus, connected and greeted within kBusTimeoutUs, and with
// every method call on it (sd_bus_call_method, sd_bus_call with a time-out
// of 0, sd_bus_match_signal) bounded by the same. Opened once for the whole
// process and kept to its end, shared by whoever asks: null, with a why line
// noted the first time, if there is none or it does not answer in time.
// Slots and callbacks of a caller that is done must be released (slot_unref),
// as the next caller runs the same bus.
sd_bus *OpenSessionBus(const BusProcs &p);

// Microseconds on the monotonic clock, for deadlines.
uint64_t BusNowUs();

// Processes the bus (running callbacks) until *pDone or deadlineUs; false if
// the deadline passed first or the connection failed.
bool RunBusUntil(const BusProcs &p, sd_bus *bus, const bool *pDone,
                 uint64_t deadlineUs);

#endif
