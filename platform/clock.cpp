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

void platform_set_time_source(PlatformTimeSource source) { time_source = source; }
