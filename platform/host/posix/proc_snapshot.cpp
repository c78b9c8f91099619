// The process list from /proc. Each process costs one read of its stat file
// and one fstat for its owner. The list begins with a record of pid 0 for the
// machine's idle time, from /proc/stat.
#include "platform/host/proc_snapshot.h"

#include "platform/host/cpu_count.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0)
      close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
};

struct DirCloser {
  DIR *dir;
  ~DirCloser() {
    if (dir != nullptr)
      closedir(dir);
  }
};

// Machine constants, read once.
struct Units {
  long long ticksPerSecond;
  long long pageBytes;
};

const Units &units() {
  static const Units u = [] {
    long ticks = sysconf(_SC_CLK_TCK);
    long page = getpagesize();
    return Units{ticks > 0 ? ticks : 100, page > 0 ? page : 4096};
  }();
  return u;
}

int32_t saturate_i32(long long v) {
  if (v > INT32_MAX)
    return INT32_MAX;
  if (v < INT32_MIN)
    return INT32_MIN;
  return static_cast<int32_t>(v);
}

uint32_t saturate_u32(long long v) {
  if (v < 0)
    return 0;
  if (v > static_cast<long long>(UINT32_MAX))
    return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

// Reads space-separated decimal fields of a stat line.
class FieldReader {
public:
  FieldReader(const char *p, const char *end) : p_(p), end_(end) {}

  bool skip(int fields) {
    for (int i = 0; i < fields; ++i) {
      if (!token())
        return false;
    }
    return true;
  }

  bool number(long long &out) {
    const char *t;
    size_t n;
    if (!token(&t, &n))
      return false;
    bool negative = false;
    size_t i = 0;
    if (n > 0 && (t[0] == '-' || t[0] == '+')) {
      negative = t[0] == '-';
      i = 1;
    }
    if (i == n)
      return false;
    unsigned long long v = 0;
    for (; i < n; ++i) {
      if (t[i] < '0' || t[i] > '9')
        return false;
      v = v * 10 + static_cast<unsigned>(t[i] - '0');
    }
    // Values above LLONG_MAX (none that are read here) saturate.
    long long s =
        v > static_cast<unsigned long long>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(v);
    out = negative ? -s : s;
    return true;
  }

  bool letter(char &out) {
    const char *t;
    size_t n;
    if (!token(&t, &n) || n != 1)
      return false;
    out = t[0];
    return true;
  }

private:
  bool token(const char **start = nullptr, size_t *length = nullptr) {
    while (p_ < end_ && *p_ == ' ')
      ++p_;
    const char *s = p_;
    while (p_ < end_ && *p_ != ' ' && *p_ != '\n')
      ++p_;
    if (p_ == s)
      return false;
    if (start != nullptr)
      *start = s;
    if (length != nullptr)
      *length = static_cast<size_t>(p_ - s);
    return true;
  }

  const char *p_;
  const char *end_;
};

// Reads one process into entry. False when the process vanished or its stat
// file cannot be read whole; entry is then left for the caller to discard.
bool read_process(int procFd, const char *pidName, int32_t pid, ProcEntry &entry) {
  char path[32];
  const int length = snprintf(path, sizeof path, "%s/stat", pidName);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path)
    return false; // never for a pid, whose name has at most 10 digits
  Fd fd(openat(procFd, path, O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0)
    return false;
  char buffer[4096];
  ssize_t got = read(fd.fd, buffer, sizeof buffer - 1);
  if (got <= 0)
    return false;
  buffer[got] = '\0';
  const char *end = buffer + got;

  // "pid (comm) state ...": comm may hold blanks and ')', so it ends at the
  // last ')'.
  const char *open = static_cast<const char *>(memchr(buffer, '(', static_cast<size_t>(got)));
  const char *close = static_cast<const char *>(memrchr(buffer, ')', static_cast<size_t>(got)));
  if (open == nullptr || close == nullptr || close < open)
    return false;

  FieldReader fields(close + 1, end);
  char state = 0;
  long long ppid, pgrp, session, ttyNr, minflt, majflt, utime, stime, priority, nice, threads,
      startTicks, vsize, rssPages;
  if (!fields.letter(state) || !fields.number(ppid) || !fields.number(pgrp) ||
      !fields.number(session) || !fields.number(ttyNr) || !fields.skip(2) || // tpgid flags
      !fields.number(minflt) || !fields.skip(1) ||                           // cminflt
      !fields.number(majflt) || !fields.skip(1) ||                           // cmajflt
      !fields.number(utime) || !fields.number(stime) || !fields.skip(2) ||   // cutime cstime
      !fields.number(priority) || !fields.number(nice) || !fields.number(threads) ||
      !fields.skip(1) || // itrealvalue
      !fields.number(startTicks) || !fields.number(vsize) || !fields.number(rssPages))
    return false;
  (void)pgrp;

  struct stat owner {};
  if (fstat(fd.fd, &owner) != 0)
    return false;

  const Units &u = units();
  memset(&entry, 0, sizeof entry);
  entry.pid = pid;
  entry.ppid = saturate_i32(ppid);
  entry.uid = static_cast<int32_t>(owner.st_uid);
  entry.state = state;
  entry.priority = saturate_i32(priority);
  entry.nice = saturate_i32(nice);
  entry.session = saturate_i32(session);
  entry.tty = saturate_i32(ttyNr);
  entry.threads = saturate_i32(threads);
  entry.faults = saturate_i32(majflt);
  entry.minorFaults = saturate_i32(minflt);
  long long ticks = utime + stime;
  entry.cpuTime = saturate_i32(ticks * 100 / u.ticksPerSecond);
  entry.cpuTimeReal = static_cast<double>(ticks) * 1000.0 / static_cast<double>(u.ticksPerSecond);
  entry.startTime = static_cast<double>(startTicks) / static_cast<double>(u.ticksPerSecond);
  long long rssBytes = rssPages > 0 ? rssPages * u.pageBytes : 0;
  entry.rss = saturate_u32(rssBytes / 1024);
  entry.memBytes = saturate_u32(rssBytes);
  entry.memSize = saturate_i32(vsize / 1024);
  size_t nameLength =
      std::min<size_t>(static_cast<size_t>(close - open - 1), sizeof entry.name - 1);
  memcpy(entry.name, open + 1, nameLength);
  entry.name[nameLength] = '\0';
  return true;
}

// The idle time of all CPUs as a process of pid 0, named "idle", with one
// thread per CPU, as Windows lists its idle process. Consumers that leave out
// a snapshot's first record, the idle process there, then leave out no real
// process here either: not process 1, which in a container is the service
// itself. Times stay 0 when /proc/stat cannot be read.
ProcEntry idle_process() {
  ProcEntry idle;
  memset(&idle, 0, sizeof idle);
  idle.state = 'R';
  idle.threads = platform_cpu_count();
  memcpy(idle.name, "idle", sizeof "idle");
  Fd fd(open("/proc/stat", O_RDONLY | O_CLOEXEC));
  char buffer[512];
  const ssize_t got = fd.fd >= 0 ? read(fd.fd, buffer, sizeof buffer - 1) : -1;
  if (got <= 0)
    return idle;
  // "cpu  user nice system idle iowait ...": the time spent idle, waiting
  // for input and output included.
  FieldReader fields(buffer, buffer + got);
  long long idleTicks = 0;
  long long ioWaitTicks = 0;
  if (!fields.skip(4) || !fields.number(idleTicks))
    return idle;
  if (!fields.number(ioWaitTicks))
    ioWaitTicks = 0;
  const long long ticks = idleTicks + std::max(ioWaitTicks, 0LL);
  const Units &u = units();
  idle.cpuTime = saturate_i32(ticks * 100 / u.ticksPerSecond);
  idle.cpuTimeReal = static_cast<double>(ticks) * 1000.0 / static_cast<double>(u.ticksPerSecond);
  return idle;
}

// The pid a /proc entry names, or -1 for entries that are not processes.
int32_t pid_of(const char *name) {
  long long v = 0;
  if (*name == '\0')
    return -1;
  for (const char *p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || v > INT32_MAX)
      return -1;
    v = v * 10 + (*p - '0');
  }
  return v > INT32_MAX ? -1 : static_cast<int32_t>(v);
}

} // namespace

int32_t platform_stamp_deciseconds(void) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long ds = static_cast<long long>(now.tv_sec) * 10 + now.tv_nsec / 100000000;
  return static_cast<int32_t>(static_cast<uint32_t>(ds));
}

void platform_read_processes(std::vector<ProcEntry> *entries) {
  entries->push_back(idle_process());
  DirCloser proc{opendir("/proc")};
  if (proc.dir == nullptr)
    return;
  const int procFd = dirfd(proc.dir);
  ProcEntry entry;
  while (struct dirent *d = readdir(proc.dir)) {
    const int32_t pid = pid_of(d->d_name);
    if (pid < 0)
      continue;
    if (!read_process(procFd, d->d_name, pid, entry))
      continue; // gone since the directory was read
    entries->push_back(entry);
  }
}
