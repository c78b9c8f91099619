#include "collect/listen_owner.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

std::map<uint16_t, int32_t> knownOwners;

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

} // namespace

bool reachable_on_loopback(const PlatformListener &listener) {
  static const uint8_t kAny[16] = {};
  if (!listener.ipv6) {
    return std::memcmp(listener.address, kAny, 4) == 0 ||
           (listener.address[0] == 127 && listener.address[1] == 0 && listener.address[2] == 0 &&
            listener.address[3] == 1);
  }
  return std::memcmp(listener.address, kAny, 16) == 0;
}

int32_t listen_owner(uint16_t port, const std::vector<PlatformListener> &listeners,
                     const std::vector<ProcLink> &processes) {
  std::vector<uint64_t> inodes;
  for (const PlatformListener &l : listeners) {
    if (l.port == port && reachable_on_loopback(l)) {
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
  } else {
    knownOwners.erase(port);
  }
  return owner;
}

void note_listen_owner(uint16_t port, int32_t pid) { knownOwners[port] = pid; }

void listen_owner_reset(void) { knownOwners.clear(); }
