// Loading a module library into a host program and finding its exports.
#pragma once

#include <string>

// An open library: the system's own handle, seen only through these calls.
struct PlatformModule;

// Loads the library at path, binding everything at once. Null on failure,
// with the system's reason in *error.
PlatformModule *platform_module_load(const char *path, std::string *error);

// The address of an exported function, or null.
void *platform_module_symbol(PlatformModule *module, const char *name);

void platform_module_unload(PlatformModule *module);
