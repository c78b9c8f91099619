// Reading each server's access logs into its counters.
#include "collect/access_log.h"

const uint64_t LOG_TIME_BUCKET_US[LOG_TIME_BUCKETS] = {
    5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};

struct LogState {};

void log_state_free(LogState *state) { delete state; }

bool log_summary(const ServerEntry *, LogSummary *) { return false; }
bool log_vhost_at(const ServerEntry *, size_t, LogVhostView *) { return false; }
size_t log_vhost_count(const ServerEntry *) { return 0; }
void refresh_access_logs(void) {}
