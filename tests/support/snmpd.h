// Net-SNMP's own agent snmpd as an AgentX master for integration tests: a
// private configuration (a free UDP port on 127.0.0.1, `master agentx`, the
// AgentX socket in a directory of its own, the community "public" from
// 127.0.0.1 and nothing else), its persistent state kept in that directory,
// started and waited for until it answers, always stopped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

class MasterSnmpd {
public:
  // Writes the configuration and starts the master. Throws
  // std::runtime_error (with snmpd's output) when it does not come up.
  // extra_conf: further lines of its snmpd.conf.
  explicit MasterSnmpd(const std::string &extra_conf = "");
  ~MasterSnmpd();
  MasterSnmpd(const MasterSnmpd &) = delete;
  MasterSnmpd &operator=(const MasterSnmpd &) = delete;

  int port() const { return port_; }
  // The master as the tools name it: 127.0.0.1:PORT.
  std::string agent() const;
  // The AgentX socket in Net-SNMP's notation: unix:DIR/agentx.sock.
  std::string agentx_socket() const;
  const std::string &dir() const { return dir_.path(); }

  // Stops the master (SIGTERM) and waits until it has gone.
  void stop();
  // Starts it again on the same port and socket; throws as the constructor.
  void start();
  bool running();

  // snmpd's output so far (the current run's).
  std::string log() const;

  // Any Net-SNMP tool against the master: SNMPv2c, community "public", no
  // retries, the options given before the agent and args after it.
  CommandResult tool(const std::string &name, const std::vector<std::string> &options,
                     const std::vector<std::string> &args) const;

private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

} // namespace testsupport
