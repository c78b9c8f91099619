// An exclusive lock on a file (flock), held for the object's life: lets the
// test processes that ctest runs side by side take turns at a shared step,
// such as building the package or installing the build tree.
#pragma once

#include <string>

namespace testsupport {

class FileLock {
public:
  // Creates the file when needed and waits until the lock is ours. Throws
  // std::runtime_error when the file cannot be opened.
  explicit FileLock(const std::string &path);
  ~FileLock();
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

private:
  int fd_ = -1;
};

} // namespace testsupport
