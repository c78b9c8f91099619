// varnockd: loads the monitoring modules named on the command line, drives
// their periodic tick and serves their variables over SNMP, in the
// foreground, until SIGTERM or SIGINT.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include "host/varnockd/dump.h"
#include "host/varnockd/modules.h"
#include "host/varnockd/options.h"
#include "host/varnockd/snmp_agent.h"
#include "varnock_host.h"

namespace {

std::vector<varnockd::Module> g_modules;

void tick_modules() {
  for (varnockd::Module &module : g_modules) {
    if (module.started)
      module.callback();
  }
}

bool is_directory(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int fail(const std::string &message) {
  snmp_log(LOG_ERR, "varnockd: %s\n", message.c_str());
  return 1;
}

// --dump: start the modules, print every variable once, finish them.
int dump(const varnockd::Options &options) {
  // A monitored server that closes its connection early must not end the
  // program while a module writes to the socket.
  signal(SIGPIPE, SIG_IGN);
  std::string error;
  for (varnockd::Module &module : g_modules) {
    if (!varnockd::start_module(&module, options.configDir, &error))
      return fail(error);
  }
  const int status = varnockd::run_dump(g_modules, options.configDir, stdout, stderr);
  for (varnockd::Module &module : g_modules)
    module.finish();
  return status;
}

} // namespace

int main(int argc, char **argv) {
  varnockd::Options options;
  std::string error;
  switch (varnockd::parse_options(argc, argv, &options, &error)) {
  case varnockd::ParseOutcome::Done:
    return 0;
  case varnockd::ParseOutcome::Error:
    fprintf(stderr, "varnockd: %s\nTry 'varnockd --help' for more information.\n", error.c_str());
    return 1;
  case varnockd::ParseOutcome::Run:
    break;
  }
  if (!options.logConfigured)
    snmp_enable_stderrlog();
  if (options.debug)
    VarnockHostSetLogLevel(7);

  if (!is_directory(options.configDir))
    return fail("configuration directory " + options.configDir + " does not exist");

  // Load every module before anything listens, so that a bad path stops the
  // daemon at once.
  for (const std::string &path : options.modules) {
    varnockd::Module module;
    module.path = path;
    if (!varnockd::load_module(&module, &error))
      return fail(error);
    g_modules.push_back(module);
  }

  if (options.dump)
    return dump(options);

  if (!varnockd::agent_start(options, &error))
    return fail(error);

  size_t inUse = 0;
  for (varnockd::Module &module : g_modules) {
    if (!varnockd::start_module(&module, options.configDir, &error)) {
      snmp_log(LOG_ERR, "varnockd: %s\n", error.c_str());
      continue;
    }
    const std::string subtree = varnockd::oid_text(module.subtree, module.subtreeLength);
    if (!varnockd::agent_register_subtree(module.name.empty() ? module.path : module.name,
                                          module.subtree, module.subtreeLength)) {
      snmp_log(LOG_ERR, "varnockd: %s: cannot serve subtree %s; the module is not used\n",
               module.path.c_str(), subtree.c_str());
      varnockd::drop_module(&module);
      continue;
    }
    ++inUse;
    snmp_log(LOG_INFO, "varnockd: module %s (%s) serves %s\n", module.name.c_str(),
             module.title.c_str(), subtree.c_str());
  }
  if (inUse == 0)
    snmp_log(LOG_WARNING, "varnockd: no module is in use; nothing is served\n");

  varnockd::agent_set_tick(options.tickSeconds, tick_modules);
  snmp_log(LOG_INFO, "varnockd %s: %s, configuration in %s\n", VARNOCKD_VERSION,
           varnockd::agent_where().c_str(), options.configDir.c_str());

  const int sig = varnockd::agent_run();
  snmp_log(LOG_INFO, "varnockd: stopping on %s\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
  for (varnockd::Module &module : g_modules) {
    if (module.started)
      module.finish();
  }
  varnockd::agent_stop();
  return 0;
}
