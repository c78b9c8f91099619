#include "collect/listen_owner.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

std::map<uint16_t, int32_t> knownOwners;

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

} // namespace

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
  } else {
    knownOwners.erase(port);
  }
  return owner;
}

void note_listen_owner(uint16_t port, int32_t pid) { knownOwners[port] = pid; }

void listen_owner_reset(void) { knownOwners.clear(); }
