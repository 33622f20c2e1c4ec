// The checks of the setup an X server sends when the connection is made:
// every record within the bytes the setup's length says, before it is read.
#include "x11.h"

namespace {

bool IsUnit(int bits) { return bits == 8 || bits == 16 || bits == 32; }

}  // namespace

// libxcb read as many bytes as the setup's length says, and takes
// the counts of its records as given: each record is checked here to lie
// within those bytes before it is read, and the fields that later steps
// divide by or hand to libxcb to be within what the protocol allows.
bool ReadSetup(const xcb_setup_t *setup, int screenNumber, ScreenSetup *p) {
  *p = ScreenSetup();
  const BYTE *base = reinterpret_cast<const BYTE *>(setup);
  size_t size = 8 + 4 * static_cast<size_t>(setup->length);
  if (size < sizeof *setup) return false;
  uint32_t mask = setup->resource_id_mask;
  if (!mask) return false;
  uint32_t run = mask / (mask & -mask);  // the mask's bits, shifted down
  if ((run & (run + 1)) || run < (uint32_t(1) << 18) - 1 ||
      setup->maximum_request_length < 4096 || setup->image_byte_order > 1 ||
      setup->bitmap_format_bit_order > 1 ||
      !IsUnit(setup->bitmap_format_scanline_unit))
    return false;
  size_t at = sizeof *setup + (setup->vendor_len + 3u) / 4 * 4;
  if (at > size ||
      (size - at) / sizeof(xcb_format_t) < setup->pixmap_formats_len)
    return false;
  const xcb_format_t *formats =
      reinterpret_cast<const xcb_format_t *>(base + at);
  at += setup->pixmap_formats_len * sizeof(xcb_format_t);
  for (int i = 0; i < setup->roots_len; ++i) {
    if (size - at < sizeof(xcb_screen_t)) return false;
    const xcb_screen_t *s = reinterpret_cast<const xcb_screen_t *>(base + at);
    at += sizeof *s;
    for (int j = 0; j < s->allowed_depths_len; ++j) {
      if (size - at < sizeof(xcb_depth_t)) return false;
      const xcb_depth_t *d = reinterpret_cast<const xcb_depth_t *>(base + at);
      at += sizeof *d;
      if ((size - at) / sizeof(xcb_visualtype_t) < d->visuals_len) return false;
      const xcb_visualtype_t *v =
          reinterpret_cast<const xcb_visualtype_t *>(base + at);
      at += d->visuals_len * sizeof(xcb_visualtype_t);
      for (int k = 0;
           i == screenNumber && d->depth == s->root_depth && k < d->visuals_len;
           ++k)
        if (v[k].visual_id == s->root_visual) p->visual = &v[k];
    }
    if (i == screenNumber) p->screen = s;
  }
  for (int i = 0; p->screen && i < setup->pixmap_formats_len; ++i)
    if (formats[i].depth == p->screen->root_depth) p->format = &formats[i];
  return !p->format || IsUnit(p->format->scanline_pad);
}
