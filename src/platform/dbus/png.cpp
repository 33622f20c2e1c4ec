// The desktop portal's PNG, decoded once with libpng (loaded only when the
// portal is asked) into rows of the DIB's pixels. The size the header
// claims is checked before anything is allocated for it; the rows' memory
// is then mapped at that size, and only the rows that decode take pages,
// so that memory follows what the data holds. Chunks the picture does not
// need are passed over uninflated: a text chunk may inflate to megabytes,
// and a file may hold hundreds.
#include <dlfcn.h>
#include <png.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
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
  X(get_error_ptr) X(set_keep_unknown_chunks) X(read_info) X(get_IHDR) \
  X(set_expand) X(set_strip_16) X(set_gray_to_rgb) X(set_bgr) \
  X(set_filler) X(set_interlace_handling) X(read_update_info) X(read_row)
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

// Whether a picture of the header's size may be decoded: one a BMP file
// holds, and no more than twice the outputs' image each way when that is
// known (the desktop's picture, at some scale). Notes why not.
bool SizeAllowed(const PngPicture &p, int64_t cxMost, int64_t cyMost) {
  if (!DibFits(p.width, p.height, 32))
    NoteWhy("the picture, %d x %d pixels, is larger than a BMP file holds",
            p.width, p.height);
  else if (cxMost > 0 && (p.width > 2 * cxMost || p.height > 2 * cyMost))
    NoteWhy(
        "the picture, %d x %d pixels, is larger than the desktop's "
        "outputs (%lld x %lld)",
        p.width, p.height, static_cast<long long>(cxMost),
        static_cast<long long>(cyMost));
  else
    return true;
  return false;
}

// Decodes the rows into p->pixels, mapped once the header is read and its
// size allowed: p->rows of them decoded whole. -1 if the header cannot be
// read, 0 if its size is refused or no memory holds it (noted), else 1.
int Decode(Source *s, int64_t cxMost, int64_t cyMost, PngPicture *p) {
  const PngProcs &pp = g_png;
  png_structp png =
      pp.create_read_struct(PNG_LIBPNG_VER_STRING, s, OnError, OnWarning);
  png_infop info = png ? pp.create_info_struct(png) : nullptr;
  volatile int header = -1;  // set after setjmp, read after the jump
  if (!info) std::snprintf(s->error, sizeof s->error, "out of memory");
  if (info && setjmp(s->jump) == 0) {
    pp.set_read_fn(png, s, Read);
    // Every ancillary chunk but transparency (text, colour profiles, ...)
    // is skipped: none changes the pixels as they are read here.
    pp.set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    pp.read_info(png, info);
    png_uint_32 width, height;
    int depth, color, interlace;
    pp.get_IHDR(png, info, &width, &height, &depth, &color, &interlace, nullptr,
                nullptr);
    p->width = static_cast<int>(width);
    p->height = static_cast<int>(height);
    header = 0;
    size_t cbRow = size_t(width) * 4;
    void *mapped = MAP_FAILED;
    if (SizeAllowed(*p, cxMost, cyMost)) {
      mapped = mmap(nullptr, cbRow * height, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (mapped == MAP_FAILED)
        NoteWhy("no memory for a picture of %d x %d pixels", p->width,
                p->height);
    }
    if (mapped != MAP_FAILED) {
      header = 1;
      p->pixels = static_cast<BYTE *>(mapped);
      p->cbMapped = cbRow * height;
      // Blue, green, red and a fourth byte, 8 bits each.
      pp.set_expand(png);
      pp.set_strip_16(png);
      pp.set_gray_to_rgb(png);
      pp.set_bgr(png);
      pp.set_filler(png, 0, PNG_FILLER_AFTER);
      int passes = pp.set_interlace_handling(png);
      pp.read_update_info(png, info);
      // An interlaced picture is whole only after its last pass, each pass
      // over every row; others row by row, as far as they go.
      for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < p->height; ++y) {
          pp.read_row(png, p->pixels + cbRow * y, nullptr);
          if (passes == 1) p->rows = y + 1;
        }
      p->rows = p->height;
    }
  }
  pp.destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  return header;
}

}  // namespace

bool ReadPng(const BYTE *png, size_t cb, const char *path, int64_t cxMost,
             int64_t cyMost, PngPicture *pPicture) {
  *pPicture = PngPicture();
  if (!LoadPng()) return false;
  if (cb < 8 || g_png.sig_cmp(png, 0, 8) != 0) {
    NoteWhy("%s: not a PNG file", path);
    return false;
  }
  Source s = {png, cb, 0, {}, ""};
  int header = Decode(&s, cxMost, cyMost, pPicture);
  if (header < 0 || (header > 0 && pPicture->rows == 0)) {
    NoteWhy("%s: %s", path, s.error[0] ? s.error : "no row decodes");
    header = 0;
  }
  if (header == 0) {
    FreePng(pPicture);
    return false;
  }
  if (pPicture->rows < pPicture->height)
    NoteAlways("the picture is incomplete (%s); %d of %d rows came", s.error,
               pPicture->rows, pPicture->height);
  return true;
}

bool CopyPngLines(PngPicture *pPicture, int start, int n, BYTE *pBits,
                  size_t cbStride) {
  if (n == 0) return true;
  if (pPicture->released) return false;
  // DIB lines count from the bottom of the rows that came.
  const PngPicture &p = *pPicture;
  size_t cbRow = static_cast<size_t>(p.width) * 4;
  // All of them, as the picture is saved: each strip of rows is let go
  // once copied, so that the picture and the DIB are never held whole at
  // once.
  bool whole = start == 0 && n == p.rows;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const int kStripRows = static_cast<int>((size_t(256) << 10) / cbRow) + 1;
  size_t kept = p.cbMapped;  // the bytes before it are still held
  for (int i = 0; i < n; ++i) {
    int row = p.rows - 1 - (start + i);
    BYTE *line = pBits + cbStride * i;
    std::memcpy(line, p.pixels + cbRow * row, cbRow);
    // The DIB's fourth byte is unused: the PNG's alpha goes.
    for (int x = 0; x < p.width; ++x) line[4 * x + 3] = 0;
    if (whole && (i % kStripRows == kStripRows - 1 || i == n - 1)) {
      // Rows row .. rows-1 are copied: the whole pages from row on go.
      size_t from = (cbRow * row + page - 1) / page * page;
      if (from < kept) madvise(p.pixels + from, kept - from, MADV_DONTNEED);
      if (from < kept) kept = from;
    }
  }
  pPicture->released = whole;
  return true;
}

void FreePng(PngPicture *pPicture) {
  if (pPicture->pixels) munmap(pPicture->pixels, pPicture->cbMapped);
  *pPicture = PngPicture();
}
