#include "collect/processes/listen_owner.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "collect/processes/discover.h"
#include "platform/fs.h"
#include "platform/root_files.h"

namespace {

std::map<uint16_t, int32_t> knownOwners;
// Main processes that a server's status page vouched for, by port.
std::map<uint16_t, int32_t> vouchedOwners;

std::string runRoot = "/run";
std::string logRoot = "/var/log";
std::string etcRoot = "/etc";

const uint8_t kAny[16] = {};
const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
const PlatformAddress kLoopback4 = {PLATFORM_IPV4, {127, 0, 0, 1}, 0};

// An IPv4 address mapped into IPv6 (::ffff:a.b.c.d) as the IPv4 address;
// any other as it is.
PlatformAddress unmapped(int32_t family, const uint8_t *bytes) {
  PlatformAddress address{};
  if (family == PLATFORM_IPV6 && std::memcmp(bytes, kMappedPrefix, 12) == 0) {
    address.family = PLATFORM_IPV4;
    std::memcpy(address.bytes, bytes + 12, 4);
  } else {
    address.family = family;
    std::memcpy(address.bytes, bytes, family == PLATFORM_IPV6 ? 16 : 4);
  }
  return address;
}

PlatformAddress own_address(const PlatformListener &listener) {
  return unmapped(listener.ipv6 ? PLATFORM_IPV6 : PLATFORM_IPV4, listener.address);
}

bool listens_everywhere(const PlatformListener &listener) {
  return std::memcmp(listener.address, kAny, listener.ipv6 ? 16 : 4) == 0;
}

bool holds_any(int32_t pid, const std::vector<uint64_t> &inodes) {
  std::vector<uint64_t> held;
  if (pid <= 0 || platform_process_socket_inodes(pid, &held) != 0) {
    return false;
  }
  return std::any_of(held.begin(), held.end(), [&](uint64_t inode) {
    return std::find(inodes.begin(), inodes.end(), inode) != inodes.end();
  });
}

int32_t parent_of(int32_t pid, const std::vector<ProcLink> &processes) {
  for (const ProcLink &p : processes) {
    if (p.pid == pid) {
      return p.ppid;
    }
  }
  return 0;
}

// The user that made every socket listening on port where address reaches
// it; -1 when there is none or they differ.
int64_t socket_user(uint16_t port, const std::vector<PlatformListener> &listeners,
                    const PlatformAddress &address) {
  int64_t uid = -1;
  for (const PlatformListener &l : listeners) {
    if (l.port == port && listener_reaches(l, address)) {
      if (uid >= 0 && uid != l.uid) {
        return -1;
      }
      uid = l.uid;
    }
  }
  return uid;
}

// Whether pid runs, is named as Apache is and belongs to uid.
bool apache_of(int32_t pid, int64_t uid, const std::vector<PlatformProcess> &running) {
  const auto it = std::find_if(running.begin(), running.end(),
                               [&](const PlatformProcess &p) { return p.pid == pid; });
  return pid > 0 && uid >= 0 && it != running.end() && is_apache_name(it->name) &&
         platform_process_uid(pid) == uid;
}

// The Apache main processes of uid that run: Apache-named, with a parent
// that is not.
size_t apache_mains(int64_t uid, const std::vector<PlatformProcess> &running) {
  size_t mains = 0;
  for (const PlatformProcess &p : running) {
    const auto parent = std::find_if(running.begin(), running.end(),
                                     [&](const PlatformProcess &q) { return q.pid == p.ppid; });
    if (is_apache_name(p.name) && (parent == running.end() || !is_apache_name(parent->name)) &&
        platform_process_uid(p.pid) == uid) {
      ++mains;
    }
  }
  return mains;
}

// A PID file's number: decimal digits, then at most blanks and a line feed.
int32_t pid_in(const char *text) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || value <= 0 || value > INT32_MAX || text[0] < '0' || text[0] > '9') {
    return 0;
  }
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') {
    ++end;
  }
  return *end == '\0' ? static_cast<int32_t>(value) : 0;
}

void add_pid_file(std::vector<LayoutPidFile> *out, const std::string &path, LayoutPidFile file) {
  char text[32];
  if (platform_read_root_file(path.c_str(), text, sizeof text) > 0 &&
      (file.pid = pid_in(text)) != 0) {
    out->push_back(std::move(file));
  }
}

// Whether Debian's ports.conf in confDir has a Listen line for port
// ("Listen 8080", "Listen 127.0.0.1:8080", "Listen [::1]:8080 http").
bool ports_conf_listens(const std::string &confDir, uint16_t port) {
  std::vector<char> buffer(16384);
  if (confDir.empty() || platform_read_root_file((confDir + "/ports.conf").c_str(), buffer.data(),
                                                 buffer.size()) < 0) {
    return false;
  }
  for (const char *line = buffer.data(); line != nullptr && *line != '\0';) {
    const char *end = std::strchr(line, '\n');
    std::string words(line, end != nullptr ? end : line + std::strlen(line));
    line = end != nullptr ? end + 1 : nullptr;
    std::transform(words.begin(), words.end(), words.begin(), [](char c) {
      return c == '\t' ? ' ' : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    const size_t start = words.find_first_not_of(" \t");
    if (start == std::string::npos || words.compare(start, 7, "listen ") != 0) {
      continue;
    }
    const size_t at = words.find_first_not_of(" ", start + 6);
    if (at == std::string::npos) {
      continue;
    }
    const size_t stop = words.find_first_of(" \r", at);
    const std::string address =
        words.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
    const size_t colon = address.rfind(':');
    const size_t bracket = address.rfind(']');
    const bool hasPort =
        colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    const std::string number = hasPort ? address.substr(colon + 1) : address;
    if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
        std::strtol(number.c_str(), nullptr, 10) == port) {
      return true;
    }
  }
  return false;
}

// The main process that no descriptor showed: one the status page vouched
// for, else the one PID file of the layout that names an Apache of the
// socket's user (or, of several, the Debian instance configured to listen
// on the port).
int32_t unprivileged_owner(uint16_t port, const std::vector<PlatformListener> &listeners,
                           const PlatformAddress &address) {
  const int64_t uid = socket_user(port, listeners, address);
  std::vector<PlatformProcess> running;
  if (uid < 0 || platform_list_processes(&running, nullptr) != 0) {
    return 0;
  }
  const auto vouched = vouchedOwners.find(port);
  if (vouched != vouchedOwners.end()) {
    if (apache_of(vouched->second, uid, running)) {
      return vouched->second;
    }
    vouchedOwners.erase(vouched);
  }
  std::vector<LayoutPidFile> candidates;
  for (LayoutPidFile &file : layout_pid_files()) {
    if (apache_of(file.pid, uid, running) &&
        std::none_of(candidates.begin(), candidates.end(),
                     [&](const LayoutPidFile &c) { return c.pid == file.pid; })) {
      candidates.push_back(std::move(file));
    }
  }
  // A PID file names a main process, not the port it serves: it is taken
  // alone only when no other Apache of that user runs.
  if (candidates.size() == 1 && apache_mains(uid, running) == 1) {
    return candidates[0].pid;
  }
  int32_t configured = 0;
  for (const LayoutPidFile &c : candidates) {
    if (ports_conf_listens(c.confDir, port)) {
      if (configured != 0) {
        return 0; // two instances claim the port: neither is believed
      }
      configured = c.pid;
    }
  }
  return configured;
}

} // namespace

std::vector<LayoutPidFile> layout_pid_files(void) {
  std::vector<LayoutPidFile> files;
  // Debian: /run/apache2/apache2.pid, and /run/apache2-NAME/apache2.pid for
  // the instance configured in /etc/apache2-NAME, logging to
  // /var/log/apache2-NAME.
  PlatformDirListing run(runRoot.c_str());
  PlatformDirEntry entry;
  std::vector<std::string> names;
  while (run.isOpen() && run.next(&entry)) {
    const std::string name = entry.name;
    if (name == "apache2" || (name.compare(0, 8, "apache2-") == 0 && name.size() > 8 &&
                              name.find('/') == std::string::npos)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    add_pid_file(&files, runRoot + "/" + name + "/apache2.pid",
                 LayoutPidFile{0, logRoot + "/" + name, etcRoot + "/" + name, false});
  }
  add_pid_file(&files, runRoot + "/httpd/httpd.pid",
               LayoutPidFile{0, logRoot + "/httpd", std::string(), true});
  return files;
}

void set_layout_roots(const char *run, const char *log, const char *etc) {
  runRoot = run != nullptr ? run : "/run";
  logRoot = log != nullptr ? log : "/var/log";
  etcRoot = etc != nullptr ? etc : "/etc";
}

int32_t vouch_for_workers(uint16_t port, const std::vector<PlatformListener> &listeners,
                          const PlatformAddress *address, const std::vector<int32_t> &workers) {
  const PlatformAddress target = address != nullptr ? *address : PlatformAddress{};
  const int64_t uid = socket_user(port, listeners, target);
  std::vector<PlatformProcess> running;
  if (uid < 0 || workers.empty() || platform_list_processes(&running, nullptr) != 0) {
    return 0;
  }
  int32_t parent = 0;
  for (int32_t worker : workers) {
    const auto it = std::find_if(running.begin(), running.end(),
                                 [&](const PlatformProcess &p) { return p.pid == worker; });
    if (it == running.end()) {
      continue; // a worker that ended since the page was written
    }
    if (!is_apache_name(it->name) || (parent != 0 && it->ppid != parent)) {
      return 0;
    }
    parent = it->ppid;
  }
  if (!apache_of(parent, uid, running)) {
    return 0;
  }
  vouchedOwners[port] = parent;
  return parent;
}

bool listener_reaches(const PlatformListener &listener, const PlatformAddress &address) {
  const PlatformAddress target =
      address.family == 0 ? kLoopback4 : unmapped(address.family, address.bytes);
  if (listens_everywhere(listener)) {
    return listener.ipv6 || target.family == PLATFORM_IPV4;
  }
  const PlatformAddress own = own_address(listener);
  return own.family == target.family &&
         std::memcmp(own.bytes, target.bytes, own.family == PLATFORM_IPV6 ? 16 : 4) == 0;
}

bool listener_address(const PlatformListener &listener, PlatformAddress *address,
                      PlatformAddress *fallback) {
  *fallback = PlatformAddress{};
  if (listens_everywhere(listener)) {
    *address = kLoopback4;
    if (listener.ipv6) {
      fallback->family = PLATFORM_IPV6;
      fallback->bytes[15] = 1; // ::1
    }
    return true;
  }
  *address = own_address(listener);
  const bool linkLocal = address->family == PLATFORM_IPV6 && address->bytes[0] == 0xfe &&
                         (address->bytes[1] & 0xc0) == 0x80;
  return !linkLocal && platform_address_is_local(address) != 0;
}

int32_t listen_owner(uint16_t port, const std::vector<PlatformListener> &listeners,
                     const std::vector<ProcLink> &processes, const PlatformAddress *address) {
  const PlatformAddress target = address != nullptr ? *address : PlatformAddress{};
  std::vector<uint64_t> inodes;
  for (const PlatformListener &l : listeners) {
    if (l.port == port && listener_reaches(l, target)) {
      inodes.push_back(l.inode);
    }
  }
  if (inodes.empty()) {
    return 0;
  }
  const auto known = knownOwners.find(port);
  if (known != knownOwners.end() && holds_any(known->second, inodes) &&
      !holds_any(parent_of(known->second, processes), inodes)) {
    return known->second;
  }
  int32_t owner = 0;
  for (const ProcLink &p : processes) {
    if (holds_any(p.pid, inodes)) {
      owner = p.pid;
      break;
    }
  }
  // Up to the topmost holder: the first one found may be a child.
  for (int steps = 0; owner != 0 && steps < 64; ++steps) {
    const int32_t parent = parent_of(owner, processes);
    if (parent == owner || !holds_any(parent, inodes)) {
      break;
    }
    owner = parent;
  }
  if (owner != 0) {
    knownOwners[port] = owner;
    return owner;
  }
  knownOwners.erase(port);
  return unprivileged_owner(port, listeners, target);
}

void note_listen_owner(uint16_t port, int32_t pid) { knownOwners[port] = pid; }

void listen_owner_reset(void) {
  knownOwners.clear();
  vouchedOwners.clear();
}
