#ifndef TUSAK_NAMING_NAMING_H
#define TUSAK_NAMING_NAMING_H

// Replaces the four digits of szFileName ("tusak0000.bmp", 14 bytes with the
// terminator) by the lowest number from 0000 to 9998 whose file cannot be
// opened for reading in the current directory; 9999 when all are taken.
void FindFreeFileName(char *szFileName);

#endif
