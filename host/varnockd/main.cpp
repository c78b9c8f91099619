// varnockd: loads the monitoring modules named on the command line, drives
// their periodic tick and serves their variables over SNMP, in the
// foreground, until SIGTERM or SIGINT; SIGHUP reloads them and varnockd.conf.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include "host/varnockd/collector.h"
#include "host/varnockd/dump.h"
#include "host/varnockd/log_queue.h"
#include "host/varnockd/modules.h"
#include "host/varnockd/options.h"
#include "host/varnockd/snmp_agent.h"
#include "varnock_host.h"

namespace {

std::vector<varnockd::Module> g_modules;
varnockd::Collector *g_collector = nullptr;

// SIGHUP with --serve snapshot: varnockd.conf is read again here, on the
// main thread, and the collector reloads the modules while the old snapshot
// answers.
void reload_snapshots() {
  snmp_log(LOG_INFO, "varnockd: reloading on SIGHUP\n");
  varnockd::agent_reload_config();
  if (g_collector != nullptr)
    g_collector->request_reload();
}

// With --serve live the modules run inside the requests; reloading them
// would leave requests unanswered, so only varnockd.conf is read again.
void reload_live() {
  snmp_log(LOG_INFO, "varnockd: reloading varnockd.conf on SIGHUP; the modules are reloaded "
                     "only with --serve snapshot\n");
  varnockd::agent_reload_config();
}

// How long a stopping daemon waits for the collection under way to end and
// the modules to finish. A collection waits on a hung server for up to a
// receive time-out; the daemon does not: past this it leaves without the
// modules' finish, which only frees what the process gives back anyway.
constexpr double kStopGraceSeconds = 2.0;

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

// Registers a started module's subtree with the agent and says so. False,
// logged, when the subtree cannot be served: the caller stops using the
// module.
bool register_module(const varnockd::Module &module) {
  const std::string subtree = varnockd::oid_text(module.subtree, module.subtreeLength);
  if (!varnockd::agent_register_subtree(module.name.empty() ? module.path : module.name,
                                        module.subtree, module.subtreeLength)) {
    snmp_log(LOG_ERR, "varnockd: %s: cannot serve subtree %s; the module is not used\n",
             module.path.c_str(), subtree.c_str());
    return false;
  }
  snmp_log(LOG_INFO, "varnockd: module %s (%s) serves %s\n", module.name.c_str(),
           module.title.c_str(), subtree.c_str());
  return true;
}

// --serve live: the modules run on the main thread, their handlers inside
// each request, their callback from Net-SNMP's alarm.
int serve_live(const varnockd::Options &options) {
  std::string error;
  if (!varnockd::agent_start(options, &error))
    return fail(error);

  size_t inUse = 0;
  for (size_t i = 0; i < g_modules.size(); ++i) {
    varnockd::Module &module = g_modules[i];
    if (!varnockd::start_module(&module, options.configDir, &error)) {
      snmp_log(LOG_ERR, "varnockd: %s\n", error.c_str());
      continue;
    }
    if (!register_module(module)) {
      varnockd::drop_module(&g_modules, i);
      continue;
    }
    ++inUse;
  }
  if (inUse == 0)
    snmp_log(LOG_WARNING, "varnockd: no module is in use; nothing is served\n");

  varnockd::agent_set_tick(options.tickSeconds, tick_modules);
  varnockd::agent_on_reload(reload_live);
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

// Stops the collector; when a collection is still blocked on a server after
// the grace time, ends the process at once (after Net-SNMP's shutdown) rather
// than wait for it or finish a module the collector is inside.
void stop_collector(varnockd::Collector &collector, bool agentStarted, int status) {
  collector.request_stop();
  const bool stopped = collector.wait_stopped(kStopGraceSeconds);
  if (!stopped)
    snmp_log(LOG_WARNING, "varnockd: a collection is still waiting on a server; leaving "
                          "without finishing the modules\n");
  if (agentStarted)
    varnockd::agent_stop();
  if (!stopped) {
    fflush(nullptr);
    _exit(status);
  }
}

// --serve snapshot: every call into a module happens on the collector
// thread; requests are answered from its latest snapshot.
int serve_snapshots(const varnockd::Options &options) {
  std::string error;
  if (!varnockd::install_signals())
    return fail(std::string("cannot set up signal handling: ") + strerror(errno));
  // The ports open (or the master is reached) first, so that a busy port
  // stops the daemon before any module starts; requests wait unread until
  // the first snapshot is published and the subtrees are registered. That
  // takes three seconds at most: while the first collection waits on
  // servers, what has come in by then is published.
  if (!varnockd::agent_start(options, &error))
    return fail(error);
  varnockd::Collector collector(&g_modules, options.configDir, options.tickSeconds);
  if (!collector.start()) {
    snmp_log(LOG_ERR, "varnockd: cannot start the collector thread\n");
    varnockd::agent_stop();
    return 1;
  }
  if (!collector.wait_first(varnockd::agent_signal())) {
    const bool signalled = *varnockd::agent_signal() != 0;
    stop_collector(collector, true, signalled ? 0 : 1);
    return signalled ? 0 : 1;
  }

  size_t inUse = 0;
  for (size_t i = 0; i < g_modules.size(); ++i) {
    const varnockd::Module &module = g_modules[i];
    if (!module.started)
      continue; // the collector has logged why
    if (!register_module(module)) {
      collector.retire(i);
      continue;
    }
    ++inUse;
  }
  if (inUse == 0)
    snmp_log(LOG_WARNING, "varnockd: no module is in use; nothing is served\n");

  varnockd::agent_serve_snapshots(&collector);
  g_collector = &collector;
  varnockd::agent_on_reload(reload_snapshots);
  snmp_log(LOG_INFO, "varnockd %s: %s, configuration in %s\n", VARNOCKD_VERSION,
           varnockd::agent_where().c_str(), options.configDir.c_str());

  const int sig = varnockd::agent_run();
  snmp_log(LOG_INFO, "varnockd: stopping on %s\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
  varnockd::agent_on_reload(nullptr);
  g_collector = nullptr;
  stop_collector(collector, true, 0);
  return 0;
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
    VarnockHostSetLogLevel(VARNOCK_LOG_DEBUG);
  if (!varnockd::log_queue_start())
    return fail(std::string("cannot set up the log: ") + strerror(errno));

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

  // The modules keep what must outlive a restart (the access-log
  // checkpoint) in $STATE_DIRECTORY, which systemd's StateDirectory= sets
  // and --state-dir names. A dump never touches it: its counts begin with
  // it, and the service's checkpoint stays the service's.
  if (options.dump)
    unsetenv("STATE_DIRECTORY");
  else if (!options.stateDir.empty())
    setenv("STATE_DIRECTORY", options.stateDir.c_str(), 1);

  if (options.dump)
    return dump(options);

  if (options.serve == varnockd::ServeMode::Live)
    return serve_live(options);
  return serve_snapshots(options);
}
