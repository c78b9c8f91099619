// varnock-walk [--config-dir DIR] [--debug] --module PATH [--module PATH ...]
//
// Loads each module, starts it with the agent path DIR<separator>varnock-walk
// (so the module reads its configuration from DIR), runs each module's
// callback once, then walks every registered variable from the start of the
// OID tree with the agent library's get-next, as the daemon answers an SNMP
// walk. It prints the table that `varnockd --dump` prints: one row per
// answer with the variable's name, the instance (the answer's arcs after the
// variable's own prefix), the type and the value.
#include <stdio.h>

#include <string>
#include <vector>

#include "host/dump/dump_table.h"
#include "host/module_host/module_host.h"
#include "platform/host/socket_library.h"
#include "platform/path.h"
#include "varnock.h"
#include "varnock_host.h"

namespace {

constexpr char kProgram[] = "varnock-walk";

struct Options {
  std::string configDir = ".";
  std::vector<std::string> modules;
  bool debug = false;
};

void print_usage(FILE *out) {
  fprintf(out,
          "Usage: %s [--config-dir DIR] [--debug] --module PATH [--module PATH ...]\n"
          "\n"
          "Loads the modules, starts them with DIR as the agent's directory (where\n"
          "ostrik.cf is read; default: the current directory), walks every variable\n"
          "they answer and prints one row per instance: name, instance, type, value.\n",
          kProgram);
}

// 0: run; 1: error; 2: help shown.
int parse_options(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_usage(stdout);
      return 2;
    }
    if (arg == "--debug") {
      options->debug = true;
    } else if ((arg == "--config-dir" || arg == "--module") && i + 1 < argc) {
      (arg == "--module" ? options->modules.emplace_back() : options->configDir) = argv[++i];
    } else {
      fprintf(stderr, "%s: unknown or incomplete option '%s'\n", kProgram, arg.c_str());
      return 1;
    }
  }
  if (options->modules.empty()) {
    fprintf(stderr, "%s: no module to load: name one with --module PATH\n", kProgram);
    return 1;
  }
  return 0;
}

// The started modules. They stay loaded until the process ends, as in the
// agent (a module keeps state that its callers' answers point into); the
// list itself is never destroyed, so it is still there at that end.
std::vector<varnock::HostedModule> &started_modules() {
  static auto *modules = new std::vector<varnock::HostedModule>;
  return *modules;
}

bool start_module(const std::string &path, const std::string &agentPath) {
  varnock::HostedModule module;
  varnock::ModuleFault fault;
  if (!varnock::open_module(path, &module, &fault)) {
    if (fault.kind == varnock::ModuleFault::kMissingExport)
      fprintf(stderr,
              "%s: %s is not a module: init, monitorInit, branch, modinfo, callback or finish "
              "is missing\n",
              kProgram, path.c_str());
    else
      fprintf(stderr, "%s: cannot load module %s: %s\n", kProgram, path.c_str(),
              fault.detail.c_str());
    return false;
  }
  InitBlock block;
  if (!varnock::init_module(&module, agentPath, &block, &fault)) {
    if (fault.kind == varnock::ModuleFault::kAgentPathTooLong)
      fprintf(stderr, "%s: configuration directory too long for the module\n", kProgram);
    else
      fprintf(stderr, "%s: %s refused to start (init returned -1)\n", kProgram, path.c_str());
    return false;
  }
  started_modules().push_back(module);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed != 0) {
    return parsed == 2 ? 0 : 1;
  }
  if (!platform_socket_library_start()) {
    fprintf(stderr, "%s: the socket library did not start\n", kProgram);
    return 1;
  }
  VarnockHostSetLogLevel(options.debug ? VARNOCK_LOG_DEBUG : VARNOCK_LOG_WARNING);

  std::string agentPath = options.configDir;
  if (!agentPath.empty() && agentPath.back() != PLATFORM_PATH_SEPARATOR) {
    agentPath += PLATFORM_PATH_SEPARATOR;
  }
  agentPath += kProgram;

  for (const std::string &path : options.modules) {
    if (!start_module(path, agentPath)) {
      return 1;
    }
  }

  // One tick first, as the agent gives its modules, then the walk: each
  // handler runs its table's refresh on its first call.
  for (const varnock::HostedModule &module : started_modules()) {
    module.callback();
  }
  varnock::print_dump(stdout, varnock::dump_all_variables());

  for (const varnock::HostedModule &module : started_modules()) {
    module.finish();
  }
  platform_socket_library_stop();
  return 0;
}
