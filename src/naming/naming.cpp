#include "naming/naming.h"

#include "platform.h"

static const int kLastNumber = 9999;

// Bytes 5 to 8 of the name hold the number, thousands first.
static void PutNumber(char *szFileName, int n) {
  for (int i = 8; i >= 5; --i) {
    szFileName[i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
}

static int NumberOf(const char *szFileName) {
  int n = 0;
  for (int i = 5; i <= 8; ++i) n = n * 10 + (szFileName[i] - '0');
  return n;
}

// The first name from number n up that does not open for reading; the last
// name without a probe when every one before it is taken.
static void SearchFrom(char *szFileName, int n) {
  for (; n < kLastNumber; ++n) {
    PutNumber(szFileName, n);
    if (!ProbeFileName(szFileName)) return;
  }
  PutNumber(szFileName, kLastNumber);
}

void FindFreeFileName(char *szFileName) { SearchFrom(szFileName, 0); }

HANDLE CreateFreeFile(char *szFileName) {
  for (;;) {
    HANDLE hFile = CreateFileA(szFileName, GENERIC_READ | GENERIC_WRITE, 0,
                               NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile != INVALID_HANDLE_VALUE) return hFile;
    // Only a name in use is worth passing over; any other refusal (a
    // read-only folder, a full disk) would meet every name alike.
    DWORD dwError = GetLastError();
    int n = NumberOf(szFileName);
    if ((dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS) ||
        n >= kLastNumber)
      return hFile;
    SearchFrom(szFileName, n + 1);
  }
}
