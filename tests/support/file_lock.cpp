#include "tests/support/file_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace testsupport {

FileLock::FileLock(const std::string &path) {
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw std::runtime_error("cannot open lock file " + path + ": " + std::strerror(errno));
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const std::string why = std::strerror(errno);
      close(fd_);
      throw std::runtime_error("cannot lock " + path + ": " + why);
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0)
    close(fd_); // releases the lock
}

} // namespace testsupport
