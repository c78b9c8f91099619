#include "pluginlib/topmod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "tests/support/fake_varnock.h"

namespace {

using fake_varnock::make_proc;

struct Proc {
  int32_t pid;
  double cpu;
  uint32_t rss;
};

std::vector<ProcEntry> snapshot(const std::vector<Proc> &procs) {
  std::vector<ProcEntry> out;
  for (const Proc &p : procs) {
    out.push_back(make_proc(p.pid, 1, "p", p.cpu, p.rss));
  }
  return out;
}

std::vector<ProcEntry> pids(const std::vector<int32_t> &list) {
  std::vector<ProcEntry> out;
  for (int32_t pid : list) {
    out.push_back(make_proc(pid, 1));
  }
  return out;
}

std::vector<TopDelta> table() {
  int32_t count = -1;
  TopDelta *records = nullptr;
  EXPECT_EQ(pluginLibGetTopDelta(&count, &records), 1);
  std::vector<TopDelta> out;
  for (int32_t i = 0; i < count; ++i) {
    out.push_back(records[i]);
  }
  return out;
}

std::vector<int32_t> table_pids() {
  std::vector<int32_t> out;
  for (const TopDelta &d : table()) {
    out.push_back(d.pid);
  }
  return out;
}

// Counts and sizes of the array growths; can refuse a chosen one.
struct Growths {
  std::vector<size_t> sizes;
  int refuse_at = 0; // 1-based; 0 refuses none
};
Growths growths;

void *recording_realloc(void *block, size_t size) {
  growths.sizes.push_back(size);
  if (growths.refuse_at != 0 && static_cast<int>(growths.sizes.size()) == growths.refuse_at) {
    errno = ENOMEM;
    return nullptr;
  }
  return std::realloc(block, size);
}

class TopmodTest : public ::testing::Test {
protected:
  void SetUp() override {
    fake_varnock::reset();
    topmod_reset_for_tests();
    growths = Growths{};
  }
  void TearDown() override { topmod_reset_for_tests(); }

  int32_t take(std::vector<ProcEntry> procs, int32_t stamp) {
    fake_varnock::set_proc_cache(std::move(procs), stamp);
    return topProcs();
  }
};

TEST_F(TopmodTest, NothingBeforeTheFirstCallAndAnEmptyTableAfterIt) {
  EXPECT_TRUE(table().empty());
  EXPECT_EQ(take(pids({0, 1, 2, 3}), 10), 0);
  EXPECT_TRUE(table().empty());
  EXPECT_EQ(fake_varnock::proc_cache_calls(), 1);
}

TEST_F(TopmodTest, MergeFindsPidsInBothSnapshotsPastIndexZero) {
  struct Case {
    const char *what;
    std::vector<int32_t> previous;
    std::vector<int32_t> current;
    std::vector<int32_t> expected;
  };
  const std::vector<Case> cases = {
      {"pid 0 never enters", {0, 4, 8}, {0, 8, 12}, {8}},
      {"first of previous only", {3, 5, 7}, {1, 3, 5, 7}, {5, 7}},
      {"first of current only", {1, 5, 9}, {5, 9}, {9}},
      {"disjoint", {0, 2, 4}, {0, 3, 5}, {}},
      {"single records", {7}, {7}, {}},
      {"all shared", {0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}, {1, 2, 3, 4}},
      {"negative pids in signed order", {-9, -5, 2, 6}, {-9, -5, 6}, {-5, 6}},
      {"gaps on both sides", {0, 1, 3, 5, 7, 9}, {0, 2, 3, 4, 9, 11}, {3, 9}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    topmod_reset_for_tests();
    take(pids(c.previous), 10);
    EXPECT_EQ(take(pids(c.current), 20), static_cast<int32_t>(c.expected.size()));
    std::vector<int32_t> got = table_pids();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, c.expected);
  }
}

TEST_F(TopmodTest, DeltaIsAWholeCopyOfTheCurrentRecordWithDeltaAndShare) {
  fake_varnock::set_ncpu(2);
  ProcEntry before = make_proc(42, 7, "old-name", 1000.0, 10);
  before.cpuShare = 99.0;
  ProcEntry after = make_proc(42, 8, "httpd", 9000.0, 555);
  after.memBytes = 123456;
  after.threads = 9;
  after.cpuTime = 77;
  after.reserved1[5] = 0xAB;
  after.cpuShare = 5.0;
  after.reserved4 = 6.0;
  take({make_proc(0, 0), before}, 100);
  ASSERT_EQ(take({make_proc(0, 0), after}, 300), 1);

  const TopDelta d = table().at(0);
  EXPECT_EQ(d.pid, 42);
  EXPECT_EQ(d.ppid, 8);
  EXPECT_STREQ(d.name, "httpd");
  EXPECT_EQ(d.rss, 555u);
  EXPECT_EQ(d.memBytes, 123456u);
  EXPECT_EQ(d.threads, 9);
  EXPECT_EQ(d.cpuTime, 77);
  EXPECT_EQ(d.reserved1[5], 0xAB);
  EXPECT_DOUBLE_EQ(d.cpuTimeReal, 8000.0);
  // 8000 / (2 CPUs x 200 x 100)
  EXPECT_DOUBLE_EQ(d.cpuShare, 0.2);
  EXPECT_EQ(d.reserved4, 0.0);
}

TEST_F(TopmodTest, SortsHeaviestFirstThenLargerRssAndNegativeLast) {
  take(snapshot({{0, 0, 0}, {1, 100, 0}, {2, 100, 0}, {3, 100, 0}, {4, 500, 0}, {5, 100, 0}}), 0);
  // Deltas: pid 1 +10 (rss 5), pid 2 +30, pid 3 +10 (rss 50), pid 4 -400, pid 5 +20.
  ASSERT_EQ(
      take(snapshot(
               {{0, 0, 0}, {1, 110, 5}, {2, 130, 1}, {3, 110, 50}, {4, 100, 1000}, {5, 120, 9}}),
           10),
      5);
  EXPECT_EQ(table_pids(), (std::vector<int32_t>{2, 5, 3, 1, 4}));
  const TopDelta last = table().back();
  EXPECT_DOUBLE_EQ(last.cpuTimeReal, -400.0);
  EXPECT_DOUBLE_EQ(last.cpuShare, -0.4); // 1 CPU, elapsed 10
}

TEST_F(TopmodTest, CompareTopDeltaRules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double cpuA;
    uint32_t rssA;
    double cpuB;
    uint32_t rssB;
    int expected;
  };
  const std::vector<Case> cases = {
      {1.0, 0, 2.0, 0, 1},
      {2.0, 0, 1.0, 0, -1},
      {-1.0, 100, 0.0, 0, 1},
      {5.0, 1, 5.0, 2, 1},
      {5.0, 2, 5.0, 1, -1},
      {5.0, 3, 5.0, 3, 0},
      {5.0, 0xFFFFFFFFu, 5.0, 1, -1}, // rss compared unsigned
      {nan, 1, 5.0, 2, 1},            // not comparable: falls to rss
      {5.0, 9, nan, 2, -1},
      {nan, 4, nan, 4, 0},
  };
  for (const Case &c : cases) {
    ProcEntry a = make_proc(1, 0, "a", c.cpuA, c.rssA);
    ProcEntry b = make_proc(2, 0, "b", c.cpuB, c.rssB);
    EXPECT_EQ(compareTopDelta(&a, &b), c.expected)
        << c.cpuA << "/" << c.rssA << " vs " << c.cpuB << "/" << c.rssB;
  }
  ProcEntry a = make_proc(1, 0);
  EXPECT_EQ(compareTopDelta(nullptr, &a), 0);
  EXPECT_EQ(compareTopDelta(&a, nullptr), 0);
}

TEST_F(TopmodTest, ScaleElapsedUsesCpuCountAndASinglePrecisionProduct) {
  struct Case {
    int32_t ncpu;
    int32_t elapsed;
    double expected;
  };
  const std::vector<Case> cases = {
      {1, 10, 1000.0},
      {4, 10, 4000.0},
      {0, 10, 1000.0},  // no CPU count: one CPU
      {-3, 10, 1000.0}, // likewise
      {2, 0, 0.0},
      {1, -5, -500.0},
      // 2^24 + 1 seconds x 100 is not a float: rounded once to single precision.
      {1, 16777217, static_cast<double>(static_cast<float>(1677721700.0))},
      // Beyond 32-bit range once multiplied by 100.
      {3, 100000000, 3.0 * static_cast<double>(static_cast<float>(1e10))},
  };
  for (const Case &c : cases) {
    fake_varnock::set_ncpu(c.ncpu);
    EXPECT_EQ(scaleElapsed(c.elapsed), c.expected) << c.ncpu << " CPUs, " << c.elapsed;
  }
  EXPECT_NE(static_cast<double>(static_cast<float>(1677721700.0)), 1677721700.0);
}

TEST_F(TopmodTest, SharesFromStampDifference) {
  struct Case {
    const char *what;
    int32_t ncpu;
    int32_t stamp1;
    int32_t stamp2;
    double share; // for a delta of 600
  };
  const std::vector<Case> cases = {
      {"one CPU", 1, 1000, 1020, 600.0 / 2000.0},
      {"three CPUs", 3, 1000, 1020, 600.0 / 6000.0},
      {"no CPU count", 0, 1000, 1020, 600.0 / 2000.0},
      {"equal stamps", 2, 500, 500, 0.0},
      {"stamp wrapped past 2^31", 1, INT32_MAX - 9, INT32_MIN + 10, 600.0 / 2000.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    topmod_reset_for_tests();
    fake_varnock::set_ncpu(c.ncpu);
    take(snapshot({{0, 0, 0}, {5, 100, 0}}), c.stamp1);
    ASSERT_EQ(take(snapshot({{0, 0, 0}, {5, 700, 0}}), c.stamp2), 1);
    const TopDelta d = table().at(0);
    EXPECT_DOUBLE_EQ(d.cpuTimeReal, 600.0); // stored even when the share is 0
    EXPECT_DOUBLE_EQ(d.cpuShare, c.share);
  }
}

TEST_F(TopmodTest, ArraysGrowToExactlyTheCountAndThenStay) {
  topmod_set_realloc_for_tests(recording_realloc);
  std::vector<ProcEntry> big;
  for (int32_t pid = 0; pid < 150; ++pid) {
    big.push_back(make_proc(pid, 1, "p", pid * 2.0));
  }
  EXPECT_EQ(take(big, 10), 0);
  // Only the current snapshot had to grow.
  EXPECT_EQ(growths.sizes, (std::vector<size_t>{150 * sizeof(ProcEntry)}));

  // The swapped-in array (room for 100) grows for the new snapshot, and the
  // delta table grows for the 150 records of the previous one.
  EXPECT_EQ(take(big, 20), 149);
  EXPECT_EQ(growths.sizes, (std::vector<size_t>{150 * sizeof(ProcEntry), 150 * sizeof(ProcEntry),
                                                150 * sizeof(ProcEntry)}));

  // Steady process count: nothing more is allocated.
  EXPECT_EQ(take(big, 30), 149);
  EXPECT_EQ(take(big, 40), 149);
  EXPECT_EQ(growths.sizes.size(), 3u);
  EXPECT_EQ(table_pids().size(), 149u);
}

TEST_F(TopmodTest, FailedGrowthOfTheCurrentSnapshotForgetsItsRecords) {
  topmod_set_realloc_for_tests(recording_realloc);
  std::vector<ProcEntry> big;
  for (int32_t pid = 0; pid < 120; ++pid) {
    big.push_back(make_proc(pid, 1, "p", 1000.0 + pid));
  }
  take(pids({0, 1, 2, 3}), 10);
  ASSERT_EQ(take(pids({0, 1, 2, 3}), 20), 3);
  growths.refuse_at = 1;
  EXPECT_EQ(take(big, 30), -1);
  ASSERT_FALSE(fake_varnock::log().empty());
  EXPECT_EQ(fake_varnock::log().back().level, VARNOCK_LOG_ERR);
  EXPECT_EQ(fake_varnock::log().back().text, "topProcs: realloc of current proc info failed 12");
  // The table of the previous call is still stored and still readable.
  EXPECT_EQ(table_pids().size(), 3u);

  // The next call finds no previous snapshot rather than records that are gone.
  growths.refuse_at = 0;
  EXPECT_EQ(take(big, 40), 0);
  EXPECT_TRUE(table().empty());
  EXPECT_EQ(take(big, 50), 119);
}

TEST_F(TopmodTest, FailedGrowthOfTheDeltaTableEmptiesIt) {
  topmod_set_realloc_for_tests(recording_realloc);
  std::vector<ProcEntry> big;
  for (int32_t pid = 0; pid < 130; ++pid) {
    big.push_back(make_proc(pid, 1, "p", 10.0 * pid));
  }
  take(pids({0, 1, 2, 3, 4}), 10);
  ASSERT_EQ(take(pids({0, 1, 2, 3, 4}), 20), 4);
  ASSERT_EQ(take(big, 30), 4); // grows the current snapshot (1st growth)
  growths.refuse_at = 3;       // 2nd: current again after the swap; 3rd: the table
  EXPECT_EQ(take(big, 40), -1);
  EXPECT_EQ(fake_varnock::log().back().level, VARNOCK_LOG_ERR);
  EXPECT_EQ(fake_varnock::log().back().text, "topProcs: realloc of delta info failed, 12");
  EXPECT_TRUE(table().empty());

  growths.refuse_at = 0;
  EXPECT_EQ(take(big, 50), 129);
  EXPECT_EQ(table_pids().size(), 129u);
}

TEST_F(TopmodTest, EmptySnapshotsBuildNoTable) {
  EXPECT_EQ(take({}, 10), 0);
  EXPECT_EQ(take({}, 20), 0);
  EXPECT_EQ(take(pids({0, 1}), 30), 0);
  EXPECT_EQ(take({}, 40), 0);
  EXPECT_TRUE(table().empty());
}

} // namespace
