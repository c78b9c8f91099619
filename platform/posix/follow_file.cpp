#include "platform/follow_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

PlatformFollowStatus status_of_errno(int error) {
  switch (error) {
  case ENOENT:
  case ENOTDIR:
    return PLATFORM_FOLLOW_MISSING;
  case EACCES:
  case EPERM:
    return PLATFORM_FOLLOW_DENIED;
  case ENXIO: // a socket, or a device without its driver
  case ENODEV:
    return PLATFORM_FOLLOW_NOT_A_FILE;
  default:
    return PLATFORM_FOLLOW_FAILED;
  }
}

PlatformFollowStatus fill(const struct stat &st, PlatformFileInfo *info) {
  if (!S_ISREG(st.st_mode)) {
    return PLATFORM_FOLLOW_NOT_A_FILE;
  }
  if (info != nullptr) {
    info->identity =
        PlatformFileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    info->size = st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
    info->links = static_cast<uint32_t>(st.st_nlink);
    info->modified = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(st.st_mtim.tv_nsec);
  }
  return PLATFORM_FOLLOW_OK;
}

} // namespace

PlatformFollowStatus platform_follow_path_info(const char *path, PlatformFileInfo *info) {
  struct stat st;
  if (path == nullptr) {
    return PLATFORM_FOLLOW_FAILED;
  }
  if (stat(path, &st) != 0) {
    return status_of_errno(errno);
  }
  return fill(st, info);
}

PlatformFollowStatus PlatformFollowFile::open(const char *path) {
  close();
  // Looking first keeps devices from being opened at all (opening some has
  // effects); O_NONBLOCK keeps a FIFO that appears between the look and the
  // open from holding us, and the descriptor's own type decides.
  const PlatformFollowStatus seen = platform_follow_path_info(path, nullptr);
  if (seen != PLATFORM_FOLLOW_OK) {
    return seen;
  }
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return status_of_errno(errno);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    ::close(fd);
    return PLATFORM_FOLLOW_FAILED;
  }
  const PlatformFollowStatus status = fill(st, nullptr);
  if (status != PLATFORM_FOLLOW_OK) {
    ::close(fd);
    return status;
  }
  handle_ = fd;
  return PLATFORM_FOLLOW_OK;
}

void PlatformFollowFile::close() {
  if (handle_ != -1) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

PlatformFollowStatus PlatformFollowFile::info(PlatformFileInfo *info) const {
  struct stat st;
  if (handle_ == -1 || fstat(static_cast<int>(handle_), &st) != 0) {
    return PLATFORM_FOLLOW_FAILED;
  }
  return fill(st, info);
}

int64_t PlatformFollowFile::readAt(uint64_t offset, char *buffer, size_t size) const {
  if (handle_ == -1 || buffer == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) {
    return -1;
  }
  for (;;) {
    const ssize_t got = pread(static_cast<int>(handle_), buffer, size, static_cast<off_t>(offset));
    if (got >= 0) {
      return got;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}
