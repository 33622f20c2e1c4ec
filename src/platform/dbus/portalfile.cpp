// The file the desktop portal names: read only when it is a regular file of
// this user's, and removed only once its picture has served and only when
// it is plainly the portal's fresh file for this request. What another user
// put at the path the portal writes is never read; a picture of the user's
// that was there before is read and left in place. The folder is opened
// once, and the file read and removed in it: a link on the way there that
// changes meanwhile (another user's, in a shared folder) cannot have one
// file read and another removed.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "portal.h"
#include "why.h"

namespace {

// A PNG larger than this is not a screenshot.
const off_t kMaxPngBytes = off_t(1) << 30;

}  // namespace

bool ReadPortalFile(const char *path, PortalFile *pFile) {
  *pFile = PortalFile();
  // The folder as the path names it (links the user made on the way to it
  // are followed), and the file's name in it. The portal names full paths.
  const char *slash = std::strrchr(path, '/');
  size_t cbFolder = slash ? static_cast<size_t>(slash - path) : 0;
  char folder[4096] = "/";
  bool named = slash && slash[1] && cbFolder < sizeof folder;
  if (named && cbFolder > 0) {
    std::memcpy(folder, path, cbFolder);
    folder[cbFolder] = '\0';
  }
  pFile->name = named ? slash + 1 : "";
  int dirFd = named ? open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  // Not a link's target, nor a device or a pipe that would block the open.
  int fd =
      dirFd == -1
          ? -1
          : openat(dirFd, pFile->name,
                   O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd == -1) {
    NoteWhy("cannot open %s (%s)", path,
            !named           ? "not a file's full path"
            : errno == ELOOP ? "a symbolic link"
                             : std::strerror(errno));
    if (dirFd != -1) close(dirFd);
    return false;
  }
  struct stat &st = pFile->st;
  const char *refused = nullptr;
  if (fstat(fd, &st) != 0)
    refused = std::strerror(errno);
  else if (st.st_uid != geteuid())
    refused = "it belongs to another user";
  else if (!S_ISREG(st.st_mode))
    refused = "not a regular file";
  else if (st.st_size <= 0 || st.st_size >= kMaxPngBytes)
    refused = st.st_size <= 0 ? "empty" : "too large for a screenshot";
  if (refused) {
    NoteWhy("%s refused: %s", path, refused);
    close(fd);
    close(dirFd);
    return false;
  }
  size_t cb = static_cast<size_t>(st.st_size), got = 0;
  BYTE *data = static_cast<BYTE *>(std::malloc(cb));
  while (data && got < cb) {
    ssize_t r = read(fd, data + got, cb - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  if (!data || got != cb) {
    NoteWhy("cannot read %s", path);
    std::free(data);
    close(dirFd);
    return false;
  }
  pFile->data = data;
  pFile->cb = cb;
  pFile->dirFd = dirFd;
  return true;
}

void RemovePortalFile(const char *path, PortalFile *pFile,
                      const timespec &asked) {
  const struct stat &st = pFile->st;
  bool fresh =
      st.st_mtim.tv_sec > asked.tv_sec || (st.st_mtim.tv_sec == asked.tv_sec &&
                                           st.st_mtim.tv_nsec >= asked.tv_nsec);
  // The name is removed, in the folder it was read in, only while it is
  // still the file that was read.
  struct stat now;
  if (!fresh)
    NoteAlways("%s left in place: older than the request", path);
  else if (fstatat(pFile->dirFd, pFile->name, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
           now.st_dev != st.st_dev || now.st_ino != st.st_ino)
    NoteAlways("%s left in place: replaced while read", path);
  else if (unlinkat(pFile->dirFd, pFile->name, 0) != 0)
    NoteAlways("%s left in place: %s", path, std::strerror(errno));
  ClosePortalFolder(pFile);
}

void ClosePortalFolder(PortalFile *pFile) {
  if (pFile->dirFd != -1) close(pFile->dirFd);
  pFile->dirFd = -1;
}
