// Reading a file that another process keeps appending to (an access log):
// a read-only handle that never blocks on what is not a regular file and
// refuses a file that a user other than root and the file's expected owner
// could have put in its place, the file's identity (which survives a rename
// and tells a re-created file from the old one), its size, and reads at an
// offset.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum PlatformFollowStatus : int32_t {
  PLATFORM_FOLLOW_OK = 0,
  PLATFORM_FOLLOW_MISSING = 1,    // no such file
  PLATFORM_FOLLOW_NOT_A_FILE = 2, // a directory, a FIFO, a socket, a device
  PLATFORM_FOLLOW_DENIED = 3,     // no permission
  PLATFORM_FOLLOW_FAILED = 4,     // any other failure
  PLATFORM_FOLLOW_REFUSED = 5,    // not trusted (see PlatformFollowFile::refusal)
};

// Device and inode on POSIX; volume serial number and file index on Windows.
struct PlatformFileIdentity {
  uint64_t volume;
  uint64_t index;
};

inline bool operator==(const PlatformFileIdentity &a, const PlatformFileIdentity &b) {
  return a.volume == b.volume && a.index == b.index;
}
inline bool operator!=(const PlatformFileIdentity &a, const PlatformFileIdentity &b) {
  return !(a == b);
}

struct PlatformFileInfo {
  PlatformFileIdentity identity;
  uint64_t size;  // bytes
  uint32_t links; // names the file has; 0 once it is deleted
  // When it was last written, in units of the system's own (comparable
  // between files of one system only).
  uint64_t modified;
};

// One read-only handle on a regular file, closed when it goes out of scope.
// The file stays renamable and deletable while it is open.
class PlatformFollowFile {
public:
  PlatformFollowFile() = default;
  ~PlatformFollowFile() { close(); }
  PlatformFollowFile(const PlatformFollowFile &) = delete;
  PlatformFollowFile &operator=(const PlatformFollowFile &) = delete;

  // Opens path (closing what was open), looking its name up once. Anything
  // but a regular file is refused as NOT_A_FILE without being read, and
  // without waiting on it. On POSIX the path is trusted only when nobody
  // but root and owner (0: root alone) could have decided what it names:
  // every directory on the way and every symbolic link followed belong to
  // one of them and no other user may write those directories, and the
  // file is theirs; in a directory that owner holds, the file must be
  // owner's with no other name. Anything else is REFUSED, and refusal()
  // says why. Windows has no such check.
  PlatformFollowStatus open(const char *path, uint32_t owner);
  void close();
  // Why the last open was REFUSED (a fixed text); nullptr otherwise.
  const char *refusal() const { return refusal_; }
  bool isOpen() const { return handle_ != -1; }

  // The open file's identity, size and links.
  PlatformFollowStatus info(PlatformFileInfo *info) const;

  // Up to size bytes from offset into buffer: the count read, 0 at the end
  // of the file, -1 on failure. The handle's own position is not used.
  int64_t readAt(uint64_t offset, char *buffer, size_t size) const;

private:
  intptr_t handle_ = -1; // a descriptor, or a Windows HANDLE
  const char *refusal_ = nullptr;
};
