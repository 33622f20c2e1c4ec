// What the desktop portal's files share: portal.cpp asks the portal for the
// picture, portalfile.cpp reads the file it names and removes it once it has
// served, png.cpp decodes it.
#ifndef TUSAK_PLATFORM_DBUS_PORTAL_H
#define TUSAK_PLATFORM_DBUS_PORTAL_H

#include <sys/stat.h>

#include <cstddef>
#include <ctime>

#include "platform.h"

// The portal's file as it was read.
struct PortalFile {
  BYTE *data;
  size_t cb;
  struct stat st;    // of the file read
  int dirFd;         // the folder it was read in, until removed; else -1
  const char *name;  // its name there, within the path
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

// What the decoding found of a PNG picture.
struct PngPicture {
  int width, height;  // as the header says
  int rows;           // of them that decode, from the top
  bool interlaced;    // decoded whole or not at all
};

// Reads the header and decodes every row once, keeping none, so that the
// picture's size follows what the file holds: false, with a why line, if
// it is no PNG, or larger than a BMP file holds, or no row decodes. A file
// whose rows stop short notes how many came.
bool MeasurePng(const BYTE *png, size_t cb, const char *path,
                PngPicture *pPicture);
// Decodes rows start .. start+n-1 from the bottom of a picture cut to
// `rows` rows, as DIB lines (blue, green, red, 0) cbStride apart.
bool DecodePng(const BYTE *png, size_t cb, const PngPicture &picture, int start,
               int n, BYTE *pBits, size_t cbStride);

#endif
