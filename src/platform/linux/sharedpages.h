// Memory a peer shares with tusak: a compositor's pool, an X server's
// MIT-SHM strips. It is made sealed against shrinking, where the kernel
// allows: a peer that cut the file short would make the next read of a page
// past its new end a SIGBUS. Where the seal was refused, reads made through
// ReadSharedPages end with false at such a page instead of ending the process.
#ifndef TUSAK_PLATFORM_LINUX_SHAREDPAGES_H
#define TUSAK_PLATFORM_LINUX_SHAREDPAGES_H

#include <cstddef>

// A memory file of size bytes, sealed against shrinking if it can be, to
// map and hand to the peer; -1 if it cannot be made.
int MakeSharedMemory(const char *pszName, size_t size);
// Runs pfnRead(pv), which reads shared pages and writes only memory of
// tusak's own: false if a page it read was gone (it then stopped there).
bool ReadSharedPages(void (*pfnRead)(void *), void *pv);

#endif
