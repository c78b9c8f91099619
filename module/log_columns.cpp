// The counter columns of the access-log tables.
#include "module/log_columns.h"

#include <string.h>

#include "module/ostrik.h"
#include "pluginlib/log_format.h"

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
  date_and_time(since < 0 ? 0 : since, reinterpret_cast<unsigned char *>(value_text));
  *valueLength = 11;
  return reinterpret_cast<unsigned char *>(value_text);
}
