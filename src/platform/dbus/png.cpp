// The desktop portal's PNG, decoded row by row with libpng (loaded only
// when the portal is asked). Nothing is allocated for the size the header
// claims: the rows are counted as they decode, then decoded again into the
// DIB's lines, so that memory and the file follow what the data holds.
#include <dlfcn.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmpfile/dib.h"
#include "library.h"
#include "portal.h"
#include "why.h"

namespace {

// libpng's procedures that are called, named without "png_".
// clang-format off
#define TUSAK_PNG_PROCS(X) \
  X(sig_cmp) X(create_read_struct) X(create_info_struct) \
  X(destroy_read_struct) X(set_read_fn) X(get_io_ptr) \
  X(get_error_ptr) X(read_info) X(get_IHDR) X(set_expand) \
  X(set_strip_16) X(set_gray_to_rgb) X(set_bgr) X(set_filler) \
  X(set_interlace_handling) X(read_update_info) X(read_row)
// clang-format on

struct PngProcs {
#define TUSAK_PROC(name) decltype(&png_##name) name;
  TUSAK_PNG_PROCS(TUSAK_PROC)
#undef TUSAK_PROC
};

PngProcs g_png;

bool LoadPng() {
  static int loaded = -1;  // not yet tried
  if (loaded != -1) return loaded;
  void *lib = dlopen("libpng16.so.16", RTLD_NOW | RTLD_LOCAL);
  PngProcs &p = g_png;
#define TUSAK_PROC(name) &&FindProc(lib, "png_" #name, &p.name)
  loaded = lib TUSAK_PNG_PROCS(TUSAK_PROC);
#undef TUSAK_PROC
  if (!loaded) NoteWhy("libpng cannot be loaded");
  return loaded;
}

// The file's bytes as libpng reads them, and where an error jumps to.
struct Source {
  const BYTE *data;
  size_t cb, at;
  jmp_buf jump;
  char error[128];
};

[[noreturn]] void Fail(Source *s, const char *message) {
  std::snprintf(s->error, sizeof s->error, "%s", message);
  std::longjmp(s->jump, 1);
}

[[noreturn]] void OnError(png_structp png, png_const_charp message) {
  Fail(static_cast<Source *>(g_png.get_error_ptr(png)), message);
}

void OnWarning(png_structp, png_const_charp) {}

void Read(png_structp png, png_bytep out, size_t n) {
  Source *s = static_cast<Source *>(g_png.get_io_ptr(png));
  if (n > s->cb - s->at) Fail(s, "the file ends early");
  std::memcpy(out, s->data + s->at, n);
  s->at += n;
}

// Where each row of the picture goes: into the DIB's lines, or one row of
// scratch for those not wanted.
struct Target {
  int height;  // of the picture as cut
  int start, n;
  BYTE *pBits;  // null: every row to the scratch row
  size_t cbStride;
  BYTE *scratch;
};

BYTE *RowOf(const Target &t, int y) {
  // Picture row y is DIB line height-1-y, at height-1-y-start in the lines.
  int line = t.height - 1 - y - t.start;
  if (!t.pBits || line < 0 || line >= t.n) return t.scratch;
  return t.pBits + static_cast<size_t>(line) * t.cbStride;
}

// Decodes the picture's rows from the top into t, at most `wanted` of them
// (0: the header alone): the count that decoded whole, or -1 if the header
// cannot be read. The header's size in *pPicture; an error in s->error.
int DecodeRows(Source *s, const Target &t, int wanted, PngPicture *pPicture) {
  const PngProcs &p = g_png;
  png_structp png =
      p.create_read_struct(PNG_LIBPNG_VER_STRING, s, OnError, OnWarning);
  png_infop info = png ? p.create_info_struct(png) : nullptr;
  volatile int rows = -1;
  if (!info) std::snprintf(s->error, sizeof s->error, "out of memory");
  if (info && setjmp(s->jump) == 0) {
    p.set_read_fn(png, s, Read);
    p.read_info(png, info);
    png_uint_32 width, height;
    int depth, color, interlace;
    p.get_IHDR(png, info, &width, &height, &depth, &color, &interlace, nullptr,
               nullptr);
    pPicture->width = static_cast<int>(width);
    pPicture->height = static_cast<int>(height);
    rows = 0;
    if (wanted > 0) {
      // Blue, green, red and a fourth byte, 8 bits each: the fourth is
      // alpha where the picture has it, which the fetch then clears.
      p.set_expand(png);
      p.set_strip_16(png);
      p.set_gray_to_rgb(png);
      p.set_bgr(png);
      p.set_filler(png, 0, PNG_FILLER_AFTER);
      int passes = p.set_interlace_handling(png);
      p.read_update_info(png, info);
      pPicture->interlaced = passes > 1;
      if (passes > 1) {
        // Whole only after its last pass, each pass over every row: then
        // the rows are the lines themselves.
        for (int pass = 0; pass < passes; ++pass)
          for (int y = 0; y < pPicture->height; ++y)
            p.read_row(png, RowOf(t, y), nullptr);
        rows = pPicture->height;
      } else {
        for (int y = 0; y < wanted; ++y) {
          p.read_row(png, RowOf(t, y), nullptr);
          rows = y + 1;
        }
      }
    }
  }
  p.destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  return rows;
}

}  // namespace

bool MeasurePng(const BYTE *png, size_t cb, const char *path,
                PngPicture *pPicture) {
  *pPicture = PngPicture();
  if (!LoadPng()) return false;
  if (cb < 8 || g_png.sig_cmp(png, 0, 8) != 0) {
    NoteWhy("%s: not a PNG file", path);
    return false;
  }
  Source s = {png, cb, 0, {}, ""};
  Target t = {};
  if (DecodeRows(&s, t, 0, pPicture) < 0) {
    NoteWhy("%s: %s", path, s.error);
    return false;
  }
  // Checked before anything the size claims is allocated.
  if (!DibFits(pPicture->width, pPicture->height, 32)) {
    NoteWhy("the picture, %d x %d pixels, is larger than a BMP file holds",
            pPicture->width, pPicture->height);
    return false;
  }
  t.scratch = static_cast<BYTE *>(
      std::malloc(static_cast<size_t>(pPicture->width) * 8));
  if (!t.scratch) return false;
  s = {png, cb, 0, {}, ""};
  int rows = DecodeRows(&s, t, pPicture->height, pPicture);
  std::free(t.scratch);
  if (rows <= 0) {
    NoteWhy("%s: %s", path, s.error[0] ? s.error : "no row decodes");
    return false;
  }
  pPicture->rows = rows;
  if (rows < pPicture->height)
    NoteAlways("the picture is incomplete (%s); %d of %d rows came", s.error,
               rows, pPicture->height);
  return true;
}

bool DecodePng(const BYTE *png, size_t cb, const PngPicture &picture, int start,
               int n, BYTE *pBits, size_t cbStride) {
  if (n == 0) return true;
  if (!LoadPng()) return false;
  size_t cbRow = static_cast<size_t>(picture.width) * 4;
  Target t = {picture.rows, start, n, pBits, cbStride, nullptr};
  // Rows past the last line wanted need not decode; an interlaced picture
  // decodes whole, into lines of a whole picture when only some are wanted.
  BYTE *whole = nullptr;
  if (picture.interlaced && (start != 0 || n != picture.rows)) {
    whole = static_cast<BYTE *>(
        std::calloc(static_cast<size_t>(picture.rows), cbRow));
    if (!whole) return false;
    t = {picture.rows, 0, picture.rows, whole, cbRow, nullptr};
  }
  t.scratch = static_cast<BYTE *>(std::malloc(cbRow * 2));
  int wanted = picture.rows - start;
  Source s = {png, cb, 0, {}, ""};
  PngPicture header;
  bool ok = t.scratch && DecodeRows(&s, t, wanted, &header) >= 0 &&
            header.width == picture.width;
  std::free(t.scratch);
  if (whole) {
    for (int i = 0; ok && i < n; ++i)
      std::memcpy(pBits + static_cast<size_t>(i) * cbStride,
                  whole + static_cast<size_t>(start + i) * cbRow, cbRow);
    std::free(whole);
  }
  if (!ok) return false;
  // The DIB's fourth byte is unused: the PNG's alpha goes.
  for (int i = 0; i < n; ++i) {
    BYTE *line = pBits + static_cast<size_t>(i) * cbStride;
    for (int x = 0; x < picture.width; ++x) line[4 * x + 3] = 0;
  }
  return true;
}
