// Start-up of the POSIX builds: the program proper is WinMain.
#include <csignal>

#include "platform.h"

int main() {
  // Past the file size limit a write should fail and be reported, not end
  // the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // A notice written to a pipe whose reader has gone is lost, and a display
  // connection that breaks fails the calls that use it; neither ends the run.
  std::signal(SIGPIPE, SIG_IGN);
  return WinMain(nullptr, nullptr, nullptr, 0);
}
