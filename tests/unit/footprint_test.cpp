#include "collect/processes/footprint.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "collect/processes/listen_owner.h"
#include "config/server_list.h"
#include "platform/proc_table.h"
#include "pluginlib/topmod.h"
#include "tests/support/fake_proc.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/process.h"

namespace {

using fake_varnock::make_proc;
using testsupport::TempDir;

using testsupport::fake_now;

ProcEntry proc(int32_t pid, int32_t ppid, int32_t cpuTime = 0, uint32_t rss = 0,
               int32_t memSize = 0, int32_t threads = 0, int32_t faults = 0) {
  ProcEntry e = make_proc(pid, ppid);
  e.cpuTime = cpuTime;
  e.rss = rss;
  e.memSize = memSize;
  e.threads = threads;
  e.faults = faults;
  return e;
}

ProcEntry cpu(int32_t pid, int32_t ppid, double cpuTimeReal) {
  return make_proc(pid, ppid, "p", cpuTimeReal);
}

ProcEntry mem(int32_t pid, int32_t ppid, uint32_t memBytes) {
  ProcEntry e = make_proc(pid, ppid);
  e.memBytes = memBytes;
  return e;
}

class FootprintTest : public ::testing::Test {
protected:
  std::vector<std::unique_ptr<ServerEntry>> entries;
  TempDir dir;
  TempDir procRoot;

  void SetUp() override {
    fake_varnock::reset();
    topmod_reset_for_tests();
    footprint_reset_for_tests();
    testsupport::use_fake_clock(1000);
    server_list = nullptr;
    // An empty process file system unless a test fills it: no listeners.
    platform_set_proc_root(procRoot.path().c_str());
    listen_owner_reset();
  }
  void TearDown() override {
    platform_set_proc_root(nullptr);
    listen_owner_reset();
    for (const auto &entry : entries) {
      log_state_free(entry->logs); // the status refresh reads their (absent) logs
    }
    server_list = nullptr;
    testsupport::use_real_clock();
    topmod_reset_for_tests();
    footprint_reset_for_tests();
  }

  // Appends an entry to the list, which the tests build in ascending port
  // order. Ports nothing listens on, so a server-info fetch is refused.
  ServerEntry *server(int32_t pid) {
    auto entry = std::make_unique<ServerEntry>();
    std::memset(entry.get(), 0, sizeof(ServerEntry));
    entry->port = testsupport::free_tcp_port();
    entry->pid = pid;
    ServerEntry *raw = entry.get();
    if (!entries.empty()) {
      raw->prev = entries.back().get();
      entries.back()->next = raw;
    } else {
      server_list = raw;
    }
    entries.push_back(std::move(entry));
    return raw;
  }

  void refresh_at(int32_t now) {
    fake_now = now;
    EXPECT_EQ(refresh_footprint(), 0);
  }
};

void fill_counters(ServerEntry *e, int32_t value) {
  for (int32_t *field : {&e->cpuTime, &e->memSize, &e->numThreads, &e->inBlocks, &e->outBlocks,
                         &e->msgsSent, &e->msgsRecv, &e->sysCalls, &e->minorFaults, &e->majorFaults,
                         &e->numSwaps, &e->volCtx, &e->involCtx}) {
    *field = value;
  }
  e->rss = static_cast<uint32_t>(value);
  e->percentCpu = value;
  e->percentMem = value;
}

void expect_counters_zero_but_threads_and_faults(const ServerEntry *e) {
  for (int32_t field : {e->inBlocks, e->outBlocks, e->msgsSent, e->msgsRecv, e->sysCalls,
                        e->minorFaults, e->numSwaps, e->volCtx, e->involCtx}) {
    EXPECT_EQ(field, 0);
  }
}

TEST_F(FootprintTest, RefreshRunsAtMostEveryTwentySeconds) {
  ServerEntry *s = server(100);
  fake_varnock::set_proc_cache({proc(100, 1, 5)}, 0);
  refresh_at(5); // the first refresh runs whatever the clock says
  EXPECT_EQ(s->cpuTime, 5);
  EXPECT_EQ(fake_varnock::proc_cache_calls(), 2); // topProcs' and its own

  struct Step {
    int32_t now;
    int32_t snapshotCpu;
    int32_t expectedCpu;
  };
  const std::vector<Step> steps = {
      {24, 9, 5},                 // 19 seconds later: nothing changes
      {25, 9, 9},                 // 20 seconds: runs
      {44, 11, 9},                // measured from the refresh at 25
      {46, 11, 11}, {40, 12, 11}, // clock went back: not due
  };
  int calls = 2;
  for (const Step &step : steps) {
    fake_varnock::set_proc_cache({proc(100, 1, step.snapshotCpu)}, 0);
    refresh_at(step.now);
    EXPECT_EQ(s->cpuTime, step.expectedCpu) << "at " << step.now;
    if (step.expectedCpu == step.snapshotCpu) {
      calls += 2;
    }
    EXPECT_EQ(fake_varnock::proc_cache_calls(), calls) << "at " << step.now;
  }
}

TEST_F(FootprintTest, SumsTheMainProcessAndItsDirectChildrenOnly) {
  ServerEntry *family = server(100);
  ServerEntry *noPid = server(0);
  ServerEntry *single = server(300);
  ServerEntry *absent = server(999);
  for (ServerEntry *e : {family, noPid, single, absent}) {
    fill_counters(e, 7);
  }
  fake_varnock::set_proc_cache(
      {
          proc(100, 1, 10, 1000, 2000, 1, 3), // the main process, first in the snapshot
          proc(1, 0, 5000, 5000, 5000, 50, 50),
          proc(101, 100, 20, 100, 200, 25, 4),
          proc(102, 100, 30, 10, 20, 2, 0),
          proc(200, 101, 1000000, 1000000, 1000000, 1000, 1000), // grandchild
          proc(300, 1, 7, 70, 700, 1, 9),
      },
      0);
  refresh_at(2000);

  EXPECT_EQ(family->cpuTime, 60);
  EXPECT_EQ(family->rss, 1110u);
  EXPECT_EQ(family->memSize, 2220);
  EXPECT_EQ(family->numThreads, 28);
  EXPECT_EQ(family->majorFaults, 7);
  EXPECT_EQ(single->cpuTime, 7);
  EXPECT_EQ(single->rss, 70u);
  EXPECT_EQ(single->memSize, 700);
  EXPECT_EQ(single->numThreads, 1);
  EXPECT_EQ(single->majorFaults, 9);
  // pid 0 matches nothing, not even the processes whose parent id is 0.
  for (const ServerEntry *e : {noPid, absent}) {
    EXPECT_EQ(e->cpuTime, 0);
    EXPECT_EQ(e->rss, 0u);
    EXPECT_EQ(e->memSize, 0);
    EXPECT_EQ(e->numThreads, 0);
    EXPECT_EQ(e->majorFaults, 0);
    EXPECT_EQ(e->percentCpu, 0.0);
    EXPECT_EQ(e->percentMem, 0.0);
  }
  for (const ServerEntry *e : {family, noPid, single, absent}) {
    expect_counters_zero_but_threads_and_faults(e);
  }
}

// Without a PID file's process the server is found by the socket it
// listens on: the topmost process holding it (not the child that inherited
// it), and only a socket reachable where the server is fetched: 127.0.0.1,
// or the address its reach names. A malformed table line is passed over.
TEST_F(FootprintTest, AServerWithoutItsMainProcessIsFoundByItsListeningSocket) {
  ServerEntry *noPid = server(0);
  ServerEntry *stale = server(999);
  ServerEntry *elsewhere = server(0);
  ServerEntry *there = server(0);
  there->reach.address = PlatformAddress{PLATFORM_IPV4, {127, 0, 0, 3}, 0};
  {
    testsupport::FakeProc tree(procRoot.path());
    tree.raw_tcp_line("garbage that is no socket");
    tree.listen4("00000000", noPid->port, 4242);
    tree.listen6("00000000000000000000000000000000", stale->port, 4343);
    tree.listen4("0500000A", elsewhere->port, 4444); // 10.0.0.5 only
    tree.process(100, 1, "apache2", {4242});
    tree.process(101, 100, "apache2", {4242});
    tree.process(300, 1, "httpd", {4343});
    tree.process(400, 1, "httpd", {4444});
    tree.listen4("0300007F", there->port, 4545); // 127.0.0.3 only
    tree.process(500, 1, "httpd", {4545});
  }
  fake_varnock::set_proc_cache({proc(101, 100, 20, 100), proc(100, 1, 10, 1000),
                                proc(300, 1, 7, 70), proc(400, 1, 5, 50), proc(500, 1, 3, 30)},
                               0);
  refresh_at(2000);
  EXPECT_EQ(noPid->cpuTime, 30);
  EXPECT_EQ(noPid->rss, 1100u);
  EXPECT_EQ(stale->cpuTime, 7);
  EXPECT_EQ(elsewhere->cpuTime, 0);
  EXPECT_EQ(there->cpuTime, 3);
  EXPECT_EQ(noPid->pid, 0); // the configuration table's PID stays the PID file's
}

// Descriptors that cannot be read (Apache runs as root, the agent does
// not): the main process named by the distribution's PID file, tied to the
// port by its instance's Listen lines while another Apache of that user
// runs, or vouched for by the workers its status page lists. The workers'
// user, when they agree, is the one whose files its pages may name.
TEST_F(FootprintTest, WithoutDescriptorsTheMainProcessComesFromPidFilesOrTheStatusPage) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "the PID files must be root's";
  }
  ServerEntry *debian = server(0);
  ServerEntry *other = server(0);
  TempDir run, etc;
  set_layout_roots(run.path().c_str(), "/nonexistent", etc.path().c_str());
  mkdir(run.file("apache2-web").c_str(), 0755);
  testsupport::write_file(run.file("apache2-web/apache2.pid"), "100\n");
  mkdir(etc.file("apache2-web").c_str(), 0755);
  testsupport::write_file(etc.file("apache2-web/ports.conf"),
                          "# Listen " + std::to_string(other->port) +
                              "\n  listen\t127.0.0.1:" + std::to_string(debian->port) + " http\n");
  testsupport::FakeProc tree(procRoot.path());
  tree.listen4("0100007F", debian->port, 4242);
  tree.listen4("0100007F", other->port, 4343);
  const std::vector<std::pair<int, unsigned>> users = {{100, 0}, {101, 33}, {102, 33},
                                                       {200, 0}, {201, 33}, {202, 34}};
  for (const auto &[pid, uid] : users) {
    tree.process(pid, pid % 100 == 0 ? 1 : pid / 100 * 100, "apache2");
    tree.user(pid, uid);
    tree.hide_descriptors(pid);
  }
  tree.flush();
  fake_varnock::set_proc_cache({proc(100, 1, 10, 1000), proc(101, 100, 20, 100),
                                proc(102, 100, 30, 100), proc(200, 1, 7, 70), proc(201, 200, 3, 30),
                                proc(202, 200, 1, 10)},
                               0);
  refresh_at(2000);
  EXPECT_EQ(debian->rss, 1200u);
  EXPECT_EQ(debian->workerUid, 33u);
  // The PID file names an Apache of the socket's user, but its instance
  // does not listen on this port, and another such Apache runs.
  EXPECT_EQ(other->rss, 0u);

  std::vector<PlatformListener> listeners;
  ASSERT_EQ(platform_list_listeners(&listeners, nullptr), 0);
  const uint16_t port = static_cast<uint16_t>(other->port);
  EXPECT_EQ(vouch_for_workers(port, listeners, nullptr, {201, 101}), 0); // two parents
  EXPECT_EQ(vouch_for_workers(port, listeners, nullptr, {100}), 0);      // its parent is no Apache
  EXPECT_EQ(vouch_for_workers(port, listeners, nullptr, {201, 202, 999}), 200);
  refresh_at(2020);
  EXPECT_EQ(other->rss, 110u);
  EXPECT_EQ(other->workerUid, 0u); // its workers run as two users: root's files alone
  EXPECT_EQ(debian->rss, 1200u);
  set_layout_roots(nullptr, nullptr, nullptr);
}

TEST_F(FootprintTest, SumsWrapAtThirtyTwoBits) {
  ServerEntry *s = server(10);
  fake_varnock::set_proc_cache({proc(10, 1, INT32_MAX, 0xFFFFFFF0u, INT32_MAX, INT32_MAX, 1),
                                proc(11, 10, 2, 0x20, 3, 1, INT32_MAX)},
                               0);
  refresh_at(2000);
  EXPECT_EQ(s->cpuTime, INT32_MIN + 1);
  EXPECT_EQ(s->rss, 0x10u);
  EXPECT_EQ(s->memSize, INT32_MIN + 2);
  EXPECT_EQ(s->numThreads, INT32_MIN);
  EXPECT_EQ(s->majorFaults, INT32_MIN);
}

TEST_F(FootprintTest, CpuShareFromTheDeltaTableCappedAtTenThousand) {
  struct Expect {
    ServerEntry *entry;
    double percentCpu;
    const char *what;
  };
  ServerEntry *capped = server(100);
  ServerEntry *exact = server(400);
  ServerEntry *newChild = server(500);
  ServerEntry *negative = server(600);
  const std::vector<ProcEntry> before = {
      cpu(1, 0, 0),     cpu(100, 1, 0),   cpu(101, 100, 0), cpu(102, 100, 0),  cpu(400, 1, 0),
      cpu(401, 400, 0), cpu(402, 400, 0), cpu(500, 1, 0),   cpu(600, 1, 1000), cpu(601, 600, 500),
  };
  // 1 CPU, stamps 10 apart: a share is the delta / 1000.
  const std::vector<ProcEntry> after = {
      cpu(1, 0, 900),       cpu(100, 1, 700),   cpu(101, 100, 500), cpu(102, 100, 0),
      cpu(400, 1, 0),       cpu(401, 400, 500), cpu(402, 400, 500), cpu(500, 1, 250),
      cpu(503, 500, 99999), cpu(600, 1, 1300),  cpu(601, 600, 400),
  };
  fake_varnock::set_proc_cache(before, 100);
  refresh_at(1000);
  for (ServerEntry *e : {capped, exact, newChild, negative}) {
    EXPECT_EQ(e->percentCpu, 0.0) << "no previous snapshot yet";
  }
  fake_varnock::set_proc_cache(after, 110);
  refresh_at(1020);
  const std::vector<Expect> expected = {
      {capped, 10000.0, "0.7 + 0.5 is capped"},
      {exact, 10000.0, "0.5 + 0.5 stays 10000"},
      {newChild, 2500.0, "a process new since the last snapshot adds nothing"},
      {negative, 2000.0, "a negative delta subtracts"},
  };
  for (const Expect &e : expected) {
    EXPECT_DOUBLE_EQ(e.entry->percentCpu, e.percentCpu) << e.what;
  }
  // Nothing used since: rebuilt from zero.
  fake_varnock::set_proc_cache(after, 120);
  refresh_at(1040);
  for (const Expect &e : expected) {
    EXPECT_EQ(e.entry->percentCpu, 0.0) << e.what;
  }
}

// A snapshot that lists a pid twice gives it two delta records; their shares
// are added in table order (largest delta first), the cap applied after each.
TEST_F(FootprintTest, SeveralDeltasOfOnePidAddInTableOrder) {
  ServerEntry *s = server(100);
  fake_varnock::set_proc_cache({cpu(1, 0, 0), cpu(100, 1, 0), cpu(100, 1, 0), cpu(100, 1, 1000)},
                               100);
  refresh_at(1000);
  fake_varnock::set_proc_cache({cpu(1, 0, 0), cpu(100, 1, 600), cpu(100, 1, 900), cpu(100, 1, 500)},
                               110);
  refresh_at(1020);
  // 9000, 15000 capped to 10000, then -5000.
  EXPECT_DOUBLE_EQ(s->percentCpu, 5000.0);
}

TEST_F(FootprintTest, MemoryShareIsAWholePercentPerProcess) {
  const uint64_t physicalKb = physical_memory_kb();
  ASSERT_GT(physicalKb, 0u);
  const auto bytes_for = [&](double percent) {
    return static_cast<double>(physicalKb) * 1024.0 * percent / 100.0;
  };
  if (bytes_for(3.0) > UINT32_MAX) {
    GTEST_SKIP() << "memory too large for 32-bit process sizes at these shares";
  }
  const auto b = [&](double percent) { return static_cast<uint32_t>(bytes_for(percent)); };
  ServerEntry *twoHalves = server(100);
  ServerEntry *one = server(200);
  ServerEntry *small = server(300);
  fake_varnock::set_proc_cache({mem(100, 1, b(1.5)), mem(101, 100, b(1.5)), mem(200, 1, b(2.5)),
                                mem(300, 1, b(0.9)), mem(301, 300, b(0.9))},
                               0);
  refresh_at(2000);
  EXPECT_EQ(twoHalves->percentMem, 2.0); // 1 + 1, not 3
  EXPECT_EQ(one->percentMem, 2.0);
  EXPECT_EQ(small->percentMem, 0.0);
}

TEST_F(FootprintTest, PhysicalMemoryIsTheKernelsTotal) {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  uint64_t total = 0;
  while (std::getline(meminfo, line)) {
    if (line.rfind("MemTotal:", 0) == 0) {
      std::istringstream(line.substr(9)) >> total;
    }
  }
  ASSERT_GT(total, 0u);
  EXPECT_EQ(physical_memory_kb(), total);
}

TEST_F(FootprintTest, LogSizesAsGivenOrUnderTheServerRoot) {
  const std::string root = dir.file("serverroot");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/logs").c_str(), 0755), 0);
  const auto file = [&](const std::string &path, size_t size) {
    testsupport::write_file(path, std::string(size, 'l'));
    return path;
  };
  const std::string kb10 = file(dir.file("access_log"), 10240);
  const std::string b1023 = file(dir.file("tiny_log"), 1023);
  const std::string b1800 = file(dir.file("a1800"), 1800);
  file(root + "/logs/access.log", 4096);
  file(root + "/logs/error.log", 2048);

  // A server root so long that root/log no longer fits the joined path, while
  // the first 511 characters of it name a real file.
  const std::string longRoot =
      dir.path() + "/" + std::string(200, 'r') + "/" + std::string(200, 'r');
  ASSERT_EQ(mkdir(longRoot.substr(0, longRoot.size() - 201).c_str(), 0755), 0);
  ASSERT_EQ(mkdir(longRoot.c_str(), 0755), 0);
  const std::string stem(511 - longRoot.size() - 1, 's');
  file(longRoot + "/" + stem, 8192);
  const std::string tooLong = stem + std::string(20, 's');

  struct Case {
    const char *what;
    std::string serverRoot, access, error, script;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"10240 bytes, missing, empty", root, kb10, dir.file("missing"), "", 10},
      {"1023 bytes count 0 KB", root, b1023, "", "", 0},
      {"each log truncated on its own", root, b1800, b1800, "", 2},
      {"relative to the server root", root, "logs/access.log", "logs/error.log", "", 6},
      {"a directory adds nothing", root, "logs", dir.path(), root, 0},
      {"joined path too long is unreadable", longRoot, tooLong, "", "", 0},
      {"absolute paths win", dir.path(), kb10, kb10, kb10, 30},
  };
  std::vector<ServerEntry *> servers;
  for (const Case &c : cases) {
    ServerEntry *s = server(0);
    std::snprintf(s->serverRoot, sizeof s->serverRoot, "%s", c.serverRoot.c_str());
    std::snprintf(s->accessLog, sizeof s->accessLog, "%s", c.access.c_str());
    std::snprintf(s->errorLog, sizeof s->errorLog, "%s", c.error.c_str());
    std::snprintf(s->scriptLog, sizeof s->scriptLog, "%s", c.script.c_str());
    s->totalLogSize = 12345;
    servers.push_back(s);
  }
  refresh_at(2000);
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(servers[i]->totalLogSize, cases[i].expected) << cases[i].what;
    EXPECT_EQ(servers[i]->totalDiskSize, cases[i].expected) << cases[i].what;
  }
}

TEST_F(FootprintTest, DocumentRootScannedWhenMoreThanTheIntervalHasPassed) {
  const std::string docs = dir.file("htdocs");
  ASSERT_EQ(mkdir(docs.c_str(), 0755), 0);
  testsupport::write_file(docs + "/index.html", std::string(3000, 'h'));
  testsupport::write_file(dir.file("error_log"), std::string(2048, 'e'));

  ServerEntry *s = server(0);
  s->fileCheckInterval = 60;
  std::snprintf(s->documentRoot, sizeof s->documentRoot, "%s", docs.c_str());
  std::snprintf(s->errorLog, sizeof s->errorLog, "%s", dir.file("error_log").c_str());
  ServerEntry *never = server(0);
  never->fileCheckInterval = 0;
  std::snprintf(never->documentRoot, sizeof never->documentRoot, "%s", docs.c_str());
  ServerEntry *negative = server(0);
  negative->fileCheckInterval = -5;
  std::snprintf(negative->documentRoot, sizeof negative->documentRoot, "%s", docs.c_str());
  ServerEntry *missing = server(0);
  missing->fileCheckInterval = 30;
  std::snprintf(missing->documentRoot, sizeof missing->documentRoot, "%s",
                dir.file("nowhere").c_str());

  refresh_at(1000); // first refresh: scans at once
  EXPECT_EQ(s->docSize, 2);
  EXPECT_EQ(s->lastDocScan, 1000);
  EXPECT_EQ(s->totalLogSize, 2);
  EXPECT_EQ(s->totalDiskSize, 4);
  EXPECT_EQ(missing->docSize, 0);
  EXPECT_EQ(missing->lastDocScan, 1000); // waits a full interval all the same

  testsupport::write_file(docs + "/big.html", std::string(8192, 'b'));
  refresh_at(1060); // exactly 60 seconds: not enough
  EXPECT_EQ(s->docSize, 2);
  EXPECT_EQ(s->lastDocScan, 1000);
  EXPECT_EQ(s->totalDiskSize, 4);

  refresh_at(1080);
  EXPECT_EQ(s->docSize, 10); // 11192 bytes
  EXPECT_EQ(s->lastDocScan, 1080);
  EXPECT_EQ(s->totalDiskSize, 12);

  for (const ServerEntry *e : {never, negative}) {
    EXPECT_EQ(e->docSize, 0);
    EXPECT_EQ(e->lastDocScan, 0);
    EXPECT_EQ(e->totalDiskSize, e->totalLogSize);
  }
}

TEST(FileSizeTest, SizesInKilobytesAndFailures) {
  TempDir dir;
  const std::string path = dir.file("f");
  struct Case {
    off_t size;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {0, 0},
      {1023, 0},
      {1024, 1},
      {10240, 10},
      {off_t{3} << 30, 3 << 20}, // a 3 GiB (sparse) log counts right
  };
  for (const Case &c : cases) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, c.size), 0);
    close(fd);
    int32_t kb = -7;
    EXPECT_EQ(file_size_kb(path.c_str(), &kb), 0) << c.size;
    EXPECT_EQ(kb, c.expected) << c.size;
  }
  truncate(path.c_str(), 0);

  int32_t kb = -7;
  EXPECT_EQ(file_size_kb(dir.path().c_str(), &kb), -1);
  EXPECT_EQ(file_size_kb(dir.file("missing").c_str(), &kb), -1);
  EXPECT_EQ(file_size_kb("", &kb), -1);
  EXPECT_EQ(file_size_kb(nullptr, &kb), -1);
  EXPECT_EQ(kb, -7); // untouched on failure
  EXPECT_EQ(file_size_kb(path.c_str(), nullptr), -1);
}

} // namespace
