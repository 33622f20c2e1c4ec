// The shared memory pool a Wayland capture's outputs are copied into: one
// for every output, in memory the compositor writes into, and kept for the
// next try while it is large enough, so that frames that fail and are asked
// again cost no new memory.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>

#include "sharedpages.h"
#include "wayland.h"

namespace {

// The outputs' buffers, each at its offset in the pool, made anew.
void MakeBuffers(WaylandDisplay *d, WaylandBitmap *bm) {
  for (int i = 0; i < d->nOutputs; ++i) {
    OutputBuffer &b = d->outputs[i]->buffer;
    if (b.buffer) wl_buffer_destroy(b.buffer);
    b.buffer = nullptr;
    if (d->outputs[i]->gone) continue;
    b.buffer = wl_shm_pool_create_buffer(
        bm->shmPool, static_cast<int32_t>(b.offset),
        static_cast<int32_t>(b.width), static_cast<int32_t>(b.height),
        static_cast<int32_t>(b.stride), b.format);
  }
}

}  // namespace

size_t PlaceBuffers(WaylandDisplay *d) {
  size_t size = 0;
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    OutputBuffer &b = o->buffer;
    if (o->gone) continue;
    if (!b.readable || b.width == 0 || b.height == 0 || b.width > 65535 ||
        b.height > 65535 || b.stride < b.width * ShmBytesPerPixel(b.format))
      return 0;
    // A pool's size is a signed 32-bit number, checked before the product
    // that could wrap a 32-bit size_t.
    if (b.stride > (INT32_MAX - size) / b.height) return 0;
    b.offset = size;
    size += size_t(b.stride) * b.height;
  }
  return size;
}

bool MakePool(WaylandDisplay *d, WaylandBitmap *bm) {
  size_t size = PlaceBuffers(d);
  if (size == 0) return false;
  if (bm->shmPool && size <= bm->poolSize) {
    MakeBuffers(d, bm);
    return true;
  }
  int fd = MakeSharedMemory("tusak-capture", size);
  if (fd == -1) return false;
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  wl_shm_pool *pool =
      p == MAP_FAILED
          ? nullptr
          : wl_shm_create_pool(d->shm, fd, static_cast<int32_t>(size));
  if (!pool) {
    close(fd);
    if (p != MAP_FAILED) munmap(p, size);
    return false;
  }
  // The compositor keeps the old pool's memory while its buffers live.
  if (bm->shmPool) wl_shm_pool_destroy(bm->shmPool);
  if (bm->pool) munmap(bm->pool, bm->poolSize);
  if (bm->poolFd >= 0) close(bm->poolFd);
  bm->shmPool = pool;
  bm->pool = static_cast<BYTE *>(p);
  bm->poolSize = size;
  bm->poolFd = fd;
  MakeBuffers(d, bm);
  return true;
}

void FillPool(WaylandDisplay *d, WaylandBitmap *bm) {
  wl_display_flush(d->display);
  if (bm->poolFd < 0) return;
  // Each page the compositor's copy finds missing costs it a fault that
  // allocates and clears it, one at a time; given here, on the other core,
  // the copy is that much shorter. From the end, as the copy starts at the
  // top: the two meet rather than both wanting the same pages.
  const size_t kChunk = size_t(1) << 20;
  for (size_t end = bm->poolSize; end > 0;) {
    size_t begin = end > kChunk ? end - kChunk : 0;
    if (fallocate(bm->poolFd, 0, static_cast<off_t>(begin),
                  static_cast<off_t>(end - begin)) != 0)
      break;  // no matter: the compositor's faults give them
    end = begin;
  }
  close(bm->poolFd);
  bm->poolFd = -1;
}

// Mapped here in one go rather than a fault at a time (Linux 5.14 and
// later; elsewhere this does nothing), widened to whole pages.
void MapPages(const BYTE *from, const BYTE *to) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t a = reinterpret_cast<uintptr_t>(from) & ~(page - 1);
  uintptr_t b = (reinterpret_cast<uintptr_t>(to) + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void *>(a), b - a, MADV_POPULATE_READ);
}

// The whole pages within from..to, read: out of this process's map again,
// so that it never holds the pool and the DIB rows whole at once. The
// compositor's copy stays in the pool, should they be read again.
void UnmapPages(const BYTE *from, const BYTE *to) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t a = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
  if (a < b) madvise(reinterpret_cast<void *>(a), b - a, MADV_DONTNEED);
}
