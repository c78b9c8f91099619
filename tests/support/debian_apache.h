// A second instance of the machine's Debian apache2 configuration
// (/etc/apache2-NAME, apache2ctl), run by root on a free loopback port (never
// the machine's own port 80): status on, info and ssl off, its PID file in
// /run/apache2-NAME and its logs root:adm 0640 in /var/log/apache2-NAME, as
// Debian's package and logrotate leave them. Every path it made is removed
// on destruction, also when it failed to start.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

class DebianApache {
public:
  // Starts the instance and sends it a few requests; throws
  // std::runtime_error when it does not come up.
  DebianApache();
  ~DebianApache();
  DebianApache(const DebianApache &) = delete;
  DebianApache &operator=(const DebianApache &) = delete;

  std::string port() const { return std::to_string(port_); }
  std::string log_dir() const { return paths_[3]; }

private:
  CommandResult ctl(const std::string &action) const;
  int port_;
  std::string conf_;
  std::vector<std::string> paths_;
};

} // namespace testsupport
