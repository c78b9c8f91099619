// One footprint refresh over a scripted snapshot of 2,000 processes and 10
// servers, each server owning a main process and 199 children.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "collect/processes/footprint.h"
#include "config/server_list.h"
#include "platform/clock.h"
#include "pluginlib/topmod.h"
#include "tests/support/fake_varnock.h"

namespace {

constexpr int kServers = 10;
constexpr int kProcesses = 2000;

int32_t bench_clock() { return 1000000; }

void write_file(const std::string &path, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f != nullptr) {
    const std::string content(size, 'l');
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
}

std::vector<ProcEntry> snapshot(int round) {
  std::vector<ProcEntry> procs;
  for (int i = 0; i < kProcesses; ++i) {
    const int server = i / (kProcesses / kServers);
    const int32_t main = 1000 * (server + 1);
    const bool isMain = i % (kProcesses / kServers) == 0;
    const int32_t pid = isMain ? main : main + i % (kProcesses / kServers);
    ProcEntry e = fake_varnock::make_proc(pid, isMain ? 1 : main, "httpd",
                                          1000.0 * round + (i * 37) % 500, 1000 + i % 97);
    e.cpuTime = i;
    e.memSize = 4000 + i;
    e.memBytes = 1u << 22;
    e.threads = 1;
    procs.push_back(e);
  }
  return procs;
}

void BM_RefreshFootprint(benchmark::State &state) {
  fake_varnock::reset();
  fake_varnock::set_ncpu(4);
  topmod_reset_for_tests();
  footprint_reset_for_tests();
  platform_set_time_source(bench_clock);

  char pattern[] = "/tmp/ostrik-footprint-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string dir = pattern;
  write_file(dir + "/access_log", 100000);
  write_file(dir + "/error_log", 5000);
  std::vector<std::unique_ptr<ServerEntry>> entries;
  server_list = nullptr;
  ServerEntry *last = nullptr;
  for (int s = 0; s < kServers; ++s) {
    auto entry = std::make_unique<ServerEntry>();
    std::memset(entry.get(), 0, sizeof(ServerEntry));
    entry->port = 59001 + s; // the server-info fetch, run once, finds nothing here
    entry->pid = 1000 * (s + 1);
    std::snprintf(entry->serverRoot, sizeof entry->serverRoot, "%s", dir.c_str());
    std::snprintf(entry->accessLog, sizeof entry->accessLog, "access_log");
    std::snprintf(entry->errorLog, sizeof entry->errorLog, "%s", (dir + "/error_log").c_str());
    entry->prev = last;
    if (last != nullptr) {
      last->next = entry.get();
    } else {
      server_list = entry.get();
    }
    last = entry.get();
    entries.push_back(std::move(entry));
  }

  const std::vector<ProcEntry> snapshots[2] = {snapshot(1), snapshot(2)};
  int round = 0;
  fake_varnock::set_proc_cache(snapshots[0], 0);
  refresh_footprint(); // the first refresh has no previous snapshot
  for (auto _ : state) {
    state.PauseTiming();
    ++round;
    fake_varnock::set_proc_cache(snapshots[round % 2], round * 200);
    footprint_reset_for_tests(); // due again; the clock stands still
    state.ResumeTiming();
    refresh_footprint();
  }
  benchmark::DoNotOptimize(server_list->percentCpu);
  server_list = nullptr;
  platform_set_time_source(nullptr);
  topmod_reset_for_tests();
  unlink((dir + "/access_log").c_str());
  unlink((dir + "/error_log").c_str());
  rmdir(dir.c_str());
}
BENCHMARK(BM_RefreshFootprint)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
