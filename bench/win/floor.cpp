// The floor of any program that touches the screen: it opens the display's
// device context and reads its size, as tusak.exe does first, and exits.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HDC hdc = CreateDCA("DISPLAY", NULL, NULL, NULL);
  int cx = GetDeviceCaps(hdc, HORZRES), cy = GetDeviceCaps(hdc, VERTRES);
  // The size decides the status so that nothing above is optimized away.
  return cx > 0 && cy > 0 ? 0 : 1;
}
