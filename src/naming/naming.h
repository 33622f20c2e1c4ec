#ifndef TUSAK_NAMING_NAMING_H
#define TUSAK_NAMING_NAMING_H

#include "platform.h"

// Replaces the four digits of szFileName ("tusak0000.bmp", 14 bytes with the
// terminator) by the lowest number from 0000 to 9998 whose file cannot be
// opened for reading in the current directory; 9999 when all are taken.
void FindFreeFileName(char *szFileName);

// Creates szFileName as a new, empty file open for writing, never replacing
// one. When something is there already (made since the search, or there all
// along but unreadable), the search goes on from the next number and the new
// name is tried, up to 9999; szFileName is left holding the name tried last.
// INVALID_HANDLE_VALUE when no file could be created.
HANDLE CreateFreeFile(char *szFileName);

#endif
