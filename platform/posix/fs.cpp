#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

struct PlatformDirHandle {
  DIR *dir;
  int fd;
};

namespace {

bool is_dot_or_dotdot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

PlatformDirListing::PlatformDirListing(const char *path) {
  if (path == nullptr) {
    return;
  }
  DIR *dir = opendir(path);
  if (dir == nullptr) {
    return;
  }
  handle_ = new (std::nothrow) PlatformDirHandle{dir, dirfd(dir)};
  if (handle_ == nullptr) {
    closedir(dir);
  }
}

PlatformDirListing::~PlatformDirListing() {
  if (handle_ != nullptr) {
    closedir(handle_->dir);
    delete handle_;
  }
}

bool PlatformDirListing::next(PlatformDirEntry *entry) {
  if (handle_ == nullptr || entry == nullptr) {
    return false;
  }
  for (;;) {
    const dirent *d = readdir(handle_->dir);
    if (d == nullptr) {
      return false;
    }
    if (is_dot_or_dotdot(d->d_name)) {
      // Reported like the Windows listing does, without asking the disk.
      *entry = PlatformDirEntry{d->d_name, 0, true};
      return true;
    }
    struct stat info;
    if (fstatat(handle_->fd, d->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue; // gone since the listing was read
    }
    *entry =
        PlatformDirEntry{d->d_name, static_cast<uint64_t>(info.st_size), S_ISDIR(info.st_mode)};
    return true;
  }
}

bool platform_is_directory(const char *path) {
  struct stat info;
  return path != nullptr && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

int platform_dir_join(char *buffer, size_t size, const char *directory, const char *name) {
  if (buffer == nullptr || size == 0 || directory == nullptr || name == nullptr) {
    return -1;
  }
  const int length = std::snprintf(buffer, size, "%s/%s", directory, name);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    buffer[0] = '\0';
    return -1;
  }
  return length;
}

int platform_file_info(const char *path, uint64_t *size, bool *isDirectory) {
  struct stat info;
  if (path == nullptr || stat(path, &info) != 0) {
    return -1;
  }
  if (size != nullptr) {
    *size = static_cast<uint64_t>(info.st_size);
  }
  if (isDirectory != nullptr) {
    *isDirectory = S_ISDIR(info.st_mode);
  }
  return 0;
}

uint32_t platform_physical_memory_kb(void) {
  struct sysinfo info;
  if (sysinfo(&info) != 0) {
    return 0;
  }
  const unsigned long long kb =
      (static_cast<unsigned long long>(info.totalram) * info.mem_unit) >> 10;
  return kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
}

int platform_replace_file(const char *path, const char *data, size_t size) {
  char temporary[PLATFORM_DIR_PATH_MAX];
  const int n = snprintf(temporary, sizeof temporary, "%s.new", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) {
    return -1;
  }
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return -1;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < size;) {
    const ssize_t wrote = write(fd, data + done, size - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    ok = wrote > 0;
    done += ok ? static_cast<size_t>(wrote) : 0;
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temporary, path) != 0) {
    unlink(temporary);
    return -1;
  }
  // The rename itself is made durable with the directory.
  std::string directory(path);
  const size_t slash = directory.rfind('/');
  directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
  const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);
    close(dir);
  }
  return 0;
}
