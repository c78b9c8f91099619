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
  // signal arrives or the thread ends first (false), writing the log meanwhile.
  bool wait_first(const volatile sig_atomic_t *signal);

  std::shared_ptr<const Snapshot> latest() const;
  // When the collection now running began; false when none runs.
  bool running(Clock::time_point *since) const;
  int tick_seconds() const { return tick_seconds_; }

  // The module at this index serves nothing: the thread finishes it before
  // its next collection.
  void retire(size_t index);

  // Asks the thread to stop: a collection ends at its next variable, then
  // the modules are finished. wait_stopped waits up to `seconds` for that,
  // writing the log meanwhile; true when the thread has ended (and is joined).
  void request_stop();
  bool wait_stopped(double seconds);

private:
  void run();
  bool collect(bool tick);
  void publish(std::shared_ptr<const Snapshot> snapshot);

  std::vector<Module> *modules_;
  std::string config_dir_;
  int tick_seconds_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<const Snapshot> latest_;
  std::atomic<bool> stop_{false};
  bool first_done_ = false;
  bool ended_ = false;
  bool running_ = false;
  Clock::time_point running_since_;
  std::vector<size_t> to_retire_;
};

} // namespace varnockd
