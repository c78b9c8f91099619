// varnockd with the privileges the installed unit gives it (user ostrik,
// group adm, no capability to read past file permissions) watching an
// Apache laid out as Debian lays out its own: a second instance of Debian's
// configuration (/etc/apache2-NAME, apache2ctl), run by root, its PID file
// in /run/apache2-NAME and its logs root:adm 0640 in /var/log/apache2-NAME.
// The unit must see of it what root sees.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/unit_privileges.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::run_command;

// A Debian instance of the machine's /etc/apache2, on a free loopback port
// (never the machine's own port 80): status on, info off. Every path it made
// is removed on destruction, also when it failed to start.
class DebianApache {
public:
  DebianApache() : port_(testsupport::free_tcp_port()) {
    const std::string name = "ostrik" + std::to_string(port_);
    conf_ = "/etc/apache2-" + name;
    paths_ = {conf_, "/run/apache2-" + name, "/var/lock/apache2-" + name,
              "/var/log/apache2-" + name};
    fs::copy("/etc/apache2", conf_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    testsupport::write_file(conf_ + "/ports.conf", "Listen 127.0.0.1:" + port() + "\n");
    for (const auto &entry : fs::directory_iterator(conf_ + "/mods-enabled")) {
      const std::string file = entry.path().filename();
      if (file.rfind("info.", 0) == 0 || file.rfind("ssl.", 0) == 0)
        fs::remove(entry.path());
    }
    for (const char *file : {"status.load", "status.conf"}) {
      if (!fs::exists(conf_ + "/mods-enabled/" + file))
        fs::create_symlink("../mods-available/" + std::string(file),
                           conf_ + "/mods-enabled/" + file);
    }
    // As Debian's package and logrotate leave them.
    const std::string logs = log_dir();
    fs::create_directory(logs);
    chown(logs.c_str(), 0, testsupport::group_id("adm"));
    chmod(logs.c_str(), 0750);
    CommandResult start = ctl("start");
    if (start.exit_code != 0 || !testsupport::wait_for_tcp_port(port_, 20.0))
      throw std::runtime_error("apache2ctl start: " + start.out + start.err);
    for (const auto &entry : fs::directory_iterator(logs)) {
      chown(entry.path().c_str(), 0, testsupport::group_id("adm"));
      chmod(entry.path().c_str(), 0640);
    }
    for (int i = 0; i < 5; ++i)
      testsupport::http_get(port_, "/");
  }
  ~DebianApache() {
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
  DebianApache(const DebianApache &) = delete;
  DebianApache &operator=(const DebianApache &) = delete;

  std::string port() const { return std::to_string(port_); }
  std::string log_dir() const { return paths_[3]; }

private:
  CommandResult ctl(const std::string &action) const {
    // Started by apache2ctl itself even where systemd runs the machine.
    return run_command(
        {"env", "APACHE_CONFDIR=" + conf_, "APACHE_STARTED_BY_SYSTEMD=1", "apache2ctl", action},
        30.0);
  }
  int port_;
  std::string conf_;
  std::vector<std::string> paths_;
};

// A dump's table: "NAME INSTANCE" -> value.
std::map<std::string, std::string> table_of(const std::string &dump) {
  std::map<std::string, std::string> table;
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, instance, type, value;
    if (fields >> name >> instance >> type && std::getline(fields >> std::ws, value))
      table[name + " " + instance] = value;
  }
  return table;
}

TEST(UnitPrivilege, TheUnitSeesADebianApacheAsRootDoes) {
  const testsupport::UnitPrivileges unit =
      testsupport::read_unit_privileges(testsupport::built_unit_file(OSTRIK_BINARY_DIR));
  EXPECT_EQ(unit.user, "ostrik");
  EXPECT_EQ(unit.supplementary, std::vector<std::string>{"adm"});
  EXPECT_EQ(unit.bounding_caps, std::vector<std::string>{"net_bind_service"});
  EXPECT_TRUE(unit.no_new_privileges);
  testsupport::make_system_users(std::string(OSTRIK_SOURCE_DIR) + "/packaging/ostrik.sysusers");

  DebianApache apache;
  // The configuration as the package leaves it: the unit's user's alone.
  testsupport::TempDir config;
  const unsigned uid = testsupport::user_id(unit.user);
  testsupport::write_file(config.file("ostrik.cf"), "discover\n");
  for (const std::string &path : {config.path(), config.file("ostrik.cf")})
    ASSERT_EQ(chown(path.c_str(), uid, static_cast<gid_t>(-1)), 0);
  chmod(config.file("ostrik.cf").c_str(), 0600);

  const std::vector<std::string> dump = {VARNOCKD_PATH, "--dump",   "--config-dir",
                                         config.path(), "--module", OSTRIK_MODULE_PATH};
  const CommandResult as_root = run_command(dump, 120.0);
  const CommandResult as_unit = run_command(testsupport::as_unit(unit, dump), 120.0);
  const auto root_table = table_of(as_root.out), unit_table = table_of(as_unit.out);
  // Other Apaches of this machine may be found too: only this one counts.
  const std::string row = " " + apache.port();
  for (const auto *table : {&root_table, &unit_table}) {
    SCOPED_TRACE(table == &root_table ? "as root\n" + as_root.err : "as the unit\n" + as_unit.err);
    ASSERT_TRUE(table->count("apacheServerPerfPort" + row));
    EXPECT_GT(std::stoll(table->at("apacheFootprintTotalRSS" + row)), 0);
    ASSERT_TRUE(table->count("apacheLogFiles" + row));
    EXPECT_GE(std::stoll(table->at("apacheLogFiles" + row)), 1);
  }
  for (const char *column : {"apacheFootprintNumThreads", "apacheLogFiles",
                             "apacheLogFilesUnreadable", "apacheLogState"})
    EXPECT_EQ(unit_table.at(column + row), root_table.at(column + row)) << column;
  EXPECT_EQ(unit_table.at("apacheLogState" + row), "\"ok\"") << as_unit.err;
}

} // namespace
