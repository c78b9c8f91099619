#include "platform/follow_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

// Symbolic links followed in one lookup before giving up, as the kernel's
// own limit.
constexpr int LINK_LIMIT = 40;

const char *const THROUGH_LINK = "reached through a link another user could change";
const char *const OPEN_DIRECTORY = "in a directory another user may write";
const char *const OTHER_OWNER = "owned by another user";
const char *const HARD_LINKS = "has other names (hard links)";

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

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};

bool trusted_user(uid_t uid, uint32_t owner) { return uid == 0 || uid == owner; }

// How far a directory's entries can be trusted: only root and owner can
// change them (theirs, not writable by others, and writable by its group only
// when that group is root's); or, in a sticky directory of theirs that others
// may write (/tmp), others may add entries but cannot rename or remove one
// they do not own, so an entry of root's or owner's is still theirs; or not
// at all.
enum class DirectoryTrust { Whole, OwnEntriesOnly, None };

DirectoryTrust directory_trust(const struct stat &st, uint32_t owner) {
  if (!trusted_user(st.st_uid, owner)) {
    return DirectoryTrust::None;
  }
  const bool othersWrite =
      (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0);
  if (!othersWrite) {
    return DirectoryTrust::Whole;
  }
  return (st.st_mode & S_ISVTX) != 0 ? DirectoryTrust::OwnEntriesOnly : DirectoryTrust::None;
}

// Why the regular file file, in directory, is not to be read; nullptr when
// it may be. In a directory of the (non-root) owner, a file of root's may be
// a hard link that owner made to a secret: only owner's own files with one
// name are taken there.
const char *file_refusal(const struct stat &file, const struct stat &directory, uint32_t owner) {
  if (!trusted_user(file.st_uid, owner)) {
    return OTHER_OWNER;
  }
  if (owner != 0 && directory.st_uid == owner) {
    if (file.st_uid != owner) {
      return OTHER_OWNER;
    }
    if (file.st_nlink != 1) {
      return HARD_LINKS;
    }
  }
  return nullptr;
}

// Resolves path one name at a time from "/", never following a link or
// opening anything on the way but as a bare reference (O_PATH), checking
// each directory and link against owner, and opens the regular file it
// ends at for reading relative to its directory.
PlatformFollowStatus open_trusted(const char *path, uint32_t owner, int *out, const char **why) {
  std::string todo;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      return PLATFORM_FOLLOW_FAILED;
    }
    todo = cwd;
    todo += '/';
  }
  todo += path;

  Descriptor directory;
  struct stat directoryStat;
  const auto enterRoot = [&]() {
    directory.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return directory.get() >= 0 && fstat(directory.get(), &directoryStat) == 0;
  };
  if (!enterRoot()) {
    return PLATFORM_FOLLOW_FAILED;
  }
  DirectoryTrust trust = directory_trust(directoryStat, owner);
  if (trust == DirectoryTrust::None) {
    *why = OPEN_DIRECTORY;
    return PLATFORM_FOLLOW_REFUSED;
  }
  size_t at = 0;
  int links = 0;
  for (;;) {
    while (at < todo.size() && todo[at] == '/') {
      ++at;
    }
    if (at == todo.size()) {
      return PLATFORM_FOLLOW_NOT_A_FILE; // the path ends at a directory
    }
    size_t end = todo.find('/', at);
    if (end == std::string::npos) {
      end = todo.size();
    }
    const std::string name = todo.substr(at, end - at);
    at = end;
    const bool last = todo.find_first_not_of('/', at) == std::string::npos;
    if (name == ".") {
      continue;
    }
    Descriptor entry(openat(directory.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (entry.get() < 0) {
      return status_of_errno(errno);
    }
    if (fstat(entry.get(), &st) != 0) {
      return PLATFORM_FOLLOW_FAILED;
    }
    // In a sticky directory that others may write, only an entry of root's
    // or owner's (with one name, for a file: another's hard link to a
    // secret would have more) is theirs to have put there.
    if (trust == DirectoryTrust::OwnEntriesOnly &&
        (!trusted_user(st.st_uid, owner) || (S_ISREG(st.st_mode) && st.st_nlink != 1))) {
      *why = OPEN_DIRECTORY;
      return PLATFORM_FOLLOW_REFUSED;
    }
    if (S_ISLNK(st.st_mode)) {
      // The link sits in a directory already found trusted; the link
      // itself must be too, as whoever owns it decides where it points.
      if (++links > LINK_LIMIT) {
        return PLATFORM_FOLLOW_FAILED;
      }
      if (!trusted_user(st.st_uid, owner)) {
        *why = THROUGH_LINK;
        return PLATFORM_FOLLOW_REFUSED;
      }
      char target[PATH_MAX];
      const ssize_t length = readlinkat(entry.get(), "", target, sizeof target);
      if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return PLATFORM_FOLLOW_FAILED;
      }
      todo = std::string(target, static_cast<size_t>(length)) + todo.substr(at);
      at = 0;
      if (target[0] == '/') {
        if (!enterRoot()) {
          return PLATFORM_FOLLOW_FAILED;
        }
        trust = directory_trust(directoryStat, owner); // "/" was found trusted at the start
      }
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (last) {
        return PLATFORM_FOLLOW_NOT_A_FILE;
      }
      trust = directory_trust(st, owner);
      if (trust == DirectoryTrust::None) {
        *why = OPEN_DIRECTORY;
        return PLATFORM_FOLLOW_REFUSED;
      }
      directory.reset(entry.release());
      directoryStat = st;
      continue;
    }
    if (!last) {
      return PLATFORM_FOLLOW_MISSING; // a file where a directory should be
    }
    if (!S_ISREG(st.st_mode)) {
      return PLATFORM_FOLLOW_NOT_A_FILE; // never opened: a FIFO would wait
    }
    if ((*why = file_refusal(st, directoryStat, owner)) != nullptr) {
      return PLATFORM_FOLLOW_REFUSED;
    }
    // O_NOFOLLOW and O_NONBLOCK: whatever replaced the file since the look
    // is neither followed nor waited on, and is refused unless it is the
    // very file that was looked at.
    Descriptor file(openat(directory.get(), name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
      return errno == ELOOP ? PLATFORM_FOLLOW_FAILED : status_of_errno(errno);
    }
    struct stat opened;
    if (fstat(file.get(), &opened) != 0) {
      return PLATFORM_FOLLOW_FAILED;
    }
    if (!S_ISREG(opened.st_mode)) {
      return PLATFORM_FOLLOW_NOT_A_FILE;
    }
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
      return PLATFORM_FOLLOW_FAILED; // replaced while being opened
    }
    if ((*why = file_refusal(opened, directoryStat, owner)) != nullptr) {
      return PLATFORM_FOLLOW_REFUSED;
    }
    *out = file.release();
    return PLATFORM_FOLLOW_OK;
  }
}

} // namespace

PlatformFollowStatus PlatformFollowFile::open(const char *path, uint32_t owner) {
  close();
  if (path == nullptr || path[0] == '\0') {
    return PLATFORM_FOLLOW_FAILED;
  }
  int fd = -1;
  const PlatformFollowStatus status = open_trusted(path, owner, &fd, &refusal_);
  if (status != PLATFORM_FOLLOW_REFUSED) {
    refusal_ = nullptr;
  }
  if (status == PLATFORM_FOLLOW_OK) {
    handle_ = fd;
  }
  return status;
}

void PlatformFollowFile::close() {
  if (handle_ != -1) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
  refusal_ = nullptr;
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
