// The kernel slice over POSIX: fixed memory blocks, new files, the name
// probe, and no modules to look into.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

const UINT kZeroInit = LPTR;  // LMEM_ZEROINIT and GMEM_ZEROINIT alike
const size_t kHugePage = size_t(2) << 20;

// Every live block is on one list, as the process heap holds it until it
// is freed or the process ends; the list also tells a block of ours from
// any other pointer.
union BlockHeader {
  struct {
    BlockHeader *prev, *next;
    void *base;  // what the C library gave, to free
  } link;
  std::max_align_t align;
};

BlockHeader g_heap = {{&g_heap, &g_heap, nullptr}};

// Where a screen-sized block starts within its first page. Such a block
// holds a screenshot's rows, which the file has 54 bytes into its first
// page, or a palette later. The kernel's copy of them into the file ran at
// half speed when the source trailed the destination by a few dozen bytes
// within a page (4 KiB aliasing: rows at 16 did); from 64 the source runs a
// little ahead of it, or far behind.
const size_t kBlockOffset = 64;
static_assert(sizeof(BlockHeader) <= kBlockOffset, "the header fits before");

void *AllocateBlock(UINT flags, SIZE_T bytes) {
  // Only fixed memory: the pointer is the handle.
  if (flags & ~kZeroInit) return nullptr;
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  size_t total = sizeof(BlockHeader) + bytes;
  void *p = nullptr;
  BlockHeader *b;
  if (total >= kHugePage && bytes <= SIZE_MAX - 2 * kHugePage) {
    // A screen-sized block: in whole huge pages where the kernel offers
    // them, as filling it 4 KiB page by page costs more than the filling.
    size_t rounded = (kBlockOffset + bytes + kHugePage - 1) & ~(kHugePage - 1);
    if (posix_memalign(&p, kHugePage, rounded) != 0) return nullptr;
    madvise(p, rounded, MADV_HUGEPAGE);
    b = reinterpret_cast<BlockHeader *>(static_cast<char *>(p) + kBlockOffset) -
        1;
    if (flags & kZeroInit) std::memset(b + 1, 0, bytes);
  } else {
    p = (flags & kZeroInit) ? std::calloc(1, total) : std::malloc(total);
    if (!p) return nullptr;
    b = static_cast<BlockHeader *>(p);
  }
  b->link.base = p;
  b->link.prev = &g_heap;
  b->link.next = g_heap.link.next;
  g_heap.link.next->link.prev = b;
  g_heap.link.next = b;
  return b + 1;
}

// A file handle is a slot of this table.
struct FileSlot {
  bool inUse;
  int fd;
};
const int kMaxFiles = 64;
FileSlot g_files[kMaxFiles];

thread_local DWORD t_lastError;

FileSlot *FileOf(HANDLE h) {
  for (FileSlot &f : g_files)
    if (h == &f) return f.inUse ? &f : nullptr;
  return nullptr;
}

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  return AllocateBlock(uFlags, uBytes);
}

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  return AllocateBlock(uFlags, dwBytes);
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  if (!hMem) return nullptr;
  for (BlockHeader *b = g_heap.link.next; b != &g_heap; b = b->link.next) {
    if (b + 1 != hMem) continue;
    b->link.prev->link.next = b->link.next;
    b->link.next->link.prev = b->link.prev;
    std::free(b->link.base);
    return nullptr;
  }
  return hMem;  // not a block of ours: failure hands the handle back
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD,
                   HANDLE) {
  t_lastError = ERROR_ACCESS_DENIED;
  if (!lpFileName) return INVALID_HANDLE_VALUE;
  // Only what tusak asks for: a new file, open for reading and writing.
  if (dwDesiredAccess != (GENERIC_READ | GENERIC_WRITE) ||
      dwCreationDisposition != CREATE_NEW)
    return INVALID_HANDLE_VALUE;
  // Never through a symbolic link: a link at the name, dangling or not,
  // fails the call (EEXIST) rather than creating its target.
  int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;

  FileSlot *slot = nullptr;
  for (FileSlot &f : g_files)
    if (!f.inUse) {
      slot = &f;
      break;
    }
  if (!slot) return INVALID_HANDLE_VALUE;
  int fd = open(lpFileName, flags, 0666);  // the umask takes its share
  if (fd == -1) {
    // Something of any kind at the name, as Windows tells it apart.
    t_lastError = errno == EEXIST ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  slot->inUse = true;
  slot->fd = fd;
  return slot;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  FileSlot *f = FileOf(hFile);
  if (!f || lpOverlapped) return FALSE;
  const char *p = static_cast<const char *>(lpBuffer);
  DWORD left = nNumberOfBytesToWrite;
  while (left > 0) {
    ssize_t n = write(f->fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    // Past the file size limit or a full disk the next write fails.
    if (n <= 0) return FALSE;
    p += n;
    left -= static_cast<DWORD>(n);
    if (lpNumberOfBytesWritten)
      *lpNumberOfBytesWritten += static_cast<DWORD>(n);
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  FileSlot *f = FileOf(hObject);
  if (!f) return FALSE;
  f->inUse = false;
  // Delayed write errors of some file systems show here.
  return close(f->fd) == 0 ? TRUE : FALSE;
}

DWORD GetLastError(void) { return t_lastError; }

// Nothing is loaded by name here: every lookup finds nothing.
HMODULE GetModuleHandleA(LPCSTR) { return nullptr; }

FARPROC GetProcAddress(HMODULE, LPCSTR) { return nullptr; }

BOOL ProbeFileName(LPCSTR lpFileName) {
  // Never waits: a FIFO opens at once without a writer, and counts as
  // taken; a terminal is not made the controlling one.
  int fd = open(lpFileName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return FALSE;
  close(fd);
  return TRUE;
}
