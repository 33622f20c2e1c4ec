// The session bus with every wait bounded. sd-bus itself would wait up to
// its authentication time-out (90 s) for a bus that accepts the connection
// and never answers, and 25 s for each call; here the connection is driven
// by hand until it is ready, within kBusTimeoutUs, and calls get the same
// bound. The bus is never flushed: a flush waits without a bound.
#include "bus.h"

#include <dlfcn.h>

#include <cstring>
#include <ctime>

#include "display.h"
#include "library.h"

namespace {

sd_bus *g_bus;    // the session bus, once it answered
bool g_busTried;  // opened already, whether or not it answered

}  // namespace

bool LoadBusProcs(BusProcs *p) {
  void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  return LookUp(lib, "sd_bus_open_user", &p->open_user) &&
         LookUp(lib, "sd_bus_is_ready", &p->is_ready) &&
         LookUp(lib, "sd_bus_set_method_call_timeout",
                &p->set_method_call_timeout) &&
         LookUp(lib, "sd_bus_get_unique_name", &p->get_unique_name) &&
         LookUp(lib, "sd_bus_match_signal", &p->match_signal) &&
         LookUp(lib, "sd_bus_add_match", &p->add_match) &&
         LookUp(lib, "sd_bus_slot_unref", &p->slot_unref) &&
         LookUp(lib, "sd_bus_call_method", &p->call_method) &&
         LookUp(lib, "sd_bus_call_method_async", &p->call_method_async) &&
         LookUp(lib, "sd_bus_message_new_method_call", &p->new_method_call) &&
         LookUp(lib, "sd_bus_message_append", &p->message_append) &&
         LookUp(lib, "sd_bus_call", &p->call) &&
         LookUp(lib, "sd_bus_call_async", &p->call_async) &&
         LookUp(lib, "sd_bus_message_read", &p->message_read) &&
         LookUp(lib, "sd_bus_message_enter_container", &p->enter_container) &&
         LookUp(lib, "sd_bus_message_exit_container", &p->exit_container) &&
         LookUp(lib, "sd_bus_message_skip", &p->message_skip) &&
         LookUp(lib, "sd_bus_message_peek_type", &p->peek_type) &&
         LookUp(lib, "sd_bus_message_get_path", &p->get_path) &&
         LookUp(lib, "sd_bus_message_get_error", &p->get_error) &&
         LookUp(lib, "sd_bus_message_is_method_error", &p->is_method_error) &&
         LookUp(lib, "sd_bus_message_unref", &p->message_unref) &&
         LookUp(lib, "sd_bus_process", &p->process) &&
         LookUp(lib, "sd_bus_wait", &p->wait) &&
         LookUp(lib, "sd_bus_error_free", &p->error_free) &&
         LookUp(lib, "sd_bus_close_unref", &p->close_unref);
}

uint64_t BusNowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000 +
         static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

bool RunBusUntil(const BusProcs &p, sd_bus *bus, const bool *pDone,
                 uint64_t deadlineUs) {
  // The deadline is looked at after every step, so that a peer that never
  // stops sending cannot keep it running either.
  while (!*pDone) {
    int r = p.process(bus, nullptr);
    uint64_t now = BusNowUs();
    if (r < 0 || now >= deadlineUs) return *pDone;
    if (r == 0 && p.wait(bus, deadlineUs - now) < 0) return false;
  }
  return true;
}

sd_bus *OpenSessionBus(const BusProcs &p) {
  if (g_busTried) return g_bus;
  g_busTried = true;
  // The connection is made without waiting; authentication and the bus's
  // Hello go on as the bus is processed, until it is ready.
  sd_bus *bus = nullptr;
  int r = p.open_user(&bus);
  if (r < 0) {
    NoteWhy("session bus: cannot connect (%s)", std::strerror(-r));
    return nullptr;
  }
  uint64_t deadline = BusNowUs() + kBusTimeoutUs;
  int ready;
  while ((ready = p.is_ready(bus)) == 0) {
    r = p.process(bus, nullptr);
    uint64_t now = BusNowUs();
    if (r < 0 || now >= deadline) break;
    if (r == 0 && (r = p.wait(bus, deadline - now)) < 0) break;
  }
  if (ready > 0 && (r = p.set_method_call_timeout(bus, kBusTimeoutUs)) >= 0) {
    g_bus = bus;
    return g_bus;
  }
  if (ready < 0) r = ready;
  if (r < 0)
    NoteWhy("session bus: connection failed (%s)", std::strerror(-r));
  else
    NoteWhy("session bus: no answer within %d s",
            static_cast<int>(kBusTimeoutUs / 1000000));
  // Closed without the flush that sd_bus_flush_close_unref would wait on.
  p.close_unref(bus);
  return nullptr;
}
