// The Wine suite's hands inside Wine, one mode per first argument:
//   pattern READY STOP REF  covers the screen with a topmost window painted
//                           with Pattern(x, y); once it shows, writes the
//                           screen as Wine's GDI reads it to REF (a 32-bit
//                           BMP) and then READY; exits when STOP appears.
//   icons READY STOP REF    the same with the system's icons drawn over the
//                           pattern by DrawIconEx, which blends their alpha
//                           into the screen; once gone again, at STOP, the
//                           screen shows what it showed before.
//   desktop READY STOP      a desktop to look at: its background, and a
//                           window with a title bar, some text and the
//                           system's icons; READY once it shows.
//   notices LOG STOP        appends "caption|text" of every message box to
//                           LOG, then dismisses it; exits when STOP appears.
//   hold FILE READY STOP    creates FILE holding "held", keeps it open with
//                           share mode 0, writes READY; exits when STOP
//                           appears.
//   closeprobe OUT          writes what CloseHandle(INVALID_HANDLE_VALUE)
//                           returns to OUT, as "CloseHandle=R error=E".
// Paths are Windows paths. Every wait is bounded by the driver, which kills
// a helper that outlives its case.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

// The test image; the driver computes the same function. Every channel
// changes along rows and columns, and the high bits of x and y feed blue, so
// a shifted row or column, a swapped channel or a lost bit all show.
static DWORD Pattern(int x, int y) {
  DWORD r = (x * 3 + y) & 0xFF;
  DWORD g = (y * 5 + (x >> 2)) & 0xFF;
  DWORD b = (x ^ y ^ ((x >> 8) << 5) ^ ((y >> 8) << 3)) & 0xFF;
  return (r << 16) | (g << 8) | b;
}

static bool FileExists(const char *szPath) {
  return GetFileAttributesA(szPath) != INVALID_FILE_ATTRIBUTES;
}

static bool WriteWholeFile(const char *szPath, const void *pData, DWORD cb) {
  HANDLE h = CreateFileA(szPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD cbWritten = 0;
  BOOL ok = WriteFile(h, pData, cb, &cbWritten, NULL);
  CloseHandle(h);
  return ok && cbWritten == cb;
}

// Runs the message loop until STOP exists, looking every 20 ms.
static void PumpUntil(const char *szStop, void (*pfnTick)(void *), void *pv) {
  while (!FileExists(szStop)) {
    MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (pfnTick) pfnTick(pv);
  }
}

// --- pattern -------------------------------------------------------------

static BITMAPINFO g_bmi;  // 32-bit top-down, the screen's size
static DWORD *g_pPattern;

static void SetUpBitmapInfo(int cx, int cy) {
  g_bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  g_bmi.bmiHeader.biWidth = cx;
  g_bmi.bmiHeader.biHeight = -cy;
  g_bmi.bmiHeader.biPlanes = 1;
  g_bmi.bmiHeader.biBitCount = 32;
  g_bmi.bmiHeader.biCompression = BI_RGB;
}

enum Scene { kPattern, kIcons, kDesktop };
static Scene g_scene;

// Every system icon at 16, 32 and 48 pixels, a row of them from (x, y).
static void DrawSystemIcons(HDC hdc, int x, int y) {
  static const LPCSTR rgszIcon[] = {
      IDI_APPLICATION, IDI_ERROR,   IDI_QUESTION, IDI_WARNING,
      IDI_INFORMATION, IDI_WINLOGO, IDI_SHIELD};
  for (LPCSTR szIcon : rgszIcon) {
    HICON hIcon = LoadIconA(NULL, szIcon);
    for (int cx = 16; cx <= 48; cx += 16) {
      DrawIconEx(hdc, x, y + 48 - cx, hIcon, cx, cx, 0, NULL, DI_NORMAL);
      x += cx + 8;
    }
    x += 16;
  }
}

static LRESULT CALLBACK PatternProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hwnd, &ps);
    int cy = -g_bmi.bmiHeader.biHeight;
    if (g_scene == kDesktop) {
      HBRUSH hbr = CreateSolidBrush(RGB(0x1F, 0x4E, 0x79));
      FillRect(hdc, &ps.rcPaint, hbr);
      DeleteObject(hbr);
    } else {
      SetDIBitsToDevice(hdc, 0, 0, g_bmi.bmiHeader.biWidth, cy, 0, 0, 0, cy,
                        g_pPattern, &g_bmi, DIB_RGB_COLORS);
    }
    if (g_scene == kIcons)
      for (int y = 40; y + 48 < cy; y += 160) DrawSystemIcons(hdc, 40, y);
    EndPaint(hwnd, &ps);
    return 0;
  }
  if (msg == WM_SETCURSOR) {
    SetCursor(NULL);  // nothing of ours drawn over the pattern
    return TRUE;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// The desktop scene's window: a few lines of text over the system's icons.
static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(hdc, &rc, GetSysColorBrush(COLOR_WINDOW));
    InflateRect(&rc, -24, -24);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(hdc, TRANSPARENT);
    const char *szText =
        "This is Wine's desktop, as tusak.exe saw it.\n\n"
        "Each launch saves the whole screen as a new BMP file in the "
        "current folder: tusak0000.bmp, then tusak0001.bmp, and so on. "
        "Earlier screenshots are never replaced.\n\n"
        "The system's icons:";
    DrawTextA(hdc, szText, -1, &rc, DT_WORDBREAK | DT_CALCRECT);
    DrawTextA(hdc, szText, -1, &rc, DT_WORDBREAK);
    DrawSystemIcons(hdc, rc.left, rc.bottom + 16);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// Reads the whole screen through GDI into pBits (32-bit, top-down).
static void CaptureScreen(DWORD *pBits) {
  HDC hdcScreen = GetDC(NULL);
  HDC hdcMem = CreateCompatibleDC(hdcScreen);
  void *pDib = NULL;
  HBITMAP hbm =
      CreateDIBSection(hdcScreen, &g_bmi, DIB_RGB_COLORS, &pDib, NULL, 0);
  HGDIOBJ hOld = SelectObject(hdcMem, hbm);
  int cx = g_bmi.bmiHeader.biWidth, cy = -g_bmi.bmiHeader.biHeight;
  BitBlt(hdcMem, 0, 0, cx, cy, hdcScreen, 0, 0, SRCCOPY);
  GdiFlush();
  std::memcpy(pBits, pDib, DWORD(cx) * cy * 4);
  SelectObject(hdcMem, hOld);
  DeleteObject(hbm);
  DeleteDC(hdcMem);
  ReleaseDC(NULL, hdcScreen);
}

static bool WriteBmp32(const char *szPath, const DWORD *pBits, int cx, int cy) {
  DWORD cbBits = DWORD(cx) * cy * 4;
  DWORD cbFile = 14 + 40 + cbBits;
  BYTE *pFile = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, cbFile));
  if (!pFile) return false;
  BITMAPFILEHEADER bfh = {};
  bfh.bfType = 0x4D42;
  bfh.bfSize = cbFile;
  bfh.bfOffBits = 14 + 40;
  std::memcpy(pFile, &bfh, 14);
  std::memcpy(pFile + 14, &g_bmi.bmiHeader, 40);
  std::memcpy(pFile + 54, pBits, cbBits);
  bool ok = WriteWholeFile(szPath, pFile, cbFile);
  HeapFree(GetProcessHeap(), 0, pFile);
  return ok;
}

static int RunScene(Scene scene, const char *szReady, const char *szStop,
                    const char *szRef) {
  g_scene = scene;
  int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
  SetUpBitmapInfo(cx, cy);
  DWORD cPixels = DWORD(cx) * cy;
  HANDLE hHeap = GetProcessHeap();
  g_pPattern = static_cast<DWORD *>(HeapAlloc(hHeap, 0, cPixels * 4));
  DWORD *pBefore = static_cast<DWORD *>(HeapAlloc(hHeap, 0, cPixels * 4));
  DWORD *pLast = static_cast<DWORD *>(HeapAlloc(hHeap, 0, cPixels * 4));
  DWORD *pNow = static_cast<DWORD *>(HeapAlloc(hHeap, 0, cPixels * 4));
  if (!g_pPattern || !pBefore || !pLast || !pNow) return 2;
  for (int y = 0; y < cy; ++y)
    for (int x = 0; x < cx; ++x) g_pPattern[DWORD(y) * cx + x] = Pattern(x, y);

  CaptureScreen(pBefore);

  WNDCLASSA wc = {};
  wc.lpfnWndProc = PatternProc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "TusakWinePattern";
  RegisterClassA(&wc);
  // The desktop's background stays below the window on it.
  DWORD dwExStyle = WS_EX_TOOLWINDOW | (scene == kDesktop ? 0 : WS_EX_TOPMOST);
  HWND hwnd = CreateWindowExA(dwExStyle, wc.lpszClassName, "", WS_POPUP, 0, 0,
                              cx, cy, NULL, NULL, wc.hInstance, NULL);
  if (!hwnd) return 3;
  ShowWindow(hwnd, SW_SHOW);
  UpdateWindow(hwnd);
  if (scene == kDesktop) {
    wc.lpfnWndProc = WindowProc;
    wc.lpszClassName = "TusakWineWindow";
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    RegisterClassA(&wc);
    HWND hwndNotes = CreateWindowExA(0, wc.lpszClassName, "tusak under Wine",
                                     WS_OVERLAPPED | WS_CAPTION | WS_THICKFRAME,
                                     cx / 8, cy / 3, cx * 3 / 4, cy / 3, NULL,
                                     NULL, wc.hInstance, NULL);
    if (!hwndNotes) return 3;
    ShowWindow(hwndNotes, SW_SHOW);
    UpdateWindow(hwndNotes);
  }

  // Wine shows a window's drawing some time after it is painted: wait until
  // the screen has changed and reads the same twice, 100 ms apart.
  CaptureScreen(pLast);
  bool fShown = false;
  for (int i = 0; i < 200 && !fShown; ++i) {
    DWORD dwEnd = GetTickCount() + 100;
    while (GetTickCount() < dwEnd) {
      MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    CaptureScreen(pNow);
    fShown = std::memcmp(pNow, pLast, cPixels * 4) == 0 &&
             std::memcmp(pNow, pBefore, cPixels * 4) != 0;
    DWORD *pSwap = pLast;
    pLast = pNow;
    pNow = pSwap;
  }
  if (!fShown) return 4;
  if (szRef && !WriteBmp32(szRef, pLast, cx, cy)) return 5;
  if (!WriteWholeFile(szReady, "ready", 5)) return 6;
  PumpUntil(szStop, NULL, NULL);
  if (scene != kIcons) return 0;

  // Gone only once the screen is as it was, so that what runs next sees it.
  DestroyWindow(hwnd);
  for (int i = 0; i < 200; ++i) {
    MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    CaptureScreen(pNow);
    if (std::memcmp(pNow, pBefore, cPixels * 4) == 0) return 0;
  }
  return 7;
}

// --- notices -------------------------------------------------------------

struct Watch {
  const char *szLog;
  HWND rgSeen[256];  // boxes already written down, oldest overwritten
  int iNext;
};

static BOOL CALLBACK FindStaticText(HWND hwnd, LPARAM lp) {
  char szClass[16], *szText = reinterpret_cast<char *>(lp);
  GetClassNameA(hwnd, szClass, sizeof szClass);
  if (lstrcmpiA(szClass, "Static") == 0 &&
      GetWindowTextA(hwnd, szText, 1024) > 0)
    return FALSE;
  szText[0] = '\0';
  return TRUE;
}

static BOOL CALLBACK CheckWindow(HWND hwnd, LPARAM lp) {
  Watch *pw = reinterpret_cast<Watch *>(lp);
  char szClass[16];
  GetClassNameA(hwnd, szClass, sizeof szClass);
  if (std::strcmp(szClass, "#32770") != 0 || !IsWindowVisible(hwnd))
    return TRUE;
  bool fSeen = false;
  for (HWND h : pw->rgSeen) fSeen = fSeen || h == hwnd;
  if (!fSeen) {
    char szCaption[256], szText[1024] = "";
    GetWindowTextA(hwnd, szCaption, sizeof szCaption);
    EnumChildWindows(hwnd, FindStaticText, reinterpret_cast<LPARAM>(szText));
    char szLine[1300];
    int cch =
        std::snprintf(szLine, sizeof szLine, "%s|%s\n", szCaption, szText);
    // Written down before the box goes, so a run that has ended has all its
    // boxes in the log.
    HANDLE h = CreateFileA(pw->szLog, FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD cbWritten;
    WriteFile(h, szLine, cch, &cbWritten, NULL);
    FlushFileBuffers(h);
    CloseHandle(h);
    pw->rgSeen[pw->iNext] = hwnd;
    pw->iNext = (pw->iNext + 1) % 256;
  }
  // Asked again on every look until it has gone.
  PostMessageA(hwnd, WM_COMMAND, IDOK, 0);
  return TRUE;
}

static void LookForBoxes(void *pv) {
  EnumWindows(CheckWindow, reinterpret_cast<LPARAM>(pv));
}

static int RunNotices(const char *szLog, const char *szStop) {
  static Watch w;
  w.szLog = szLog;
  PumpUntil(szStop, LookForBoxes, &w);
  return 0;
}

// --- hold ----------------------------------------------------------------

static int RunHold(const char *szFile, const char *szReady,
                   const char *szStop) {
  HANDLE h = CreateFileA(szFile, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return 2;
  DWORD cbWritten;
  if (!WriteFile(h, "held", 4, &cbWritten, NULL)) return 3;
  if (!WriteWholeFile(szReady, "ready", 5)) return 4;
  PumpUntil(szStop, NULL, NULL);
  CloseHandle(h);
  return 0;
}

// --- closeprobe ----------------------------------------------------------

static int RunCloseProbe(const char *szOut) {
  SetLastError(0);
  BOOL ok = CloseHandle(INVALID_HANDLE_VALUE);
  DWORD dwError = GetLastError();
  char sz[64];
  int cch = std::snprintf(sz, sizeof sz, "CloseHandle=%d error=%lu\n", ok,
                          static_cast<unsigned long>(dwError));
  return WriteWholeFile(szOut, sz, cch) ? 0 : 2;
}

int main(int argc, char **argv) {
  if (argc == 5 && std::strcmp(argv[1], "pattern") == 0)
    return RunScene(kPattern, argv[2], argv[3], argv[4]);
  if (argc == 5 && std::strcmp(argv[1], "icons") == 0)
    return RunScene(kIcons, argv[2], argv[3], argv[4]);
  if (argc == 4 && std::strcmp(argv[1], "desktop") == 0)
    return RunScene(kDesktop, argv[2], argv[3], NULL);
  if (argc == 4 && std::strcmp(argv[1], "notices") == 0)
    return RunNotices(argv[2], argv[3]);
  if (argc == 5 && std::strcmp(argv[1], "hold") == 0)
    return RunHold(argv[2], argv[3], argv[4]);
  if (argc == 3 && std::strcmp(argv[1], "closeprobe") == 0)
    return RunCloseProbe(argv[2]);
  return 1;
}
