// The access-log tables from logs that the test writes: what a refresh
// counts, in which columns, and the per-host table's order and index.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "collect/access_log.h"
#include "collect/server_status.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"

namespace {

using testsupport::Answer;

constexpr int kFirstLog = OSTRIK_PERF_EXT_COLUMNS + OSTRIK_HEALTH_COLUMNS;
constexpr int kFirstVhost = kFirstLog + OSTRIK_LOG_COLUMNS;

MibVariable *log_column(int magic) { return &ostrik_ext_variables[kFirstLog + magic - 1]; }
MibVariable *vhost_column(int magic) { return &ostrik_ext_variables[kFirstVhost + magic - 1]; }

std::vector<uint32_t> instance(const MibVariable *var, std::vector<uint32_t> index) {
  std::vector<uint32_t> oid(var->oid, var->oid + var->oidLength - 1);
  oid.insert(oid.end(), index.begin(), index.end());
  return oid;
}

std::vector<uint32_t> host_index(int port, const std::string &name) {
  std::vector<uint32_t> index = {static_cast<uint32_t>(port), static_cast<uint32_t>(name.size())};
  index.insert(index.end(), name.begin(), name.end());
  return index;
}

class AccessLogTest : public ::testing::Test {
protected:
  testsupport::TempDir dir;

  void SetUp() override { testsupport::fresh_module(100000); }
  void TearDown() override { testsupport::leave_module(); }

  // A server (nothing listens on its port) whose configuration names log.
  int server(const std::string &log, const char *format) {
    const int port = testsupport::free_tcp_port();
    EXPECT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1);
    ServerEntry *entry = find_server(port);
    std::snprintf(entry->reach.logPath, sizeof entry->reach.logPath, "%s", log.c_str());
    std::snprintf(entry->reach.logFormat, sizeof entry->reach.logFormat, "%s", format);
    return port;
  }
  void append(const std::string &log, const std::string &text) {
    std::ofstream(log, std::ios::binary | std::ios::app) << text;
  }
  // The next status refresh, and with it the logs'.
  void refresh() {
    testsupport::fake_now += STATUS_REFRESH_INTERVAL;
    refresh_server_status();
  }
  static Answer get(MibVariable *var, std::vector<uint32_t> index) {
    return testsupport::ask(var, instance(var, std::move(index)), true);
  }
};

TEST_F(AccessLogTest, CountsByServerAndHostInTheirColumns) {
  const std::string timedLog = dir.file("timed_log");
  const std::string plainLog = dir.file("plain_log");
  append(timedLog, "old.test 200 10 1000\n"); // there before: never counted
  append(plainLog, "");
  const int timed = server(timedLog, "%v %>s %O %D");
  const int plain = server(plainLog, "%h %>s %b");
  refresh();
  EXPECT_EQ(get(log_column(6), {static_cast<uint32_t>(timed)}).counter, 0u);

  append(timedLog, "b.test 200 100 4000\n"
                   "a.test 404 50 300000\n"
                   "bb.test 503 7 20000000\n"
                   "not a line of this format\n"
                   "a.test 302 - 10000\n" +
                       std::string(LOG_VHOST_NAME_MAX + 1, 'h') +
                       " 101 1 2\n"
                       "half a line");
  append(plainLog, "127.0.0.1 200 512\n");
  refresh();
  const std::vector<uint32_t> row = {static_cast<uint32_t>(timed)};
  // lines, not understood, 1xx-5xx, bytes, timed, sum, then 5 ms ... 10 s.
  const std::vector<uint64_t> want = {6, 1, 1, 1, 1, 1, 1, 158, 5, 20314002, 2,
                                      3, 3, 3, 3, 3, 4, 4, 4,   4, 4};
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(get(log_column(OSTRIK_LOG_FIRST_COUNTER + static_cast<int>(k)), row).counter, want[k])
        << "counter " << k;
  }
  EXPECT_EQ(get(log_column(2), row).integer(), 1);
  EXPECT_EQ(get(log_column(4), row).text(), "ok");

  // A format without times has no time columns: a walk of one passes over it.
  const std::vector<uint32_t> plainRow = {static_cast<uint32_t>(plain)};
  EXPECT_EQ(get(log_column(13), plainRow).counter, 512u);
  EXPECT_FALSE(get(log_column(14), plainRow).answered());

  // Hosts in index order (name length, then bytes); the name that is too
  // long for an index counts for the server only.
  std::vector<std::string> walked;
  std::vector<uint32_t> oid = instance(vhost_column(3), {});
  for (Answer a; (a = testsupport::ask(vhost_column(3), oid, false)).answered();) {
    oid = a.oid;
    walked.emplace_back(oid.end() - oid[vhost_column(3)->oidLength], oid.end());
    EXPECT_EQ(oid[vhost_column(3)->oidLength - 1], static_cast<uint32_t>(timed));
  }
  EXPECT_EQ(walked, (std::vector<std::string>{"a.test", "b.test", "bb.test"}));
  EXPECT_EQ(get(vhost_column(3), host_index(timed, "a.test")).counter, 2u);
  EXPECT_EQ(get(vhost_column(2), host_index(timed, "bb.test")).text(), "bb.test");
  EXPECT_EQ(get(vhost_column(12), host_index(timed, "bb.test")).counter, 20000000u);
  std::vector<uint32_t> cut = host_index(timed, "a.test");
  cut.pop_back();
  EXPECT_FALSE(get(vhost_column(3), cut).answered());
}

TEST_F(AccessLogTest, ALogThatCannotBeReadIsSaidSo) {
  const std::string log = dir.file("gone");
  std::filesystem::create_directory(log);
  const std::vector<uint32_t> row = {static_cast<uint32_t>(server(log, "%h %>s %b"))};
  refresh();
  EXPECT_EQ(get(log_column(2), row).integer(), 1);
  EXPECT_EQ(get(log_column(3), row).integer(), 1);
  EXPECT_EQ(get(log_column(4), row).text(), log + ": not a regular file");
  // Said once in the agent's log, and once more when it is read again.
  std::filesystem::remove(log);
  append(log, "");
  refresh();
  refresh();
  std::vector<std::string> said;
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    if (line.text.find("access log") != std::string::npos) {
      said.push_back(line.text);
    }
  }
  EXPECT_EQ(said, (std::vector<std::string>{"ostrik: access log " + log +
                                                " is not read: not a regular file",
                                            "ostrik: access log " + log + " is read again"}));
}

} // namespace
