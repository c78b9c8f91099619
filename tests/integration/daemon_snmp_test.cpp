// varnockd with the real ostrik module: the scalars over SNMP, walks of the
// subtree, sets refused, and the daemon's default module.
#include <signal.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::CommandResult;
using testsupport::parse_varbinds;
using testsupport::Varbind;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

const std::string kSubtree = ".1.3.6.1.4.1.32473.16.3";
const std::string kVersion = kSubtree + ".1.0";
const std::string kMode = kSubtree + ".2.0";
const std::string kTitle = "STRING: \"Apache Server Tessivar, Version 1.0 Patchlevel 5.1\"";

VarnockdSetup ostrik_setup() {
  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  // No servers: the tables stay empty and only the scalars answer.
  setup.ostrik_cf = "# no servers\n";
  return setup;
}

TEST(DaemonSnmp, GetAnswersTitleAndMode) {
  Varnockd daemon(ostrik_setup());
  CommandResult r = daemon.get({kVersion, kMode});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Varbind> got = parse_varbinds(r.out);
  ASSERT_EQ(got.size(), 2u) << r.out;
  EXPECT_EQ(got[0].oid, kVersion);
  EXPECT_EQ(got[0].value, kTitle);
  EXPECT_EQ(got[1].oid, kMode);
  EXPECT_EQ(got[1].value, "INTEGER: 1");
}

TEST(DaemonSnmp, WalkAndBulkWalkAnswerBothScalarsAndEnd) {
  Varnockd daemon(ostrik_setup());
  for (const std::string tool : {"snmpwalk", "snmpbulkwalk"}) {
    CommandResult r = daemon.tool(tool, {kSubtree});
    ASSERT_EQ(r.exit_code, 0) << tool << ": " << r.err;
    EXPECT_EQ(r.err, "") << tool;
    std::vector<Varbind> got = parse_varbinds(r.out);
    ASSERT_EQ(got.size(), 2u) << tool << ": " << r.out;
    EXPECT_EQ(got[0].oid, kVersion);
    EXPECT_EQ(got[0].value, kTitle);
    EXPECT_EQ(got[1].oid, kMode);
    EXPECT_EQ(got[1].value, "INTEGER: 1");
  }
}

// The agent's own system group, with sysObjectID under our enterprise and
// the names from varnockd.conf, its SNMP statistics, and OSTRIK-MIB listed
// in sysORTable; a sysobjectid line of varnockd.conf names another.
TEST(DaemonSnmp, ServesTheSystemGroupAndItsStatistics) {
  const std::string sys = ".1.3.6.1.2.1.1.";
  VarnockdSetup setup = ostrik_setup();
  setup.varnockd_conf = "rocommunity public 127.0.0.1\nsyscontact ops@example.org\n"
                        "sysName web-1\nsyslocation rack 4, row 2\n";
  Varnockd daemon(setup);
  CommandResult r = daemon.get({sys + "3.0", sys + "1.0", sys + "2.0", sys + "4.0", sys + "5.0",
                                sys + "6.0", ".1.3.6.1.2.1.11.1.0"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Varbind> got = parse_varbinds(r.out);
  ASSERT_EQ(got.size(), 7u) << r.out;
  EXPECT_EQ(got[0].value.rfind("Timeticks: ", 0), 0u) << got[0].value;
  EXPECT_EQ(got[1].value.rfind("STRING: \"", 0), 0u) << got[1].value;
  EXPECT_EQ(got[2].value, "OID: " + kSubtree);
  EXPECT_EQ(got[3].value, "STRING: \"ops@example.org\"");
  EXPECT_EQ(got[4].value, "STRING: \"web-1\"");
  EXPECT_EQ(got[5].value, "STRING: \"rack 4, row 2\"");
  EXPECT_EQ(got[6].value.rfind("Counter32: ", 0), 0u) << got[6].value; // snmpInPkts

  const CommandResult table = daemon.tool("snmpwalk", {sys + "9.1.2"});
  ASSERT_EQ(table.exit_code, 0) << table.err;
  EXPECT_NE(table.out.find("OID: " + kSubtree + "\n"), std::string::npos) << table.out;

  setup.varnockd_conf = "rocommunity public 127.0.0.1\nsysObjectID .1.3.6.1.4.1.32473.99\n";
  Varnockd named(setup);
  EXPECT_EQ(parse_varbinds(named.get({sys + "2.0"}).out).at(0).value, "OID: .1.3.6.1.4.1.32473.99");
}

TEST(DaemonSnmp, SetIsRefused) {
  VarnockdSetup setup = ostrik_setup();
  setup.varnockd_conf = "rwcommunity private 127.0.0.1\nrocommunity public 127.0.0.1\n";
  Varnockd daemon(setup);
  CommandResult readOnly = daemon.set(kMode, "i", "2");
  EXPECT_NE(readOnly.exit_code, 0);
  EXPECT_NE(readOnly.err.find("noAccess"), std::string::npos) << readOnly.err;
  CommandResult writable = daemon.set(kMode, "i", "2", "private");
  EXPECT_NE(writable.exit_code, 0);
  EXPECT_NE(writable.err.find("notWritable"), std::string::npos) << writable.err;
  EXPECT_EQ(parse_varbinds(daemon.get({kMode}).out).at(0).value, "INTEGER: 1");
}

TEST(DaemonSnmp, ModuleReadsOstrikCfFromTheConfigDirectory) {
  // A bad line is reported with the configuration path the module derived
  // from the agent path "<config dir>/varnockd".
  VarnockdSetup setup = ostrik_setup();
  setup.ostrik_cf = "bogus line\n";
  Varnockd daemon(setup);
  EXPECT_NE(daemon.log().find(daemon.config_dir() + "/ostrik.cf"), std::string::npos)
      << daemon.log();
}

TEST(DaemonSnmp, LoadsTheBuildsOstrikModuleByDefault) {
  VarnockdSetup setup = ostrik_setup();
  setup.modules.clear();
  Varnockd daemon(setup);
  EXPECT_EQ(parse_varbinds(daemon.get({kVersion}).out).at(0).value, kTitle);
}

TEST(DaemonSnmp, DebugShowsTheModulesTraces) {
  VarnockdSetup setup = ostrik_setup();
  setup.debug = true;
  Varnockd daemon(setup);
  EXPECT_NE(daemon.log().find("ostrik_init: starting with path name " + daemon.config_dir() +
                              "/varnockd"),
            std::string::npos)
      << daemon.log();
  Varnockd quiet(ostrik_setup());
  EXPECT_EQ(quiet.log().find("ostrik_init:"), std::string::npos) << quiet.log();
}

// A module file that cannot be loaded at a reload: the answers of before
// stay served, the log says why once, and the next try after the file is
// back loads it.
TEST(DaemonSnmp, ReloadOfAModuleThatCannotBeLoadedKeepsServingTheOldAnswers) {
  testsupport::TempDir dir;
  const std::string module = dir.file("ostrik.so");
  const auto replace = [&](const std::vector<std::string> &write) {
    ASSERT_EQ(testsupport::run_command(write).exit_code, 0);
    ASSERT_EQ(rename(dir.file("new.so").c_str(), module.c_str()), 0);
  };
  replace({"cp", OSTRIK_MODULE_PATH, dir.file("new.so")});
  VarnockdSetup setup = ostrik_setup();
  setup.modules = {module};
  setup.tick_seconds = 1;
  Varnockd daemon(setup);

  replace({"truncate", "-s", "10", dir.file("new.so")});
  ASSERT_EQ(kill(daemon.process().pid(), SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::seconds(3)); // three tries
  CommandResult r = daemon.get({kVersion});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(parse_varbinds(r.out).at(0).value, kTitle);

  replace({"cp", OSTRIK_MODULE_PATH, dir.file("new.so")});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (daemon.log().find("varnockd: modules reloaded") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string log = daemon.log();
  EXPECT_NE(log.find("varnockd: modules reloaded"), std::string::npos) << log;
  const std::string failed = "varnockd: reload failed: cannot load module " + module;
  EXPECT_NE(log.find(failed), std::string::npos) << log;
  EXPECT_EQ(log.find(failed), log.rfind(failed)) << "said once: " << log;
  EXPECT_EQ(daemon.get({kVersion}).exit_code, 0);
}

} // namespace
