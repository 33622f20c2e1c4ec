// The probe on Windows: the runtime's input file stream, which opens with
// sharing for everyone, so it never stands in another program's way.
#include <fstream>

#include "platform.h"

BOOL ProbeFileName(LPCSTR lpFileName) {
  std::ifstream probe(lpFileName);
  return probe.is_open();
}
