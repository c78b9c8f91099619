// The module test harness: the module's clock, faked, and a MIB handler
// called as the agent calls it. Header-only, so that every test program links
// it whatever libraries it links.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "varnock.h"

namespace testsupport {

// The time the module's refresh gates read while the fake clock is in use.
inline int32_t fake_now = 0;
inline int32_t fake_clock() { return fake_now; }

// Sets the fake time and puts the fake clock in the module's place; the
// real clock comes back with use_real_clock (in a fixture's TearDown).
inline void use_fake_clock(int32_t now) {
  fake_now = now;
  platform_set_time_source(fake_clock);
}
inline void use_real_clock() { platform_set_time_source(nullptr); }

// One handler call's answer. The value is copied at once, because the
// module's next handler call overwrites the buffer it points to.
struct Answer {
  unsigned char *value = nullptr; // null: no answer
  std::vector<uint32_t> oid;      // the request OID as the handler left it
  int32_t valueLength = -1;       // as given when the handler left it alone
  void *writeMethod = nullptr;
  int32_t number = 0;   // the first 4 bytes of the value
  uint64_t counter = 0; // the 8 bytes of a Counter64 value
  std::string chars;    // the value as text

  bool answered() const { return value != nullptr; }
  int32_t integer() const { return number; }
  const std::string &text() const { return chars; }
};

// Calls var's handler on the request OID, with valueLength set to
// untouched_length and a write method that is not null, so that a test sees
// what the handler wrote.
inline Answer ask(MibVariable *var, const std::vector<uint32_t> &request, bool exact,
                  int32_t untouched_length = -1) {
  Answer a;
  a.valueLength = untouched_length;
  a.writeMethod = reinterpret_cast<void *>(1);
  // Room for an instance of a long index, as the host gives it.
  uint32_t oid[VARNOCK_LONG_INDEX_MAX_OID] = {};
  std::copy(request.begin(), request.begin() + std::min<size_t>(request.size(), std::size(oid)),
            oid);
  int32_t length = static_cast<int32_t>(request.size());
  a.value = var->handler(var, oid, &length, exact ? 1 : 0, &a.valueLength, &a.writeMethod);
  a.oid.assign(oid, oid + length);
  if (a.value != nullptr) {
    const size_t length = static_cast<size_t>(std::max<int32_t>(a.valueLength, 0));
    std::memcpy(&a.number, a.value, std::min(sizeof a.number, length));
    if (a.valueLength == 8) {
      std::memcpy(&a.counter, a.value, sizeof a.counter);
    }
    a.chars.assign(reinterpret_cast<const char *>(a.value), length);
  }
  return a;
}

} // namespace testsupport
