// The daemon's command line: `varnockd [OPTIONS] [LISTENING-ADDRESS ...]`.
#pragma once

#include <string>
#include <vector>

namespace varnockd {

// How the daemon offers its variables: as its own SNMP agent, or as an
// AgentX sub-agent of a master agent (Net-SNMP's snmpd).
enum class AgentRole { Master, AgentxSubagent };

// Where answers come from: a snapshot that the collector thread refreshes
// every tick, or the modules' handlers called inside each request.
enum class ServeMode { Snapshot, Live };

// Seconds between two pings of the AgentX master, and between two attempts
// to reach it again once it is gone.
constexpr int kDefaultAgentxPingSeconds = 15;

struct Options {
  std::string configDir;              // ostrik.cf and varnockd.conf live here
  std::vector<std::string> modules;   // module libraries, in load order
  int tickSeconds = 5;                // period of the modules' callback
  bool debug = false;                 // modules' debug traces (level 7)
  bool logConfigured = false;         // an -L option chose the log outputs
  std::string stateDir;               // Net-SNMP persistent state; empty: none kept
  std::vector<std::string> addresses; // listening addresses, Net-SNMP notation
  AgentRole role = AgentRole::Master;
  std::string agentxSocket; // the master's AgentX socket; empty: Net-SNMP's default
  int agentxPingSeconds = kDefaultAgentxPingSeconds;
  bool agentxPingGiven = false; // --agentx-ping was on the command line
  bool dump = false;            // print every variable once and exit
  ServeMode serve = ServeMode::Snapshot;
};

enum class ParseOutcome {
  Run,   // options are good: start the daemon
  Done,  // --help or --version has been answered: exit 0
  Error, // a message is in *error: exit non-zero
};

// Reads argv into *options. -L and -D options take effect at once (they set
// Net-SNMP's log outputs and debug tokens), as in Net-SNMP's own programs.
ParseOutcome parse_options(int argc, char **argv, Options *options, std::string *error);

// The module a daemon loads when no --module is given: the module of this
// build when the program runs from its build directory, else the installed
// module. Empty when there is none.
std::string default_module();

// Longest configuration directory whose agent path "<dir>/varnockd" fits the
// module's start-up block.
size_t max_config_dir_length();

} // namespace varnockd
