// One process snapshot of the agent library against one run of
// `ps -e -o pid,ppid,rss,vsz,time,nlwp,maj_flt`, on the same population:
// the benchmark starts about 2,000 extra sleeping processes (VARNOCK_BENCH_PROCS
// sets how many) and kills them at the end.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "varnock.h"

extern char **environ;

namespace {

std::vector<pid_t> g_sleepers;

void start_sleepers(int wanted) {
  const pid_t parent = getpid();
  for (int i = 0; i < wanted; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      // Never outlive the benchmark.
      prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
      if (getppid() != parent)
        _exit(0);
      for (;;)
        pause();
    }
    if (pid < 0) {
      perror("fork");
      break;
    }
    g_sleepers.push_back(pid);
  }
}

void stop_sleepers() {
  for (pid_t pid : g_sleepers)
    kill(pid, SIGKILL);
  for (pid_t pid : g_sleepers)
    waitpid(pid, nullptr, 0);
  g_sleepers.clear();
}

void BM_ProcCacheSnapshot(benchmark::State &state) {
  int32_t count = 0;
  int32_t stamp = 0;
  for (auto _ : state) {
    ProcEntry *entries = VarnockGetProcCache(&count, &stamp);
    benchmark::DoNotOptimize(entries);
  }
  state.counters["processes"] = count;
}
BENCHMARK(BM_ProcCacheSnapshot)->Unit(benchmark::kMillisecond)->UseRealTime();

// One whole run of ps, start-up included, its output thrown away.
void BM_PsListing(benchmark::State &state) {
  char *argv[] = {const_cast<char *>("ps"), const_cast<char *>("-e"), const_cast<char *>("-o"),
                  const_cast<char *>("pid,ppid,rss,vsz,time,nlwp,maj_flt"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawnp(&pid, "ps", &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("ps cannot be started");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("ps failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(BM_PsListing)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  int wanted = 2000;
  if (const char *env = getenv("VARNOCK_BENCH_PROCS"))
    wanted = atoi(env);
  start_sleepers(wanted);
  int32_t count = 0;
  int32_t stamp = 0;
  VarnockGetProcCache(&count, &stamp);
  std::fprintf(stderr, "started %zu sleeping processes; %d processes on the machine\n",
               g_sleepers.size(), count);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop_sleepers();
  return 0;
}
