#include <cstring>

#include "bmpfile/bmpfile.h"
#include "bmpfile/dib.h"
#include "naming/naming.h"
#include "notice/notice.h"
#include "platform.h"

static void PutU16(BYTE *p, DWORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}

static void PutU32(BYTE *p, DWORD v) {
  PutU16(p, v);
  PutU16(p + 2, v >> 16);
}

// A write that the platform reports as done but that wrote fewer bytes
// (a disk that fills up part way) leaves a cut file: count it as failed.
static bool WriteWhole(HANDLE hFile, const void *pv, DWORD cb) {
  DWORD cbWritten = 0;
  return WriteFile(hFile, pv, cb, &cbWritten, NULL) && cbWritten == cb;
}

// Palette entries the file needs for the record as the fetch left it: an
// explicit count, else the full table that depths up to 8 imply (the fetch
// may clear biClrUsed), never more than the record's block holds.
static DWORD PaletteEntries(const BITMAPINFOHEADER *pbih, DWORD cBlock) {
  DWORD c = pbih->biClrUsed;
  if (c == 0) c = DibPaletteEntries(pbih->biBitCount);
  return c < cBlock ? c : cBlock;
}

void SaveBitmapFile(BITMAPINFO *pbmi, char *szFileName, HBITMAP hbmScreen,
                    HDC hdcScreen) {
  BITMAPINFOHEADER *pbih = &pbmi->bmiHeader;
  // The record's palette and the pixel buffer are sized from the record as
  // built; the fetch may rewrite its fields, so the writes are held to these.
  DWORD cClrBlock = pbih->biClrUsed;
  DWORD cbBitsBlock = pbih->biSizeImage;

  BYTE *pBits = static_cast<BYTE *>(GlobalAlloc(GMEM_FIXED, cbBitsBlock));
  if (!pBits) ReportError("GlobalAlloc");

  // Without a buffer the fetch only completes the record. A failed fetch
  // leaves black rows, never what the memory held before.
  if (!FetchDIBits(hdcScreen, hbmScreen, 0, static_cast<WORD>(pbih->biHeight),
                   pBits, pbmi, DIB_RGB_COLORS)) {
    ReportError("GetDIBits");
    if (pBits) std::memset(pBits, 0, cbBitsBlock);
  }

  // Never replaces a file: an earlier screenshot, or one that a launch
  // running alongside made since the search; that costs only the name.
  HANDLE hFile = CreateFreeFile(szFileName);
  if (hFile == INVALID_HANDLE_VALUE) ReportError("CreateFile");

  DWORD cbInfo =
      kInfoHeaderBytes + PaletteEntries(pbih, cClrBlock) * sizeof(RGBQUAD);
  DWORD cbBits =
      pbih->biSizeImage < cbBitsBlock ? pbih->biSizeImage : cbBitsBlock;
  if (!pBits) cbBits = 0;

  BYTE fileHeader[kFileHeaderBytes];
  PutU16(fileHeader + 0, 0x4D42);  // "BM"
  PutU32(fileHeader + 2, kFileHeaderBytes + cbInfo + cbBits);
  PutU16(fileHeader + 6, 0);
  PutU16(fileHeader + 8, 0);
  PutU32(fileHeader + 10, kFileHeaderBytes + cbInfo);

  if (!WriteWhole(hFile, fileHeader, sizeof fileHeader)) ReportError("error");
  if (!WriteWhole(hFile, pbmi, cbInfo)) ReportError("error");
  if (!pBits || !WriteWhole(hFile, pBits, cbBits)) ReportError("error");
  if (!CloseHandle(hFile)) ReportError("error");

  GlobalFree(pBits);
}
