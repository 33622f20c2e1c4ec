// Start-up of the POSIX builds: the program proper is WinMain.
#include <csignal>

#include "platform.h"

int main() {
  // Past the file size limit a write should fail and be reported, not end
  // the process.
  std::signal(SIGXFSZ, SIG_IGN);
  return WinMain(nullptr, nullptr, nullptr, 0);
}
