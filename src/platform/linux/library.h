// Procedures of a shared library that a display system loads only when it
// runs, so that a launch never pays to load what its display does not use.
// Each library has one table of the procedures that are called, filled
// once by the file that owns it.
#ifndef TUSAK_PLATFORM_LINUX_LIBRARY_H
#define TUSAK_PLATFORM_LINUX_LIBRARY_H

#include <dlfcn.h>

// Looks up name in library (a dlopen handle, which may be null) into
// *pProc, of the procedure's own type; false if it is not there.
template <typename Proc>
bool FindProc(void *library, const char *name, Proc *pProc) {
  *pProc = library ? reinterpret_cast<Proc>(dlsym(library, name)) : nullptr;
  return *pProc != nullptr;
}

#endif
