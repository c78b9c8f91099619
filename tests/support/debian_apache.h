// An Apache laid out as Debian lays out its own: a second instance of the
// machine's /etc/apache2 (/etc/apache2-NAME, apache2ctl), run by root on a
// free loopback port (never the machine's own port 80), its PID file in
// /run/apache2-NAME and its logs root:adm 0640 in /var/log/apache2-NAME.
// Status on, info off. Every path it made is removed on destruction, also
// when it failed to start.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

class DebianApache {
public:
  // With sites, the sites answer on the instance's port (Debian's default
  // site among them, its "*:80" made the port), and each NAME -> text is
  // enabled as sites-available/NAME.conf, "@PORT@" in text standing for the
  // port. Throws std::runtime_error when the server does not start.
  explicit DebianApache(const std::map<std::string, std::string> &sites = {});
  ~DebianApache();
  DebianApache(const DebianApache &) = delete;
  DebianApache &operator=(const DebianApache &) = delete;

  int port_number() const { return port_; }
  std::string port() const { return std::to_string(port_); }
  std::string log_dir() const { return paths_[3]; }

private:
  void set_up(const std::map<std::string, std::string> &sites);
  void stop_and_remove();

  int port_;
  std::string conf_;
  std::vector<std::string> paths_;
};

} // namespace testsupport
