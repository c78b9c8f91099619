// The collector thread: the one thread that calls into the modules when the
// daemon serves from snapshots. It starts the modules, then every tick calls
// their callbacks, walks every registered variable in OID order through the
// agent library and publishes the answers as a new snapshot; at the end it
// finishes the modules. The SNMP side only reads the latest snapshot.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/varnockd/modules.h"
#include "host/varnockd/snapshot.h"

namespace varnockd {

class Collector {
public:
  using Clock = std::chrono::steady_clock;

  // modules are loaded, not started; the collector owns them from start()
  // until it has stopped.
  Collector(std::vector<Module> *modules, std::string configDir, int tickSeconds);
  ~Collector();
  Collector(const Collector &) = delete;
  Collector &operator=(const Collector &) = delete;

  // Starts the thread; SIGTERM, SIGINT and SIGPIPE stay with the main thread.
  bool start();
  // Main thread: waits until the first snapshot is published (true), or a
  // signal arrives or the thread ends first (false), writing the log
  // meanwhile. The first snapshot comes when the first collection ends, or
  // three seconds into it, whatever the monitored servers do: while a module
  // waits on them, what it has so far is published.
  bool wait_first(const volatile sig_atomic_t *signal);

  // Collector thread, from a module that waits on its sources (the agent
  // library's waiting hook): publishes what the modules have stored so far.
  void module_waiting(bool news);

  std::shared_ptr<const Snapshot> latest() const;
  // When the collection now running began; false when none runs.
  bool running(Clock::time_point *since) const;
  int tick_seconds() const { return tick_seconds_; }

  // The module at this index serves nothing: the thread finishes it before
  // its next collection.
  void retire(size_t index);

  // Asks the thread to reload the modules: at its next wake it finishes and
  // unloads them, loads and starts them again and collects; what that
  // collection reads replaces the old snapshot when the collection ends, or
  // three seconds into it. Until then, and for as long as a
  // module cannot be loaded or refuses to start (it tries again every tick),
  // the old snapshot keeps answering.
  void request_reload();

  // Asks the thread to stop: a collection ends at its next variable, then
  // the modules are finished. wait_stopped waits up to `seconds` for that,
  // writing the log meanwhile; true when the thread has ended (and is joined).
  void request_stop();
  bool wait_stopped(double seconds);

private:
  void run();
  bool collect(bool tick);
  std::shared_ptr<Snapshot> walk();
  void publish(std::shared_ptr<const Snapshot> snapshot);
  void finish_modules();
  bool reload_modules(std::string *why);

  std::vector<Module> *modules_;
  std::string config_dir_;
  int tick_seconds_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<const Snapshot> latest_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reload_{false};
  bool reload_failing_ = false; // a reload has not succeeded yet: publish nothing
  std::string reload_why_;      // why, as last logged
  std::vector<bool> in_use_;    // the modules in use before the reload
  unsigned generation_ = 0;
  bool nested_ = false; // walking from inside a module's wait
  bool first_done_ = false;
  long long published_generation_ = -1; // of latest_; -1 none yet
  bool ended_ = false;
  bool running_ = false;
  Clock::time_point running_since_;
  std::vector<size_t> to_retire_;
};

} // namespace varnockd
