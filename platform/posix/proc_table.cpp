#include "platform/proc_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kRootSize = 256;
char procRoot[kRootSize] = "/proc";
// Room for the root, a directory entry's name (at most 255) and a file name.
constexpr size_t kPathSize = kRootSize + 256 + 64;

// The TCP state that /proc/net/tcp writes for a listening socket.
constexpr unsigned kListenState = 0x0A;

struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
struct FileCloser {
  void operator()(FILE *file) const { std::fclose(file); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;
using File = std::unique_ptr<FILE, FileCloser>;

// A positive decimal number that is the whole of text, at most INT32_MAX.
bool whole_pid(const char *text, int32_t *pid) {
  if (*text < '1' || *text > '9') {
    return false;
  }
  long long value = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || (value = value * 10 + (*p - '0')) > INT32_MAX) {
      return false;
    }
  }
  *pid = static_cast<int32_t>(value);
  return true;
}

// Hex digits of text, all of it, at most 8: the value in *value.
bool hex_word(const char *text, size_t length, uint32_t *value) {
  if (length == 0 || length > 8) {
    return false;
  }
  uint32_t v = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (digit < 0) {
      return false;
    }
    v = v << 4 | static_cast<uint32_t>(digit);
  }
  *value = v;
  return true;
}

// The blank-separated tokens of line, at most count; their number.
size_t split(char *line, char **tokens, size_t count) {
  size_t n = 0;
  char *rest = nullptr;
  for (char *p = strtok_r(line, " \t\n", &rest); p != nullptr && n < count;
       p = strtok_r(nullptr, " \t\n", &rest)) {
    tokens[n++] = p;
  }
  return n;
}

// One line of a tcp or tcp6 table: "sl: LOCAL REMOTE ST ... UID TIMEOUT
// INODE ...". The kernel writes each 32-bit word of an address as the hex
// of the word as it lies in memory, so the word stored back in this
// machine's byte order gives the address's bytes. False when the line is
// not of that form; *listening tells whether the socket listens.
bool parse_tcp_line(char *line, bool ipv6, PlatformListener *out, bool *listening) {
  char *tokens[10];
  if (split(line, tokens, 10) < 10) {
    return false;
  }
  const char *local = tokens[1];
  const char *colon = std::strchr(local, ':');
  const size_t hexLength = ipv6 ? 32 : 8;
  uint32_t port = 0;
  uint32_t state = 0;
  if (colon == nullptr || static_cast<size_t>(colon - local) != hexLength ||
      !hex_word(colon + 1, std::strlen(colon + 1), &port) || port > 0xFFFF ||
      !hex_word(tokens[3], std::strlen(tokens[3]), &state)) {
    return false;
  }
  *out = PlatformListener{};
  out->ipv6 = ipv6;
  for (size_t word = 0; word < hexLength / 8; ++word) {
    uint32_t value = 0;
    if (!hex_word(local + word * 8, 8, &value)) {
      return false;
    }
    std::memcpy(out->address + word * 4, &value, 4);
  }
  out->port = static_cast<uint16_t>(port);
  char *end = nullptr;
  if (tokens[9][0] < '0' || tokens[9][0] > '9') {
    return false;
  }
  out->inode = std::strtoull(tokens[9], &end, 10);
  if (*end != '\0' || tokens[7][0] < '0' || tokens[7][0] > '9') {
    return false;
  }
  const unsigned long long uid = std::strtoull(tokens[7], &end, 10);
  if (*end != '\0' || uid > UINT32_MAX) {
    return false;
  }
  out->uid = static_cast<uint32_t>(uid);
  *listening = state == kListenState;
  return true;
}

int read_tcp_table(const char *name, bool ipv6, std::vector<PlatformListener> *out,
                   std::vector<PlatformProcProblem> *problems) {
  char path[kRootSize + 32];
  std::snprintf(path, sizeof path, "%s/net/%s", procRoot, name);
  File file(std::fopen(path, "r"));
  if (!file) {
    return -1;
  }
  char line[512];
  int number = 0;
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    ++number;
    const bool whole = std::strchr(line, '\n') != nullptr || std::feof(file.get());
    if (!whole) {
      // A line longer than any the kernel writes: skip the rest of it.
      int c;
      while ((c = std::fgetc(file.get())) != EOF && c != '\n') {
      }
    }
    if (number == 1) {
      continue; // the column titles
    }
    PlatformListener listener;
    bool listening = false;
    if (!whole || !parse_tcp_line(line, ipv6, &listener, &listening)) {
      if (problems != nullptr) {
        problems->push_back(PlatformProcProblem{path, number});
      }
      continue;
    }
    if (listening) {
      out->push_back(listener);
    }
  }
  return 0;
}

// "PID (NAME) STATE PPID ...": the name may hold blanks and parentheses, so
// it ends at the last ')'.
bool parse_stat(const char *text, int32_t pid, PlatformProcess *out) {
  const char *open = std::strchr(text, '(');
  const char *close = std::strrchr(text, ')');
  if (open == nullptr || close == nullptr || close < open) {
    return false;
  }
  char state = 0;
  long long ppid = -1;
  if (std::sscanf(close + 1, " %c %lld", &state, &ppid) != 2 || ppid < 0 || ppid > INT32_MAX) {
    return false;
  }
  *out = PlatformProcess{};
  out->pid = pid;
  out->ppid = static_cast<int32_t>(ppid);
  const size_t length = std::min(static_cast<size_t>(close - open - 1), sizeof out->name - 1);
  std::memcpy(out->name, open + 1, length);
  out->name[length] = '\0';
  return true;
}

} // namespace

void platform_set_proc_root(const char *root) {
  std::snprintf(procRoot, sizeof procRoot, "%s", root != nullptr ? root : "/proc");
}

int64_t platform_process_uid(int32_t pid) {
  char path[kPathSize];
  std::snprintf(path, sizeof path, "%s/%d/status", procRoot, static_cast<int>(pid));
  File file(std::fopen(path, "r"));
  if (!file) {
    return -1;
  }
  char line[256];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    unsigned long long uid = 0;
    if (std::strncmp(line, "Uid:", 4) == 0) {
      return std::sscanf(line + 4, "%llu", &uid) == 1 && uid <= UINT32_MAX
                 ? static_cast<int64_t>(uid)
                 : -1;
    }
  }
  return -1;
}

int platform_list_processes(std::vector<PlatformProcess> *out,
                            std::vector<PlatformProcProblem> *problems) {
  Dir dir(opendir(procRoot));
  if (!dir) {
    return -1;
  }
  char path[kPathSize];
  char text[1024];
  while (const dirent *d = readdir(dir.get())) {
    int32_t pid = 0;
    if (!whole_pid(d->d_name, &pid)) {
      continue;
    }
    std::snprintf(path, sizeof path, "%s/%s/stat", procRoot, d->d_name);
    File file(std::fopen(path, "r"));
    if (!file) {
      continue; // gone since the listing
    }
    const size_t length = std::fread(text, 1, sizeof text - 1, file.get());
    text[length] = '\0';
    PlatformProcess process;
    if (!parse_stat(text, pid, &process)) {
      if (length > 0 && problems != nullptr) {
        problems->push_back(PlatformProcProblem{path, 1});
      }
      continue;
    }
    out->push_back(process);
  }
  return 0;
}

int platform_list_listeners(std::vector<PlatformListener> *out,
                            std::vector<PlatformProcProblem> *problems) {
  const int v4 = read_tcp_table("tcp", false, out, problems);
  const int v6 = read_tcp_table("tcp6", true, out, problems);
  return v4 == 0 || v6 == 0 ? 0 : -1;
}

namespace {

// What /proc/PID/fdinfo/FD states: the open flags (octal) of its "flags:"
// line, and the inode of its "ino:" line where the kernel writes one (0
// otherwise). False when it cannot be read or has no flags.
bool descriptor_info(const char *fdinfo, long *flags, unsigned long long *inode) {
  File file(std::fopen(fdinfo, "r"));
  if (!file) {
    return false;
  }
  *flags = -1;
  *inode = 0;
  char line[128];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    char *end = nullptr;
    if (std::strncmp(line, "flags:", 6) == 0) {
      const long value = std::strtol(line + 6, &end, 8);
      *flags = end != line + 6 ? value : -1;
    } else if (std::strncmp(line, "ino:", 4) == 0) {
      *inode = std::strtoull(line + 4, nullptr, 10);
    }
  }
  return *flags >= 0;
}

// The status of the file that the descriptor link leads to, looked up once:
// the link is opened as a path only, so a FIFO or a device there is neither
// opened nor waited on, and what is judged is the file the process holds.
bool descriptor_status(const char *link, struct stat *st) {
#ifdef O_PATH
  const int fd = open(link, O_PATH | O_CLOEXEC);
#else
  const int fd = open(link, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
  if (fd < 0) {
    return false;
  }
  const bool known = fstat(fd, st) == 0;
  close(fd);
  return known;
}

bool under(const char *path, const char *directory) {
  const size_t n = std::strlen(directory);
  return std::strncmp(path, directory, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

// Calls visit(link, target, length, name) for every descriptor of process
// pid: the path of its link, where the link points (length bytes; links
// longer than a path are passed over) and the descriptor's number as its
// name. False when the descriptors cannot be listed.
template <typename Visit> bool each_descriptor(int32_t pid, Visit visit) {
  char path[kPathSize];
  const int length = std::snprintf(path, sizeof path, "%s/%d/fd", procRoot, static_cast<int>(pid));
  Dir dir(opendir(path));
  if (!dir) {
    return false;
  }
  char link[kPathSize];
  char target[4096];
  while (const dirent *d = readdir(dir.get())) {
    if (d->d_name[0] == '.') {
      continue;
    }
    std::snprintf(link, sizeof link, "%.*s/%s", length, path, d->d_name);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target - 1) {
      continue;
    }
    target[n] = '\0';
    visit(link, target, static_cast<size_t>(n), d->d_name);
  }
  return true;
}

} // namespace

int64_t platform_user_id(const char *name) {
  struct passwd entry;
  struct passwd *found = nullptr;
  char buffer[4096];
  if (name == nullptr || name[0] == '\0' ||
      getpwnam_r(name, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return -1;
  }
  return static_cast<int64_t>(found->pw_uid);
}

int platform_process_socket_inodes(int32_t pid, std::vector<uint64_t> *inodes) {
  const bool listed =
      each_descriptor(pid, [&](const char *, const char *target, size_t, const char *) {
        unsigned long long inode = 0;
        char close = 0;
        if (std::sscanf(target, "socket:[%llu%c", &inode, &close) == 2 && close == ']') {
          inodes->push_back(inode);
        }
      });
  return listed ? 0 : -1;
}

int platform_process_written_files(int32_t pid, std::vector<std::string> *paths) {
  const size_t first = paths->size();
  const bool listed =
      each_descriptor(pid, [&](const char *link, const char *target, size_t n, const char *fd) {
        // The kernel marks a file that was unlinked while open; sockets, pipes
        // and anonymous inodes have names that do not start with '/'.
        static const char kDeleted[] = " (deleted)";
        const size_t deleted = sizeof kDeleted - 1;
        if (target[0] != '/' || under(target, "/proc") || under(target, "/dev") ||
            (n > deleted && std::strcmp(target + n - deleted, kDeleted) == 0)) {
          return;
        }
        struct stat st;
        if (!descriptor_status(link, &st) || !S_ISREG(st.st_mode)) {
          return;
        }
        // The descriptor may have been closed and its number reused since:
        // the flags count only for the file just judged (where the kernel
        // names its inode).
        char info[kPathSize];
        std::snprintf(info, sizeof info, "%s/%d/fdinfo/%s", procRoot, static_cast<int>(pid), fd);
        long flags = -1;
        unsigned long long inode = 0;
        if (!descriptor_info(info, &flags, &inode) || (inode != 0 && inode != st.st_ino) ||
            ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR)) {
          return;
        }
        if (std::find(paths->begin() + static_cast<std::ptrdiff_t>(first), paths->end(), target) ==
            paths->end()) {
          paths->emplace_back(target);
        }
      });
  return listed ? 0 : -1;
}
