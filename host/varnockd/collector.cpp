#include "host/varnockd/collector.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "host/varnockd/log_queue.h"
#include "varnock_host.h"

namespace varnockd {

namespace {

// A walk moves forward at every step, so it ends; this bounds it all the same.
constexpr size_t kMaxEntries = 1000000;
// How often the main thread writes the log while it waits for the collector.
constexpr auto kLogPoll = std::chrono::milliseconds(50);
// How long the first snapshot of a start or a reload waits for the whole
// collection before it publishes what has come in. Net-SNMP's event monitors
// take their first sample as soon as requests are read, and take a row that
// appears after it for a new one: a balancer member published a moment late
// would send apacheBalancerMemberRecovered at start without ever having been
// in error. A server that answers within this is in the first snapshot.
constexpr auto kFirstPatience = std::chrono::seconds(3);

// The collector whose thread is inside the modules: the one that hears a
// module wait on its sources.
Collector *waiting_collector = nullptr;

void on_module_waiting(int32_t news) {
  if (waiting_collector != nullptr)
    waiting_collector->module_waiting(news != 0);
}

} // namespace

Collector::Collector(std::vector<Module> *modules, std::string configDir, int tickSeconds)
    : modules_(modules), config_dir_(std::move(configDir)), tick_seconds_(tickSeconds) {}

Collector::~Collector() {
  if (thread_.joinable()) {
    request_stop();
    thread_.join();
  }
}

bool Collector::start() {
  // The new thread inherits the signal mask: the signals that stop the
  // daemon must reach the main thread, whose loop they wake.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGPIPE);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  bool started = true;
  try {
    thread_ = std::thread(&Collector::run, this);
  } catch (const std::system_error &) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

bool Collector::wait_first(const volatile sig_atomic_t *signal) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!first_done_ && !ended_ && *signal == 0) {
    wake_.wait_for(lock, kLogPoll);
    lock.unlock();
    log_queue_drain();
    lock.lock();
  }
  return first_done_;
}

std::shared_ptr<const Snapshot> Collector::latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

bool Collector::running(Clock::time_point *since) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ && since != nullptr)
    *since = running_since_;
  return running_;
}

void Collector::retire(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  to_retire_.push_back(index);
}

void Collector::request_reload() {
  reload_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_all();
}

void Collector::request_stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_all();
}

bool Collector::wait_stopped(double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ended_ && Clock::now() < deadline) {
    wake_.wait_for(lock, kLogPoll);
    lock.unlock();
    log_queue_drain();
    lock.lock();
  }
  const bool ended = ended_;
  lock.unlock();
  if (ended && thread_.joinable())
    thread_.join();
  log_queue_drain();
  return ended;
}

void Collector::publish(std::shared_ptr<const Snapshot> snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  published_generation_ = snapshot->generation;
  latest_ = std::move(snapshot);
  if (!first_done_) {
    first_done_ = true;
    wake_.notify_all();
  }
}

bool Collector::collect(bool tick) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    running_since_ = Clock::now();
  }
  std::vector<size_t> retire;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retire.swap(to_retire_);
  }
  for (size_t index : retire)
    drop_module(modules_, index);
  // The callback runs once a tick, the first a tick after the start, as
  // when the modules are served live.
  for (Module &module : *modules_) {
    if (tick && module.started)
      module.callback();
  }

  std::shared_ptr<Snapshot> snapshot = walk();
  const bool whole = snapshot != nullptr;
  // A stopped walk is incomplete: the previous snapshot stays.
  if (whole)
    publish(std::move(snapshot));
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  return whole;
}

// Every instance in OID order, as a walk of get-nexts from the start; each
// handler runs its module's gated refresh on its first call, as it does
// inside a request. Null when a stop cut the walk short.
std::shared_ptr<Snapshot> Collector::walk() {
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->began = time(nullptr);
  snapshot->generation = generation_;
  for (const Module &module : *modules_) {
    if (module.started)
      snapshot->subtrees.emplace_back(
          module.name.empty() ? module.path : module.name,
          HostOid(module.subtree, module.subtree + module.subtreeLength));
  }
  const size_t count = VarnockHostVariableCount();
  for (size_t i = 0; i < count; ++i) {
    const MibVariable *var = VarnockHostVariableAt(i);
    if (var != nullptr && var->oidLength > 1)
      snapshot->objects.emplace_back(var->oid, var->oid + var->oidLength - 1);
  }
  auto answer = std::make_unique<VarnockAnswer>();
  const uint32_t *from = nullptr;
  int32_t fromLength = 0;
  while (!stop_ && snapshot->entries.size() < kMaxEntries &&
         VarnockHostGetNext(from, fromLength, answer.get()) != 0) {
    SnapshotEntry entry;
    entry.oid.assign(answer->oid, answer->oid + answer->oidLength);
    entry.type = answer->type;
    entry.descriptorLength = answer->variable != nullptr ? answer->variable->oidLength : 0;
    entry.longIndex =
        answer->variable != nullptr && (answer->variable->access & VARNOCK_ACCESS_LONG_INDEX) != 0;
    entry.value.assign(reinterpret_cast<const char *>(answer->value),
                       static_cast<size_t>(answer->valueLength));
    if (answer->variable != nullptr)
      entry.variable.assign(answer->variable->name,
                            strnlen(answer->variable->name, sizeof answer->variable->name));
    snapshot->entries.push_back(std::move(entry));
    from = snapshot->entries.back().oid.data();
    fromLength = static_cast<int32_t>(snapshot->entries.back().oid.size());
  }
  if (stop_)
    return nullptr;
  return snapshot;
}

// A module waits on its sources inside a collection: what it has stored so
// far is walked (its refreshes return at once meanwhile) and published when
// answers came in, or when nothing of these modules has been published yet
// (at start, and after a reload) and the collection has run for the first
// snapshot's patience, so that requests are answered within seconds whatever
// the servers do and fill in as the answers arrive.
void Collector::module_waiting(bool news) {
  if (stop_ || nested_)
    return;
  const bool first = published_generation_ != static_cast<long long>(generation_);
  if (first ? Clock::now() - running_since_ < kFirstPatience : !news)
    return;
  nested_ = true;
  std::shared_ptr<Snapshot> snapshot = walk();
  nested_ = false;
  if (snapshot != nullptr)
    publish(std::move(snapshot));
}

void Collector::finish_modules() {
  for (Module &module : *modules_) {
    if (module.started) {
      module.finish();
      module.started = false;
    }
  }
}

// Finishes and unloads every module, then loads and starts each again, so
// that a changed library or configuration takes effect. The agent library
// forgets the modules' variables in between, and the modules register them
// anew in init. False, with *why, when a module that was in use cannot be
// loaded or refuses to start; one that was not in use is only logged.
bool Collector::reload_modules(std::string *why) {
  size_t first = VarnockHostVariableCount();
  // Which modules were in use is decided before the first try; the tries
  // after a failure keep it.
  if (!reload_failing_) {
    in_use_.clear();
    for (const Module &module : *modules_)
      in_use_.push_back(module.started);
  }
  for (const Module &module : *modules_) {
    if (module.started)
      first = std::min(first, module.firstVariable);
  }
  finish_modules();
  VarnockHostForgetVariablesFrom(first);
  for (Module &module : *modules_)
    unload_module(&module);
  why->clear();
  for (size_t i = 0; i < modules_->size(); ++i) {
    Module &module = (*modules_)[i];
    if (module.retired)
      continue; // its subtree is served by another module; it stays out
    std::string error;
    if (load_module(&module, &error) && start_module(&module, config_dir_, &error))
      continue;
    if (!in_use_[i]) {
      log_line(VARNOCK_LOG_ERR, "varnockd: " + error + "\n");
    } else {
      if (!why->empty())
        *why += "; ";
      *why += error;
    }
  }
  if (why->empty())
    return true;
  // Those that did start wait for the next try, their variables forgotten.
  first = VarnockHostVariableCount();
  for (const Module &module : *modules_) {
    if (module.started)
      first = std::min(first, module.firstVariable);
  }
  finish_modules();
  VarnockHostForgetVariablesFrom(first);
  return false;
}

void Collector::run() {
  // Only this thread calls into the modules, so only it hears them wait.
  waiting_collector = this;
  VarnockHostSetWaitingHook(on_module_waiting);
  for (Module &module : *modules_) {
    std::string error;
    if (!start_module(&module, config_dir_, &error))
      log_line(VARNOCK_LOG_ERR, "varnockd: " + error + "\n");
  }
  const auto tick = std::chrono::seconds(tick_seconds_);
  for (bool first = true; !stop_; first = false) {
    const auto began = Clock::now();
    bool callbacks = !first;
    // A reload asked for, or one that failed and is tried again each tick.
    if (reload_.exchange(false) || reload_failing_) {
      std::string why;
      if (reload_modules(&why)) {
        ++generation_;
        callbacks = false; // as after a start
        log_line(VARNOCK_LOG_INFO, "varnockd: modules reloaded\n");
        reload_failing_ = false;
        reload_why_.clear();
      } else {
        // Said once, and again only when the reason changes.
        if (!reload_failing_ || why != reload_why_)
          log_line(VARNOCK_LOG_ERR,
                   "varnockd: reload failed: " + why +
                       "; the answers of before the reload are served until a reload "
                       "succeeds (tried again every tick)\n");
        reload_failing_ = true;
        reload_why_ = why;
      }
    }
    if (!reload_failing_ && !collect(callbacks))
      break;
    // The next collection starts a tick after this one began, or at once
    // when this one took longer or a reload is asked for.
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, began + tick, [this] { return stop_.load() || reload_.load(); });
  }
  finish_modules();
  VarnockHostSetWaitingHook(nullptr);
  waiting_collector = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  wake_.notify_all();
}

} // namespace varnockd
