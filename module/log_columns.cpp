// The counter columns of the access-log tables.
#include "module/log_columns.h"

#include <string.h>

#include "collect/log_format.h"
#include "module/ostrik.h"

unsigned char *log_counter_answer(const LogCounters &counters, int k, int32_t *valueLength) {
  uint64_t value = 0;
  uint32_t needs = 0;
  if (k == 0) {
    value = counters.lines;
  } else if (k == 1) {
    value = counters.unparsed;
  } else if (k >= 2 && k <= 6) {
    value = counters.status[k - 2];
    needs = LOG_GIVES_STATUS;
  } else if (k == 7) {
    value = counters.bytes;
    needs = LOG_GIVES_BYTES;
  } else if (k == 8) {
    value = counters.timed;
    needs = LOG_GIVES_TIME;
  } else if (k == 9) {
    value = counters.timeSum;
    needs = LOG_GIVES_TIME;
  } else if (k >= 10 && k < 10 + LOG_TIME_BUCKETS) {
    value = counters.atOrBelow[k - 10];
    needs = LOG_GIVES_TIME;
  } else {
    return nullptr;
  }
  if ((counters.gives & needs) != needs) {
    return nullptr;
  }
  value_counter64 = value;
  *valueLength = sizeof value_counter64;
  return reinterpret_cast<unsigned char *>(&value_counter64);
}

unsigned char *log_since_answer(int64_t since, int32_t *valueLength) {
  if (since < 0) {
    since = 0;
  }
  // The civil date of a day count (Howard Hinnant's days_from_civil, in
  // reverse), so that no platform's gmtime is needed.
  const int64_t days = since / 86400;
  const int64_t secs = since % 86400;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  const int64_t y = year > 65535 ? 65535 : year;
  const unsigned char octets[11] = {static_cast<unsigned char>(y >> 8),
                                    static_cast<unsigned char>(y & 0xFF),
                                    static_cast<unsigned char>(month),
                                    static_cast<unsigned char>(day),
                                    static_cast<unsigned char>(secs / 3600),
                                    static_cast<unsigned char>(secs / 60 % 60),
                                    static_cast<unsigned char>(secs % 60),
                                    0,
                                    '+',
                                    0,
                                    0};
  memcpy(value_text, octets, sizeof octets);
  *valueLength = sizeof octets;
  return reinterpret_cast<unsigned char *>(value_text);
}
