// The descriptor table as the agent reads it: 62 entries in registration
// order, each with its OID, type, number, handler and name at the agent's
// byte offsets; and the descriptors added since, laid out the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "module/ostrik.h"

namespace {

enum : uint8_t { INT = 0x02, STR = 0x04, CNT = 0x41, GAU = 0x42 };

struct Group {
  const char *label;
  std::vector<uint32_t> arcs; // under enterprises.32473.16.3, before the column
  VariableHandler handler;
  std::vector<std::pair<const char *, uint8_t>> columns; // name and type, magic 1..n
};

const std::vector<Group> &groups() {
  static const std::vector<Group> g = {
      {"scalars", {}, var_ostrik, {{"ostrikVersion", STR}, {"ostrikMode", INT}}},
      {"configuration",
       {10, 1},
       var_apacheconfig,
       {{"apacheConfigPort", INT},
        {"apacheConfigVersion", STR},
        {"apacheConfigPID", INT},
        {"apacheConfigRunMode", STR},
        {"apacheConfigUser", STR},
        {"apacheConfigGroup", STR},
        {"apacheConfigHostname", STR},
        {"apacheConfigStartProcs", INT},
        {"apacheConfigMinIdleProcs", INT},
        {"apacheConfigMaxIdleProcs", INT},
        {"apacheConfigMaxProcs", INT},
        {"apacheConfigRequestsMaxPerChild", INT},
        {"apacheConfigRequestsKeepAlive", INT},
        {"apacheConfigRequestsMaxPerConn", INT},
        {"apacheConfigThreadsPerChild", INT},
        {"apacheConfigConnectionTimeout", INT},
        {"apacheConfigKeepAliveTimeout", INT},
        {"apacheConfigServerRoot", STR},
        {"apacheConfigConfigFile", STR},
        {"apacheConfigPIDFile", STR},
        {"apacheConfigScoreboardFile", STR},
        {"apacheConfigDocumentRoot", STR},
        {"apacheConfigAccessLog", STR},
        {"apacheConfigErrorLog", STR},
        {"apacheConfigScriptLog", STR}}},
      {"footprint",
       {11, 1, 1},
       var_apachefootprint,
       {{"apacheFootprintPort", CNT},        {"apacheFootprintCPUTime", CNT},
        {"apacheFootprintPercentCPU", CNT},  {"apacheFootprintTotalMEMSize", CNT},
        {"apacheFootprintTotalRSS", CNT},    {"apacheFootprintPercentMEM", CNT},
        {"apacheFootprintNumThreads", CNT},  {"apacheFootprintInBlks", CNT},
        {"apacheFootprintOutBlks", CNT},     {"apacheFootprintMsgsSent", CNT},
        {"apacheFootprintMsgsRecv", CNT},    {"apacheFootprintSysCalls", CNT},
        {"apacheFootprintMinorPgFlts", CNT}, {"apacheFootprintMajorPgFlts", CNT},
        {"apacheFootprintNumSwaps", CNT},    {"apacheFootprintVolCtx", CNT},
        {"apacheFootprintInvolCtx", CNT},    {"apacheFootprintTotalLogSize", CNT},
        {"apacheFootprintDocSize", CNT},     {"apacheFootprintTotalDiskSize", CNT}}},
      {"performance",
       {11, 2, 1},
       var_apacheperf,
       {{"apacheServerPerfPort", CNT},
        {"apacheServerPerfUptime", CNT},
        {"apacheServerPerfTotalAccesses", CNT},
        {"apacheServerPerfTotalTraffic", CNT},
        {"apacheServerPerfCurrentUsers", GAU},
        {"apacheServerPerfCurrentIdleProcs", GAU},
        {"apacheServerPerfCurrentStartupProcs", GAU},
        {"apacheServerPerfCurrentReadProcs", GAU},
        {"apacheServerPerfCurrentReplyProcs", GAU},
        {"apacheServerPerfCurrentKeepAliveProcs", GAU},
        {"apacheServerPerfCurrentDNSProcs", GAU},
        {"apacheServerPerfCurrentLoggingProcs", GAU},
        {"apacheServerPerfCurrentFinishingProcs", GAU},
        {"apacheServerPerfCurrentTotalProcs", GAU},
        {"apacheServerPerfCurrentBusyProcs", GAU}}},
  };
  return g;
}

const std::vector<uint32_t> SUBTREE = {1, 3, 6, 1, 4, 1, 32473, 16, 3};

// Every descriptor the module registers: the 62, then the added ones.
std::vector<const MibVariable *> all_descriptors() {
  std::vector<const MibVariable *> all;
  for (const MibVariable &v : ostrik_variables) {
    all.push_back(&v);
  }
  for (const MibVariable &v : ostrik_ext_variables) {
    all.push_back(&v);
  }
  return all;
}

TEST(DescriptorTable, HasSixtyTwoEntries) {
  EXPECT_EQ(sizeof ostrik_variables / sizeof ostrik_variables[0], 62u);
  size_t total = 0;
  for (const Group &g : groups()) {
    total += g.columns.size();
  }
  EXPECT_EQ(total, 62u);
}

// Every entry in order: OID, its length, type, number, handler and name.
TEST(DescriptorTable, EntriesInRegistrationOrder) {
  int position = 0;
  for (const Group &g : groups()) {
    uint8_t magic = 1;
    for (const auto &[name, type] : g.columns) {
      const MibVariable &v = ostrik_variables[position];
      SCOPED_TRACE(std::string(g.label) + " position " + std::to_string(position + 1));
      std::vector<uint32_t> oid = SUBTREE;
      oid.insert(oid.end(), g.arcs.begin(), g.arcs.end());
      oid.push_back(magic);
      // A scalar's instance arc is 0; a column's last arc holds the row index.
      oid.push_back(g.arcs.empty() ? 0u : 0xFFFFFFFFu);

      EXPECT_STREQ(v.name, name);
      EXPECT_EQ(v.magic, magic);
      EXPECT_EQ(v.type, type);
      EXPECT_EQ(v.handler, g.handler);
      ASSERT_EQ(v.oidLength, oid.size());
      EXPECT_EQ(std::vector<uint32_t>(v.oid, v.oid + v.oidLength), oid);
      ++position;
      ++magic;
    }
  }
}

TEST(DescriptorTable, OidsAreDistinctAndUnderTheBranch) {
  uint32_t branch_oid[VARNOCK_MAX_OID_LEN] = {};
  int32_t branch_length = 0;
  ASSERT_EQ(branch(branch_oid, &branch_length), 1);
  std::set<std::vector<uint32_t>> seen;
  for (const MibVariable *var : all_descriptors()) {
    const MibVariable &v = *var;
    SCOPED_TRACE(v.name);
    ASSERT_GT(v.oidLength, branch_length);
    EXPECT_TRUE(std::equal(branch_oid, branch_oid + branch_length, v.oid));
    EXPECT_TRUE(seen.insert(std::vector<uint32_t>(v.oid, v.oid + v.oidLength)).second);
  }
}

// The raw bytes the agent reads: access 1 at 177, the word AA AA 00 00 at 180,
// the handler right after it and the name behind the handler, unused arcs
// zero and the name field NUL after the name.
TEST(DescriptorTable, BytesAtTheAgentsOffsets) {
  constexpr size_t handler_offset = 184;
  constexpr size_t name_offset = handler_offset + sizeof(void *);
  EXPECT_EQ(sizeof(MibVariable), sizeof(void *) == 4 ? 256u : 264u);
  for (const MibVariable *var : all_descriptors()) {
    const MibVariable &v = *var;
    SCOPED_TRACE(v.name);
    unsigned char bytes[sizeof(MibVariable)];
    std::memcpy(bytes, &v, sizeof bytes);

    EXPECT_EQ(bytes[176], v.oidLength);
    // Read-only; the per-host log, balancer and certificate tables mark
    // their string index.
    EXPECT_EQ(bytes[177], v.handler == var_apachevhostlog || v.handler == var_apachebalancer ||
                                  v.handler == var_apachecert
                              ? 0x81
                              : 1);
    EXPECT_EQ(bytes[179], v.magic);
    const unsigned char word[4] = {0xAA, 0xAA, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(bytes + 180, word, 4), 0);
    VariableHandler handler;
    std::memcpy(&handler, bytes + handler_offset, sizeof handler);
    EXPECT_EQ(handler, v.handler);

    const char *name = reinterpret_cast<const char *>(bytes + name_offset);
    const size_t length = std::strlen(v.name);
    EXPECT_EQ(std::memcmp(name, v.name, length), 0);
    for (size_t i = length; i < sizeof v.name; ++i) {
      ASSERT_EQ(name[i], '\0') << "name byte " << i;
    }
    for (size_t i = v.oidLength; i < VARNOCK_MAX_OID_LEN; ++i) {
      ASSERT_EQ(v.oid[i], 0u) << "arc " << i;
    }
  }
}

TEST(DescriptorTable, LongestNamesFitTheField) {
  size_t longest = 0;
  for (const MibVariable &v : ostrik_variables) {
    longest = std::max(longest, strnlen(v.name, sizeof v.name));
  }
  EXPECT_EQ(longest, 37u);
  EXPECT_LT(longest, sizeof ostrik_variables[0].name);
}

// The added tables lie under arcs the original design leaves free (12 to
// 17), each descriptor's column arc being its number, so that a walk meets
// every original variable before them.
TEST(DescriptorTable, AddedTablesFollowTheOriginalOnes) {
  const VariableHandler handlers[] = {var_apacheperfext,  var_apachehealth,   var_apachelog,
                                      var_apachevhostlog, var_apachebalancer, var_apachecert};
  for (const MibVariable &v : ostrik_ext_variables) {
    SCOPED_TRACE(v.name);
    ASSERT_EQ(v.oidLength, 13);
    ASSERT_TRUE(v.oid[9] >= 12 && v.oid[9] <= 17);
    EXPECT_EQ(v.oid[10], 1u);
    EXPECT_EQ(v.oid[11], v.magic);
    EXPECT_EQ(v.oid[12], 0xFFFFFFFFu);
    EXPECT_EQ(v.handler, handlers[v.oid[9] - 12]);
  }
}

} // namespace
