// libxcb and libxcb-shm, looked up when the X11 system runs: a launch on
// Wayland never loads them.
#include <dlfcn.h>

#include "library.h"
#include "x11.h"

XcbProcs g_xcb;

bool LoadXcb() {
  static int loaded = -1;  // not yet tried
  if (loaded != -1) return loaded;
  void *xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  void *shm = dlopen("libxcb-shm.so.0", RTLD_NOW | RTLD_LOCAL);
  XcbProcs &p = g_xcb;
#define TUSAK_PROC(name) &&FindProc(xcb, "xcb_" #name, &p.name)
#define TUSAK_SHM_PROC(name) &&FindProc(shm, "xcb_" #name, &p.name)
  loaded = xcb && shm TUSAK_XCB_PROCS(TUSAK_PROC)
                      TUSAK_XCB_SHM_PROCS(TUSAK_SHM_PROC);
#undef TUSAK_SHM_PROC
#undef TUSAK_PROC
  return loaded;
}
