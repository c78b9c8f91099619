// Reading a configuration file of 1,000 "apache" lines into the ServerList.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/read_config.h"
#include "config/server_list.h"
#include "tests/support/fake_varnock.h"

namespace {

constexpr int kLines = 1000;

std::string write_config() {
  char pattern[] = "/tmp/ostrik-config-bench-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) {
    return {};
  }
  FILE *f = fdopen(fd, "w");
  std::fprintf(f, "# %d monitored servers\n", kLines);
  for (int i = 0; i < kLines; ++i) {
    // A mix of the forms people write: plain, quoted, and with a comment.
    if (i % 3 == 0) {
      std::fprintf(f, "apache %d monitor s3cret%d 300\n", 10000 + i, i);
    } else if (i % 3 == 1) {
      std::fprintf(f, "apache %d \"web admin\" \"pass word %d\" 3600\n", 10000 + i, i);
    } else {
      std::fprintf(f, "apache\t%d\tstatus\tx%dy\t0\t# server %d\n", 10000 + i, i, i);
    }
  }
  std::fclose(f);
  return pattern;
}

void BM_ReadConfig1000Lines(benchmark::State &state) {
  fake_varnock::reset();
  const std::string path = write_config();
  if (path.empty()) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  server_list = nullptr;
  int servers = 0;
  for (auto _ : state) {
    read_config(path.c_str());
    state.PauseTiming();
    servers = 0;
    for (ServerEntry *e = server_list; e != nullptr; e = e->next) {
      ++servers;
    }
    free_server_list();
    state.ResumeTiming();
  }
  unlink(path.c_str());
  state.counters["servers"] = servers;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLines);
  if (servers != kLines) {
    state.SkipWithError("not every line became a server");
  }
}
BENCHMARK(BM_ReadConfig1000Lines)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
