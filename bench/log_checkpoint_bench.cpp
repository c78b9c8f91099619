// The access-log checkpoint with 1,000 logs: 10 servers of 100 logs each
// and 10 virtual hosts each (100 hosts), counters of a busy week.
//   BM_CheckpointEncode          the text of the checkpoint
//   BM_CheckpointWriteReadBack   encode, replace the file (flushed to the
//                                disk, renamed), read it back and decode
//   BM_CheckpointUnchanged       what every collection costs when no log
//                                moved: gather, encode, compare, no write
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collect/logs/log_checkpoint.h"
#include "config/server_list.h"
#include "platform/fs.h"

namespace {

constexpr int kServers = 10;
constexpr int kLogsPerServer = 100;
constexpr int kHostsPerServer = 10;

LogCounters busy_counters(uint64_t seed) {
  LogCounters c{};
  c.lines = 48'000'000 + seed * 7919;
  c.unparsed = seed % 13;
  const uint64_t shares[5] = {0, 41'000'000, 4'200'000, 2'700'000, 100'000};
  for (int i = 0; i < 5; ++i) {
    c.status[i] = shares[i] + seed % 97;
  }
  c.bytes = c.lines * 18'433;
  c.timed = c.lines;
  c.timeSum = c.lines * 23'117;
  for (int i = 0; i < LOG_TIME_BUCKETS; ++i) {
    c.atOrBelow[i] = c.lines / static_cast<uint64_t>(LOG_TIME_BUCKETS - i);
  }
  return c;
}

std::vector<LogSavedServer> fleet() {
  std::vector<LogSavedServer> servers;
  for (int s = 0; s < kServers; ++s) {
    LogSavedServer server;
    server.port = 8000 + s;
    server.since = 1'765'000'000;
    server.total = busy_counters(static_cast<uint64_t>(s));
    for (int f = 0; f < kLogsPerServer; ++f) {
      const std::string host = "site" + std::to_string(f % kHostsPerServer) + ".example.org";
      LogSavedFile file;
      file.path = "/var/log/apache2/" + host + "-" + std::to_string(f) + "-access.log";
      file.vhost = host;
      file.at.known = true;
      file.at.volume = 2049;
      file.at.index = 1'310'000 + static_cast<uint64_t>(s * kLogsPerServer + f);
      file.at.offset = 880'000'000 + static_cast<uint64_t>(f) * 4093;
      file.at.signature = std::string(256, static_cast<char>('a' + f % 26));
      server.files.push_back(file);
    }
    for (int h = 0; h < kHostsPerServer; ++h) {
      server.vhosts.push_back(LogSavedHost{"site" + std::to_string(h) + ".example.org",
                                           1'765'000'000,
                                           busy_counters(static_cast<uint64_t>(s * 10 + h))});
    }
    servers.push_back(std::move(server));
  }
  return servers;
}

// A private directory under /tmp, removed with what is in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char name[] = "/tmp/ostrik-checkpoint-bench-XXXXXX";
    if (mkdtemp(name) != nullptr) {
      path = name;
    }
  }
  ~ScratchDir() {
    if (!path.empty()) {
      unlink((path + "/" + LOG_CHECKPOINT_FILE).c_str());
      rmdir(path.c_str());
    }
  }
};

bool read_whole(const std::string &path, std::string *text) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    text->append(buffer, got);
  }
  const bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

void BM_CheckpointEncode(benchmark::State &state) {
  const std::vector<LogSavedServer> servers = fleet();
  size_t size = 0;
  for (auto _ : state) {
    const std::string text = log_checkpoint_encode(servers);
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(size);
  state.SetItemsProcessed(state.iterations() * kServers * kLogsPerServer);
}
BENCHMARK(BM_CheckpointEncode)->Unit(benchmark::kMicrosecond);

void BM_CheckpointWriteReadBack(benchmark::State &state) {
  const std::vector<LogSavedServer> servers = fleet();
  ScratchDir dir;
  const std::string path = dir.path + "/" + LOG_CHECKPOINT_FILE;
  for (auto _ : state) {
    const std::string text = log_checkpoint_encode(servers);
    std::string back;
    std::vector<LogSavedServer> decoded;
    if (platform_replace_file(path.c_str(), text.data(), text.size()) != 0 ||
        !read_whole(path, &back) || !log_checkpoint_decode(back, &decoded) ||
        decoded.size() != servers.size()) {
      state.SkipWithError("the checkpoint was not written and read back whole");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kServers * kLogsPerServer);
}
BENCHMARK(BM_CheckpointWriteReadBack)->Unit(benchmark::kMicrosecond);

void BM_CheckpointUnchanged(benchmark::State &state) {
  ScratchDir dir;
  const std::string text = log_checkpoint_encode(fleet());
  for (int s = 0; s < kServers; ++s) {
    insert_server(new_server(8000 + s));
  }
  // Started from the file as after a restart: every server holds its
  // 100 logs' positions and its hosts' counters.
  if (platform_replace_file((dir.path + "/" + LOG_CHECKPOINT_FILE).c_str(), text.data(),
                            text.size()) != 0) {
    state.SkipWithError("cannot write the checkpoint");
  } else {
    log_checkpoint_start(dir.path, nullptr);
    state.counters["logs"] =
        static_cast<double>(log_checkpoint_gather()[0].files.size() * kServers);
    for (auto _ : state) {
      benchmark::DoNotOptimize(log_checkpoint_save());
    }
    log_checkpoint_stop();
  }
  free_server_list();
  state.SetItemsProcessed(state.iterations() * kServers * kLogsPerServer);
}
BENCHMARK(BM_CheckpointUnchanged)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
