#include <cstdint>

#include "collect/processes/footprint.h"
#include "platform/fs.h"

int file_size_kb(const char *path, int32_t *kb) {
  if (path == nullptr || kb == nullptr) {
    return -1;
  }
  uint64_t size = 0;
  bool isDirectory = false;
  if (platform_file_info(path, &size, &isDirectory) != 0 || isDirectory) {
    return -1;
  }
  // Sizes are 64-bit so that logs beyond 2 GiB count right; a file of 2 TiB
  // or more saturates the 32-bit KB value.
  const uint64_t sizeKb = size / 1024;
  *kb = sizeKb > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sizeKb);
  return 0;
}

uint32_t physical_memory_kb(void) { return platform_physical_memory_kb(); }
