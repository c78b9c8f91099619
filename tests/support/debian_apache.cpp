#include "tests/support/debian_apache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/apache.h"
#include "tests/support/unit_privileges.h"

namespace testsupport {

namespace fs = std::filesystem;

DebianApache::DebianApache() : port_(free_tcp_port()) {
  const std::string name = "ostrik" + std::to_string(port_);
  conf_ = "/etc/apache2-" + name;
  paths_ = {conf_, "/run/apache2-" + name, "/var/lock/apache2-" + name, "/var/log/apache2-" + name};
  fs::copy("/etc/apache2", conf_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  write_file(conf_ + "/ports.conf", "Listen 127.0.0.1:" + port() + "\n");
  for (const auto &entry : fs::directory_iterator(conf_ + "/mods-enabled")) {
    const std::string file = entry.path().filename();
    if (file.rfind("info.", 0) == 0 || file.rfind("ssl.", 0) == 0)
      fs::remove(entry.path());
  }
  for (const char *file : {"status.load", "status.conf"}) {
    if (!fs::exists(conf_ + "/mods-enabled/" + file))
      fs::create_symlink("../mods-available/" + std::string(file), conf_ + "/mods-enabled/" + file);
  }
  const std::string logs = log_dir();
  fs::create_directory(logs);
  chown(logs.c_str(), 0, group_id("adm"));
  chmod(logs.c_str(), 0750);
  CommandResult start = ctl("start");
  if (start.exit_code != 0 || !wait_for_tcp_port(port_, 20.0))
    throw std::runtime_error("apache2ctl start: " + start.out + start.err);
  for (const auto &entry : fs::directory_iterator(logs)) {
    chown(entry.path().c_str(), 0, group_id("adm"));
    chmod(entry.path().c_str(), 0640);
  }
  for (int i = 0; i < 5; ++i)
    http_get(port_, "/");
}

DebianApache::~DebianApache() {
  if (fs::exists(conf_ + "/apache2.conf")) {
    ctl("stop");
    const std::string pid_file = paths_[1] + "/apache2.pid";
    for (int i = 0; i < 100 && fs::exists(pid_file); ++i)
      usleep(100 * 1000);
  }
  for (const std::string &path : paths_) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
}

CommandResult DebianApache::ctl(const std::string &action) const {
  // Started by apache2ctl itself even where systemd runs the machine.
  return run_command(
      {"env", "APACHE_CONFDIR=" + conf_, "APACHE_STARTED_BY_SYSTEMD=1", "apache2ctl", action},
      30.0);
}

} // namespace testsupport
