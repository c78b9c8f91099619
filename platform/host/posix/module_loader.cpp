#include "platform/host/module_loader.h"

#include <dlfcn.h>

// A PlatformModule pointer is dlopen's handle itself: nothing to allocate,
// so a module that stays loaded until the process ends leaves nothing behind.

PlatformModule *platform_module_load(const char *path, std::string *error) {
  if (path == nullptr) {
    *error = "no path";
    return nullptr;
  }
  void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *why = dlerror();
    *error = why != nullptr ? why : "unknown error";
    return nullptr;
  }
  return static_cast<PlatformModule *>(handle);
}

void *platform_module_symbol(PlatformModule *module, const char *name) {
  return module != nullptr ? dlsym(module, name) : nullptr;
}

void platform_module_unload(PlatformModule *module) {
  if (module != nullptr) {
    dlclose(module);
  }
}
