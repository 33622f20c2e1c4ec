#include "capture/grab.h"

#include "capture/report.h"
#include "platform.h"

void GrabScreen(HDC *phdcScreen, HBITMAP *phbmScreen) {
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
