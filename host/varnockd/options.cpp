// Command-line parsing in Net-SNMP's manner: long options for the daemon's own
// settings, Net-SNMP's -L log options and -D debug tokens, and listening
// addresses as the remaining arguments.
#include "host/varnockd/options.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

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
};

const option kLongOptions[] = {
    {"config-dir", required_argument, nullptr, kConfigDir},
    {"module", required_argument, nullptr, kModule},
    {"tick", required_argument, nullptr, kTick},
    {"debug", no_argument, nullptr, kDebug},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

void print_usage(FILE *out) {
  fprintf(out,
          "Usage: varnockd [OPTIONS] [LISTENING-ADDRESS ...]\n"
          "\n"
          "Loads monitoring modules and serves their variables over SNMP. Stays in the\n"
          "foreground; SIGTERM or SIGINT stops it.\n"
          "\n"
          "Options:\n"
          "  --config-dir DIR   where ostrik.cf and varnockd.conf are read; the modules\n"
          "                     get DIR/varnockd as the agent path\n"
          "                     (default: %s)\n"
          "  --module PATH      load this module library; repeat for several\n"
          "                     (default: %s)\n"
          "  --tick SECONDS     call every module's callback this often (default: 5)\n"
          "  --state-dir DIR    keep Net-SNMP's persistent state (engine boots, users)\n"
          "                     in DIR (default: none is kept)\n"
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
          VARNOCKD_DEFAULT_MODULE[0] != '\0' ? VARNOCKD_DEFAULT_MODULE
                                             : "none; --module is needed");
  snmp_log_options_usage("  -L", out);
}

// A whole positive number of seconds, at most a day.
bool parse_tick(const char *text, int *seconds) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 86400)
    return false;
  *seconds = static_cast<int>(value);
  return true;
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
      if (!parse_tick(optarg, &options->tickSeconds)) {
        *error = std::string("--tick needs a whole number of seconds from 1 to 86400, not '") +
                 optarg + "'";
        return ParseOutcome::Error;
      }
      break;
    case kDebug:
      options->debug = true;
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
  if (!modulesGiven && VARNOCKD_DEFAULT_MODULE[0] != '\0')
    options->modules.emplace_back(VARNOCKD_DEFAULT_MODULE);
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
  return ParseOutcome::Run;
}

} // namespace varnockd
