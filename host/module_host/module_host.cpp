// Opening and starting monitoring modules, for every program that hosts them.
#include "host/module_host/module_host.h"

#include <string.h>

#include "platform/host/module_loader.h"
#include "varnock_host.h"

namespace varnock {

namespace {

template <typename Fn>
bool find_export(HostedModule *module, const char *symbol, Fn *fn, ModuleFault *fault) {
  void *address = platform_module_symbol(module->library, symbol);
  if (address == nullptr) {
    fault->kind = ModuleFault::kMissingExport;
    fault->detail = symbol;
    return false;
  }
  *fn = reinterpret_cast<Fn>(address);
  return true;
}

} // namespace

bool open_module(const std::string &file, HostedModule *module, ModuleFault *fault) {
  std::string why;
  module->library = platform_module_load(file.c_str(), &why);
  if (module->library == nullptr) {
    fault->kind = ModuleFault::kCannotLoad;
    fault->detail = why;
    return false;
  }
  if (find_export(module, "init", &module->init, fault) &&
      find_export(module, "monitorInit", &module->monitorInit, fault) &&
      find_export(module, "branch", &module->branch, fault) &&
      find_export(module, "modinfo", &module->modinfo, fault) &&
      find_export(module, "callback", &module->callback, fault) &&
      find_export(module, "finish", &module->finish, fault))
    return true;
  close_module(module);
  return false;
}

bool init_module(HostedModule *module, const std::string &agentPath, InitBlock *block,
                 ModuleFault *fault) {
  memset(block, 0, sizeof *block);
  if (agentPath.size() >= sizeof block->agentPath) {
    fault->kind = ModuleFault::kAgentPathTooLong;
    fault->detail.clear();
    return false;
  }
  memcpy(block->agentPath, agentPath.c_str(), agentPath.size() + 1);

  module->firstVariable = VarnockHostVariableCount();
  if (module->init(block) < 0) {
    // It may have registered variables before it refused.
    VarnockHostForgetVariablesFrom(module->firstVariable);
    fault->kind = ModuleFault::kRefused;
    fault->detail.clear();
    return false;
  }
  module->monitorInit();
  return true;
}

void close_module(HostedModule *module) {
  if (module->library != nullptr)
    platform_module_unload(module->library);
  module->library = nullptr;
  module->init = nullptr;
  module->monitorInit = nullptr;
  module->branch = nullptr;
  module->modinfo = nullptr;
  module->callback = nullptr;
  module->finish = nullptr;
}

} // namespace varnock
