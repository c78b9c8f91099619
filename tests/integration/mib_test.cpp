// mib/OSTRIK-MIB.txt: it passes smilint, loads in Net-SNMP with only the
// base modules (SNMPv2-SMI, SNMPv2-TC, SNMPv2-CONF), and names every variable of the module's
// descriptor table with the same OID and type; the tools resolve its names
// against the running daemon.
#include <gtest/gtest.h>

#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "module/ostrik.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::CommandResult;
using testsupport::run_command;

const std::string kMibDir = std::string(OSTRIK_SOURCE_DIR) + "/mib";
const std::string kMibFile = kMibDir + "/OSTRIK-MIB.txt";
const std::string kMibPath = testsupport::test_mib_path();

CommandResult smilint(int level) {
  return run_command({"env", "SMIPATH=" + std::string(OSTRIK_BASE_MIBS_DIR), "smilint", "-m", "-l",
                      std::to_string(level), kMibFile});
}

CommandResult snmptranslate(std::vector<std::string> args) {
  args.insert(args.begin(), {"snmptranslate", "-M", kMibPath, "-m", "OSTRIK-MIB"});
  return run_command(args);
}

std::string oid_text(const uint32_t *oid, int length) {
  std::string text;
  for (int i = 0; i < length; ++i)
    text.append(i ? "." : "").append(std::to_string(oid[i]));
  return text;
}

TEST(OstrikMib, PassesSmilintAtLevelFour) {
  CommandResult r = smilint(4);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "");
}

TEST(OstrikMib, OnlyExplainedWarningsBelowLevelFour) {
  // The lower-level notes are the readable index columns, explained in
  // the MIB beside apacheConfigPort, apacheVhostLogName, the balancer
  // member table's names and apacheCertPort.
  CommandResult r = smilint(6);
  std::istringstream lines(r.out + r.err);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_NE(line.find("{index-element-accessible}"), std::string::npos) << line;
    EXPECT_TRUE(line.find("`apacheConfigPort'") != std::string::npos ||
                line.find("`apacheVhostLogName'") != std::string::npos ||
                line.find("`apacheBalancerMemberBalancer'") != std::string::npos ||
                line.find("`apacheBalancerMemberName'") != std::string::npos ||
                line.find("`apacheCertPort'") != std::string::npos ||
                line.find("`apacheCertName'") != std::string::npos)
        << line;
  }
  EXPECT_LE(count, 6);
  const std::string mib = testsupport::read_file(kMibFile);
  EXPECT_NE(mib.find("smilint notes at level 5"), std::string::npos);
  EXPECT_NE(mib.find("apacheVhostLogName is an index element and a readable column"),
            std::string::npos);
}

TEST(OstrikMib, EveryDescriptorHasItsNameOidAndType) {
  // All labels with their OIDs, and the tree with each object's type.
  CommandResult labels = snmptranslate({"-Tz"});
  ASSERT_EQ(labels.exit_code, 0) << labels.err;
  EXPECT_EQ(labels.err, "");
  std::map<std::string, std::string> oid_of;
  std::istringstream z(labels.out);
  std::string name, oid;
  while (z >> std::quoted(name) >> std::quoted(oid))
    oid_of[name] = oid;

  CommandResult tree = snmptranslate({"-Tp"});
  ASSERT_EQ(tree.exit_code, 0) << tree.err;
  std::map<std::string, std::string> type_of;
  std::istringstream t(tree.out);
  std::string line;
  while (std::getline(t, line)) {
    const size_t access = line.find("-- -R-- ");
    if (access == std::string::npos)
      continue;
    std::istringstream fields(line.substr(access + 8));
    std::string type, object;
    fields >> type >> object;
    type_of[object.substr(0, object.find('('))] = type;
  }

  const std::map<uint8_t, std::string> kNetSnmpType = {
      {VARNOCK_TYPE_INTEGER, "Integer32"},   {VARNOCK_TYPE_OCTET_STRING, "String"},
      {VARNOCK_TYPE_COUNTER32, "Counter"},   {VARNOCK_TYPE_GAUGE32, "Gauge"},
      {VARNOCK_TYPE_COUNTER64, "Counter64"},
  };
  std::vector<const MibVariable *> all;
  for (const MibVariable &var : ostrik_variables)
    all.push_back(&var);
  for (const MibVariable &var : ostrik_ext_variables)
    all.push_back(&var);
  for (const MibVariable *var : all) {
    // The object's OID is the descriptor's without its last arc (the
    // scalar's .0, a table's index placeholder).
    SCOPED_TRACE(var->name);
    ASSERT_TRUE(oid_of.count(var->name));
    EXPECT_EQ(oid_of[var->name], oid_text(var->oid, var->oidLength - 1));
    // The outcome columns, the member state and the certificates' verdicts
    // are INTEGERs with named values.
    const std::string name = var->name;
    const bool outcome = name.find("Outcome") != std::string::npos ||
                         name == "apacheBalancerMemberState" || name == "apacheCertChainVerified" ||
                         name == "apacheCertNameMatch";
    EXPECT_EQ(type_of[var->name], outcome ? "EnumVal" : kNetSnmpType.at(var->type));
  }
  EXPECT_EQ(type_of.size(), static_cast<size_t>(OSTRIK_REGISTERED_COUNT));
  for (const char *table : {"apacheConfigTable", "apacheFootprintTable", "apacheServerPerfTable",
                            "apacheServerPerfExtTable", "apacheServerHealthTable", "apacheLogTable",
                            "apacheVhostLogTable", "apacheBalancerMemberTable", "apacheCertTable"})
    EXPECT_TRUE(oid_of.count(table)) << table;
}

TEST(OstrikMib, ToolsResolveNamesAgainstTheDaemon) {
  testsupport::VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = "# no servers\n";
  testsupport::Varnockd daemon(setup);
  CommandResult get =
      run_command({"snmpget", "-v2c", "-c", "public", "-M", kMibPath, "-m", "OSTRIK-MIB",
                   daemon.agent(), "OSTRIK-MIB::ostrikVersion.0", "OSTRIK-MIB::ostrikMode.0"});
  ASSERT_EQ(get.exit_code, 0) << get.err;
  EXPECT_EQ(get.err, "");
  EXPECT_EQ(get.out, "OSTRIK-MIB::ostrikVersion.0 = STRING: Apache Server Tessivar, Version 1.0 "
                     "Patchlevel 5.1\n"
                     "OSTRIK-MIB::ostrikMode.0 = INTEGER: 1\n");
  CommandResult walk = run_command({"snmpwalk", "-v2c", "-c", "public", "-M", kMibPath, "-m",
                                    "OSTRIK-MIB", daemon.agent(), "OSTRIK-MIB::ostrikMIB"});
  ASSERT_EQ(walk.exit_code, 0) << walk.err;
  EXPECT_EQ(walk.out, get.out);
}

} // namespace
