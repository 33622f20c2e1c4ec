#include "naming/naming.h"

#include <fstream>

// Bytes 5 to 8 of the name hold the number, thousands first.
static void PutNumber(char *szFileName, int n) {
  for (int i = 8; i >= 5; --i) {
    szFileName[i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
}

void FindFreeFileName(char *szFileName) {
  for (int n = 0; n <= 9998; ++n) {
    PutNumber(szFileName, n);
    // A name is taken when it opens for reading; any failure means free.
    std::ifstream probe(szFileName);
    if (!probe.is_open()) return;
  }
  // Every other name is taken: 9999 is chosen without a probe.
  PutNumber(szFileName, 9999);
}
