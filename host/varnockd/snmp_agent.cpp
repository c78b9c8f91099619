// Net-SNMP's agent as the daemon's front: setup, the one handler that answers
// every module subtree through the agent library's walk, the periodic tick
// and the main loop with clean stopping on SIGTERM/SIGINT.
#include "host/varnockd/snmp_agent.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/agent/agent_read_config.h>

#include "host/varnockd/collector.h"
#include "host/varnockd/log_queue.h"
#include "host/varnockd/modules.h"
#include "varnock_host.h"

// The access control and user tables of Net-SNMP's MIB modules library; they
// give meaning to rocommunity, rouser and the other access tokens. Their
// headers are not installed.
extern "C" void init_vacm_vars(void);
extern "C" void init_usmUser(void);
extern "C" void init_vacm_config_tokens(void);
extern "C" void init_vacm_snmpd_easy_tokens(void);
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

// A get-next skips answers it cannot carry; each skip moves strictly
// forward, and this bounds the number of them in one request.
constexpr int kMaxSkippedAnswers = 10000;

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_reload = 0;
void (*g_reload_hook)() = nullptr;
int g_wake[2] = {-1, -1};
void (*g_tick)() = nullptr;

// Serving from snapshots: the collector whose latest snapshot answers, and
// whether its lateness has been reported.
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

// AgentX: the command line's settings, and whether the master is there.
const Options *g_options = nullptr;
bool g_agentx_connected = false;

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Net-SNMP arcs (unsigned long) to the agent library's 32-bit arcs.
bool to_host_oid(const oid *name, size_t length, uint32_t *out, int32_t *outLength) {
  if (length > VARNOCK_HOST_MAX_OID)
    return false;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] > UINT32_MAX)
      return false;
    out[i] = static_cast<uint32_t>(name[i]);
  }
  *outLength = static_cast<int32_t>(length);
  return true;
}

void to_snmp_oid(const VarnockAnswer &answer, oid *out, size_t *outLength) {
  for (int32_t i = 0; i < answer.oidLength; ++i)
    out[i] = answer.oid[i];
  *outLength = static_cast<size_t>(answer.oidLength);
}

// True when the answer fits the type its descriptor gives: a 4-byte value
// for the 32-bit integer types, 8 bytes for a Counter64, any length for a
// text. A misfit is a module fault.
bool answer_fits(const VarnockAnswer &answer) {
  switch (answer.type) {
  case VARNOCK_TYPE_OCTET_STRING:
    return answer.valueLength >= 0;
  case VARNOCK_TYPE_INTEGER:
  case VARNOCK_TYPE_COUNTER32:
  case VARNOCK_TYPE_GAUGE32:
    return answer.valueLength == 4;
  case VARNOCK_TYPE_COUNTER64:
    return answer.valueLength == 8;
  default:
    return false;
  }
}

// Stores a fitting answer in the varbind, typed as its descriptor says.
void set_value(netsnmp_variable_list *vb, const VarnockAnswer &answer) {
  if (answer.type == VARNOCK_TYPE_OCTET_STRING) {
    snmp_set_var_typed_value(vb, ASN_OCTET_STR, answer.value,
                             static_cast<size_t>(answer.valueLength));
  } else if (answer.type == VARNOCK_TYPE_COUNTER64) {
    uint64_t value; // the module's host-order 64 bits, as Net-SNMP's two halves
    memcpy(&value, answer.value, sizeof value);
    struct counter64 c64;
    c64.high = static_cast<u_long>(value >> 32);
    c64.low = static_cast<u_long>(value & 0xFFFFFFFFu);
    snmp_set_var_typed_value(vb, ASN_COUNTER64, &c64, sizeof c64);
  } else if (answer.type == VARNOCK_TYPE_INTEGER) {
    int32_t value;
    memcpy(&value, answer.value, sizeof value);
    snmp_set_var_typed_value(vb, ASN_INTEGER, &value, sizeof value);
  } else {
    uint32_t value; // Counter32, Gauge32: unsigned
    memcpy(&value, answer.value, sizeof value);
    snmp_set_var_typed_value(vb, answer.type, &value, sizeof value);
  }
}

void log_bad_answer(const VarnockAnswer &answer) {
  const char *name = answer.variable != nullptr ? answer.variable->name : "?";
  snmp_log(LOG_ERR,
           "varnockd: variable %s answered a value that does not fit its type %d (length %d)\n",
           name, answer.type, answer.valueLength);
}

// True when some registered variable's OID, without its instance arc, is a
// prefix of the request: the object exists, only the instance does not.
bool names_known_object(const uint32_t *request, int32_t length) {
  const size_t count = VarnockHostVariableCount();
  for (size_t i = 0; i < count; ++i) {
    const MibVariable *var = VarnockHostVariableAt(i);
    const int32_t prefix = var->oidLength - 1;
    if (prefix > 0 && prefix <= length && memcmp(var->oid, request, prefix * sizeof(uint32_t)) == 0)
      return true;
  }
  return false;
}

void answer_get(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t asked[VARNOCK_HOST_MAX_OID] = {};
  int32_t askedLength = 0;
  VarnockAnswer answer;
  // The library refuses a request longer than any descriptor's OID before a
  // handler sees it.
  if (to_host_oid(vb->name, vb->name_length, asked, &askedLength) &&
      VarnockHostGet(asked, askedLength, &answer)) {
    if (answer_fits(answer)) {
      set_value(vb, answer);
    } else {
      log_bad_answer(answer);
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
    }
    return;
  }
  const bool known = askedLength > 0 && names_known_object(asked, askedLength);
  netsnmp_set_request_error(reqinfo, request, known ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
}

// Where a get-next within a module's subtree begins, as the agent library's
// OID: the request's OID, or the subtree's root when the request lies before
// it, so that only the subtree's own instances are considered. False when
// the OID does not fit.
bool getnext_start(const netsnmp_handler_registration *reginfo, const netsnmp_variable_list *vb,
                   uint32_t *from, int32_t *fromLength) {
  if (snmp_oid_compare(vb->name, vb->name_length, reginfo->rootoid, reginfo->rootoid_len) < 0)
    return to_host_oid(reginfo->rootoid, reginfo->rootoid_len, from, fromLength);
  return to_host_oid(vb->name, vb->name_length, from, fromLength);
}

void answer_getnext(netsnmp_handler_registration *reginfo, netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t from[VARNOCK_HOST_MAX_OID] = {};
  int32_t fromLength = 0;
  if (!getnext_start(reginfo, vb, from, &fromLength))
    return;
  VarnockAnswer answer;
  for (int skipped = 0; skipped < kMaxSkippedAnswers; ++skipped) {
    if (!VarnockHostGetNext(from, fromLength, &answer))
      return; // nothing after: Net-SNMP carries on past this subtree
    oid found[MAX_OID_LEN];
    size_t foundLength = 0;
    to_snmp_oid(answer, found, &foundLength);
    if (netsnmp_oid_is_subtree(reginfo->rootoid, reginfo->rootoid_len, found, foundLength) != 0)
      return; // past the subtree
    if (snmp_oid_compare(found, foundLength, vb->name, vb->name_length) > 0) {
      if (answer_fits(answer)) {
        snmp_set_var_objid(vb, found, foundLength);
        set_value(vb, answer);
        return;
      }
      log_bad_answer(answer);
    }
    memcpy(from, answer.oid, static_cast<size_t>(answer.oidLength) * sizeof(uint32_t));
    fromLength = answer.oidLength;
  }
}

// The value of a snapshot entry as an answer, for the checks and setters
// that live answers go through.
void entry_answer(const SnapshotEntry &entry, VarnockAnswer *answer) {
  answer->oidLength = static_cast<int32_t>(entry.oid.size());
  std::copy(entry.oid.begin(), entry.oid.end(), answer->oid);
  answer->type = entry.type;
  answer->valueLength = static_cast<int32_t>(entry.value.size());
  memcpy(answer->value, entry.value.data(), entry.value.size());
  answer->variable = nullptr;
}

void log_bad_entry(const SnapshotEntry &entry) {
  snmp_log(LOG_ERR,
           "varnockd: variable %s answered a value that does not fit its type %d (length %d)\n",
           entry.variable.empty() ? "?" : entry.variable.c_str(), entry.type,
           static_cast<int>(entry.value.size()));
}

// A get answered from the snapshot, as the walk would answer it: an
// instance of a descriptor of the request's length.
void snapshot_get(const Snapshot &snapshot, netsnmp_agent_request_info *reqinfo,
                  netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t asked[VARNOCK_HOST_MAX_OID] = {};
  int32_t askedLength = 0;
  if (to_host_oid(vb->name, vb->name_length, asked, &askedLength) &&
      askedLength <= VARNOCK_MAX_OID_LEN) {
    const SnapshotEntry *entry = snapshot.find(asked, askedLength);
    if (entry != nullptr && entry->descriptorLength == askedLength) {
      VarnockAnswer answer;
      entry_answer(*entry, &answer);
      if (answer_fits(answer)) {
        set_value(vb, answer);
      } else {
        log_bad_entry(*entry);
        netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
      }
      return;
    }
  }
  const bool known = askedLength > 0 && snapshot.names_known_object(asked, askedLength);
  netsnmp_set_request_error(reqinfo, request, known ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
}

void snapshot_getnext(const Snapshot &snapshot, netsnmp_handler_registration *reginfo,
                      netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t from[VARNOCK_HOST_MAX_OID] = {};
  int32_t fromLength = 0;
  if (!getnext_start(reginfo, vb, from, &fromLength))
    return;
  for (const SnapshotEntry *entry = snapshot.after(from, fromLength); entry != nullptr;
       entry = snapshot.next(entry)) {
    VarnockAnswer answer;
    entry_answer(*entry, &answer);
    oid found[MAX_OID_LEN];
    size_t foundLength = 0;
    to_snmp_oid(answer, found, &foundLength);
    if (netsnmp_oid_is_subtree(reginfo->rootoid, reginfo->rootoid_len, found, foundLength) != 0)
      return; // past the subtree
    if (snmp_oid_compare(found, foundLength, vb->name, vb->name_length) > 0) {
      if (answer_fits(answer)) {
        snmp_set_var_objid(vb, found, foundLength);
        set_value(vb, answer);
        return;
      }
      log_bad_entry(*entry);
    }
  }
}

int handle_subtree(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                   netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  // One snapshot for every varbind of this call, so that they belong together.
  const std::shared_ptr<const Snapshot> snapshot =
      g_collector != nullptr ? g_collector->latest() : nullptr;
  for (netsnmp_request_info *request = requests; request != nullptr; request = request->next) {
    if (request->processed)
      continue;
    switch (reqinfo->mode) {
    case MODE_GET:
      if (g_collector != nullptr) {
        if (snapshot != nullptr)
          snapshot_get(*snapshot, reqinfo, request);
      } else {
        answer_get(reqinfo, request);
      }
      break;
    case MODE_GETNEXT:
      if (g_collector != nullptr) {
        if (snapshot != nullptr)
          snapshot_getnext(*snapshot, reginfo, request);
      } else {
        answer_getnext(reginfo, request);
      }
      break;
    default:
      // Read-only registrations never see sets; refuse anything else.
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
      break;
    }
  }
  return SNMP_ERR_NOERROR;
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

void watch_collector(unsigned int, void *) {
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

} // namespace

namespace {

// Without a varnockd.conf the agent answers the read-only community
// "public" from 127.0.0.1. The line is handed to Net-SNMP's parser as if it
// stood in a configuration file, read with them (at start and each reload).
void remember_default_access() {
  const std::string conf = g_config_dir + "/varnockd.conf";
  const std::string localConf = g_config_dir + "/varnockd.local.conf";
  if (g_master && !file_exists(conf) && !file_exists(localConf)) {
    char line[sizeof kDefaultAccess];
    memcpy(line, kDefaultAccess, sizeof line);
    netsnmp_config_remember(line);
  }
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

// The master's AgentX socket as Net-SNMP will use it.
std::string agentx_socket() {
  const char *socket = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
  return socket != nullptr ? socket : NETSNMP_AGENTX_SOCKET;
}

int agentx_ping_seconds() {
  return netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL);
}

// Net-SNMP's sub-agent calls these when its session with the master opens
// (at start, and each time it reaches a master again, after which it
// registers every subtree anew) and when it ends (the master closed the
// connection or stopped answering pings; the sub-agent then tries again
// every ping interval).
int on_agentx_start(int, int, void *, void *) {
  g_agentx_connected = true;
  snmp_log(LOG_INFO, "varnockd: AgentX master connected at %s\n", agentx_socket().c_str());
  return SNMPERR_SUCCESS;
}

int on_agentx_stop(int, int, void *, void *) {
  if (g_agentx_connected)
    snmp_log(LOG_WARNING, "varnockd: AgentX master lost; reconnecting every %d s\n",
             agentx_ping_seconds());
  g_agentx_connected = false;
  return SNMPERR_SUCCESS;
}

// The command line's AgentX settings win over varnockd.conf's agentXSocket
// and agentXPingInterval: applied once the configuration has been read,
// before the sub-agent first connects.
int apply_agentx_options(int, int, void *, void *) {
  if (!g_options->agentxSocket.empty())
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          g_options->agentxSocket.c_str());
  if (g_options->agentxPingGiven ||
      netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL) <= 0)
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       g_options->agentxPingSeconds);
  // A master that is away is reported once by the lines above, not at every
  // attempt to reach it.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
  return SNMPERR_SUCCESS;
}

void prepare_subagent(const Options &options) {
  g_options = &options;
  netsnmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG,
                            apply_agentx_options, nullptr, NETSNMP_CALLBACK_HIGHEST_PRIORITY);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, on_agentx_start,
                         nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, on_agentx_stop,
                         nullptr);
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
  }
  init_mteObjects();
  init_mteObjectsConf();
  init_mteEvent();
  init_mteEventConf();
  init_mteTrigger();
  init_mteTriggerConf();
  g_config_dir = options.configDir;
  g_master = options.role == AgentRole::Master;
  remember_default_access();
  init_snmp(kAppName);

  if (subagent) {
    // A master that is not there yet is no reason to stop: the sub-agent
    // keeps trying, and registers its subtrees once it gets through.
    if (!g_agentx_connected)
      snmp_log(LOG_WARNING, "varnockd: AgentX master not reachable at %s; trying every %d s\n",
               agentx_socket().c_str(), agentx_ping_seconds());
    return true;
  }

  if (netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS) == nullptr)
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, kDefaultAddress);

  if (init_master_agent() != 0) {
    *error = "cannot listen on " + agent_addresses() + " (address in use or not available)";
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
  return true;
}

void agent_set_tick(int seconds, void (*tick)()) {
  g_tick = tick;
  snmp_alarm_register(static_cast<unsigned int>(seconds), SA_REPEAT, on_tick, nullptr);
}

void agent_serve_snapshots(const Collector *collector) {
  g_collector = collector;
  snmp_alarm_register(1, SA_REPEAT, watch_collector, nullptr);
}

void agent_on_reload(void (*hook)()) { g_reload_hook = hook; }

void agent_reload_config() {
  snmp_log(LOG_INFO, "varnockd: reading %s/varnockd.conf again\n", g_config_dir.c_str());
  remember_default_access();
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

void agent_stop() { snmp_shutdown(kAppName); }

} // namespace varnockd
