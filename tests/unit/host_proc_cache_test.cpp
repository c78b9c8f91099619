// The agent library's process snapshot against the machine itself: this test
// process, children it starts, the CPU time it burns and the clock; and the
// library's C functions when memory runs out.
#include <dirent.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "tests/support/process.h"
#include "varnock_host.h"

namespace {

// While set, every allocation through operator new fails: this program
// replaces it, for the agent library's allocations too.
bool g_fail_allocations = false;

// Runs call while allocations fail; true when an exception came out of it.
template <typename Call> bool throws_without_memory(Call call) {
  g_fail_allocations = true;
  bool threw = false;
  try {
    call();
  } catch (...) {
    threw = true;
  }
  g_fail_allocations = false;
  return threw;
}

} // namespace

// These replacements pair malloc with free. GCC at -Os inlines them into
// their callers and then takes the free for a mismatch with operator new
// (-Wmismatched-new-delete), which it is not here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(std::size_t size) {
  void *block = g_fail_allocations ? nullptr : std::malloc(size > 0 ? size : 1);
  if (block == nullptr)
    throw std::bad_alloc();
  return block;
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

struct Snapshot {
  ProcEntry *entries = nullptr;
  int32_t count = 0;
  int32_t stamp = 0;

  static Snapshot take() {
    Snapshot s;
    s.entries = VarnockGetProcCache(&s.count, &s.stamp);
    return s;
  }
  const ProcEntry *find(pid_t pid) const {
    for (int32_t i = 0; i < count; ++i) {
      if (entries[i].pid == pid)
        return &entries[i];
    }
    return nullptr;
  }
};

// A child that renames itself, tells the parent, and sleeps until killed.
class NamedChild {
public:
  explicit NamedChild(const char *name) {
    int fds[2];
    if (pipe(fds) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      prctl(PR_SET_NAME, name, 0, 0, 0);
      char ready = 1;
      (void)!write(fds[1], &ready, 1);
      for (;;)
        pause();
    }
    close(fds[1]);
    char ready = 0;
    if (pid_ > 0 && read(fds[0], &ready, 1) != 1)
      stop();
    close(fds[0]);
  }
  ~NamedChild() { stop(); }
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

private:
  pid_t pid_ = -1;
};

int task_count() {
  int n = 0;
  if (DIR *dir = opendir("/proc/self/task")) {
    while (dirent *d = readdir(dir))
      n += d->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double wall_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(HostProcCache, HoldsThisProcessAndItsChildInAscendingPidOrder) {
  // A second thread, so that the thread count has something to show.
  std::atomic<bool> done{false};
  std::thread helper([&] {
    while (!done)
      usleep(1000);
  });
  NamedChild child("vnk child");
  ASSERT_GT(child.pid(), 0);

  int threadsBefore = task_count();
  Snapshot snap = Snapshot::take();
  int threadsAfter = task_count();
  done = true;
  helper.join();

  ASSERT_GT(snap.count, 1);
  ASSERT_NE(snap.entries, nullptr);
  // The machine's idle time comes first, as pid 0, so that process 1 is
  // never the first record.
  EXPECT_EQ(snap.entries[0].pid, 0);
  EXPECT_STREQ(snap.entries[0].name, "idle");
  EXPECT_GT(snap.entries[0].cpuTimeReal, 0.0);
  for (int32_t i = 1; i < snap.count; ++i)
    ASSERT_LT(snap.entries[i - 1].pid, snap.entries[i].pid) << "at " << i;
  for (int32_t i = 0; i < snap.count; ++i) {
    EXPECT_EQ(snap.entries[i].stamp, snap.stamp);
    EXPECT_NE(snap.entries[i].name[0], '\0') << snap.entries[i].pid;
  }

  const ProcEntry *self = snap.find(getpid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->ppid, getppid());
  std::string comm = testsupport::read_file("/proc/self/comm");
  EXPECT_EQ(std::string(self->name) + "\n", comm);
  if (threadsBefore == threadsAfter) {
    EXPECT_EQ(self->threads, threadsBefore);
  }
  EXPECT_GE(self->threads, 2);
  EXPECT_EQ(self->uid, static_cast<int32_t>(geteuid()));
  EXPECT_EQ(self->state, 'R');
  EXPECT_GT(self->rss, 0u);
  EXPECT_EQ(self->memBytes, self->rss * 1024u);
  EXPECT_GE(static_cast<int64_t>(self->memSize), static_cast<int64_t>(self->rss));

  const ProcEntry *kid = snap.find(child.pid());
  ASSERT_NE(kid, nullptr);
  EXPECT_EQ(kid->ppid, getpid());
  EXPECT_STREQ(kid->name, "vnk child");
  EXPECT_EQ(kid->threads, 1);
  EXPECT_GE(kid->startTime, self->startTime);
}

TEST(HostProcCache, ReadsNamesThatHoldBlanksAndParentheses) {
  const char *names[] = {"a) b (c", "))", "x y z ) 1 2 3", "("};
  for (const char *name : names) {
    NamedChild child(name);
    ASSERT_GT(child.pid(), 0);
    Snapshot snap = Snapshot::take();
    const ProcEntry *kid = snap.find(child.pid());
    ASSERT_NE(kid, nullptr) << name;
    EXPECT_STREQ(kid->name, name);
    EXPECT_EQ(kid->ppid, getpid()) << name;
    EXPECT_EQ(kid->threads, 1) << name;
  }
}

TEST(HostProcCache, LeavesOutAProcessThatHasEnded) {
  NamedChild child("vnk gone");
  pid_t pid = child.pid();
  ASSERT_GT(pid, 0);
  child.stop(); // killed and reaped
  Snapshot snap = Snapshot::take();
  EXPECT_EQ(snap.find(pid), nullptr);
}

TEST(HostProcCache, CpuTimeGrowsWithTheCpuThisProcessBurns) {
  Snapshot first = Snapshot::take();
  const ProcEntry *before = first.find(getpid());
  ASSERT_NE(before, nullptr);
  const double cpuBefore = before->cpuTimeReal;
  const int32_t centisecondsBefore = before->cpuTime;

  // Burn 0.3 s of this process's CPU time, however long a loaded machine
  // takes to grant it.
  const double start = process_cpu_seconds();
  const double giveUp = wall_seconds() + 60.0;
  volatile uint64_t sink = 0;
  while (process_cpu_seconds() - start < 0.3 && wall_seconds() < giveUp) {
    for (int i = 0; i < 100000; ++i)
      sink = sink + static_cast<uint64_t>(i) * 2654435761u;
  }
  const double burnt = process_cpu_seconds() - start;
  ASSERT_GE(burnt, 0.3);

  Snapshot second = Snapshot::take();
  const ProcEntry *after = second.find(getpid());
  ASSERT_NE(after, nullptr);
  // Milliseconds and centiseconds of the same time; the kernel accounts in
  // ticks, so allow a few ticks of slack below what was burnt.
  EXPECT_GE(after->cpuTimeReal - cpuBefore, burnt * 1000.0 - 50.0);
  EXPECT_GE(after->cpuTime - centisecondsBefore, static_cast<int32_t>(burnt * 100.0) - 5);
  EXPECT_NEAR(after->cpuTime, after->cpuTimeReal / 10.0, 1.0);
  EXPECT_LE(after->cpuTimeReal / 1000.0, process_cpu_seconds() + 0.05);
}

// The modules call through a C interface that no exception may cross: a
// snapshot that cannot be stored is an empty one, a variable that cannot be
// stored is refused, and both work again once memory is there. (Each test
// runs in a process of its own, so the snapshot has no room yet.)
TEST(HostProcCache, RunningOutOfMemoryGivesFailureResultsNotExceptions) {
  int32_t count = -1;
  int32_t stamp = 0;
  EXPECT_FALSE(throws_without_memory([&] { VarnockGetProcCache(&count, &stamp); }));
  EXPECT_EQ(count, 0);
  MibVariable var{};
  var.oid[0] = 1;
  var.oidLength = 1;
  var.handler = [](MibVariable *, uint32_t *, int32_t *, int32_t, int32_t *,
                   void **) -> unsigned char * { return nullptr; };
  int32_t inserted = 0;
  EXPECT_FALSE(throws_without_memory([&] { inserted = VarnockInsertIntoVariableList(&var); }));
  EXPECT_LT(inserted, 0);
  EXPECT_EQ(VarnockHostVariableCount(), 0u);

  EXPECT_NE(Snapshot::take().find(getpid()), nullptr);
  EXPECT_EQ(VarnockInsertIntoVariableList(&var), 0);
  VarnockHostClearVariables();
}

TEST(HostProcCache, StampIsAMonotonicClockInDeciseconds) {
  Snapshot first = Snapshot::take();
  const int32_t stamp1 = first.stamp;
  const double wall1 = wall_seconds();
  usleep(350 * 1000);
  Snapshot second = Snapshot::take();
  const double wall2 = wall_seconds();
  const int32_t elapsed = second.stamp - stamp1;
  EXPECT_GE(elapsed, 3);
  EXPECT_LE(elapsed, static_cast<int32_t>((wall2 - wall1) * 10.0) + 1);

  // The stamp counts from the same origin as CLOCK_MONOTONIC.
  EXPECT_NEAR(static_cast<double>(second.stamp), wall2 * 10.0, 2.0);
}

} // namespace
