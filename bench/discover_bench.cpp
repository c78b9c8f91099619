// One discovery look over a made-up process file system of 2,000
// processes: listing the processes and the listening sockets, and matching
// the Apache parents to their ports (the status probe, one HTTP fetch per
// port, is not included); and the search for the owner of a listening
// socket that the footprint makes for a server without a PID file.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "collect/processes/discover.h"
#include "collect/processes/listen_owner.h"
#include "platform/proc_table.h"
#include "tests/support/fake_proc.h"

namespace {

constexpr int kProcesses = 2000;
constexpr int kServers = 4;
constexpr int kChildren = 10; // per server

// The tree: kServers Apache parents with their children, each server on two
// ports, and every other process a shell holding two sockets that do not
// listen; 200 listening sockets of other programs. Removed at exit.
class Tree {
public:
  Tree() {
    char pattern[] = "/tmp/ostrik-bench-proc-XXXXXX";
    root_ = mkdtemp(pattern) != nullptr ? pattern : "";
    testsupport::FakeProc tree(root_);
    int pid = 100;
    for (int s = 0; s < kServers; ++s) {
      const uint64_t inode = 1000 + 2 * s;
      tree.listen4("0100007F", 8000 + s, inode);
      tree.listen6("00000000000000000000000000000000", 9000 + s, inode + 1);
      const int parent = pid++;
      tree.process(parent, 1, "apache2", {inode, inode + 1, static_cast<uint64_t>(50000 + pid)});
      for (int c = 0; c < kChildren; ++c) {
        tree.process(pid++, parent, "apache2", {inode, inode + 1});
      }
    }
    for (int other = 0; other < 200; ++other) {
      tree.listen4("00000000", 20000 + other, 30000 + other);
    }
    while (pid < 100 + kProcesses) {
      tree.process(
          pid, 1, "sh",
          {static_cast<uint64_t>(60000 + 2 * pid), static_cast<uint64_t>(60001 + 2 * pid)});
      ++pid;
    }
  }
  ~Tree() {
    if (!root_.empty()) {
      (void)system(("rm -rf '" + root_ + "'").c_str());
    }
  }
  const std::string &root() const { return root_; }

private:
  std::string root_;
};

const Tree &tree() {
  static Tree made;
  return made;
}

void BM_DiscoveryLook2000(benchmark::State &state) {
  platform_set_proc_root(tree().root().c_str());
  size_t found = 0;
  for (auto _ : state) {
    std::vector<PlatformProcess> processes;
    std::vector<PlatformListener> listeners;
    platform_list_processes(&processes, nullptr);
    platform_list_listeners(&listeners, nullptr);
    found = find_servers(processes, listeners, nullptr).size();
    benchmark::DoNotOptimize(found);
  }
  platform_set_proc_root(nullptr);
  if (found != kServers) {
    state.SkipWithError("the servers of the tree were not all found");
  }
  state.SetItemsProcessed(state.iterations() * kProcesses);
}
BENCHMARK(BM_DiscoveryLook2000)->Unit(benchmark::kMillisecond);

// The owner of the last server's port, looked for from the first process
// on, as when nothing is remembered yet.
void BM_ListenOwnerSearch2000(benchmark::State &state) {
  platform_set_proc_root(tree().root().c_str());
  std::vector<PlatformProcess> processes;
  std::vector<PlatformListener> listeners;
  platform_list_processes(&processes, nullptr);
  platform_list_listeners(&listeners, nullptr);
  std::vector<ProcLink> links;
  for (const PlatformProcess &p : processes) {
    links.push_back(ProcLink{p.pid, p.ppid});
  }
  int32_t owner = 0;
  for (auto _ : state) {
    listen_owner_reset();
    owner = listen_owner(8000 + kServers - 1, listeners, links);
    benchmark::DoNotOptimize(owner);
  }
  platform_set_proc_root(nullptr);
  if (owner == 0) {
    state.SkipWithError("no owner found");
  }
}
BENCHMARK(BM_ListenOwnerSearch2000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
