#include "platform/clock.h"

#include <ctime>

namespace {
PlatformTimeSource time_source = nullptr;
}

int32_t platform_time(void) {
  if (time_source != nullptr) {
    return time_source();
  }
  return static_cast<int32_t>(std::time(nullptr));
}

int32_t platform_seconds_between(int32_t then, int32_t now) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(then));
}

void platform_set_time_source(PlatformTimeSource source) { time_source = source; }
