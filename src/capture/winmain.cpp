// tusak: each launch saves the whole display as a new BMP file in the
// current directory and exits. It has no window, reads no command line and
// keeps no settings; failed steps are shown as "Error" boxes and the run goes
// on to the end.
#include <cstring>

#include "bmpfile/bmpfile.h"
#include "capture/grab.h"
#include "naming/naming.h"
#include "platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The screen is grabbed first. Where the copy is made here (GDI, the
  // Wayland compositors, KWin, the portal) the file shows the display as it
  // was at launch however long the name search takes; X11 reads its pixels
  // at the fetch instead, in one go under a server grab.
  HDC hdcScreen;
  HBITMAP hbmScreen;
  GrabScreen(&hdcScreen, &hbmScreen);

  BITMAPINFO *pbmi = DescribeBitmap(hbmScreen);

  char szFileName[14];
  std::memcpy(szFileName, "tusak0000.bmp", sizeof szFileName);
  FindFreeFileName(szFileName);

  ShowCursor(FALSE);

  SaveBitmapFile(pbmi, szFileName, hbmScreen, hdcScreen);

  // The contexts, the bitmap and the record are left for the process's end.
  return 0;
}
