// The agent daemon varnockd for integration tests: a configuration directory
// of its own, a free UDP port on 127.0.0.1, started and waited for until it
// answers, always stopped; and Net-SNMP's command-line tools pointed at it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

struct VarnockdSetup {
  std::string daemon;                  // path of the varnockd program
  std::vector<std::string> launcher;   // a command that runs the daemon, e.g. nsenter ...
  std::vector<std::string> modules;    // a --module each; empty: the daemon's default
  std::string ostrik_cf;               // written as <config dir>/ostrik.cf when not empty
  std::string varnockd_conf;           // written as <config dir>/varnockd.conf when not empty
  int tick_seconds = 0;                // --tick; 0: the daemon's default
  bool debug = false;                  // --debug
  std::vector<std::string> extra_args; // further options, before the address
  // Further files of the configuration directory: name, content.
  std::vector<std::pair<std::string, std::string>> files;
  // The community the tools use, also to see that the daemon answers.
  std::string community = "public";
  double start_timeout_seconds = 20.0; // until the daemon must answer
  // Wait, within that time, until every server's status page has been
  // fetched once (the daemon answers before its first collection ends).
  bool wait_for_first_reads = true;
};

// One variable binding of a tool's output "OID = TYPE: value".
struct Varbind {
  std::string oid;   // numeric, with its leading dot
  std::string value; // everything after " = "
};

class Varnockd {
public:
  // Writes the configuration directory, starts the daemon on a free port and
  // waits until it answers SNMP. Throws std::runtime_error (with the
  // daemon's error output) when it exits or does not answer in time.
  explicit Varnockd(VarnockdSetup setup);
  ~Varnockd();
  Varnockd(const Varnockd &) = delete;
  Varnockd &operator=(const Varnockd &) = delete;

  int port() const { return port_; }
  // The agent as the tools name it: 127.0.0.1:PORT.
  std::string agent() const;
  const std::string &config_dir() const { return dir_.path(); }
  Process &process() { return *process_; }
  // The daemon's log (its standard error) so far.
  std::string log() const { return process_->err(); }
  // Whole seconds since the daemon was started, rounded up: a bound on the
  // age of anything it has read, however slow the machine.
  long seconds_running() const;
  // Sends sig and waits for the daemon to end; its exit status. Once the
  // daemon has ended, a sanitizer report in its log fails the running test.
  int stop(int sig = 15, double timeout_seconds = 10.0);

  // Net-SNMP's tools against this daemon: SNMPv2c, the setup's community
  // unless another is given, numeric OIDs, no retries.
  CommandResult get(const std::vector<std::string> &oids) const;
  CommandResult getnext(const std::vector<std::string> &oids) const;
  CommandResult walk(const std::string &oid) const;
  CommandResult bulkwalk(const std::string &oid) const;
  CommandResult set(const std::string &oid, const std::string &type, const std::string &value,
                    const std::string &community = "") const;
  // Any tool (snmptable, snmpbulkget, ...) with the common options first.
  CommandResult tool(const std::string &name, const std::vector<std::string> &args,
                     const std::string &community = "") const;

private:
  TempDir dir_;
  std::string community_;
  int port_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::unique_ptr<Process> process_;
  bool log_checked_ = false;
  void check_log_for_sanitizer_reports();
};

// A steady stream of `snmpget -t 1 -r 0` of one OID against an agent, one
// after another on a thread of its own, from construction until finish().
class GetStream {
public:
  GetStream(std::string agent, std::string oid, std::string community = "public");
  ~GetStream();
  GetStream(const GetStream &) = delete;
  GetStream &operator=(const GetStream &) = delete;
  // Ends the stream; the number of requests sent. Failed ones are kept in
  // failures() (the tool's error output each).
  int finish();
  const std::vector<std::string> &failures() const { return failures_; }

private:
  std::string agent_, oid_, community_;
  std::atomic<bool> stop_{false};
  int sent_ = 0;
  std::vector<std::string> failures_;
  std::thread thread_;
};

// The first line of a sanitizer's report (AddressSanitizer, LeakSanitizer,
// UndefinedBehaviorSanitizer, ThreadSanitizer) in a program's error output;
// empty when none.
std::string sanitizer_report(const std::string &log);

// The common arguments of the tools: name -M test_mib_path() -v2c -c
// community -On -r 0 -t 20.
std::vector<std::string> snmp_tool_command(const std::string &name, const std::string &community);

// The MIB directories the tests give the tools (-M): the base modules and
// this tree's mib/. Never the system's own: the tools index every file of
// their directories even when they load no module, and the package test
// installs and removes OSTRIK-MIB there while other tests walk; a file gone
// between the listing and the read is a line on the tools' stderr.
std::string test_mib_path();

// The variable bindings of a tool's output, one per line "OID = value".
std::vector<Varbind> parse_varbinds(const std::string &output);

} // namespace testsupport
