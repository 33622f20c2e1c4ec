// Start-up of the POSIX builds: the program proper is WinMain.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "platform.h"

int main() {
  // Descriptors 0, 1 and 2 held before anything opens a file: one left
  // closed by the launcher would go to the next file opened, a display's
  // socket or the screenshot itself, and notices would be written into it.
  // /dev/null where it can be opened, else a placeholder no write goes to.
  for (int fd = 0; fd < 3; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR | O_NOCTTY) == -1)
      open("/", O_PATH);  // the lowest free descriptor: this one
  // Past the file size limit a write should fail and be reported, not end
  // the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // A notice written to a pipe whose reader has gone is lost, and a display
  // connection that breaks fails the calls that use it; neither ends the run.
  std::signal(SIGPIPE, SIG_IGN);
  return WinMain(nullptr, nullptr, nullptr, 0);
}
