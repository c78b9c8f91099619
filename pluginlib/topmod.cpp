#include "pluginlib/topmod.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kFirstCapacity = 100;

// One array of process records: storage, room in records, records stored.
struct ProcArray {
  ProcEntry *records = nullptr;
  int32_t capacity = 0;
  int32_t count = 0;
};

// Process-wide: the snapshot of the previous call, the current one, the
// delta table, and the stamps of the two snapshots.
ProcArray previous;
ProcArray current;
ProcArray deltas;
int32_t previousStamp = 0;
int32_t currentStamp = 0;

TopmodRealloc allocator = nullptr;

void *grow_block(void *block, size_t size) {
  return allocator != nullptr ? allocator(block, size) : std::realloc(block, size);
}

// Resizes array to exactly records entries. On failure the array loses its
// storage: no records, capacity 0, count 0, so that nothing reads records
// that are no longer stored.
bool resize(ProcArray &array, int32_t records) {
  const size_t bytes = static_cast<size_t>(records) * sizeof(ProcEntry);
  void *grown = nullptr;
  if (bytes / sizeof(ProcEntry) == static_cast<size_t>(records)) {
    grown = grow_block(array.records, bytes);
  }
  if (grown == nullptr) {
    std::free(array.records);
    array = ProcArray{};
    return false;
  }
  array.records = static_cast<ProcEntry *>(grown);
  array.capacity = records;
  return true;
}

void allocate_first(ProcArray &array) {
  if (array.records != nullptr) {
    return;
  }
  array.records = static_cast<ProcEntry *>(std::malloc(kFirstCapacity * sizeof(ProcEntry)));
  array.capacity = array.records != nullptr ? kFirstCapacity : 0;
  array.count = 0;
}

void swap_arrays(ProcArray &a, ProcArray &b) {
  const ProcArray held = a;
  a = b;
  b = held;
}

// Appends a delta for every pid that stands in both snapshots. Index 0 of
// either snapshot never takes part. Both snapshots are in ascending pid order.
void merge() {
  deltas.count = 0;
  int32_t p = 1;
  int32_t c = 1;
  for (;;) {
    while (p < previous.count && c < current.count &&
           previous.records[p].pid != current.records[c].pid) {
      if (previous.records[p].pid < current.records[c].pid) {
        ++p;
      } else {
        ++c;
      }
    }
    if (p >= previous.count || c >= current.count) {
      return;
    }
    TopDelta &delta = deltas.records[deltas.count++];
    std::memcpy(&delta, &current.records[c], sizeof delta);
    delta.cpuTimeReal = current.records[c].cpuTimeReal - previous.records[p].cpuTimeReal;
    delta.cpuShare = 0.0;
    delta.reserved4 = 0.0;
    ++p;
    ++c;
  }
}

} // namespace

int32_t topProcs(void) {
  allocate_first(previous);
  allocate_first(current);
  allocate_first(deltas);

  swap_arrays(previous, current);
  previousStamp = currentStamp;

  int32_t count = 0;
  const ProcEntry *snapshot = VarnockGetProcCache(&count, &currentStamp);
  if (snapshot == nullptr || count < 0) {
    count = 0;
  }

  if (count > current.capacity && !resize(current, count)) {
    VarnockSyslog(VARNOCK_LOG_ERR, "topProcs: realloc of current proc info failed %d", errno);
    return -1;
  }
  if (count > 0) {
    std::memcpy(current.records, snapshot, static_cast<size_t>(count) * sizeof(ProcEntry));
  }
  current.count = count;

  // The table never holds more records than the previous snapshot.
  if (deltas.capacity < previous.count && !resize(deltas, previous.count)) {
    VarnockSyslog(VARNOCK_LOG_ERR, "topProcs: realloc of delta info failed, %d", errno);
    return -1;
  }

  merge();
  if (deltas.count > 1) {
    std::qsort(deltas.records, static_cast<size_t>(deltas.count), sizeof(TopDelta),
               compareTopDelta);
  }

  // The stamp difference wraps as a 32-bit signed number.
  const int32_t elapsed = static_cast<int32_t>(static_cast<uint32_t>(currentStamp) -
                                               static_cast<uint32_t>(previousStamp));
  const double denominator = scaleElapsed(elapsed);
  for (int32_t i = 0; i < deltas.count; ++i) {
    TopDelta &delta = deltas.records[i];
    delta.cpuShare = denominator != 0.0 ? delta.cpuTimeReal / denominator : 0.0;
    delta.reserved4 = 0.0;
  }
  return deltas.count;
}

int32_t pluginLibGetTopDelta(int32_t *count, TopDelta **table) {
  if (count != nullptr) {
    *count = deltas.count;
  }
  if (table != nullptr) {
    *table = deltas.records;
  }
  return 1;
}

int compareTopDelta(const void *a, const void *b) {
  if (a == nullptr || b == nullptr) {
    return 0;
  }
  const TopDelta *x = static_cast<const TopDelta *>(a);
  const TopDelta *y = static_cast<const TopDelta *>(b);
  if (x->cpuTimeReal < y->cpuTimeReal) {
    return 1;
  }
  if (x->cpuTimeReal > y->cpuTimeReal) {
    return -1;
  }
  // Equal, or not comparable (NaN): the larger resident size first.
  if (x->rss < y->rss) {
    return 1;
  }
  if (x->rss > y->rss) {
    return -1;
  }
  return 0;
}

double scaleElapsed(int32_t elapsed) {
  int32_t cpus = VarnockGetNcpuOnline();
  if (cpus <= 0) {
    cpus = 1;
  }
  // The product is formed exactly and rounded once to single precision.
  const float scaled = static_cast<float>(static_cast<int64_t>(elapsed) * 100);
  return static_cast<double>(cpus) * static_cast<double>(scaled);
}

void topmod_release(void) {
  std::free(previous.records);
  std::free(current.records);
  std::free(deltas.records);
  previous = ProcArray{};
  current = ProcArray{};
  deltas = ProcArray{};
  previousStamp = 0;
  currentStamp = 0;
}

void topmod_reset_for_tests(void) {
  topmod_release();
  allocator = nullptr;
}

void topmod_set_realloc_for_tests(TopmodRealloc replacement) { allocator = replacement; }
