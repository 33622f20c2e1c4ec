// What the desktop portal's files share: portal.cpp asks the portal for the
// picture, portalfile.cpp reads the file it names and removes it once it has
// served, png.cpp decodes it.
#ifndef TUSAK_PLATFORM_DBUS_PORTAL_H
#define TUSAK_PLATFORM_DBUS_PORTAL_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform.h"

// The portal's file as it was read.
struct PortalFile {
  BYTE *data = nullptr;
  size_t cb = 0;
  struct stat st = {};    // of the file read
  int dirFd = -1;         // the folder it was read in, until removed
  const char *name = "";  // its name there, within the path
};

// Reads the file at path: false, with a why line, if it is refused (not a
// regular file of this user's, a link, empty, or too large for a picture)
// or cannot be read. Its folder is kept open when it was read.
bool ReadPortalFile(const char *path, PortalFile *pFile);
// Removes the file once its picture has served, only when it is the
// portal's fresh file for this request: changed no earlier than the request
// was made (asked, on the file system's clock), and still the file that was
// read, in the folder it was read in. Otherwise it stays, with a word on
// why. Then closes the folder.
void RemovePortalFile(const char *path, PortalFile *pFile,
                      const timespec &asked);
// Closes the folder of a file that stays.
void ClosePortalFolder(PortalFile *pFile);

// A PNG picture, decoded once: its rows from the top, as the DIB's pixels
// (blue, green, red and a fourth byte), in memory mapped at the header's
// size, of which only the rows that came hold pages.
struct PngPicture {
  int width, height;  // as the header says
  int rows;           // of them that decoded whole, from the top
  BYTE *pixels;
  size_t cbMapped;
  bool released;  // copied out whole, and let go
};

// Decodes the file's picture, once. Its size is checked in the header,
// before anything is allocated for it: false, with a why line, if it is no
// PNG, larger than a BMP file holds or, when cxMost is more than 0, than
// twice the outputs' image cxMost x cyMost each way, or if no row decodes.
// A picture whose rows stop short keeps those that came, and notes how
// many.
bool ReadPng(const BYTE *png, size_t cb, const char *path, int64_t cxMost,
             int64_t cyMost, PngPicture *pPicture);
// DIB lines start .. start+n-1, counted from the bottom of the rows that
// came, cbStride apart, the fourth byte 0. Every line at once lets go of
// the rows as they are copied: false for any lines asked for after that.
bool CopyPngLines(PngPicture *pPicture, int start, int n, BYTE *pBits,
                  size_t cbStride);
void FreePng(PngPicture *pPicture);

#endif
