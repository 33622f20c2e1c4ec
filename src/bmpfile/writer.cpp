#include <cstring>

#include "bmpfile/bmpfile.h"
#include "bmpfile/dib.h"
#include "naming/naming.h"
#include "notice/notice.h"
#include "platform.h"

// The record's header as the file has it, over the record itself: so that
// header and palette still go in one write, with no copy of a palette that
// may hold 65,536 entries. Nothing reads the record after the writes.
static void PutInfoHeader(BITMAPINFO *pbmi) {
  const BITMAPINFOHEADER bih = pbmi->bmiHeader;
  BYTE *p = reinterpret_cast<BYTE *>(pbmi);
  DibPut32(p + 0, bih.biSize);
  DibPut32(p + 4, static_cast<DWORD>(bih.biWidth));
  DibPut32(p + 8, static_cast<DWORD>(bih.biHeight));
  DibPut16(p + 12, bih.biPlanes);
  DibPut16(p + 14, bih.biBitCount);
  DibPut32(p + 16, bih.biCompression);
  DibPut32(p + 20, bih.biSizeImage);
  DibPut32(p + 24, static_cast<DWORD>(bih.biXPelsPerMeter));
  DibPut32(p + 28, static_cast<DWORD>(bih.biYPelsPerMeter));
  DibPut32(p + 32, bih.biClrUsed);
  DibPut32(p + 36, bih.biClrImportant);
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
  DibPut16(fileHeader + 0, 0x4D42);  // "BM"
  DibPut32(fileHeader + 2, kFileHeaderBytes + cbInfo + cbBits);
  DibPut16(fileHeader + 6, 0);
  DibPut16(fileHeader + 8, 0);
  DibPut32(fileHeader + 10, kFileHeaderBytes + cbInfo);
  PutInfoHeader(pbmi);

  if (!WriteWhole(hFile, fileHeader, sizeof fileHeader)) ReportError("error");
  if (!WriteWhole(hFile, pbmi, cbInfo)) ReportError("error");
  if (!pBits || !WriteWhole(hFile, pBits, cbBits)) ReportError("error");
  if (!CloseHandle(hFile)) ReportError("error");

  GlobalFree(pBits);
}
