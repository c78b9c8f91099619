// The Windows agent library (varnock.dll): its process snapshot from
// Toolhelp32 and the process counters, in the units of the Linux snapshot;
// the CPU count; and its log on the standard error stream.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "varnock.h"
#include "varnock_host.h"

namespace {

const ProcEntry *find_pid(const ProcEntry *entries, int32_t count, int32_t pid) {
  for (int32_t i = 0; i < count; ++i) {
    if (entries[i].pid == pid) {
      return &entries[i];
    }
  }
  return nullptr;
}

DWORD WINAPI wait_for_event(void *event) {
  WaitForSingleObject(static_cast<HANDLE>(event), 30000);
  return 0;
}

TEST(Win32ProcCache, HoldsThisProcessInAscendingPidOrder) {
  int32_t count = -1;
  int32_t stamp = 0;
  const ProcEntry *entries = VarnockGetProcCache(&count, &stamp);
  ASSERT_GT(count, 0);
  EXPECT_TRUE(std::is_sorted(entries, entries + count,
                             [](const ProcEntry &a, const ProcEntry &b) { return a.pid < b.pid; }));
  const ProcEntry *self = find_pid(entries, count, static_cast<int32_t>(GetCurrentProcessId()));
  ASSERT_NE(self, nullptr);
  EXPECT_STREQ(self->name, "win32_agent_test.exe");
  EXPECT_GE(self->threads, 1);
  EXPECT_NE(self->ppid, self->pid);
  EXPECT_EQ(self->stamp, stamp);
  // Memory: the working set in KB and in bytes, the committed memory in KB.
  EXPECT_GT(self->rss, 0u);
  EXPECT_EQ(self->memBytes / 1024, self->rss);
  EXPECT_GT(self->memSize, 0);
  EXPECT_GE(self->faults, 0); // all page faults; Wine does not count them
  EXPECT_EQ(self->minorFaults, 0);
}

// The process counters of one process in a fresh snapshot.
ProcEntry this_process(int32_t *stamp) {
  int32_t count = 0;
  const ProcEntry *entries = VarnockGetProcCache(&count, stamp);
  const ProcEntry *self = find_pid(entries, count, static_cast<int32_t>(GetCurrentProcessId()));
  EXPECT_NE(self, nullptr);
  ProcEntry copy{};
  if (self != nullptr) {
    copy = *self;
  }
  return copy;
}

TEST(Win32ProcCache, CountsThreadsAndCpuTime) {
  int32_t stamp = 0;
  const ProcEntry before = this_process(&stamp);

  // A thread more, and about half a second of CPU time.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, wait_for_event, event, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const ULONGLONG start = GetTickCount64();
  volatile unsigned long spin = 0;
  while (GetTickCount64() - start < 500) {
    spin = spin + 1;
  }
  int32_t laterStamp = 0;
  const ProcEntry after = this_process(&laterStamp);
  SetEvent(event);
  WaitForSingleObject(thread, 30000);
  CloseHandle(thread);
  CloseHandle(event);

  EXPECT_EQ(after.threads, before.threads + 1);
  // cpuTime in centiseconds, cpuTimeReal in milliseconds, of the same time.
  EXPECT_GE(after.cpuTimeReal - before.cpuTimeReal, 100.0);
  EXPECT_NEAR(after.cpuTime, after.cpuTimeReal / 10.0, 1.0);
  // The stamp counts deciseconds: half a second is about 5.
  EXPECT_GE(laterStamp - stamp, 4);
  EXPECT_LE(laterStamp - stamp, 50);
}

TEST(Win32Agent, VersionAndCpuCount) {
  EXPECT_EQ(VarnockGetVarnockVersion(), 422);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(VarnockGetNcpuOnline(), static_cast<int32_t>(info.dwNumberOfProcessors));
}

TEST(Win32Agent, LogLinesGoToStandardErrorOneLineEach) {
  VarnockHostSetLogLevel(VARNOCK_LOG_WARNING);
  testing::internal::CaptureStderr();
  VarnockSyslog(VARNOCK_LOG_ERR, "ostrik: error %d\n\n", 5);
  VarnockSyslog(VARNOCK_LOG_WARNING, "warning without a newline");
  VarnockSyslog(VARNOCK_LOG_DEBUG, "a debug trace that is dropped");
  const std::string captured = testing::internal::GetCapturedStderr();
  EXPECT_EQ(captured, "ostrik: error 5\nwarning without a newline\n");
}

} // namespace
