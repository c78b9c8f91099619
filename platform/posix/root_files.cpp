#include "platform/root_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

bool root_only(const struct stat &info) {
  return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Closes the descriptor when it goes out of scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) {
      close(fd);
    }
  }
};

} // namespace

bool platform_root_directory(const char *path) {
  struct stat info;
  return path != nullptr && lstat(path, &info) == 0 && S_ISDIR(info.st_mode) && root_only(info);
}

int platform_read_root_file(const char *path, char *buffer, size_t size) {
  if (path == nullptr || buffer == nullptr || size == 0) {
    return -1;
  }
  buffer[0] = '\0';
  const char *slash = std::strrchr(path, '/');
  const std::string directory = slash == nullptr ? "." : std::string(path, slash);
  if (!platform_root_directory(directory.empty() ? "/" : directory.c_str())) {
    return -1;
  }
  Descriptor file{open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || !root_only(info)) {
    return -1;
  }
  size_t length = 0;
  while (length < size - 1) {
    const ssize_t n = read(file.fd, buffer + length, size - 1 - length);
    if (n <= 0) {
      break;
    }
    length += static_cast<size_t>(n);
  }
  buffer[length] = '\0';
  return static_cast<int>(length);
}

bool platform_plain_file(const char *path) {
  struct stat info;
  return path != nullptr && lstat(path, &info) == 0 && S_ISREG(info.st_mode);
}
