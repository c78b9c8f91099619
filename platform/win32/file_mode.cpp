#include "platform/file_mode.h"

// Windows guards files with access control lists, not with owner, group and
// other bits, and the runtime's mode bits say nothing about other users. The
// agent's directory, where the file lives, is protected by the ACL that its
// installation gives it; no file is reported as readable by others here.
bool platform_file_readable_by_others(const char *path) {
  (void)path;
  return false;
}
