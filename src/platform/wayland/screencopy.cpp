#include "display.h"

namespace {
void *OpenScreencopy(int *, int *, int *) { return nullptr; }
void *CreateScreencopyBitmap(void *, int, int) { return nullptr; }
bool CopyScreencopy(void *, void *, int, int) { return false; }
bool FetchScreencopy(void *, int, int, BYTE *, size_t, RGBQUAD *) {
  return false;
}
}  // namespace

const DisplaySystem g_screencopySystem = {
    OpenScreencopy, CreateScreencopyBitmap, CopyScreencopy, FetchScreencopy};
