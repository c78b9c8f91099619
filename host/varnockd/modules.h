// Monitoring modules: loading a module library, starting it with its
// InitBlock, and the calls the daemon makes into it afterwards.
#pragma once

#include <stdint.h>

#include <string>

#include "varnock.h"

namespace varnockd {

struct Module {
  std::string path;
  void *handle = nullptr;
  ModuleInitFn init = nullptr;
  ModuleMonitorInitFn monitorInit = nullptr;
  ModuleBranchFn branch = nullptr;
  ModuleModinfoFn modinfo = nullptr;
  ModuleCallbackFn callback = nullptr;
  ModuleFinishFn finish = nullptr;

  bool started = false; // init accepted the agent; the module is in use
  std::string name;     // as the module wrote it into the InitBlock
  std::string title;    // from modinfo
  uint32_t subtree[VARNOCK_MAX_OID_LEN] = {};
  int32_t subtreeLength = 0; // from branch
  // Position of the module's first variable in the agent library's list.
  size_t firstVariable = 0;
};

// Opens the library at module->path and finds its six entry points. On
// failure *error says why (the loader's own message, or the missing export).
bool load_module(Module *module, std::string *error);

// Builds the InitBlock with agent path "<configDir>/varnockd", calls init
// and, when init accepts, monitorInit, branch and modinfo. Returns true when
// the module is in use; false with *error when init refused it or its
// subtree is unusable (the module is then not used, and whatever variables
// it registered are forgotten).
bool start_module(Module *module, const std::string &configDir, std::string *error);

// Takes a started module out of use: finishes it and forgets its variables,
// so that no request reaches its handlers.
void drop_module(Module *module);

// Text of an OID in dotted notation.
std::string oid_text(const uint32_t *oid, int32_t length);

} // namespace varnockd
