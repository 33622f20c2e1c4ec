#include "display.h"

namespace {
void *OpenPortal(int *, int *, int *) { return nullptr; }
void *CreatePortalBitmap(void *, int, int) { return nullptr; }
bool CopyPortal(void *, void *, int, int) { return false; }
bool FetchPortal(void *, int, int, BYTE *, size_t, RGBQUAD *) { return false; }
}  // namespace

const DisplaySystem g_portalSystem = {OpenPortal, CreatePortalBitmap,
                                      CopyPortal, FetchPortal};
