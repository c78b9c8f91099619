// topProcs over snapshots of 5,000 processes: the merge of the previous and
// the current snapshot, the shares, and the sort of the delta table.
#include <benchmark/benchmark.h>

#include <vector>

#include "pluginlib/topmod.h"
#include "tests/support/fake_varnock.h"

namespace {

constexpr int kProcesses = 5000;

// Processes in ascending pid order, as the agent lists them; between two
// rounds a few processes end and a few new ones start, and every process
// has used some CPU time.
std::vector<ProcEntry> snapshot(int round) {
  std::vector<ProcEntry> procs;
  procs.reserve(kProcesses);
  for (int i = 0; i < kProcesses; ++i) {
    const int32_t pid = 2 * i + 1 + ((i % 100 == 0) ? round % 2 : 0);
    const double cpu = 10.0 * round * (1 + i % 13) + (i * 7919) % 1000;
    procs.push_back(fake_varnock::make_proc(pid, 1, "worker", cpu, 1000 + (i * 31) % 5000));
  }
  return procs;
}

void BM_TopProcs5000(benchmark::State &state) {
  fake_varnock::reset();
  fake_varnock::set_ncpu(4);
  topmod_reset_for_tests();
  const std::vector<ProcEntry> snapshots[2] = {snapshot(1), snapshot(2)};
  fake_varnock::set_proc_cache(snapshots[0], 0);
  topProcs(); // the first call only keeps its snapshot
  int round = 0;
  int32_t count = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++round;
    fake_varnock::set_proc_cache(snapshots[round % 2], round * 500);
    state.ResumeTiming();
    count = topProcs();
    benchmark::DoNotOptimize(count);
  }
  state.counters["deltas"] = count;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kProcesses);
  topmod_reset_for_tests();
}
BENCHMARK(BM_TopProcs5000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
