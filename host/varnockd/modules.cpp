// Loading and starting monitoring modules.
#include "host/varnockd/modules.h"

#include <dlfcn.h>
#include <string.h>

#include "varnock_host.h"

namespace varnockd {

namespace {

template <typename Fn>
bool find_export(Module *module, const char *symbol, Fn *fn, std::string *error) {
  dlerror();
  void *address = dlsym(module->handle, symbol);
  if (address == nullptr) {
    *error = module->path + ": not a module: it does not export '" + symbol + "'";
    return false;
  }
  *fn = reinterpret_cast<Fn>(address);
  return true;
}

} // namespace

std::string oid_text(const uint32_t *oid, int32_t length) {
  std::string text;
  for (int32_t i = 0; i < length; ++i) {
    text += '.';
    text += std::to_string(oid[i]);
  }
  return text;
}

bool load_module(Module *module, std::string *error) {
  // Bind every symbol now, so that a module that needs something missing is
  // reported at start-up rather than failing in the middle of a request.
  // A bare file name means the file in the current directory, as on the
  // command line, not a search of the system's library directories.
  const std::string file =
      module->path.find('/') == std::string::npos ? "./" + module->path : module->path;
  module->handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module->handle == nullptr) {
    const char *why = dlerror();
    *error = "cannot load module " + module->path + ": " + (why != nullptr ? why : "unknown error");
    return false;
  }
  if (find_export(module, "init", &module->init, error) &&
      find_export(module, "monitorInit", &module->monitorInit, error) &&
      find_export(module, "branch", &module->branch, error) &&
      find_export(module, "modinfo", &module->modinfo, error) &&
      find_export(module, "callback", &module->callback, error) &&
      find_export(module, "finish", &module->finish, error))
    return true;
  dlclose(module->handle);
  module->handle = nullptr;
  return false;
}

bool start_module(Module *module, const std::string &configDir, std::string *error) {
  InitBlock block;
  memset(&block, 0, sizeof block);
  const std::string agentPath = configDir + "/varnockd";
  if (agentPath.size() >= sizeof block.agentPath) {
    *error = "configuration directory too long for the module: " + configDir;
    return false;
  }
  memcpy(block.agentPath, agentPath.c_str(), agentPath.size() + 1);

  // Modules start one after another, so the variables that this one
  // registers stand together from here on.
  module->firstVariable = VarnockHostVariableCount();
  if (module->init(&block) < 0) {
    // It may have registered variables before it refused.
    VarnockHostForgetVariablesFrom(module->firstVariable);
    *error = module->path + ": the module refused to start (init returned -1); it is not used";
    return false;
  }
  module->name.assign(block.moduleName, strnlen(block.moduleName, sizeof block.moduleName));
  module->monitorInit();

  uint32_t subtree[VARNOCK_MAX_OID_LEN] = {};
  int32_t length = 0;
  if (module->branch(subtree, &length) < 0 || length < 1 || length > VARNOCK_MAX_OID_LEN) {
    module->finish(); // init accepted it
    VarnockHostForgetVariablesFrom(module->firstVariable);
    *error = module->path + ": the module reports no usable subtree; it is not used";
    return false;
  }
  memcpy(module->subtree, subtree, sizeof subtree);
  module->subtreeLength = length;

  char title[256] = {};
  if (module->modinfo(title, static_cast<int32_t>(sizeof title)) >= 0) {
    title[sizeof title - 1] = '\0';
    module->title = title;
  }
  module->started = true;
  return true;
}

void drop_module(Module *module) {
  if (module->started)
    module->finish();
  module->started = false;
  VarnockHostForgetVariablesFrom(module->firstVariable);
}

} // namespace varnockd
