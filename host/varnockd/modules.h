// Monitoring modules: loading a module library, starting it with its
// InitBlock, and the calls the daemon makes into it afterwards.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "host/module_host/module_host.h"
#include "varnock.h"

namespace varnockd {

// A module as the daemon uses it: the library and entry points that the
// shared start sequence fills in, and what the daemon learns once it starts.
struct Module : varnock::HostedModule {
  std::string path; // as given on the command line

  bool started = false; // init accepted the agent; the module is in use
  bool retired = false; // taken out of use by drop_module; a reload leaves it out too
  std::string name;     // as the module wrote it into the InitBlock
  std::string title;    // from modinfo
  uint32_t subtree[VARNOCK_MAX_OID_LEN] = {};
  int32_t subtreeLength = 0; // from branch
  size_t variableCount = 0;  // registered by init, from firstVariable on
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

// Takes a started module out of use for good (a reload does not start it
// again): forgets its variables, so that nothing reaches its handlers any
// more, then finishes it. The variables of the modules registered after it
// move up in the list.
void drop_module(std::vector<Module> *modules, size_t index);

// Closes a module's library (not started, or finished); load_module may
// open it again, reading the file afresh.
void unload_module(Module *module);

// Text of an OID in dotted notation.
std::string oid_text(const uint32_t *oid, int32_t length);

} // namespace varnockd
