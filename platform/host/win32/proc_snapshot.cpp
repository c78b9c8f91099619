// The process list from Toolhelp32: pid, parent, name and thread count for
// every process; CPU times and memory counters for those that this process
// may open. Units as on POSIX: cpuTime centiseconds, cpuTimeReal
// milliseconds, rss and memSize KB, memBytes bytes.
#include "platform/host/proc_snapshot.h"

// windows.h must come first.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>

namespace {

// Closes a handle when it goes out of scope.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
};

uint64_t ticks_of(const FILETIME &time) { // 100-nanosecond units
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

int32_t saturate_i32(uint64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

uint32_t saturate_u32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// The time of the system's start, in FILETIME ticks.
uint64_t boot_ticks() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ticks_of(now) - GetTickCount64() * 10000;
}

HANDLE open_process(DWORD pid) {
  // Reading memory counters once needed PROCESS_VM_READ as well; processes
  // that grant only the limited query right still give their times.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) {
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  }
  return process;
}

void read_times(HANDLE process, uint64_t boot, ProcEntry &entry) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    return;
  }
  const uint64_t cpu = ticks_of(kernel) + ticks_of(user);
  entry.cpuTime = saturate_i32(cpu / 100000);             // centiseconds
  entry.cpuTimeReal = static_cast<double>(cpu) / 10000.0; // milliseconds
  const uint64_t start = ticks_of(created);
  entry.startTime = start > boot ? static_cast<double>(start - boot) / 1e7 : 0.0;
}

// Windows counts page faults without telling hard from soft ones: faults
// holds them all, minorFaults stays 0.
void read_memory(HANDLE process, ProcEntry &entry) {
  PROCESS_MEMORY_COUNTERS counters;
  std::memset(&counters, 0, sizeof counters);
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) {
    return;
  }
  entry.rss = saturate_u32(counters.WorkingSetSize / 1024);
  entry.memBytes = saturate_u32(counters.WorkingSetSize);
  // The memory committed to the process: Windows' nearest to a virtual size.
  entry.memSize = saturate_i32(counters.PagefileUsage / 1024);
  entry.faults = saturate_i32(counters.PageFaultCount);
}

} // namespace

int32_t platform_stamp_deciseconds(void) {
  return static_cast<int32_t>(static_cast<uint32_t>(GetTickCount64() / 100));
}

void platform_read_processes(std::vector<ProcEntry> *entries) {
  HandleCloser snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
  if (snapshot.handle == INVALID_HANDLE_VALUE) {
    return;
  }
  const uint64_t boot = boot_ticks();
  PROCESSENTRY32 process;
  std::memset(&process, 0, sizeof process);
  process.dwSize = sizeof process;
  for (BOOL more = Process32First(snapshot.handle, &process); more;
       more = Process32Next(snapshot.handle, &process)) {
    ProcEntry entry;
    std::memset(&entry, 0, sizeof entry);
    entry.pid = static_cast<int32_t>(process.th32ProcessID);
    entry.ppid = static_cast<int32_t>(process.th32ParentProcessID);
    entry.threads = static_cast<int32_t>(process.cntThreads);
    entry.priority = process.pcPriClassBase;
    const size_t nameLength = strnlen(process.szExeFile, sizeof process.szExeFile);
    const size_t kept = nameLength < sizeof entry.name ? nameLength : sizeof entry.name - 1;
    std::memcpy(entry.name, process.szExeFile, kept);
    entry.name[kept] = '\0';
    HandleCloser handle{open_process(process.th32ProcessID)};
    if (handle.handle != nullptr) {
      read_times(handle.handle, boot, entry);
      read_memory(handle.handle, entry);
    }
    entries->push_back(entry);
  }
}
