// The counter columns that the two access-log tables share.
#pragma once

#include <stdint.h>

#include "collect/logs/access_log.h"

// The value of counter column k (0: lines read, in the order of
// LogCounters) as a Counter64, or null when the logs' formats cannot give
// it (no status, no bytes, no times).
unsigned char *log_counter_answer(const LogCounters &counters, int k, int32_t *valueLength);

// A DateAndTime (RFC 2579, 11 octets, UTC) of since, seconds since 1970:
// when a row's counters began.
unsigned char *log_since_answer(int64_t since, int32_t *valueLength);
