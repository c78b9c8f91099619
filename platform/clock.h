// The time of day as the module's refresh gates see it. Every gate reads the
// clock through here, so tests can move time without sleeping.
#pragma once

#include <stdint.h>

// Seconds since the epoch, as a signed 32-bit number.
int32_t platform_time(void);

// Replace the clock (tests); null restores the system clock.
typedef int32_t (*PlatformTimeSource)(void);
void platform_set_time_source(PlatformTimeSource source);
