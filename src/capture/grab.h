#ifndef TUSAK_CAPTURE_GRAB_H
#define TUSAK_CAPTURE_GRAB_H

#include "platform.h"

// Copies the display into a new bitmap of the display's own format.
// Hands back the display's context and the bitmap; the memory context that
// holds the bitmap stays alive, unreleased, until the process ends.
void GrabScreen(HDC *phdcScreen, HBITMAP *phbmScreen);

#endif
