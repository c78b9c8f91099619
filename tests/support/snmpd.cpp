#include "tests/support/snmpd.h"

#include "tests/support/varnockd.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStartTimeoutSeconds = 20.0;

bool answers(const std::string &agent) {
  CommandResult r = run_command({"snmpget", "-v2c", "-c", "public", "-On", "-r", "0", "-t", "0.5",
                                 agent, "1.3.6.1.2.1.1.1.0"},
                                10.0);
  return r.exit_code == 0 && r.out.find(" = ") != std::string::npos;
}

} // namespace

MasterSnmpd::MasterSnmpd(const std::string &extra_conf) {
  port_ = free_udp_port();
  write_file(dir_.file("snmpd.conf"), "master agentx\n"
                                      "agentXSocket " +
                                          agentx_socket() +
                                          "\n"
                                          "rocommunity public 127.0.0.1\n" +
                                          extra_conf);
  start();
}

MasterSnmpd::~MasterSnmpd() {
  if (process_)
    process_->stop();
}

std::string MasterSnmpd::agent() const { return "127.0.0.1:" + std::to_string(port_); }

std::string MasterSnmpd::agentx_socket() const { return "unix:" + dir_.file("agentx.sock"); }

void MasterSnmpd::start() {
  // -C: no configuration but this one; MIBS empty: no MIB files loaded (the
  // agent serves numeric OIDs); SNMP_PERSISTENT_DIR: the engine's state
  // stays in the test's directory; smux is left out (its port 199 may be
  // taken by the machine's own snmpd).
  process_.reset();
  process_ = std::make_unique<Process>(
      std::vector<std::string>{"env", "MIBS=", "SNMP_PERSISTENT_DIR=" + dir_.file("state"), "snmpd",
                               "-f", "-Lo", "-C", "-I", "-smux", "-c", dir_.file("snmpd.conf"),
                               "-p", dir_.file("snmpd.pid"), "udp:" + agent()},
      dir_.file("snmpd"));
  const auto deadline = Clock::now() + std::chrono::duration<double>(kStartTimeoutSeconds);
  for (;;) {
    if (!process_->running())
      throw std::runtime_error("snmpd exited at start-up: " + log());
    if (answers(agent()))
      return;
    if (Clock::now() >= deadline) {
      const std::string out = log();
      process_->stop();
      throw std::runtime_error("snmpd does not answer on " + agent() + ": " + out);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void MasterSnmpd::stop() {
  if (process_)
    process_->stop();
}

bool MasterSnmpd::running() { return process_ && process_->running(); }

std::string MasterSnmpd::log() const { return process_ ? process_->out() + process_->err() : ""; }

CommandResult MasterSnmpd::tool(const std::string &name, const std::vector<std::string> &options,
                                const std::vector<std::string> &args) const {
  std::vector<std::string> argv = {name, "-M", test_mib_path(), "-v2c", "-c", "public", "-r", "0",
                                   "-t", "20"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(agent());
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, 90.0);
}

} // namespace testsupport
