// Net-SNMP's agent as the daemon's front: setup, the registration of the
// module subtrees (their requests are answered in snmp_requests.cpp, the
// AgentX sub-agent set up in snmp_agentx.cpp), the periodic tick and the
// main loop with clean stopping on SIGTERM/SIGINT.
#include "host/varnockd/snmp_agent.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <net-snmp/agent/agent_read_config.h>

#include <net-snmp/agent/sysORTable.h>

#include "host/varnockd/collector.h"
#include "host/varnockd/log_queue.h"
#include "host/varnockd/modules.h"
#include "host/varnockd/snmp_agentx.h"
#include "host/varnockd/snmp_requests.h"
#include "varnock_host.h"

// The access control and user tables of Net-SNMP's MIB modules library; they
// give meaning to rocommunity, rouser and the other access tokens. Their
// headers are not installed.
extern "C" void init_vacm_vars(void);
extern "C" void init_usmUser(void);
extern "C" void init_vacm_config_tokens(void);
extern "C" void init_vacm_snmpd_easy_tokens(void);
// SNMPv2-MIB's system group (sysDescr, sysObjectID, sysUpTime, sysContact,
// sysName, sysLocation, sysServices, and their syscontact, sysname,
// syslocation, ... tokens), its sysORTable, its snmp group of statistics,
// and the statistics groups of SNMPv3 (SNMP-FRAMEWORK-MIB's engine,
// SNMP-MPD-MIB's and the USM's counters).
extern "C" void init_system_mib(void);
extern "C" void init_sysORTable(void);
extern "C" void init_snmp_mib(void);
extern "C" void init_snmpEngine(void);
extern "C" void init_snmpMPDStats(void);
extern "C" void init_usmStats(void);
// The DisMan Event MIB's engine: the monitor, notificationEvent and related
// tokens, and the triggers that query the agent's own values (through the
// internal session of iquerySecName) and send notifications where the trap
// tokens say (as a sub-agent, through the master).
extern "C" void init_iquery(void);
extern "C" void init_mteObjects(void);
extern "C" void init_mteObjectsConf(void);
extern "C" void init_mteEvent(void);
extern "C" void init_mteEventConf(void);
extern "C" void init_mteTrigger(void);
extern "C" void init_mteTriggerConf(void);

namespace varnockd {

namespace {

constexpr char kAppName[] = "varnockd";
constexpr char kDefaultAddress[] = "udp:127.0.0.1:1161";
// Used when the configuration directory holds no varnockd.conf.
constexpr char kDefaultAccess[] = "rocommunity public 127.0.0.1";
// sysObjectID, unless varnockd.conf says otherwise: the ostrik subtree of
// enterprise 32473 (OSTRIK-MIB's ostrikMIB), rather than Net-SNMP's own
// agent OID, so that a manager tells this agent from snmpd.
constexpr char kDefaultSysObjectId[] = "sysobjectid .1.3.6.1.4.1.32473.16.3";
const HostOid kOstrikMib = {1, 3, 6, 1, 4, 1, 32473, 16, 3};

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_reload = 0;
void (*g_reload_hook)() = nullptr;
int g_wake[2] = {-1, -1};
void (*g_tick)() = nullptr;

// Serving from snapshots: the collector whose latest snapshot answers (its
// subtrees and lateness watched here), and whether its lateness has been
// reported.
const Collector *g_collector = nullptr;
bool g_late_reported = false;

// The module subtrees registered with Net-SNMP, and the reload generation of
// the snapshot they were last matched with.
struct Registered {
  std::string name;
  HostOid root;
};
std::vector<Registered> g_registered;
unsigned g_registered_generation = 0;

// Kept for a reload of varnockd.conf.
std::string g_config_dir;
bool g_master = true;
// varnockd.conf and varnockd.local.conf as last read.
std::string g_config_text;

// Without a state directory: a private, empty directory that stands in for
// Net-SNMP's persistent directory, removed at exit. Net-SNMP's certificate
// code makes a cert_indexes directory there even when persistence is off,
// and would otherwise make it in /var/lib/snmp, which belongs to snmpd (or
// log that it cannot).
std::string g_scratch_dir;

std::string make_scratch_dir() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/varnockd.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    return "";
  // Made here, so that Net-SNMP finds it and does not log that it made it.
  mkdir((pattern + "/cert_indexes").c_str(), 0700);
  return pattern;
}

void remove_scratch_dir() {
  if (!g_scratch_dir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(g_scratch_dir, ignored);
    g_scratch_dir.clear();
  }
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// varnockd.conf holds communities, passphrases and trap keys: said once at
// start when users other than its owner may read it.
void warn_if_readable_by_others(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
    snmp_log(LOG_WARNING,
             "varnockd: %s is readable by other users; it holds communities and passphrases "
             "(chmod 600)\n",
             path.c_str());
}

void on_signal(int sig) {
  if (sig == SIGHUP)
    g_reload = 1;
  else
    g_signal = sig;
  const int saved = errno;
  if (g_wake[1] >= 0) {
    const char byte = 1;
    ssize_t ignored = write(g_wake[1], &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

void on_wake(int fd, void *) {
  char buffer[64];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

void on_tick(unsigned int, void *) {
  if (g_tick != nullptr)
    g_tick();
}

void on_log(int, void *) { log_queue_drain(); }

// The wall-clock time of a snapshot's collection, HH:MM:SS local time.
std::string clock_text(time_t when) {
  struct tm local;
  char text[16] = "??:??:??";
  if (localtime_r(&when, &local) != nullptr)
    strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// Once a second: a collection that has run past three ticks is reported
// once, with the time the answers come from, and again when it has ended.
void sync_registrations(const Snapshot &snapshot);

void watch_collector_now() {
  if (g_collector == nullptr)
    return;
  if (const std::shared_ptr<const Snapshot> now = g_collector->latest();
      now != nullptr && now->generation != g_registered_generation)
    sync_registrations(*now);
  Collector::Clock::time_point since;
  const bool running = g_collector->running(&since);
  const auto limit = std::chrono::seconds(3 * g_collector->tick_seconds());
  const std::shared_ptr<const Snapshot> latest = g_collector->latest();
  const std::string from = latest != nullptr ? clock_text(latest->began) : "nowhere";
  if (running && !g_late_reported && Collector::Clock::now() - since > limit) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(Collector::Clock::now() - since).count();
    snmp_log(LOG_WARNING, "varnockd: collection running for %lld s; answers are from %s\n",
             static_cast<long long>(seconds), from.c_str());
    g_late_reported = true;
  } else if (g_late_reported && (!running || Collector::Clock::now() - since <= limit)) {
    snmp_log(LOG_INFO, "varnockd: collections are back on time; answers are from %s\n",
             from.c_str());
    g_late_reported = false;
  }
}

// Net-SNMP's alarm calls this from C frames, which no C++ exception (here:
// no memory for a string or a registration) may cross.
void watch_collector(unsigned int, void *) {
  try {
    watch_collector_now();
  } catch (const std::exception &e) {
    snmp_log(LOG_ERR, "varnockd: watching the collector: %s\n", e.what());
  }
}

} // namespace

namespace {

// The text of varnockd.conf and varnockd.local.conf, as one string.
std::string config_text();

// Whether a line of text begins with token (Net-SNMP's tokens are read in
// any case).
bool has_token(const std::string &text, const char *token) {
  const size_t length = strlen(token);
  size_t line = 0;
  while (line < text.size()) {
    size_t end = text.find_first_of(std::string("\n\0", 2), line);
    if (end == std::string::npos)
      end = text.size();
    size_t p = text.find_first_not_of(" \t", line);
    if (p != std::string::npos && p + length <= end && strncasecmp(&text[p], token, length) == 0 &&
        (p + length == end || text[p + length] == ' ' || text[p + length] == '\t'))
      return true;
    line = end + 1;
  }
  return false;
}

void remember_line(const char *text) {
  std::string line(text);
  netsnmp_config_remember(line.data());
}

// Lines handed to Net-SNMP's parser as if they stood in a configuration
// file, read with them (at start and each reload). Without a varnockd.conf
// the agent answers the read-only community "public" from 127.0.0.1; as the
// master, sysObjectID is ostrik's unless the files name another.
void remember_defaults(const std::string &text) {
  const std::string conf = g_config_dir + "/varnockd.conf";
  const std::string localConf = g_config_dir + "/varnockd.local.conf";
  if (!g_master)
    return;
  if (!file_exists(conf) && !file_exists(localConf))
    remember_line(kDefaultAccess);
  if (!has_token(text, "sysobjectid"))
    remember_line(kDefaultSysObjectId);
}

// The text of varnockd.conf and varnockd.local.conf, as one string.
std::string config_text() {
  std::string text;
  for (const char *name : {"/varnockd.conf", "/varnockd.local.conf"}) {
    if (FILE *file = fopen((g_config_dir + name).c_str(), "rb")) {
      char buffer[4096];
      for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
      fclose(file);
    }
    text += '\0';
  }
  return text;
}

// True when the text may name other files (includeFile, includeDir, ...),
// whose changes its own text does not show.
bool names_other_files(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return text.find("include") != std::string::npos;
}

} // namespace

bool install_signals() {
  if (g_wake[0] >= 0)
    return true;
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // A monitored server that closes its connection early must not kill the
  // daemon while a module writes to the socket.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

const volatile sig_atomic_t *agent_signal() { return &g_signal; }

namespace {

std::string join(const std::vector<std::string> &items, const char *separator) {
  std::string text;
  for (const std::string &item : items) {
    if (!text.empty())
      text += separator;
    text += item;
  }
  return text;
}

} // namespace

bool agent_start(const Options &options, std::string *error) {
  // Read configuration from the configuration directory only: never from
  // /etc/snmp, Net-SNMP's other default places or the user's ~/.snmp.
  unsetenv("SNMPCONFPATH");
  unsetenv("SNMP_PERSISTENT_FILE");
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR,
                        options.configDir.c_str());
  // Without a state directory nothing of Net-SNMP's persistent state (engine
  // boots, users added at run time) is read or written.
  if (options.stateDir.empty()) {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    g_scratch_dir = make_scratch_dir();
    if (!g_scratch_dir.empty())
      netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR,
                            g_scratch_dir.c_str());
  } else {
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR,
                          options.stateDir.c_str());
  }
  // The agent needs no MIB files: it serves numeric OIDs. Loading the
  // system's MIBs would only fill the log with warnings about missing ones.
  setenv("MIBS", "", 1);
  // One log line per request is noise for a monitoring agent.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS,
                         1);

  const bool subagent = options.role == AgentRole::AgentxSubagent;
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, subagent ? 1 : 0);
  if (subagent)
    prepare_subagent(options);
  // Addresses from the command line come first; agentaddress lines of
  // varnockd.conf add to them.
  if (!options.addresses.empty())
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS,
                          join(options.addresses, ",").c_str());

  if (!install_signals()) {
    *error = std::string("cannot set up signal handling: ") + strerror(errno);
    remove_scratch_dir();
    return false;
  }
  // Net-SNMP's agent would also start SMUX, a peer protocol that listens on
  // TCP port 199 of every interface. The daemon listens only where its
  // options and varnockd.conf say.
  char noSmux[] = "-smux";
  add_to_init_list(noSmux);
  init_agent(kAppName);
  register_readfd(g_wake[0], on_wake, nullptr);
  if (log_queue_fd() >= 0)
    register_readfd(log_queue_fd(), on_log, nullptr);
  if (subagent) {
    // The access tokens only, so that one varnockd.conf serves both roles:
    // a sub-agent reads them, but the master's access control decides, and
    // the access tables are the master's to serve.
    init_vacm_config_tokens();
    init_vacm_snmpd_easy_tokens();
    // The user and internal-query tokens, for the event MIB's queries of
    // the sub-agent's own values (the master's users serve the managers).
    init_usm_conf(kAppName);
    init_iquery();
  } else {
    init_vacm_vars();
    init_usmUser();
    // The system and statistics groups are the agent's own only where it
    // is the master: under AgentX the master serves its own.
    init_system_mib();
    init_sysORTable();
    init_snmp_mib();
    init_snmpEngine();
    init_snmpMPDStats();
    init_usmStats();
  }
  init_mteObjects();
  init_mteObjectsConf();
  init_mteEvent();
  init_mteEventConf();
  init_mteTrigger();
  init_mteTriggerConf();
  g_config_dir = options.configDir;
  g_master = options.role == AgentRole::Master;
  warn_if_readable_by_others(g_config_dir + "/varnockd.conf");
  warn_if_readable_by_others(g_config_dir + "/varnockd.local.conf");
  g_config_text = config_text();
  remember_defaults(g_config_text);
  init_snmp(kAppName);

  if (subagent) {
    // A master that is not there yet is no reason to stop: the sub-agent
    // keeps trying, and registers its subtrees once it gets through.
    if (!agentx_connected())
      snmp_log(LOG_WARNING, "varnockd: AgentX master not reachable at %s; trying every %d s\n",
               agentx_socket().c_str(), agentx_ping_seconds());
    return true;
  }

  if (netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS) == nullptr)
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, kDefaultAddress);

  if (init_master_agent() != 0) {
    *error = "cannot listen on " + agent_addresses() + " (address in use or not available)";
    agent_stop();
    return false;
  }
  return true;
}

std::string agent_where() {
  if (netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE) == 1)
    return "as an AgentX sub-agent of the master at " + agentx_socket();
  return "listening on " + agent_addresses();
}

std::string agent_addresses() {
  const char *ports = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS);
  return ports != nullptr ? ports : "";
}

namespace {

// A module's subtree in sysORTable (as a sub-agent, through the master's):
// OSTRIK-MIB by its name, another by its module's.
void list_in_sysor(const std::string &name, const HostOid &root, bool add) {
  std::vector<oid> arcs(root.begin(), root.end());
  if (!add) {
    UNREGISTER_SYSOR_TABLE(arcs.data(), arcs.size());
    return;
  }
  const std::string descr =
      root == kOstrikMib
          ? "OSTRIK-MIB: the Apache HTTP servers of this machine (module " + name + ")"
          : "The variables of module " + name;
  REGISTER_SYSOR_TABLE(arcs.data(), arcs.size(), descr.c_str());
}

// After a reload the modules may serve other subtrees: those no longer
// served are unregistered (as a sub-agent, at the master too), new ones
// registered; those that stay keep their registration, so that requests in
// them never meet a gap.
void sync_registrations(const Snapshot &snapshot) {
  g_registered_generation = snapshot.generation;
  for (auto it = g_registered.begin(); it != g_registered.end();) {
    const bool kept = std::any_of(snapshot.subtrees.begin(), snapshot.subtrees.end(),
                                  [&](const auto &s) { return s.second == it->root; });
    if (kept) {
      ++it;
      continue;
    }
    std::vector<oid> root(it->root.begin(), it->root.end());
    unregister_mib(root.data(), root.size());
    list_in_sysor(it->name, it->root, false);
    snmp_log(LOG_INFO, "varnockd: subtree %s is no longer served\n",
             oid_text(it->root.data(), static_cast<int32_t>(it->root.size())).c_str());
    it = g_registered.erase(it);
  }
  for (const auto &[name, root] : snapshot.subtrees) {
    const bool known = std::any_of(g_registered.begin(), g_registered.end(),
                                   [&](const Registered &r) { return r.root == root; });
    if (known)
      continue;
    const std::string text = oid_text(root.data(), static_cast<int32_t>(root.size()));
    if (agent_register_subtree(name, root.data(), static_cast<int32_t>(root.size())))
      snmp_log(LOG_INFO, "varnockd: module %s serves %s\n", name.c_str(), text.c_str());
    else
      snmp_log(LOG_ERR, "varnockd: %s: cannot serve subtree %s\n", name.c_str(), text.c_str());
  }
}

} // namespace

bool agent_register_subtree(const std::string &name, const uint32_t *subtree, int32_t length) {
  oid root[MAX_OID_LEN];
  if (length < 1 || length > MAX_OID_LEN)
    return false;
  for (int32_t i = 0; i < length; ++i)
    root[i] = subtree[i];
  // Without HANDLER_CAN_GETBULK Net-SNMP turns a get-bulk into get-next
  // passes; without HANDLER_CAN_SET it answers sets with notWritable.
  netsnmp_handler_registration *registration = netsnmp_create_handler_registration(
      name.c_str(), handle_subtree, root, static_cast<size_t>(length), HANDLER_CAN_RONLY);
  if (registration == nullptr)
    return false;
  if (netsnmp_register_handler(registration) != MIB_REGISTERED_OK)
    return false;
  g_registered.push_back({name, HostOid(subtree, subtree + length)});
  list_in_sysor(name, g_registered.back().root, true);
  return true;
}

void agent_set_tick(int seconds, void (*tick)()) {
  g_tick = tick;
  snmp_alarm_register(static_cast<unsigned int>(seconds), SA_REPEAT, on_tick, nullptr);
}

void agent_serve_snapshots(const Collector *collector) {
  g_collector = collector;
  answer_from_snapshots(collector);
  snmp_alarm_register(1, SA_REPEAT, watch_collector, nullptr);
}

void agent_on_reload(void (*hook)()) { g_reload_hook = hook; }

void agent_reload_config() {
  // Net-SNMP's event MIB makes its monitors, events and their objects anew
  // at every reading and never frees the old ones: an unchanged file is not
  // read again, so that reloads alone do not grow the daemon, nor restart
  // the monitors' watch.
  std::string text = config_text();
  if (text == g_config_text && !names_other_files(text)) {
    snmp_log(LOG_INFO, "varnockd: %s/varnockd.conf unchanged; not read again\n",
             g_config_dir.c_str());
    return;
  }
  g_config_text = std::move(text);
  snmp_log(LOG_INFO, "varnockd: reading %s/varnockd.conf again\n", g_config_dir.c_str());
  remember_defaults(g_config_text);
  update_config();
}

int agent_run() {
  while (g_signal == 0) {
    agent_check_and_process(1);
    if (g_reload != 0 && g_signal == 0) {
      g_reload = 0;
      if (g_reload_hook != nullptr)
        g_reload_hook();
    }
  }
  return g_signal;
}

void agent_stop() {
  snmp_shutdown(kAppName);
  remove_scratch_dir();
}

} // namespace varnockd
