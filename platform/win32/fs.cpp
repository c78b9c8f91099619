#include "platform/fs.h"

#include <windows.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <new>

struct PlatformDirHandle {
  HANDLE find;
  WIN32_FIND_DATAA data;
  bool pending; // data holds an entry that next() has not handed out yet
};

namespace {

// A directory link (junction or symbolic link) carries the directory
// attribute too; it is reported as itself and never walked into, so that a
// link to a parent cannot multiply the walk.
bool is_walkable_directory(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

} // namespace

PlatformDirListing::PlatformDirListing(const char *path) {
  if (path == nullptr) {
    return;
  }
  char pattern[PLATFORM_DIR_PATH_MAX];
  const int length = std::snprintf(pattern, sizeof pattern, "%s\\*.*", path);
  if (length < 0 || static_cast<size_t>(length) >= sizeof pattern) {
    return; // longer than any path the system lists
  }
  auto *handle = new (std::nothrow) PlatformDirHandle{};
  if (handle == nullptr) {
    return;
  }
  handle->find = FindFirstFileA(pattern, &handle->data);
  if (handle->find == INVALID_HANDLE_VALUE) {
    delete handle;
    return;
  }
  handle->pending = true;
  handle_ = handle;
}

PlatformDirListing::~PlatformDirListing() {
  if (handle_ != nullptr) {
    FindClose(handle_->find);
    delete handle_;
  }
}

bool PlatformDirListing::next(PlatformDirEntry *entry) {
  if (handle_ == nullptr || entry == nullptr) {
    return false;
  }
  if (!handle_->pending && !FindNextFileA(handle_->find, &handle_->data)) {
    return false;
  }
  handle_->pending = false;
  const WIN32_FIND_DATAA &d = handle_->data;
  const uint64_t size =
      (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | static_cast<uint64_t>(d.nFileSizeLow);
  *entry = PlatformDirEntry{d.cFileName, size, is_walkable_directory(d.dwFileAttributes)};
  return true;
}

bool platform_is_directory(const char *path) {
  if (path == nullptr) {
    return false;
  }
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int platform_dir_join(char *buffer, size_t size, const char *directory, const char *name) {
  if (buffer == nullptr || size == 0 || directory == nullptr || name == nullptr) {
    return -1;
  }
  const int length = std::snprintf(buffer, size, "%s\\%s", directory, name);
  if (length < 0 || static_cast<size_t>(length) >= size) {
    buffer[0] = '\0';
    return -1;
  }
  return length;
}

int platform_file_info(const char *path, uint64_t *size, bool *isDirectory) {
  // The 64-bit size variant of _stat: a log beyond 2 GiB keeps its size
  // instead of wrapping into a negative number.
  struct _stati64 info;
  if (path == nullptr || _stati64(path, &info) != 0) {
    return -1;
  }
  if (size != nullptr) {
    *size = info.st_size < 0 ? 0 : static_cast<uint64_t>(info.st_size);
  }
  if (isDirectory != nullptr) {
    *isDirectory = (info.st_mode & _S_IFMT) == _S_IFDIR;
  }
  return 0;
}

uint32_t platform_physical_memory_kb(void) {
  MEMORYSTATUS status;
  ZeroMemory(&status, sizeof status);
  // The structure's length as the 32-bit system defines it.
  static_assert(sizeof(MEMORYSTATUS) == 32 || sizeof(void *) != 4, "MEMORYSTATUS is 32 bytes");
  status.dwLength = 32;
  GlobalMemoryStatus(&status);
  return static_cast<uint32_t>(static_cast<uint64_t>(status.dwTotalPhys) >> 10);
}

int platform_replace_file(const char *path, const char *data, size_t size) {
  char temporary[PLATFORM_DIR_PATH_MAX];
  const int n = snprintf(temporary, sizeof temporary, "%s.new", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) {
    return -1;
  }
  HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return -1;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < size;) {
    const size_t left = size - done;
    const DWORD want = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD wrote = 0;
    ok = WriteFile(file, data + done, want, &wrote, nullptr) != 0 && wrote > 0;
    done += wrote;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  ok = CloseHandle(file) != 0 && ok;
  if (!ok ||
      MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    DeleteFileA(temporary);
    return -1;
  }
  return 0;
}
