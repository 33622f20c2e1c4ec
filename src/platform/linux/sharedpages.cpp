#include "sharedpages.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Where a SIGBUS in the read under way goes; null outside one.
thread_local sigjmp_buf *t_pJump;
struct sigaction g_previous;

void OnBusError(int, siginfo_t *info, void *) {
  // A page the kernel could not give (si_code > 0: not a signal sent).
  if (t_pJump && info->si_code > 0) siglongjmp(*t_pJump, 1);
  // Not ours: the faulting access runs again, as it would without tusak.
  sigaction(SIGBUS, &g_previous, nullptr);
}

}  // namespace

int MakeSharedMemory(const char *pszName, size_t size) {
  int fd = memfd_create(pszName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd == -1) return -1;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    return -1;
  }
  // Refused or not, the reads are guarded.
  fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK);
  return fd;
}

bool ReadSharedPages(void (*pfnRead)(void *), void *pv) {
  static bool installed = false;
  if (!installed) {
    struct sigaction sa = {};
    sa.sa_sigaction = OnBusError;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    installed = sigaction(SIGBUS, &sa, &g_previous) == 0;
  }
  sigjmp_buf jump;
  // With the signal mask saved, the jump out of the handler unblocks SIGBUS.
  if (sigsetjmp(jump, 1)) {
    t_pJump = nullptr;
    return false;
  }
  t_pJump = &jump;
  pfnRead(pv);
  t_pJump = nullptr;
  return true;
}
