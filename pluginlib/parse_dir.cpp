#include "pluginlib/parse_dir.h"

#include <cstdint>

#include "platform/fs.h"

namespace {

bool is_dot_or_dotdot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

double WinDirSize(const char *path, int32_t depth, int32_t limit) {
  if (path == nullptr || depth == limit || !platform_is_directory(path)) {
    return 0.0;
  }
  PlatformDirListing listing(path);
  if (!listing.isOpen()) {
    return 0.0;
  }
  double total = 0.0;
  PlatformDirEntry entry;
  while (listing.next(&entry)) {
    if (is_dot_or_dotdot(entry.name)) {
      continue;
    }
    total += static_cast<double>(entry.size);
    if (entry.isDirectory) {
      char child[PLATFORM_DIR_PATH_MAX];
      // A path that does not fit the buffer is passed over: its listed size
      // counts, its contents do not.
      if (platform_dir_join(child, sizeof child, path, entry.name) >= 0) {
        total += WinDirSize(child, depth + 1, limit);
      }
    }
  }
  return total;
}

int32_t WinDirSizeKB(const char *path, int32_t limit) {
  const double kb = WinDirSize(path, 0, limit) / 1024.0;
  // A tree of 2 TiB or more does not fit the 32-bit result; it saturates
  // rather than wrapping into a negative size.
  if (kb >= 2147483647.0) {
    return INT32_MAX;
  }
  return static_cast<int32_t>(kb);
}
