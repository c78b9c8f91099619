#include "platform/host/module_loader.h"

#include <windows.h>

#include <cstdio>

// A PlatformModule pointer is the library's HMODULE itself: nothing to
// allocate, so a module that stays loaded until the process ends leaves
// nothing behind.

namespace {

// The system's text for an error code, without its line end.
std::string error_text(DWORD code) {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, sizeof text, nullptr);
  std::string result(text, length);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
    result.pop_back();
  }
  char number[32];
  std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
  return result.empty() ? number : result + " (" + number + ")";
}

} // namespace

PlatformModule *platform_module_load(const char *path, std::string *error) {
  if (path == nullptr) {
    *error = "no path";
    return nullptr;
  }
  const HMODULE handle = LoadLibraryA(path);
  if (handle == nullptr) {
    *error = error_text(GetLastError());
    return nullptr;
  }
  return reinterpret_cast<PlatformModule *>(handle);
}

void *platform_module_symbol(PlatformModule *module, const char *name) {
  if (module == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

void platform_module_unload(PlatformModule *module) {
  if (module != nullptr) {
    FreeLibrary(reinterpret_cast<HMODULE>(module));
  }
}
