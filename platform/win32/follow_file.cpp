#include "platform/follow_file.h"

#include <windows.h>

namespace {

PlatformFollowStatus status_of_error(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_NAME:
    return PLATFORM_FOLLOW_MISSING;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
    return PLATFORM_FOLLOW_DENIED;
  case ERROR_PIPE_BUSY:
    return PLATFORM_FOLLOW_NOT_A_FILE;
  default:
    return PLATFORM_FOLLOW_FAILED;
  }
}

// The identity, size and links of an open handle; NOT_A_FILE for a
// directory, a pipe or a character device.
PlatformFollowStatus fill(HANDLE handle, PlatformFileInfo *info) {
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    return PLATFORM_FOLLOW_NOT_A_FILE;
  }
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) {
    return PLATFORM_FOLLOW_FAILED;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return PLATFORM_FOLLOW_NOT_A_FILE;
  }
  if (info != nullptr) {
    info->identity = PlatformFileIdentity{data.dwVolumeSerialNumber,
                                          (static_cast<uint64_t>(data.nFileIndexHigh) << 32) |
                                              data.nFileIndexLow};
    info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->links = data.nNumberOfLinks;
    info->modified = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
  }
  return PLATFORM_FOLLOW_OK;
}

// The log's writer must stay free to rename and delete it while we hold it.
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the file at path for reading, refusing a directory without opening
// it.
PlatformFollowStatus open_file(const char *path, HANDLE *handle) {
  if (path == nullptr) {
    return PLATFORM_FOLLOW_FAILED;
  }
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return status_of_error(GetLastError());
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return PLATFORM_FOLLOW_NOT_A_FILE;
  }
  *handle = CreateFileA(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  return *handle == INVALID_HANDLE_VALUE ? status_of_error(GetLastError()) : PLATFORM_FOLLOW_OK;
}

} // namespace

// Windows keeps access in ACLs and has no owner to check against: owner is
// not used, and nothing is refused.
PlatformFollowStatus PlatformFollowFile::open(const char *path, uint32_t /*owner*/) {
  close();
  HANDLE handle = INVALID_HANDLE_VALUE;
  const PlatformFollowStatus opened = open_file(path, &handle);
  if (opened != PLATFORM_FOLLOW_OK) {
    return opened;
  }
  const PlatformFollowStatus status = fill(handle, nullptr);
  if (status != PLATFORM_FOLLOW_OK) {
    CloseHandle(handle);
    return status;
  }
  handle_ = reinterpret_cast<intptr_t>(handle);
  return PLATFORM_FOLLOW_OK;
}

void PlatformFollowFile::close() {
  if (handle_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
  }
  refusal_ = nullptr;
}

PlatformFollowStatus PlatformFollowFile::info(PlatformFileInfo *info) const {
  if (handle_ == -1) {
    return PLATFORM_FOLLOW_FAILED;
  }
  return fill(reinterpret_cast<HANDLE>(handle_), info);
}

int64_t PlatformFollowFile::readAt(uint64_t offset, char *buffer, size_t size) const {
  if (handle_ == -1 || buffer == nullptr) {
    return -1;
  }
  // ReadFile takes a 32-bit count; the offset rides in the OVERLAPPED
  // block, which a handle opened for plain reads still honours.
  const DWORD wanted = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  OVERLAPPED at;
  ZeroMemory(&at, sizeof at);
  at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, wanted, &got, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return static_cast<int64_t>(got);
}
