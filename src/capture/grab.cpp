#include "capture/grab.h"

#include "notice/notice.h"
#include "platform.h"

typedef BOOL(WINAPI *SetContextProc)(DPI_AWARENESS_CONTEXT);
typedef BOOL(WINAPI *SetAwareProc)(void);

// Through a generic pointer, as a looked-up procedure's type is not its own.
template <typename Proc>
static Proc LookUp(HMODULE hModule, LPCSTR szName) {
  typedef void (*AnyProc)(void);
  return reinterpret_cast<Proc>(
      reinterpret_cast<AnyProc>(GetProcAddress(hModule, szName)));
}

// On a scaled display a process that is not DPI aware is told a shrunken
// size while the copy is in physical pixels, which would cut off the right
// and the bottom. Each call is looked up, as older systems lack them; where
// neither exists there is no scaling to undo.
static void DeclareDpiAwareness() {
  HMODULE hUser32 = GetModuleHandleA("user32.dll");
  if (!hUser32) return;
  SetContextProc pfnSetContext =
      LookUp<SetContextProc>(hUser32, "SetProcessDpiAwarenessContext");
  if (pfnSetContext &&
      pfnSetContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))
    return;
  SetAwareProc pfnSetAware =
      LookUp<SetAwareProc>(hUser32, "SetProcessDPIAware");
  if (pfnSetAware) pfnSetAware();
}

void GrabScreen(HDC *phdcScreen, HBITMAP *phbmScreen) {
  DeclareDpiAwareness();

  // The contexts are not tested: a failure shows in the calls that use them.
  HDC hdcScreen = CreateDCA("DISPLAY", NULL, NULL, NULL);
  HDC hdcCompat = CreateCompatibleDC(hdcScreen);

  HBITMAP hbmScreen =
      CreateCompatibleBitmap(hdcScreen, GetDeviceCaps(hdcScreen, HORZRES),
                             GetDeviceCaps(hdcScreen, VERTRES));
  if (!hbmScreen) ReportError("hbmScreen");

  // The bitmap stays selected into hdcCompat for the rest of the process.
  if (!SelectObject(hdcCompat, hbmScreen))
    ReportError("Compatible Bitmap Selection");

  if (!BitBlt(hdcCompat, 0, 0, GetDeviceCaps(hdcScreen, HORZRES),
              GetDeviceCaps(hdcScreen, VERTRES), hdcScreen, 0, 0, SRCCOPY))
    ReportError("Screen to Compat Blt Failed");

  *phdcScreen = hdcScreen;
  *phbmScreen = hbmScreen;
}
