// The start of a monitoring module in a program that hosts it, shared by
// varnockd and varnock-walk: open the library, find its six entry points,
// hand init its InitBlock and, when init accepts, call monitorInit. Each
// program words its own messages from the fault these calls report.
#pragma once

#include <stddef.h>

#include <string>

#include "varnock.h"

struct PlatformModule;

namespace varnock {

// An opened module library and its entry points.
struct HostedModule {
  PlatformModule *library = nullptr;
  ModuleInitFn init = nullptr;
  ModuleMonitorInitFn monitorInit = nullptr;
  ModuleBranchFn branch = nullptr;
  ModuleModinfoFn modinfo = nullptr;
  ModuleCallbackFn callback = nullptr;
  ModuleFinishFn finish = nullptr;
  // Position of the module's first variable in the agent library's list,
  // noted as it starts: modules start one after another, so the variables
  // that one registers stand together from there on.
  size_t firstVariable = 0;
};

// Why a module could not be opened or started.
struct ModuleFault {
  enum Kind {
    kNone,
    kCannotLoad,       // detail: the system loader's reason
    kMissingExport,    // detail: the name of the first entry point not found
    kAgentPathTooLong, // the agent path does not fit the InitBlock
    kRefused,          // init returned a negative value
  };
  Kind kind = kNone;
  std::string detail;
};

// Opens the library at file (a name as the system's loader takes it),
// binding every symbol at once so that a module that needs something missing
// fails here and not in the middle of a request, and finds init,
// monitorInit, branch, modinfo, callback and finish. On failure the library
// is closed again and the module holds none.
bool open_module(const std::string &file, HostedModule *module, ModuleFault *fault);

// Hands init an InitBlock whose agent path is agentPath, after noting the
// module's first variable; when init accepts, calls monitorInit and leaves
// the block as init wrote it in *block (the module's name). When init
// refuses, whatever variables it registered are forgotten.
bool init_module(HostedModule *module, const std::string &agentPath, InitBlock *block,
                 ModuleFault *fault);

// Closes the library of a module that is not started, or finished, and
// clears its entry points; open_module may open it again, reading the file
// afresh.
void close_module(HostedModule *module);

} // namespace varnock
