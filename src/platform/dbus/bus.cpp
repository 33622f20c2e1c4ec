// The session bus with every wait bounded. sd-bus itself would wait up to
// its authentication time-out (90 s) for a bus that accepts the connection
// and never answers, and 25 s for each call; here the connection is driven
// by hand until it is ready, within kBusTimeoutUs, and calls get the same
// bound. The bus is never flushed: a flush waits without a bound.
#include "bus.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "library.h"
#include "why.h"

namespace {

SdBus g_sdBus;
int g_sdBusLoaded = -1;  // not yet tried
sd_bus *g_bus;           // the session bus, once it answered
bool g_busTried;         // opened already, whether or not it answered

bool Load(SdBus *p) {
  void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
#define TUSAK_PROC(name) &&FindProc(lib, "sd_bus_" #name, &p->name)
  return lib TUSAK_SD_BUS_PROCS(TUSAK_PROC);
#undef TUSAK_PROC
}

}  // namespace

const SdBus *LoadSdBus() {
  if (g_sdBusLoaded == -1) {
    g_sdBusLoaded = Load(&g_sdBus);
    if (!g_sdBusLoaded)
      NoteWhyAbout("session bus: libsystemd cannot be loaded");
  }
  return g_sdBusLoaded ? &g_sdBus : nullptr;
}

bool RunBusUntil(const SdBus &p, sd_bus *bus, const bool *pDone,
                 uint64_t deadlineUs) {
  // The deadline is looked at after every step, so that a peer that never
  // stops sending cannot keep it running either.
  while (!*pDone) {
    int r = p.process(bus, nullptr);
    uint64_t now = NowUs();
    if (r < 0 || now >= deadlineUs) return *pDone;
    if (r == 0 && p.wait(bus, deadlineUs - now) < 0) return false;
  }
  return true;
}

sd_bus *OpenSessionBus(const SdBus &p) {
  if (g_busTried) return g_bus;
  g_busTried = true;
  // sd-bus finds the bus at $XDG_RUNTIME_DIR/bus when nothing names it, and
  // says only "No medium found" without either.
  const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if ((!address || !*address) && (!runtime || !*runtime)) {
    NoteWhyAbout(
        "session bus: XDG_RUNTIME_DIR is not set (nor "
        "DBUS_SESSION_BUS_ADDRESS)");
    return nullptr;
  }
  // The connection is made without waiting; authentication and the bus's
  // Hello go on as the bus is processed, until it is ready.
  sd_bus *bus = nullptr;
  int r = p.open_user(&bus);
  if (r < 0) {
    NoteWhyAbout("session bus: cannot connect (%s)", std::strerror(-r));
    return nullptr;
  }
  uint64_t deadline = NowUs() + kBusTimeoutUs;
  int ready;
  while ((ready = p.is_ready(bus)) == 0) {
    r = p.process(bus, nullptr);
    uint64_t now = NowUs();
    if (r < 0 || now >= deadline) break;
    if (r == 0 && (r = p.wait(bus, deadline - now)) < 0) break;
  }
  if (ready > 0 && (r = p.set_method_call_timeout(bus, kBusTimeoutUs)) >= 0) {
    g_bus = bus;
    return g_bus;
  }
  if (ready < 0) r = ready;
  if (r < 0)
    NoteWhyAbout("session bus: connection failed (%s)", std::strerror(-r));
  else
    NoteWhyAbout("session bus: no answer within %d s",
                 static_cast<int>(kBusTimeoutUs / 1000000));
  // Closed without the flush that sd_bus_flush_close_unref would wait on.
  p.close_unref(bus);
  return nullptr;
}

sd_bus *OpenDesktopBus(const SdBus **pp) {
  const char *name = std::getenv("WAYLAND_DISPLAY");
  *pp = name && *name ? LoadSdBus() : nullptr;
  return *pp ? OpenSessionBus(**pp) : nullptr;
}
