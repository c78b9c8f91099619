// varnockd with the privileges the installed unit gives it (user ostrik,
// group adm, no capability to read past file permissions) watching an
// Apache laid out as Debian lays out its own: a second instance of Debian's
// configuration (/etc/apache2-NAME, apache2ctl), run by root, its PID file
// in /run/apache2-NAME and its logs root:adm 0640 in /var/log/apache2-NAME.
// The unit must see of it what root sees.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/debian_apache.h"
#include "tests/support/process.h"
#include "tests/support/unit_privileges.h"

namespace {

using testsupport::CommandResult;
using testsupport::DebianApache;
using testsupport::run_command;

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

  testsupport::DebianApache apache;
  // The configuration as the package leaves it: the unit's user's alone.
  testsupport::TempDir config;
  const unsigned uid = testsupport::user_id(unit.user);
  // Discovery limited to this test's own Apache: its probes would add lines
  // to the logs of other tests' servers, whose counts they check.
  testsupport::write_file(config.file("ostrik.cf"), "discover ports=" + apache.port() + "\n");
  for (const std::string &path : {config.path(), config.file("ostrik.cf")})
    ASSERT_EQ(chown(path.c_str(), uid, static_cast<gid_t>(-1)), 0);
  chmod(config.file("ostrik.cf").c_str(), 0600);

  const std::vector<std::string> dump = {VARNOCKD_PATH, "--dump",   "--config-dir",
                                         config.path(), "--module", OSTRIK_MODULE_PATH};
  // Other Apaches of this machine may be found too: only this one counts.
  const std::string row = " " + apache.port();
  // Apache may start or end a worker thread between the two dumps (on a
  // busy machine its children come up late): the pair is taken again, up
  // to three times, until both saw the same number of threads.
  CommandResult as_root, as_unit;
  std::map<std::string, std::string> root_table, unit_table;
  for (int pair = 0; pair < 3; ++pair) {
    as_root = run_command(dump, 120.0);
    as_unit = run_command(testsupport::as_unit(unit, dump), 120.0);
    root_table = table_of(as_root.out);
    unit_table = table_of(as_unit.out);
    const std::string threads = "apacheFootprintNumThreads" + row;
    if (root_table.count(threads) != 0 && root_table[threads] == unit_table[threads])
      break;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
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
