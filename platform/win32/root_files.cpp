#include "platform/root_files.h"

// Windows has no root, and Apache there keeps no PID file in a directory
// that only the system writes: nothing is believed on the strength of its
// owner.
bool platform_root_directory(const char *path) {
  (void)path;
  return false;
}

int platform_read_root_file(const char *path, char *buffer, size_t size) {
  (void)path;
  if (buffer != nullptr && size > 0) {
    buffer[0] = '\0';
  }
  return -1;
}

bool platform_plain_file(const char *path) {
  (void)path;
  return false;
}
