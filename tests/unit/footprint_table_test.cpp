// The footprint table handler: its columns, the conversion of the two
// percentages, the columns it never answers, and its refresh gate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "collect/pages/server_info.h"
#include "collect/processes/footprint.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "pluginlib/topmod.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"

namespace {

using fake_varnock::make_proc;

using testsupport::fake_now;

constexpr int kFirstFootprint = OSTRIK_SCALAR_COUNT + OSTRIK_CONFIG_COLUMNS;
constexpr int32_t kUnanswered[] = {8, 9, 10, 11, 12, 13, 15, 16, 17};

MibVariable *column(int magic) { return &ostrik_variables[kFirstFootprint + magic - 1]; }

using testsupport::Answer;

class FootprintTableTest : public ::testing::Test {
protected:
  std::vector<int32_t> ports; // ascending; nothing listens on them

  void SetUp() override { testsupport::fresh_module(100000); }
  void TearDown() override { testsupport::leave_module(); }

  // Configures n servers on free ports; their server-info fetches are
  // refused, so each keeps the pid the test gives it.
  void configure(int n) {
    for (int i = 0; i < n; ++i) {
      ports.push_back(testsupport::free_tcp_port());
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    ASSERT_EQ(static_cast<int>(ports.size()), n);
    for (int32_t port : ports) {
      ASSERT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1);
    }
  }

  ServerEntry *row(int i) { return find_server(ports.at(static_cast<size_t>(i))); }

  // Request OID for a column: the descriptor's OID with the given trailing
  // arcs replacing its index placeholder (none: one arc short).
  static std::vector<uint32_t> request(int magic, std::vector<uint32_t> index) {
    const MibVariable *var = column(magic);
    std::vector<uint32_t> oid(var->oid, var->oid + var->oidLength - 1);
    oid.insert(oid.end(), index.begin(), index.end());
    return oid;
  }

  static Answer ask(int magic, std::vector<uint32_t> oid, int32_t exact) {
    const Answer answer = testsupport::ask(column(magic), oid, exact != 0);
    if (answer.answered()) {
      EXPECT_EQ(answer.value, reinterpret_cast<unsigned char *>(&value_int));
      EXPECT_EQ(answer.writeMethod, nullptr);
    }
    return answer;
  }

  Answer get(int magic, int32_t port) {
    return ask(magic, request(magic, {static_cast<uint32_t>(port)}), 1);
  }
};

TEST_F(FootprintTableTest, AnswersEachColumnFromTheServersProcessesAndDisk) {
  configure(1);
  ServerEntry *s = row(0);
  s->pid = 500;
  ProcEntry main = make_proc(500, 1);
  main.cpuTime = 1200;
  main.rss = 3000;
  main.memSize = 9000;
  main.threads = 1;
  main.faults = 4;
  ProcEntry child = make_proc(501, 500);
  child.cpuTime = 34;
  child.rss = 700;
  child.memSize = 8000;
  child.threads = 26;
  child.faults = 3;
  ProcEntry stranger = make_proc(502, 1);
  stranger.cpuTime = 99999;
  fake_varnock::set_proc_cache({main, child, stranger}, 0);

  EXPECT_EQ(get(2, ports[0]).integer(), 1234); // runs the refresh
  // Disk columns as the collector left them; the handler answers them as stored.
  s->totalLogSize = 17;
  s->docSize = 40;
  s->totalDiskSize = 57;

  struct Case {
    int magic;
    int32_t expected;
  };
  const Case cases[] = {{1, ports[0]}, {2, 1234}, {4, 17000}, {5, 3700}, {7, 27},
                        {14, 7},       {18, 17},  {19, 40},   {20, 57}};
  for (const Case &c : cases) {
    const Answer a = get(c.magic, ports[0]);
    ASSERT_TRUE(a.answered()) << "column " << c.magic;
    EXPECT_EQ(a.integer(), c.expected) << "column " << c.magic;
    EXPECT_EQ(a.valueLength, 4);
    EXPECT_EQ(a.oid, request(c.magic, {static_cast<uint32_t>(ports[0])}));
  }
}

TEST_F(FootprintTableTest, PercentagesDropTheirFractionThroughA64BitInteger) {
  configure(1);
  ASSERT_TRUE(get(1, ports[0]).answered()); // the refresh runs now, not during the cases
  ServerEntry *s = row(0);

  struct Case {
    double stored;
    int32_t expected;
  };
  const Case cases[] = {
      {10000.0, 10000},
      {1234.99, 1234},
      {0.99, 0},
      {-0.7, 0},
      {-1.7, -1},
      {37.0, 37},
      {4294967296.0 + 5.0, 5}, // low 32 bits of the 64-bit value
      {2147483648.0, std::numeric_limits<int32_t>::min()},
      {std::nan(""), 0}, // not a number: nothing to answer but 0
      {1e30, -1},        // held at the 64-bit maximum, then cut
  };
  for (const Case &c : cases) {
    s->percentCpu = c.stored;
    s->percentMem = c.stored;
    EXPECT_EQ(get(3, ports[0]).integer(), c.expected) << "percentCpu " << c.stored;
    EXPECT_EQ(get(6, ports[0]).integer(), c.expected) << "percentMem " << c.stored;
  }
}

TEST_F(FootprintTableTest, AGetOnAnUnansweredColumnIsNullButStillRefreshes) {
  configure(1);
  row(0)->pid = 700;
  ProcEntry main = make_proc(700, 1);
  main.cpuTime = 55;
  fake_varnock::set_proc_cache({main}, 0);

  for (int32_t magic : kUnanswered) {
    footprint_reset_for_tests();
    row(0)->cpuTime = 0;
    const int callsBefore = fake_varnock::proc_cache_calls();
    const Answer a = get(magic, ports[0]);
    EXPECT_FALSE(a.answered()) << "column " << magic;
    EXPECT_GT(fake_varnock::proc_cache_calls(), callsBefore) << "column " << magic;
    EXPECT_EQ(row(0)->cpuTime, 55) << "column " << magic;
  }
  // Same answer as for a port that is not configured.
  EXPECT_FALSE(get(8, ports[0] + 1).answered());
}

TEST_F(FootprintTableTest, AGetNextOnAnUnansweredColumnIsNullWhateverTheRequest) {
  configure(2);
  for (int32_t magic : kUnanswered) {
    const std::vector<std::vector<uint32_t>> requests = {
        request(magic, {}),                                   // no index
        request(magic, {0}),                                  // before the first row
        request(magic, {static_cast<uint32_t>(ports[0])}),    // a row follows
        request(magic, {static_cast<uint32_t>(ports[1])}),    // past the last row
        request(magic, {static_cast<uint32_t>(ports[0]), 5}), // one arc too many
        request(2, {static_cast<uint32_t>(ports[1])}),        // another column's row
        request(magic, {0x80000000u}),                        // a negative index
    };
    for (const std::vector<uint32_t> &oid : requests) {
      EXPECT_FALSE(ask(magic, oid, 0).answered()) << "column " << magic;
    }
  }
}

TEST_F(FootprintTableTest, AWalkOfPercentCpuVisitsTheRowsInAscendingPortOrder) {
  configure(3);
  fake_varnock::set_ncpu(2);
  // Snapshots 300 stamp units apart on two CPUs: a share is the CPU-time
  // delta / (300 * 100 * 2). The first record of a snapshot never enters the
  // delta table, so an idle process stands there.
  const int32_t pids[] = {1000, 2000, 3000};
  const double deltas[] = {600.0, 0.0, 4503.0}; // shares 0.01, 0, 0.07505
  std::vector<ProcEntry> before = {make_proc(1, 0)};
  std::vector<ProcEntry> after = {make_proc(1, 0)};
  for (int i = 0; i < 3; ++i) {
    row(i)->pid = pids[i];
    before.push_back(make_proc(pids[i], 1, "httpd", 100.0));
    after.push_back(make_proc(pids[i], 1, "httpd", 100.0 + deltas[i]));
  }
  fake_varnock::set_proc_cache(before, 1000);
  ASSERT_EQ(refresh_footprint(), 0);
  fake_varnock::set_proc_cache(after, 1300);
  fake_now += 20;

  std::vector<uint32_t> oid = request(3, {});
  std::vector<int32_t> visited;
  std::vector<int32_t> values;
  for (int step = 0; step < 10; ++step) {
    const Answer a = ask(3, oid, 0);
    if (!a.answered()) {
      break;
    }
    visited.push_back(static_cast<int32_t>(a.oid.back()));
    values.push_back(a.integer());
    oid = a.oid;
  }
  EXPECT_EQ(visited, ports);
  EXPECT_EQ(values, (std::vector<int32_t>{100, 0, 750}));
}

TEST_F(FootprintTableTest, TwoRequestsWithinTwentySecondsRefreshOnce) {
  configure(1);
  row(0)->pid = 42;
  ProcEntry main = make_proc(42, 1);
  main.cpuTime = 10;
  fake_varnock::set_proc_cache({main}, 0);
  EXPECT_EQ(get(2, ports[0]).integer(), 10);
  const int calls = fake_varnock::proc_cache_calls();

  main.cpuTime = 20;
  fake_varnock::set_proc_cache({main}, 0);
  fake_now += 19;
  EXPECT_EQ(ask(2, request(2, {}), 0).integer(), 10);
  EXPECT_EQ(fake_varnock::proc_cache_calls(), calls);

  fake_now += 1;
  EXPECT_EQ(get(2, ports[0]).integer(), 20);
  EXPECT_GT(fake_varnock::proc_cache_calls(), calls);
}

TEST_F(FootprintTableTest, NoRowLeavesTheRequestUntouched) {
  configure(2);
  const std::vector<uint32_t> absent = request(1, {static_cast<uint32_t>(ports[0] + 1)});
  Answer a = ask(1, absent, 1);
  EXPECT_FALSE(a.answered());
  EXPECT_EQ(a.oid, absent);
  EXPECT_EQ(a.valueLength, -1);

  const std::vector<uint32_t> last = request(1, {static_cast<uint32_t>(ports[1])});
  a = ask(1, last, 0);
  EXPECT_FALSE(a.answered());
  EXPECT_EQ(a.oid, last);
  EXPECT_EQ(a.valueLength, -1);
}

} // namespace
