// Loading and starting monitoring modules.
#include "host/varnockd/modules.h"

#include <string.h>

#include <algorithm>

#include "varnock_host.h"

namespace varnockd {

std::string oid_text(const uint32_t *oid, int32_t length) {
  std::string text;
  for (int32_t i = 0; i < length; ++i) {
    text += '.';
    text += std::to_string(oid[i]);
  }
  return text;
}

bool load_module(Module *module, std::string *error) {
  // A bare file name means the file in the current directory, as on the
  // command line, not a search of the system's library directories.
  const std::string file =
      module->path.find('/') == std::string::npos ? "./" + module->path : module->path;
  varnock::ModuleFault fault;
  if (varnock::open_module(file, module, &fault))
    return true;
  if (fault.kind == varnock::ModuleFault::kMissingExport)
    *error = module->path + ": not a module: it does not export '" + fault.detail + "'";
  else
    *error = "cannot load module " + module->path + ": " + fault.detail;
  return false;
}

bool start_module(Module *module, const std::string &configDir, std::string *error) {
  InitBlock block;
  varnock::ModuleFault fault;
  if (!varnock::init_module(module, configDir + "/varnockd", &block, &fault)) {
    if (fault.kind == varnock::ModuleFault::kAgentPathTooLong)
      *error = "configuration directory too long for the module: " + configDir;
    else
      *error = module->path + ": the module refused to start (init returned -1); it is not used";
    return false;
  }
  module->name.assign(block.moduleName, strnlen(block.moduleName, sizeof block.moduleName));

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
  module->variableCount = VarnockHostVariableCount() - module->firstVariable;
  module->started = true;
  return true;
}

void drop_module(std::vector<Module> *modules, size_t index) {
  Module &module = (*modules)[index];
  if (!module.started)
    return;
  module.retired = true;
  VarnockHostForgetVariables(module.firstVariable, module.variableCount);
  for (Module &other : *modules) {
    if (other.firstVariable > module.firstVariable)
      other.firstVariable -=
          std::min(other.firstVariable - module.firstVariable, module.variableCount);
  }
  module.variableCount = 0;
  module.finish();
  module.started = false;
}

void unload_module(Module *module) {
  varnock::close_module(module);
  module->started = false;
}

} // namespace varnockd
