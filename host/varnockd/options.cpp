// Command-line parsing in Net-SNMP's manner: long options for the daemon's own
// settings, Net-SNMP's -L log options and -D debug tokens, and listening
// addresses as the remaining arguments.
#include "host/varnockd/options.h"

#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Net-SNMP's configuration header must come first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include "varnock.h"

namespace varnockd {

namespace {

constexpr char kAgentName[] = "varnockd";

enum LongOnly {
  kConfigDir = 256,
  kModule,
  kTick,
  kDebug,
  kStateDir,
  kAgentx,
  kAgentxPing,
  kDump,
  kServe,
};

const option kLongOptions[] = {
    {"config-dir", required_argument, nullptr, kConfigDir},
    {"module", required_argument, nullptr, kModule},
    {"tick", required_argument, nullptr, kTick},
    {"debug", no_argument, nullptr, kDebug},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"agentx", optional_argument, nullptr, kAgentx},
    {"agentx-ping", required_argument, nullptr, kAgentxPing},
    {"dump", no_argument, nullptr, kDump},
    {"serve", required_argument, nullptr, kServe},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

void print_usage(FILE *out) {
  const std::string module = default_module();
  fprintf(out,
          "Usage: varnockd [OPTIONS] [LISTENING-ADDRESS ...]\n"
          "       varnockd --agentx[=SOCKET] [OPTIONS]\n"
          "       varnockd --dump [OPTIONS]\n"
          "\n"
          "Loads monitoring modules and serves their variables over SNMP: as an agent\n"
          "of its own, or as an AgentX sub-agent of a running snmpd. Stays in the\n"
          "foreground; SIGTERM or SIGINT stops it.\n"
          "\n"
          "Options:\n"
          "  --config-dir DIR   where ostrik.cf and varnockd.conf are read; the modules\n"
          "                     get DIR/varnockd as the agent path\n"
          "                     (default: %s)\n"
          "  --module PATH      load this module library; repeat for several\n"
          "                     (default: %s)\n"
          "  --tick SECONDS     collect every variable (and call every module's\n"
          "                     callback) this often (default: 5)\n"
          "  --serve MODE       snapshot: answer from the latest collection, made on a\n"
          "                     thread of its own, so a hung server never delays an\n"
          "                     answer (default); live: call the modules inside each\n"
          "                     request, as for troubleshooting\n"
          "  --agentx[=SOCKET]  serve as an AgentX sub-agent of the master agent at\n"
          "                     SOCKET, in Net-SNMP's notation (default: Net-SNMP's\n"
          "                     %s); no listening addresses then\n"
          "  --agentx-ping SECONDS\n"
          "                     ping the AgentX master this often, and try to reach\n"
          "                     it again this often once it is gone (default: %d)\n"
          "  --dump             run every module's refreshes once, print every variable\n"
          "                     (name, instance, type, value) and exit: 0 when every\n"
          "                     configured server answered, 1 otherwise\n"
          "  --state-dir DIR    keep Net-SNMP's persistent state (engine boots, users)\n"
          "                     and the modules' (the access-log checkpoint) in DIR\n"
          "                     (default: none is kept; the modules use\n"
          "                     $STATE_DIRECTORY when it is set)\n"
          "  --debug            log the modules' debug traces\n"
          "  -D[TOKEN[,...]]    turn on Net-SNMP's debugging output for these tokens\n"
          "  -L LOGOPTS         Net-SNMP's log options (default: -Le, standard error)\n"
          "  -h, --help         show this help and exit\n"
          "  -V, --version      show the version and exit\n"
          "\n"
          "LISTENING-ADDRESS is in Net-SNMP's notation, for example udp:127.0.0.1:1161\n"
          "or tcp:0.0.0.0:161 (default: udp:127.0.0.1:1161, unless varnockd.conf\n"
          "names an agentaddress). Without a varnockd.conf the agent answers the\n"
          "read-only community \"public\" from 127.0.0.1 only; with one, its tokens\n"
          "(rocommunity, rouser, agentaddress, ...) decide.\n"
          "\n",
          VARNOCKD_DEFAULT_CONFIG_DIR,
          !module.empty() ? module.c_str() : "none; --module is needed", NETSNMP_AGENTX_SOCKET,
          kDefaultAgentxPingSeconds);
  snmp_log_options_usage("  -L", out);
}

// A whole number of seconds from low to high.
bool parse_seconds(const char *text, long low, long high, int *seconds) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
    return false;
  *seconds = static_cast<int>(value);
  return true;
}

// The real path of a file, or empty.
std::string real_path(const char *path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

// Drops trailing slashes, keeping a lone "/".
std::string without_trailing_slashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  return dir;
}

// The option getopt complained about: a short option's letter, else the
// argument it stopped at.
std::string option_text(char **argv, int shortOption) {
  if (shortOption > 0 && shortOption < 256)
    return std::string("-") + static_cast<char>(shortOption);
  return argv[optind - 1];
}

} // namespace

std::string default_module() {
  // A program run from its build directory loads the module of that build;
  // an installed program loads the installed module, never a build's.
  const std::string program = real_path("/proc/self/exe");
  if (VARNOCKD_BUILD_TREE_MODULE[0] != '\0' && !program.empty() &&
      program == real_path(VARNOCKD_BUILD_TREE_PROGRAM))
    return VARNOCKD_BUILD_TREE_MODULE;
  return VARNOCKD_INSTALLED_MODULE;
}

size_t max_config_dir_length() {
  // agentPath holds "<dir>/varnockd" and its NUL.
  return sizeof(InitBlock{}.agentPath) - 1 - (1 + sizeof kAgentName - 1);
}

ParseOutcome parse_options(int argc, char **argv, Options *options, std::string *error) {
  options->configDir = VARNOCKD_DEFAULT_CONFIG_DIR;
  bool modulesGiven = false;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":hVL:D::", kLongOptions, nullptr)) != -1) {
    switch (c) {
    case kConfigDir:
      options->configDir = without_trailing_slashes(optarg);
      if (options->configDir.empty()) {
        *error = "--config-dir needs a directory";
        return ParseOutcome::Error;
      }
      if (options->configDir.size() > max_config_dir_length()) {
        *error = "--config-dir is too long: at most " + std::to_string(max_config_dir_length()) +
                 " characters";
        return ParseOutcome::Error;
      }
      break;
    case kModule:
      if (!modulesGiven)
        options->modules.clear();
      modulesGiven = true;
      if (*optarg == '\0') {
        *error = "--module needs a path";
        return ParseOutcome::Error;
      }
      options->modules.emplace_back(optarg);
      break;
    case kTick:
      if (!parse_seconds(optarg, 1, 86400, &options->tickSeconds)) {
        *error = std::string("--tick needs a whole number of seconds from 1 to 86400, not '") +
                 optarg + "'";
        return ParseOutcome::Error;
      }
      break;
    case kDebug:
      options->debug = true;
      break;
    case kAgentx:
      options->role = AgentRole::AgentxSubagent;
      if (optarg != nullptr) {
        if (*optarg == '\0') {
          *error = "--agentx= needs a socket";
          return ParseOutcome::Error;
        }
        options->agentxSocket = optarg;
      }
      break;
    case kAgentxPing:
      if (!parse_seconds(optarg, 1, 86400, &options->agentxPingSeconds)) {
        *error = std::string("--agentx-ping needs a whole number of seconds from 1 to 86400, "
                             "not '") +
                 optarg + "'";
        return ParseOutcome::Error;
      }
      options->agentxPingGiven = true;
      break;
    case kDump:
      options->dump = true;
      break;
    case kServe:
      if (strcmp(optarg, "snapshot") == 0) {
        options->serve = ServeMode::Snapshot;
      } else if (strcmp(optarg, "live") == 0) {
        options->serve = ServeMode::Live;
      } else {
        *error = std::string("--serve needs snapshot or live, not '") + optarg + "'";
        return ParseOutcome::Error;
      }
      break;
    case kStateDir:
      options->stateDir = without_trailing_slashes(optarg);
      break;
    case 'L':
      if (snmp_log_options(optarg, argc, argv) < 0) {
        *error = std::string("bad log option -L") + optarg;
        return ParseOutcome::Error;
      }
      options->logConfigured = true;
      break;
    case 'D':
      if (optarg != nullptr)
        debug_register_tokens(optarg);
      snmp_set_do_debugging(1);
      break;
    case 'h':
      print_usage(stdout);
      return ParseOutcome::Done;
    case 'V':
      printf("varnockd %s (Net-SNMP %s)\n", VARNOCKD_VERSION, netsnmp_get_version());
      return ParseOutcome::Done;
    case ':':
      *error = "option " + option_text(argv, optopt) + " needs an argument";
      return ParseOutcome::Error;
    default:
      *error = "unknown option " + option_text(argv, optopt);
      return ParseOutcome::Error;
    }
  }
  if (!modulesGiven) {
    const std::string module = default_module();
    if (!module.empty())
      options->modules.push_back(module);
  }
  if (options->modules.empty()) {
    *error = "no module to load: name one with --module PATH";
    return ParseOutcome::Error;
  }
  for (int i = optind; i < argc; ++i) {
    if (argv[i][0] == '\0') {
      *error = "an empty listening address";
      return ParseOutcome::Error;
    }
    options->addresses.emplace_back(argv[i]);
  }
  if (options->agentxPingGiven && options->role != AgentRole::AgentxSubagent) {
    *error = "--agentx-ping goes with --agentx";
    return ParseOutcome::Error;
  }
  if (options->dump && options->role == AgentRole::AgentxSubagent) {
    *error = "--dump and --agentx exclude each other";
    return ParseOutcome::Error;
  }
  if (!options->addresses.empty() &&
      (options->dump || options->role == AgentRole::AgentxSubagent)) {
    *error = std::string("no listening address goes with ") +
             (options->dump ? "--dump" : "--agentx") + ": '" + options->addresses.front() + "'";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

} // namespace varnockd
