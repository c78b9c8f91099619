// The time of day as the module's refresh gates see it. Every gate reads the
// clock through here, so tests can move time without sleeping.
#pragma once

#include <stdint.h>

// Seconds since the epoch, as a signed 32-bit number.
int32_t platform_time(void);

// now - then in seconds, taken as a signed 32-bit difference. The 32-bit
// time wraps to negative values in January 2038; a difference taken this way
// keeps counting forward across the wrap, where a 64-bit one would come out
// near -2^32 and hold a gate shut for good. A clock set back still gives a
// negative difference.
int32_t platform_seconds_between(int32_t then, int32_t now);

// Replace the clock (tests); null restores the system clock.
typedef int32_t (*PlatformTimeSource)(void);
void platform_set_time_source(PlatformTimeSource source);
