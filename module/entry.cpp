// The six entry points the agent calls, and the module state they own: the
// flag that says the table variables are registered, the module directory
// and the configuration file's path.
#include <stdio.h>
#include <string.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "collect/logs/log_checkpoint.h"
#include "collect/pages/certificates.h"
#include "collect/pages/fetch_page.h"
#include "collect/pages/page_refresh.h"
#include "collect/processes/discover.h"
#include "collect/processes/footprint.h"
#include "collect/processes/listen_owner.h"
#include "config/read_config.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "platform/agent.h"
#include "platform/path.h"
#include "pluginlib/topmod.h"

int32_t tables_registered;

namespace {

char module_directory_field[OSTRIK_PATH_SIZE];
char config_path_field[OSTRIK_PATH_SIZE];

// Offers one descriptor to the agent; a refusal is logged and start-up goes
// on. The number logged is the variable's number within its group.
void register_variable(MibVariable *var) {
  if (VarnockInsertIntoVariableList(var) < 0) {
    VarnockSyslog(VARNOCK_LOG_WARNING, "ostrik: insert variable %d failed", var->magic);
  } else {
    VarnockSyslog(VARNOCK_LOG_DEBUG, "ostrik: insert variable %d", var->magic);
  }
}

// Derives the module directory and the configuration path from the agent's
// path of length length: the directory keeps everything up to and including
// the last separator (the first character is always kept), and the
// configuration file lies directly in it. A path that does not fit is never
// cut short, since a shortened path would name some other file: both fields
// are left empty and false is returned.
bool derive_paths(const char *agentPath, size_t length) {
  module_directory_field[0] = '\0';
  config_path_field[0] = '\0';
  if (length >= sizeof module_directory_field) {
    return false;
  }
  char work[OSTRIK_PATH_SIZE];
  memcpy(work, agentPath, length);
  work[length] = '\0';
  for (size_t i = length > 0 ? length - 1 : 0; i > 0; --i) {
    if (work[i] == PLATFORM_PATH_SEPARATOR) {
      break;
    }
    work[i] = '\0';
  }
  memcpy(module_directory_field, work, sizeof work);

  char path[OSTRIK_PATH_SIZE];
  const int written = snprintf(path, sizeof path, "%s%s", work, OSTRIK_CONFIG_FILE);
  if (written < 0 || static_cast<size_t>(written) >= sizeof path) {
    return false;
  }
  memcpy(config_path_field, path, sizeof path);
  return true;
}

// Whole seconds from 1 to most in the environment variable name: 0 when it
// is not set; -1, after one line that says so, when it holds anything else.
int seconds_setting(const char *name, int most) {
  const char *text = getenv(name);
  if (text == nullptr) {
    return 0;
  }
  int seconds = 0;
  bool valid = *text != '\0';
  for (const char *p = text; valid && *p != '\0'; ++p) {
    valid = *p >= '0' && *p <= '9';
    seconds = valid ? seconds * 10 + (*p - '0') : 0;
    valid = valid && seconds <= most;
  }
  if (!valid || seconds < 1) {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: %s=\"%.40s\" ignored: whole seconds from 1 to %d expected\n", name, text,
                  most);
    return -1;
  }
  VarnockSyslog(VARNOCK_LOG_DEBUG, "ostrik: %s %d seconds\n", name, seconds);
  return seconds;
}

// For tests and for troubleshooting: OSTRIK_RECEIVE_TIMEOUT gives the
// receive time-out of every page fetch (a server that answers slowly), and
// OSTRIK_DISCOVER_INTERVAL the seconds between two looks for running
// servers.
void apply_environment_settings() {
  const int timeout = seconds_setting("OSTRIK_RECEIVE_TIMEOUT", FETCH_PAGE_RECEIVE_TIMEOUT);
  if (timeout > 0) {
    fetch_page_set_receive_timeout(timeout);
  }
  discovery_set_interval(seconds_setting("OSTRIK_DISCOVER_INTERVAL", 24 * 3600));
  // OSTRIK_CERT_INTERVAL: the seconds between two handshakes with one
  // HTTPS site (hourly without it).
  certificates_set_interval(seconds_setting("OSTRIK_CERT_INTERVAL", 24 * 3600));
}

// What the module knows of each server's pages, handed to the agent by
// finish and taken back by the next init, when the agent can keep it: a
// reload of the module must not make a down server look up again (its
// failures in a row starting over at 0), nor send the notifications that
// watch them.
struct KeptHealth {
  int32_t port;
  PageHealth status;
  PageHealth info;
};
using KeepFn = int32_t (*)(const char *key, const void *data, int32_t length);
using TakeFn = int32_t (*)(const char *key, void *data, int32_t capacity);
constexpr char kHealthKey[] = "ostrik.health.1";
constexpr int32_t kMaxKeptServers = 65535; // one per port at most

void keep_server_health() {
  const auto keep = reinterpret_cast<KeepFn>(platform_agent_function("VarnockHostKeep"));
  if (keep == nullptr || server_list == nullptr) {
    return;
  }
  std::vector<KeptHealth> kept;
  try {
    for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
      kept.push_back({e->port, e->statusHealth, e->infoHealth});
    }
  } catch (...) {
    return; // no memory: the next start knows nothing, as without a keeper
  }
  (void)keep(kHealthKey, kept.data(), static_cast<int32_t>(kept.size() * sizeof(KeptHealth)));
}

void restore_server_health() {
  const auto take = reinterpret_cast<TakeFn>(platform_agent_function("VarnockHostTake"));
  if (take == nullptr) {
    return;
  }
  const int32_t length = take(kHealthKey, nullptr, 0);
  const auto size = static_cast<int32_t>(sizeof(KeptHealth));
  std::vector<KeptHealth> kept;
  try {
    kept.resize(length > 0 && length % size == 0 && length / size <= kMaxKeptServers
                    ? static_cast<size_t>(length / size)
                    : 1);
  } catch (...) {
    return;
  }
  // Taken in any case, so that nothing stale waits for a later start.
  const int32_t taken = take(kHealthKey, kept.data(), static_cast<int32_t>(kept.size()) * size);
  if (taken <= 0 || taken % size != 0) {
    return;
  }
  kept.resize(static_cast<size_t>(taken / size));
  for (const KeptHealth &k : kept) {
    if (ServerEntry *e = find_server(k.port)) {
      e->statusHealth = k.status;
      e->infoHealth = k.info;
    }
  }
}

// Whether the agent reads descriptors with VARNOCK_ACCESS_LONG_INDEX: only
// one that offers VarnockHostLongIndex and answers 1. An agent that offers
// the six original functions alone has only ever seen access 1.
bool agent_reads_long_index() {
  using LongIndexFn = int32_t (*)(void);
  const auto offered =
      reinterpret_cast<LongIndexFn>(platform_agent_function("VarnockHostLongIndex"));
  return offered != nullptr && offered() == 1;
}

// The access logs' counts and positions, handed on across a reload like
// the health; a start without them reads the checkpoint in the state
// directory, systemd's $STATE_DIRECTORY (its first entry) when set.
constexpr char kLogsKey[] = "ostrik.logs.1";

void keep_log_state() {
  const auto keep = reinterpret_cast<KeepFn>(platform_agent_function("VarnockHostKeep"));
  if (keep == nullptr || server_list == nullptr) {
    return;
  }
  try {
    const std::string text = log_checkpoint_encode(log_checkpoint_gather());
    if (text.size() < static_cast<size_t>(INT32_MAX)) {
      (void)keep(kLogsKey, text.data(), static_cast<int32_t>(text.size()));
    }
  } catch (...) {
    // no memory: the next start reads the checkpoint, or begins anew
  }
}

void start_log_checkpoint() {
  const char *state = getenv("STATE_DIRECTORY");
  std::string directory = state != nullptr ? state : "";
  directory = directory.substr(0, directory.find(':'));
  if (!directory.empty() && directory[0] != '/') {
    VarnockSyslog(VARNOCK_LOG_WARNING,
                  "ostrik: STATE_DIRECTORY=\"%.200s\" is not an absolute path: no access-log "
                  "checkpoint is kept",
                  directory.c_str());
    directory.clear();
  }
  const auto take = reinterpret_cast<TakeFn>(platform_agent_function("VarnockHostTake"));
  const int32_t length = take != nullptr ? take(kLogsKey, nullptr, 0) : -1;
  std::string handedOn;
  bool have = false;
  if (length > 0) {
    try {
      handedOn.resize(static_cast<size_t>(length));
      have = take(kLogsKey, &handedOn[0], length) == length;
    } catch (...) {
      char none = 0;
      (void)take(kLogsKey, &none, 0); // taken all the same: nothing stale stays
    }
  }
  log_checkpoint_start(directory, have ? &handedOn : nullptr);
}

} // namespace

const char *module_directory(void) { return module_directory_field; }
const char *config_path(void) { return config_path_field; }

void module_reset_for_tests(void) {
  tables_registered = 0;
  module_directory_field[0] = '\0';
  config_path_field[0] = '\0';
}

extern "C" {

int32_t init(InitBlock *block) {
  const int32_t version = VarnockGetVarnockVersion();
  if (version < OSTRIK_MIN_AGENT_VERSION) {
    printf("ostrik: Varnock version 4.2pl2 or later is required %d\n", version);
    fflush(stdout);
    VarnockSyslog(VARNOCK_LOG_ERR, "ostrik: Varnock version 4.2pl2 or later is required\n");
    return -1;
  }
  if (block == nullptr) {
    VarnockSyslog(VARNOCK_LOG_ERR, "ostrik_init: no init block");
    return -1;
  }

  memset(block->moduleName, 0, sizeof block->moduleName);
  memcpy(block->moduleName, OSTRIK_MODULE_NAME, sizeof OSTRIK_MODULE_NAME);
  memset(block->reserved, 0, sizeof block->reserved);

  // The agent's path is read only within its field; a path without its NUL
  // there counts as too long.
  const size_t length = strnlen(block->agentPath, sizeof block->agentPath);
  VarnockSyslog(VARNOCK_LOG_DEBUG, "ostrik_init: starting with path name %.*s",
                static_cast<int>(length), block->agentPath);
  const bool have_config = derive_paths(block->agentPath, length);
  if (!have_config) {
    VarnockSyslog(VARNOCK_LOG_ERR, "ostrik_init: agent path too long, configuration not read");
  }

  apply_environment_settings();

  // An agent that reads the variables from a thread of its own offers this:
  // it is told while a refresh waits on servers, and publishes the answers
  // that have come in so far.
  page_refresh_set_waiting_hook(
      reinterpret_cast<RefreshWaitingHook>(platform_agent_function("VarnockHostModuleWaiting")));

  for (int i = 0; i < OSTRIK_SCALAR_COUNT; ++i) {
    register_variable(&ostrik_variables[i]);
  }

  // The reader reports its own problems; the module starts with whatever
  // servers it found.
  if (have_config) {
    (void)read_config(config_path_field);
  }
  // The first look, so that the first walk already has the servers found.
  (void)refresh_discovery();
  restore_server_health();
  start_log_checkpoint();

  // The agent keeps the table variables from the first start; a second init
  // must not offer them twice.
  if (tables_registered == 0) {
    for (int i = OSTRIK_SCALAR_COUNT; i < OSTRIK_VARIABLE_COUNT; ++i) {
      register_variable(&ostrik_variables[i]);
    }
    // The tables added since the original design come after its 62
    // variables, which keep their places. Those indexed by more than one
    // arc are left out for an agent that could not read them.
    const bool long_index = agent_reads_long_index();
    for (MibVariable &var : ostrik_ext_variables) {
      if (long_index || (var.access & VARNOCK_ACCESS_LONG_INDEX) == 0) {
        register_variable(&var);
      }
    }
    tables_registered = 1;
  }
  return 1;
}

int32_t monitorInit(void) { return 0; }

int32_t branch(uint32_t *oid, int32_t *oidLength) {
  if (oid == nullptr || oidLength == nullptr) {
    return -1;
  }
  for (int i = 0; i < OSTRIK_SUBTREE_LENGTH; ++i) {
    oid[i] = OSTRIK_SUBTREE[i];
  }
  *oidLength = OSTRIK_SUBTREE_LENGTH;
  return 1;
}

int32_t modinfo(char *buffer, int32_t length) {
  if (buffer == nullptr || length < 1) {
    return -1;
  }
  // Never more than the caller's length, NUL included: a short buffer gets
  // the title cut short.
  snprintf(buffer, static_cast<size_t>(length), "%s", OSTRIK_TITLE);
  return 1;
}

int32_t callback(void) {
  if (tables_registered != 0) {
    (void)refresh_discovery();
    (void)refresh_footprint();
    // The certificates at the tick, never inside a request: a handshake
    // waits on a server.
    refresh_certificates();
  }
  return 0;
}

// Gives back the server list and the process snapshots: the daemon may
// unload the module and start it again (a reload), so nothing may stay
// behind, and a module started again reads its servers afresh.
int32_t finish(void) {
  topmod_release();
  footprint_release();
  keep_server_health();
  (void)log_checkpoint_save();
  keep_log_state();
  log_checkpoint_stop();
  free_server_list();
  certificates_release();
  discovery_reset();
  listen_owner_reset();
  return 0;
}

} // extern "C"
