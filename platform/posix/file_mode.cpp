#include "platform/file_mode.h"

#include <sys/stat.h>

bool platform_file_readable_by_others(const char *path) {
  struct stat info;
  if (path == nullptr || stat(path, &info) != 0) {
    return false;
  }
  return (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}
