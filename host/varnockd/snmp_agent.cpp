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
#include <unistd.h>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <net-snmp/agent/agent_callbacks.h>

#include "varnock_host.h"

// The access control and user tables of Net-SNMP's MIB modules library; they
// give meaning to rocommunity, rouser and the other access tokens. Their
// headers are not installed.
extern "C" void init_vacm_vars(void);
extern "C" void init_usmUser(void);
extern "C" void init_vacm_config_tokens(void);
extern "C" void init_vacm_snmpd_easy_tokens(void);

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
int g_wake[2] = {-1, -1};
void (*g_tick)() = nullptr;

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

void answer_getnext(netsnmp_handler_registration *reginfo, netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  // Start at the subtree's root when the request lies before it, so that
  // only the subtree's own instances are considered.
  const oid *start = vb->name;
  size_t startLength = vb->name_length;
  if (snmp_oid_compare(vb->name, vb->name_length, reginfo->rootoid, reginfo->rootoid_len) < 0) {
    start = reginfo->rootoid;
    startLength = reginfo->rootoid_len;
  }
  uint32_t from[VARNOCK_HOST_MAX_OID] = {};
  int32_t fromLength = 0;
  if (!to_host_oid(start, startLength, from, &fromLength))
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

int handle_subtree(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                   netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  for (netsnmp_request_info *request = requests; request != nullptr; request = request->next) {
    if (request->processed)
      continue;
    switch (reqinfo->mode) {
    case MODE_GET:
      answer_get(reqinfo, request);
      break;
    case MODE_GETNEXT:
      answer_getnext(reginfo, request);
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

bool install_signals() {
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // A monitored server that closes its connection early must not kill the
  // daemon while a module writes to the socket.
  signal(SIGPIPE, SIG_IGN);
  register_readfd(g_wake[0], on_wake, nullptr);
  return true;
}

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
  init_agent(kAppName);
  if (subagent) {
    // The access tokens only, so that one varnockd.conf serves both roles:
    // a sub-agent reads them, but the master's access control decides, and
    // the access tables are the master's to serve.
    init_vacm_config_tokens();
    init_vacm_snmpd_easy_tokens();
  } else {
    init_vacm_vars();
    init_usmUser();
  }
  // Without a varnockd.conf the agent answers the read-only community
  // "public" from 127.0.0.1. The line is handed to Net-SNMP's parser as if it
  // stood in a configuration file, read with them.
  const std::string conf = options.configDir + "/varnockd.conf";
  const std::string localConf = options.configDir + "/varnockd.local.conf";
  if (options.role == AgentRole::Master && !file_exists(conf) && !file_exists(localConf)) {
    char line[sizeof kDefaultAccess];
    memcpy(line, kDefaultAccess, sizeof line);
    netsnmp_config_remember(line);
  }
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
  return netsnmp_register_handler(registration) == MIB_REGISTERED_OK;
}

void agent_set_tick(int seconds, void (*tick)()) {
  g_tick = tick;
  snmp_alarm_register(static_cast<unsigned int>(seconds), SA_REPEAT, on_tick, nullptr);
}

int agent_run() {
  while (g_signal == 0)
    agent_check_and_process(1);
  return g_signal;
}

void agent_stop() { snmp_shutdown(kAppName); }

} // namespace varnockd
