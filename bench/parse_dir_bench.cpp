// The directory walk against `du -s --apparent-size` on the same warm tree of
// 100,000 files. The tree is built once under /tmp and kept for later runs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "pluginlib/parse_dir.h"

extern char **environ;

namespace {

const std::string kTree = "/tmp/ostrik-dirwalk-bench";
constexpr int kTop = 100;
constexpr int kMiddle = 10;
constexpr int kFiles = 100; // per leaf directory: 100 x 10 x 100 = 100,000 files

bool build_tree() {
  const std::string done = kTree + "/.complete";
  if (access(done.c_str(), F_OK) == 0) {
    return true;
  }
  std::fprintf(stderr, "building %d files under %s ...\n", kTop * kMiddle * kFiles, kTree.c_str());
  std::string content(4096, 'x');
  mkdir(kTree.c_str(), 0755);
  for (int a = 0; a < kTop; ++a) {
    const std::string top = kTree + "/t" + std::to_string(a);
    mkdir(top.c_str(), 0755);
    for (int b = 0; b < kMiddle; ++b) {
      const std::string middle = top + "/m" + std::to_string(b);
      mkdir(middle.c_str(), 0755);
      for (int c = 0; c < kFiles; ++c) {
        const std::string file = middle + "/f" + std::to_string(c) + ".html";
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
          return false;
        }
        const size_t size = static_cast<size_t>((a * 7919 + b * 104729 + c * 31) % 4096);
        const bool written = write(fd, content.data(), size) == static_cast<ssize_t>(size);
        close(fd);
        if (!written) {
          return false;
        }
      }
    }
  }
  const int fd = open(done.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd < 0) {
    return false;
  }
  close(fd);
  return true;
}

bool run_du() {
  const char *argv[] = {"du", "-s", "--apparent-size", kTree.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "du", &actions, nullptr, const_cast<char **>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    return false;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_WinDirSizeKB(benchmark::State &state) {
  int32_t kb = 0;
  for (auto _ : state) {
    kb = WinDirSizeKB(kTree.c_str(), 32);
    benchmark::DoNotOptimize(kb);
  }
  state.counters["KB"] = kb;
}
BENCHMARK(BM_WinDirSizeKB)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_DuApparentSize(benchmark::State &state) {
  for (auto _ : state) {
    if (!run_du()) {
      state.SkipWithError("du failed");
      break;
    }
  }
}
BENCHMARK(BM_DuApparentSize)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Keeps each benchmark's real time per iteration for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  std::map<std::string, double> times;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

} // namespace

int main(int argc, char **argv) {
  if (!build_tree()) {
    std::fprintf(stderr, "could not build the tree under %s\n", kTree.c_str());
    return 1;
  }
  // Warm the tree's metadata into the cache for both contenders.
  WinDirSizeKB(kTree.c_str(), 32);
  run_du();

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto walk = reporter.times.find("BM_WinDirSizeKB/min_time:3.000");
  const auto du = reporter.times.find("BM_DuApparentSize/min_time:3.000");
  if (walk != reporter.times.end() && du != reporter.times.end() && du->second > 0.0) {
    std::printf("WinDirSizeKB / du -s --apparent-size: %.3f (goal <= 1.1)\n",
                walk->second / du->second);
  }
  return 0;
}
