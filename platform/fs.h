// The file-system calls of the footprint collector: directory listings in the
// FindFirstFile/FindNextFile model, file sizes, and the machine's memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The longest path, terminating NUL included, that the directory walk builds.
#if defined(_WIN32)
#define PLATFORM_DIR_PATH_MAX 260
#else
#define PLATFORM_DIR_PATH_MAX 4096
#endif

// One entry of a directory listing. name is valid until the next call of
// next() on the listing that produced it. A symbolic link is reported as the
// link itself and is never a directory.
struct PlatformDirEntry {
  const char *name;
  uint64_t size; // bytes, as the listing reports them
  bool isDirectory;
};

struct PlatformDirHandle;

// One open listing of a directory; closed when it goes out of scope. The
// listing includes "." and "..", as the Windows listing does.
class PlatformDirListing {
public:
  explicit PlatformDirListing(const char *path);
  ~PlatformDirListing();
  PlatformDirListing(const PlatformDirListing &) = delete;
  PlatformDirListing &operator=(const PlatformDirListing &) = delete;

  // False when the directory could not be listed.
  bool isOpen() const { return handle_ != nullptr; }
  // The next entry; false when there are no more.
  bool next(PlatformDirEntry *entry);

private:
  PlatformDirHandle *handle_ = nullptr;
};

// True when path names an existing directory, or a symbolic link to one (a
// document root is often such a link; entries of a listing are never
// followed).
bool platform_is_directory(const char *path);

// Joins a directory and an entry name with the platform's separator into
// buffer. The length of the result, or -1 when it does not fit into size
// bytes (buffer then holds no usable path).
int platform_dir_join(char *buffer, size_t size, const char *directory, const char *name);

// Size and type of the file at path, following symbolic links. 0 on success,
// -1 when the file cannot be examined.
int platform_file_info(const char *path, uint64_t *size, bool *isDirectory);

// Total physical memory in KB; UINT32_MAX when it does not fit, 0 when unknown.
uint32_t platform_physical_memory_kb(void);

// Replaces the file at path with size bytes of data as one step: they are
// written to a temporary file next to it (mode 0600), flushed to the disk,
// and renamed over path, so that a crash at any moment leaves either the old
// file or the new one whole. 0 on success, -1 on failure (path unchanged).
int platform_replace_file(const char *path, const char *data, size_t size);
