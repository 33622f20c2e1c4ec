#include "fake/fake_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform.h"

struct HDC__ {
  bool memory;
  HBITMAP selected;
};

struct HGDIOBJ__ {
  int width, height;
  std::vector<std::uint32_t> pixels;  // what the copy put there
};

FakePlatform g_fake;

namespace {

std::vector<std::unique_ptr<HDC__>> g_dcs;
std::vector<std::unique_ptr<HGDIOBJ__>> g_bitmaps;
std::vector<void *> g_localBlocks;
int g_writes;
DWORD g_lastError;
const std::intptr_t kFirstFileHandle = 0x1000;
HMODULE const kUser32 = reinterpret_cast<HMODULE>(0x7700);

// Logs the call and tells whether it is to fail.
bool Enter(const std::string &name, const std::string &args,
           const std::string &failName = "") {
  g_fake.calls.push_back(args.empty() ? name : name + " " + args);
  if (g_fake.onCall) g_fake.onCall(name);
  return g_fake.failing.count(failName.empty() ? name : failName) != 0;
}

int Fd(HANDLE h) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(h) -
                          kFirstFileHandle);
}

bool IsFile(HANDLE h) {
  return reinterpret_cast<std::intptr_t>(h) >= kFirstFileHandle;
}

// Packs one pixel of the virtual screen into a row at the given bit count,
// as the BMP format lays out BI_RGB rows.
void PutPixel(BYTE *row, int x, int bitCount, std::uint32_t v) {
  switch (bitCount) {
    case 1:
    case 4:
    case 8: {
      int bit = x * bitCount;
      int shift = 8 - bitCount - bit % 8;
      row[bit / 8] = static_cast<BYTE>(row[bit / 8] | (v << shift));
      break;
    }
    case 16: {  // 5-5-5
      std::uint32_t p =
          ((v >> 19 & 31) << 10) | ((v >> 11 & 31) << 5) | (v >> 3 & 31);
      row[2 * x] = static_cast<BYTE>(p);
      row[2 * x + 1] = static_cast<BYTE>(p >> 8);
      break;
    }
    default: {  // 24 or 32: blue, green, red (and a reserved byte)
      BYTE *p = row + x * (bitCount / 8);
      p[0] = static_cast<BYTE>(v);
      p[1] = static_cast<BYTE>(v >> 8);
      p[2] = static_cast<BYTE>(v >> 16);
      if (bitCount == 32) p[3] = 0;
    }
  }
}

BOOL WINAPI FakeSetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT value) {
  if (Enter("SetProcessDpiAwarenessContext",
            std::to_string(reinterpret_cast<std::intptr_t>(value))) ||
      value != DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)
    return FALSE;
  g_fake.dpiAware = true;
  return TRUE;
}

BOOL WINAPI FakeSetProcessDPIAware() {
  if (Enter("SetProcessDPIAware", "")) return FALSE;
  g_fake.dpiAware = true;
  return TRUE;
}

// What an unaware process is told of a physical length.
int Scaled(int n) {
  return g_fake.dpiAware ? n : n * 100 / g_fake.screen.scalePercent;
}

}  // namespace

void FakeReset(const FakeScreen &screen) {
  for (void *p : g_localBlocks) std::free(p);
  g_localBlocks.clear();
  g_dcs.clear();
  g_bitmaps.clear();
  g_writes = 0;
  g_lastError = 0;
  g_fake = FakePlatform();
  g_fake.screen = screen;
}

HDC CreateDCA(LPCSTR pszDriver, LPCSTR, LPCSTR, const void *) {
  Enter("CreateDCA", pszDriver);
  g_dcs.push_back(std::make_unique<HDC__>(HDC__{false, nullptr}));
  return g_dcs.back().get();
}

HDC CreateCompatibleDC(HDC hdc) {
  Enter("CreateCompatibleDC", "");
  if (!hdc) return nullptr;
  g_dcs.push_back(std::make_unique<HDC__>(HDC__{true, nullptr}));
  return g_dcs.back().get();
}

int GetDeviceCaps(HDC hdc, int index) {
  Enter("GetDeviceCaps", std::to_string(index));
  if (!hdc) return 0;
  return index == HORZRES   ? Scaled(g_fake.screen.width)
         : index == VERTRES ? Scaled(g_fake.screen.height)
                            : 0;
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  if (Enter("CreateCompatibleBitmap",
            std::to_string(cx) + "x" + std::to_string(cy)) ||
      !hdc)
    return nullptr;
  // The pixels are only made by the copy, so huge sizes cost nothing here.
  g_bitmaps.push_back(std::make_unique<HGDIOBJ__>(HGDIOBJ__{cx, cy, {}}));
  return g_bitmaps.back().get();
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  if (Enter("SelectObject", "") || !hdc || !h) return nullptr;
  static HGDIOBJ__ stockBitmap{1, 1, {0}};
  HGDIOBJ previous = hdc->selected ? hdc->selected : &stockBitmap;
  hdc->selected = h;
  return previous;
}

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1,
            DWORD rop) {
  if (Enter("BitBlt", std::to_string(cx) + "x" + std::to_string(cy) + " " +
                          std::to_string(rop)) ||
      !hdc || !hdcSrc || x || y || x1 || y1)
    return FALSE;
  // Without a bitmap of ours the copy lands in the context's stock 1x1 one.
  HGDIOBJ__ *bm = hdc->selected;
  if (!bm) return TRUE;
  const FakeScreen &s = g_fake.screen;
  bm->pixels.resize(std::size_t(bm->width) * bm->height);
  for (int row = 0; row < cy && row < bm->height && row < s.height; ++row)
    for (int col = 0; col < cx && col < bm->width && col < s.width; ++col)
      bm->pixels[std::size_t(row) * bm->width + col] =
          s.pixels[std::size_t(row) * s.width + col];
  return TRUE;
}

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  if (Enter("GetObjectA", std::to_string(c)) || !h ||
      c < static_cast<int>(sizeof(BITMAP)))
    return 0;
  const HGDIOBJ__ *bm = static_cast<HGDIOBJ__ *>(h);
  const FakeScreen &s = g_fake.screen;
  BITMAP out = {};
  out.bmWidth = bm->width;
  out.bmHeight = bm->height;
  out.bmWidthBytes = (bm->width * s.bitsPixel + 15) / 16 * 2;
  out.bmPlanes = static_cast<WORD>(s.planes);
  out.bmBitsPixel = static_cast<WORD>(s.bitsPixel);
  std::memcpy(pv, &out, sizeof out);
  return sizeof out;
}

int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits,
              BITMAPINFO *lpbmi, UINT usage) {
  if (Enter("GetDIBits", std::to_string(cLines)) || !hdc || !hbm || start ||
      usage != DIB_RGB_COLORS)
    return 0;
  BITMAPINFOHEADER *pbih = &lpbmi->bmiHeader;
  const FakeScreen &s = g_fake.screen;
  int bitCount = pbih->biBitCount;
  if (bitCount != s.bitsPixel || pbih->biWidth != hbm->width) return 0;
  if (bitCount <= 8)
    for (std::size_t i = 0; i < (std::size_t(1) << bitCount); ++i) {
      std::uint32_t c = i < s.palette.size() ? s.palette[i] : 0;
      lpbmi->bmiColors[i] = RGBQUAD{BYTE(c), BYTE(c >> 8), BYTE(c >> 16), 0};
    }
  UINT lines = cLines < UINT(hbm->height) ? cLines : UINT(hbm->height);
  hbm->pixels.resize(std::size_t(hbm->width) * hbm->height);
  if (lpvBits) {
    std::size_t stride = (std::size_t(hbm->width) * bitCount + 31) / 32 * 4;
    BYTE *bits = static_cast<BYTE *>(lpvBits);
    std::memset(bits, 0, stride * lines);
    // Bottom-up: the first row delivered is the bitmap's last.
    for (UINT r = 0; r < lines; ++r)
      for (int x = 0; x < hbm->width; ++x)
        PutPixel(
            bits + r * stride, x, bitCount,
            hbm->pixels[std::size_t(hbm->height - 1 - r) * hbm->width + x]);
  }
  if (g_fake.clrUsedAfterFetch >= 0)
    pbih->biClrUsed = static_cast<DWORD>(g_fake.clrUsedAfterFetch);
  return lpvBits ? static_cast<int>(lines) : 1;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  Enter("MessageBoxA",
        std::string(lpCaption) + ": " + lpText + " " + std::to_string(uType));
  g_fake.notices.push_back(std::string(lpCaption) + ": " + lpText);
  return 1;  // IDOK
}

int ShowCursor(BOOL bShow) {
  Enter("ShowCursor", std::to_string(bShow));
  return -1;
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (Enter("LocalAlloc",
            std::to_string(uFlags) + " " + std::to_string(uBytes)))
    return nullptr;
  // Kept until the next reset: the run never frees the record.
  void *p = std::calloc(1, uBytes);
  g_localBlocks.push_back(p);
  return p;
}

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (Enter("GlobalAlloc",
            std::to_string(uFlags) + " " + std::to_string(dwBytes)))
    return nullptr;
  // Not zero-filled, like the real block: garbage shows in a file that
  // writes bytes the fetch did not deliver.
  void *p = std::malloc(dwBytes ? dwBytes : 1);
  std::memset(p, 0xA5, dwBytes);
  return p;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  Enter("GlobalFree", hMem ? "block" : "NULL");
  std::free(hMem);
  return nullptr;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE) {
  g_lastError = ERROR_ACCESS_DENIED;
  if (Enter("CreateFileA", std::string(lpFileName) + " " +
                               std::to_string(dwDesiredAccess) + " " +
                               std::to_string(dwShareMode) + " " +
                               std::to_string(dwCreationDisposition) + " " +
                               std::to_string(dwFlagsAndAttributes)))
    return INVALID_HANDLE_VALUE;
  if (dwCreationDisposition != CREATE_NEW) return INVALID_HANDLE_VALUE;
  int fd = open(lpFileName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) g_lastError = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(kFirstFileHandle + fd);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD n, LPDWORD pcbWritten,
               LPOVERLAPPED) {
  ++g_writes;
  *pcbWritten = 0;
  if (!lpBuffer) g_fake.nullBufferWritten = true;
  if (Enter("WriteFile", std::to_string(n),
            "WriteFile#" + std::to_string(g_writes)) ||
      !IsFile(hFile) || !lpBuffer)
    return FALSE;
  // A short write reported as success, as a platform may on a full disk.
  if (g_fake.failing.count("ShortWrite#" + std::to_string(g_writes))) n /= 2;
  ssize_t cb = write(Fd(hFile), lpBuffer, n);
  if (cb < 0) return FALSE;
  *pcbWritten = static_cast<DWORD>(cb);
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  bool fail = Enter("CloseHandle", "");
  // INVALID_HANDLE_VALUE is also Windows' pseudo-handle of the current
  // process, whose close succeeds.
  if (hObject == INVALID_HANDLE_VALUE) return !fail;
  if (!IsFile(hObject)) return FALSE;
  bool closed = close(Fd(hObject)) == 0;
  return closed && !fail;
}

DWORD GetLastError(void) { return g_lastError; }

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  Enter("GetModuleHandleA", lpModuleName);
  return std::string(lpModuleName) == "user32.dll" ? kUser32 : nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  Enter("GetProcAddress", lpProcName);
  std::string name = lpProcName;
  if (hModule != kUser32 || !g_fake.user32Procs.count(name)) return nullptr;
  typedef void (*AnyProc)(void);
  AnyProc proc =
      name == "SetProcessDPIAware"
          ? reinterpret_cast<AnyProc>(FakeSetProcessDPIAware)
          : reinterpret_cast<AnyProc>(FakeSetProcessDpiAwarenessContext);
  return reinterpret_cast<FARPROC>(proc);
}

BOOL ProbeFileName(LPCSTR lpFileName) {
  Enter("ProbeFileName", lpFileName);
  int fd = open(lpFileName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FALSE;
  close(fd);
  return TRUE;
}
