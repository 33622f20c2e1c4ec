// The user-interface slice with no windows: a message box is a line on
// standard error, and there is no cursor to hide.
#include <cstdio>

#include "platform.h"

namespace {
const int kIdOk = 1;
int g_cursorCount = 0;
}  // namespace

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  // A box without a caption is titled "Error", as on Windows.
  std::fprintf(stderr, "%s: %s\n", lpCaption ? lpCaption : "Error",
               lpText ? lpText : "");
  return kIdOk;
}

int ShowCursor(BOOL bShow) {
  // Only the display count is kept, as the caller may read it back.
  return bShow ? ++g_cursorCount : --g_cursorCount;
}
