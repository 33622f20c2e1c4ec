#ifndef TUSAK_BMPFILE_BMPFILE_H
#define TUSAK_BMPFILE_BMPFILE_H

#include "platform.h"

// Builds the header record (BITMAPINFOHEADER and a zeroed palette) that asks
// for hbmScreen's pixels in device-independent form. Never returns null.
BITMAPINFO *DescribeBitmap(HBITMAP hbmScreen);

// Fetches hbmScreen's pixels in the record's format and writes them with the
// record as a new uncompressed BMP file named szFileName, or under the next
// free name if that one has been taken meanwhile; szFileName is left holding
// the name used.
void SaveBitmapFile(BITMAPINFO *pbmi, char *szFileName, HBITMAP hbmScreen,
                    HDC hdcScreen);

#endif
