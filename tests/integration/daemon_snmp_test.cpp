// varnockd with the real ostrik module: the scalars over SNMP, walks of the
// subtree, sets refused, and the daemon's default module.
#include <gtest/gtest.h>

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

} // namespace
