#include "tests/support/varnockd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Any answer at all, even noSuchObject, shows the agent is serving.
bool answers(const std::string &agent, const std::string &community) {
  CommandResult r = run_command({"snmpget", "-v2c", "-c", community, "-On", "-r", "0", "-t", "0.5",
                                 agent, "1.3.6.1.2.1.1.1.0"},
                                10.0);
  return r.exit_code == 0 && r.out.find(" = ") != std::string::npos;
}

// Whether some server's status page is not fetched yet: the daemon answers
// before its first collection has ended (apacheServerHealthStatusOutcome
// notTried).
bool first_reads_pending(const std::string &agent, const std::string &community) {
  CommandResult r = run_command({"snmpwalk", "-v2c", "-c", community, "-On", "-r", "0", "-t", "1",
                                 agent, "1.3.6.1.4.1.32473.16.3.13.1.3"},
                                10.0);
  return r.out.find("INTEGER: 0\n") != std::string::npos;
}

} // namespace

std::string sanitizer_report(const std::string &log) {
  static const char *const kMarks[] = {"ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer",
                                       "WARNING: ThreadSanitizer"};
  for (const char *mark : kMarks) {
    const size_t at = log.find(mark);
    if (at != std::string::npos) {
      const size_t begin = log.rfind('\n', at);
      const size_t from = begin == std::string::npos ? 0 : begin + 1;
      return log.substr(from, log.find('\n', at) - from);
    }
  }
  return "";
}

GetStream::GetStream(std::string agent, std::string oid, std::string community)
    : agent_(std::move(agent)), oid_(std::move(oid)), community_(std::move(community)) {
  thread_ = std::thread([this] {
    while (!stop_) {
      CommandResult r = run_command(
          {"snmpget", "-v2c", "-c", community_, "-On", "-r", "0", "-t", "1", agent_, oid_}, 10.0);
      ++sent_;
      if (r.exit_code != 0 || r.out.find(" = ") == std::string::npos ||
          r.out.find("No Such") != std::string::npos)
        failures_.push_back(r.err.empty() ? r.out : r.err);
    }
  });
}

GetStream::~GetStream() { finish(); }

int GetStream::finish() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
  return sent_;
}

std::vector<std::string> snmp_tool_command(const std::string &name, const std::string &community) {
  return {name, "-M", test_mib_path(), "-v2c", "-c", community, "-On", "-r", "0", "-t", "20"};
}

std::string test_mib_path() {
  return std::string(OSTRIK_BASE_MIBS_DIR) + ":" + OSTRIK_SOURCE_DIR + "/mib";
}

std::vector<Varbind> parse_varbinds(const std::string &output) {
  std::vector<Varbind> out;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t sep = line.find(" = ");
    if (sep == std::string::npos || line.empty() || line[0] != '.')
      continue;
    out.push_back({line.substr(0, sep), line.substr(sep + 3)});
  }
  return out;
}

Varnockd::Varnockd(VarnockdSetup setup) : community_(setup.community) {
  if (!setup.ostrik_cf.empty())
    write_file(dir_.file("ostrik.cf"), setup.ostrik_cf);
  if (!setup.varnockd_conf.empty())
    write_file(dir_.file("varnockd.conf"), setup.varnockd_conf);
  for (const auto &[name, content] : setup.files)
    write_file(dir_.file(name), content);
  port_ = free_udp_port();

  std::vector<std::string> argv = setup.launcher;
  argv.insert(argv.end(), {setup.daemon, "--config-dir", dir_.path()});
  for (const std::string &module : setup.modules) {
    argv.push_back("--module");
    argv.push_back(module);
  }
  if (setup.tick_seconds > 0) {
    argv.push_back("--tick");
    argv.push_back(std::to_string(setup.tick_seconds));
  }
  if (setup.debug)
    argv.push_back("--debug");
  argv.insert(argv.end(), setup.extra_args.begin(), setup.extra_args.end());
  argv.push_back("udp:" + agent());
  started_ = Clock::now();
  process_ = std::make_unique<Process>(argv, dir_.file("varnockd"));

  const auto deadline = Clock::now() + std::chrono::duration<double>(setup.start_timeout_seconds);
  for (;;) {
    if (!process_->running())
      throw std::runtime_error("varnockd exited at start-up: " + log());
    if (answers(agent(), community_) &&
        (!setup.wait_for_first_reads || !first_reads_pending(agent(), community_)))
      return;
    if (Clock::now() >= deadline) {
      const std::string err = log();
      process_->stop();
      throw std::runtime_error("varnockd does not answer on " + agent() + ": " + err);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

long Varnockd::seconds_running() const {
  return static_cast<long>(
      std::chrono::ceil<std::chrono::seconds>(Clock::now() - started_).count());
}

Varnockd::~Varnockd() {
  if (process_) {
    process_->stop();
    check_log_for_sanitizer_reports();
  }
}

// A sanitizer writes to the daemon's standard error: at the fault, or (leaks)
// when the daemon exits. Checked once, after the daemon has ended.
void Varnockd::check_log_for_sanitizer_reports() {
  if (log_checked_)
    return;
  log_checked_ = true;
  const std::string err = log();
  const std::string report = sanitizer_report(err);
  if (!report.empty())
    ADD_FAILURE() << "varnockd reported: " << report << "\n" << err;
}

std::string Varnockd::agent() const { return "127.0.0.1:" + std::to_string(port_); }

int Varnockd::stop(int sig, double timeout_seconds) {
  const int status = process_->stop(sig, timeout_seconds);
  check_log_for_sanitizer_reports();
  return status;
}

CommandResult Varnockd::tool(const std::string &name, const std::vector<std::string> &args,
                             const std::string &community) const {
  std::vector<std::string> argv =
      snmp_tool_command(name, community.empty() ? community_ : community);
  argv.push_back(agent());
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, 90.0);
}

CommandResult Varnockd::get(const std::vector<std::string> &oids) const {
  return tool("snmpget", oids);
}

CommandResult Varnockd::getnext(const std::vector<std::string> &oids) const {
  return tool("snmpgetnext", oids);
}

CommandResult Varnockd::walk(const std::string &oid) const { return tool("snmpwalk", {oid}); }

CommandResult Varnockd::bulkwalk(const std::string &oid) const {
  return tool("snmpbulkwalk", {oid});
}

CommandResult Varnockd::set(const std::string &oid, const std::string &type,
                            const std::string &value, const std::string &community) const {
  return tool("snmpset", {oid, type, value}, community);
}

} // namespace testsupport
