// The footprint table end to end: varnockd with the ostrik module watching a
// real Apache 2.4, read with snmpwalk and compared with what /proc and the
// file system say about the same server; and an Apache that is process 1 of
// its PID namespace, as in a container.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/apache.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ApacheInstance;
using testsupport::Varnockd;
using testsupport::VarnockdSetup;

const std::string kTable = ".1.3.6.1.4.1.32473.16.3.11.1";
const std::string kUser = "monitor";
const std::string kPassword = "s3cret";

// Four prefork children, all started at once and never more: with at most
// four workers no idle child is ever above MaxSpareServers, and children are
// never recycled, so the server's processes stay the same from the first
// walk to the last and their sums can be compared over time.
const std::string kFixedChildren = "StartServers 4\n"
                                   "MinSpareServers 1\n"
                                   "MaxSpareServers 4\n"
                                   "ServerLimit 4\n"
                                   "MaxRequestWorkers 4\n"
                                   "MaxConnectionsPerChild 0\n"
                                   "KeepAlive Off\n";

// What /proc says about the server: the main process and its direct
// children, in the units the agent's snapshot uses.
struct ProcSums {
  int processes = 0;
  int64_t cpuTime = 0; // centiseconds, each process's time truncated first
  int64_t rss = 0;     // KB
  int64_t memSize = 0; // KB
  int64_t threads = 0;
};

// Fields of /proc/PID/stat after the command name: state is field 3.
bool read_stat(const std::string &pid, std::vector<std::string> *fields) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(in, line)) {
    return false;
  }
  const size_t close = line.rfind(')');
  if (close == std::string::npos) {
    return false;
  }
  std::istringstream rest(line.substr(close + 1));
  fields->clear();
  for (std::string f; rest >> f;) {
    fields->push_back(f);
  }
  return fields->size() >= 22;
}

ProcSums proc_sums(pid_t mainPid) {
  const long hz = sysconf(_SC_CLK_TCK);
  const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
  ProcSums sums;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return sums;
  }
  while (const dirent *d = readdir(proc)) {
    const std::string name = d->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::vector<std::string> f; // f[0] is the state (field 3 of the line)
    if (!read_stat(name, &f)) {
      continue;
    }
    const long pid = std::atol(name.c_str());
    const long ppid = std::atol(f[1].c_str());
    if (pid != mainPid && ppid != mainPid) {
      continue;
    }
    const long long ticks = std::atoll(f[11].c_str()) + std::atoll(f[12].c_str()); // utime stime
    sums.processes += 1;
    sums.cpuTime += ticks * 100 / hz;
    sums.threads += std::atoll(f[17].c_str());
    sums.memSize += std::atoll(f[20].c_str()) / 1024; // vsize, bytes
    sums.rss += std::atoll(f[21].c_str()) * pageKb;   // rss, pages
  }
  closedir(proc);
  return sums;
}

// Every entry below root, its own size as lstat gives it, links not followed:
// the way the module's walk counts a document root.
int64_t tree_bytes(const std::string &root) {
  int64_t total = 0;
  DIR *dir = opendir(root.c_str());
  if (dir == nullptr) {
    return 0;
  }
  while (const dirent *d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = root + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
      continue;
    }
    total += info.st_size;
    if (S_ISDIR(info.st_mode)) {
      total += tree_bytes(path);
    }
  }
  closedir(dir);
  return total;
}

int64_t file_kb(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size / 1024 : -1;
}

void make_dir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void write_bytes(const std::string &path, size_t size) {
  testsupport::write_file(path, std::string(size, 'x'));
}

// Files of known sizes in nested directories, and symbolic links that would
// loop if they were followed.
void fill_document_root(const std::string &root) {
  make_dir(root + "/docs");
  make_dir(root + "/docs/guide");
  make_dir(root + "/docs/guide/images");
  make_dir(root + "/empty");
  write_bytes(root + "/docs/manual.html", 40000);
  write_bytes(root + "/docs/guide/intro.html", 12345);
  write_bytes(root + "/docs/guide/images/logo.png", 70000);
  write_bytes(root + "/docs/guide/images/.hidden", 1000);
  ASSERT_EQ(symlink("../..", (root + "/docs/guide/up").c_str()), 0);
  ASSERT_EQ(symlink(".", (root + "/docs/guide/images/self").c_str()), 0);
  ASSERT_EQ(symlink(root.c_str(), (root + "/root-link").c_str()), 0);
}

// One walk of the footprint table: column arc -> value, for the row of port.
// Fails the test for an instance of any other row or a value of another type.
std::map<int, int64_t> walk_row(const Varnockd &daemon, int port) {
  const testsupport::CommandResult walk = daemon.walk(kTable);
  EXPECT_EQ(walk.exit_code, 0) << walk.err;
  std::map<int, int64_t> row;
  const std::string prefix = kTable + ".1.";
  const std::string suffix = std::string(".").append(std::to_string(port));
  for (const testsupport::Varbind &vb : testsupport::parse_varbinds(walk.out)) {
    if (vb.oid.compare(0, prefix.size(), prefix) != 0 || vb.oid.size() <= suffix.size() ||
        vb.oid.compare(vb.oid.size() - suffix.size(), suffix.size(), suffix) != 0) {
      ADD_FAILURE() << "instance of another row: " << vb.oid;
      continue;
    }
    const std::string column =
        vb.oid.substr(prefix.size(), vb.oid.size() - prefix.size() - suffix.size());
    const std::string type = "Counter32: ";
    EXPECT_EQ(vb.value.compare(0, type.size(), type), 0) << vb.oid << " = " << vb.value;
    row[std::atoi(column.c_str())] = std::atoll(vb.value.c_str() + type.size());
  }
  return row;
}

void sleep_until(Clock::time_point when) { std::this_thread::sleep_until(when); }

// Requests from a few client threads until the deadline or a bounded count.
int64_t load(int port, Clock::time_point until) {
  constexpr int kClients = 3;
  constexpr int kMaxPerClient = 200000;
  std::atomic<int64_t> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < kMaxPerClient && Clock::now() < until; ++i) {
        if (testsupport::http_get(port, "/index.html", "", "", 5.0).find(" 200 ") !=
            std::string::npos) {
          answered.fetch_add(1);
        }
      }
    });
  }
  for (std::thread &t : clients) {
    t.join();
  }
  return answered.load();
}

TEST(FootprintTableSnmp, AnswersWhatProcAndTheFileSystemSayAboutARealApache) {
  ApacheInstance apache(kUser, kPassword, kFixedChildren);
  fill_document_root(apache.document_root());
  const int64_t docKb = tree_bytes(apache.document_root()) / 1024;
  ASSERT_GE(docKb, (40000 + 12345 + 70000 + 1000) / 1024);

  VarnockdSetup setup;
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  // Document-root scans at most every second, so the first refresh scans.
  setup.ostrik_cf =
      "apache " + std::to_string(apache.port()) + " " + kUser + " " + kPassword + " 1\n";
  setup.tick_seconds = 1; // a refresh follows within a second once 20 s have passed
  const Clock::time_point launched = Clock::now();
  Varnockd daemon(setup);

  // The first walk runs the first refresh (unless the first tick already
  // did): the pid is read, the document root scanned.
  std::map<int, int64_t> row = walk_row(daemon, apache.port());
  const Clock::time_point first = Clock::now();
  const std::vector<int> answered = {1, 2, 3, 4, 5, 6, 7, 14, 18, 19, 20};
  std::vector<int> columns;
  for (const auto &[column, value] : row) {
    columns.push_back(column);
  }
  ASSERT_EQ(columns, answered) << "the nine unanswered columns answer nothing";
  EXPECT_EQ(row[1], apache.port());
  EXPECT_EQ(row[19], docKb);
  EXPECT_EQ(row[20], row[18] + row[19]);

  // A quiet interval: the refresh that follows it sees an idle server.
  sleep_until(first + std::chrono::seconds(21));
  const std::map<int, int64_t> quiet = walk_row(daemon, apache.port());

  // Load right after that refresh, stopped before the next one can run. The
  // gate counts whole seconds, so a refresh may follow the one before it
  // after a little more than 19 s; the first refresh ran at the earliest when
  // the daemon was launched, so the one after the quiet walk runs at the
  // earliest 38 s after that. The load ends by 36 s, and lasts 13 s unless
  // the daemon was slow to start.
  const Clock::time_point loadStart = Clock::now();
  const int64_t requests = load(apache.port(), std::min(loadStart + std::chrono::seconds(13),
                                                        launched + std::chrono::seconds(36)));
  ASSERT_GT(requests, 100);
  const ProcSums atLoadEnd = proc_sums(apache.pid());
  const int64_t logsAtLoadEnd = file_kb(apache.access_log()) + file_kb(apache.error_log());

  // Past the next refresh (the tick runs it at most 21 s after the quiet
  // walk's, or this walk does): its snapshot was taken after the load ended.
  sleep_until(loadStart + std::chrono::seconds(23));
  row = walk_row(daemon, apache.port());
  const ProcSums now = proc_sums(apache.pid());

  EXPECT_EQ(now.processes, 5) << "main process and four children";
  EXPECT_EQ(atLoadEnd.processes, now.processes);
  // CPU time: taken between the end of the load and now, while the server
  // was idle, so it lies between the two readings of /proc.
  EXPECT_GE(row[2], atLoadEnd.cpuTime);
  EXPECT_LE(row[2], now.cpuTime);
  EXPECT_GT(row[2], 0);
  // Memory: the same processes, idle since the snapshot a few seconds ago;
  // the virtual size does not change, resident pages may be reclaimed or
  // touched a little by the idle main process.
  EXPECT_NEAR(static_cast<double>(row[4]), static_cast<double>(now.memSize),
              static_cast<double>(now.memSize) * 0.02);
  EXPECT_NEAR(static_cast<double>(row[5]), static_cast<double>(now.rss),
              static_cast<double>(now.rss) * 0.10);
  EXPECT_GE(row[7], now.processes);
  // The CPU share, hundredths of a percent of the machine: the interval
  // under load against the quiet one.
  EXPECT_GT(row[3], quiet.at(3)) << "quiet " << quiet.at(3) << ", loaded " << row[3];
  EXPECT_GT(row[3], 0);
  EXPECT_LE(row[3], 10000);
  // Disk: the logs as the refresh found them, between their size when the
  // load ended and now (Apache may still append the load's last lines on a
  // busy machine), the document root unchanged.
  const int64_t logsNow = file_kb(apache.access_log()) + file_kb(apache.error_log());
  EXPECT_GE(row[18], logsAtLoadEnd);
  EXPECT_LE(row[18], logsNow);
  EXPECT_GT(row[18], 0);
  EXPECT_EQ(row[19], docKb);
  EXPECT_EQ(row[20], row[18] + row[19]);
}

TEST(FootprintTableSnmp, ApacheAsProcessOneOfItsPidNamespaceGetsItsCpuShare) {
  if (testsupport::run_command({"unshare", "--pid", "--fork", "--mount-proc", "true"}).exit_code !=
      0)
    GTEST_SKIP() << "no PID namespace can be made here";
  // A single Apache process (-X: it serves requests itself), as process 1 of
  // a new PID namespace, and varnockd inside the same namespace.
  testsupport::TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const int port = testsupport::free_tcp_port();
  ASSERT_EQ(testsupport::run_command({"bash", testsupport::apache_instance_script(), "setup",
                                      dir.path(), std::to_string(port), kUser, kPassword})
                .exit_code,
            0);
  testsupport::Process container({"unshare", "--pid", "--fork", "--mount-proc", "--kill-child",
                                  "apache2", "-X", "-f", dir.file("conf/httpd.conf")},
                                 dir.file("container"));
  ASSERT_TRUE(testsupport::wait_for_tcp_port(port, 20.0)) << container.err();
  const std::string unshare = std::to_string(container.pid());
  const std::string apache =
      testsupport::read_file("/proc/" + unshare + "/task/" + unshare + "/children"); // "PID "
  // Apache listens before it writes its pid file: give the file a moment.
  std::string pidFile;
  for (int i = 0; i < 100 && pidFile.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pidFile = testsupport::read_file(dir.file("run/httpd.pid"));
  }
  ASSERT_EQ(pidFile, "1\n");

  VarnockdSetup setup;
  setup.launcher = {"nsenter", "--target", apache.substr(0, apache.find(' ')), "--pid", "--mount"};
  setup.daemon = VARNOCKD_PATH;
  setup.modules = {OSTRIK_MODULE_PATH};
  setup.ostrik_cf = "apache " + std::to_string(port) + " " + kUser + " " + kPassword + " 0\n";
  setup.tick_seconds = 1;
  Varnockd daemon(setup);
  // Load until a footprint refresh has compared two snapshots (20 s apart).
  std::map<int, int64_t> row;
  const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(50);
  while (row[3] == 0 && Clock::now() < giveUp) {
    load(port, Clock::now() + std::chrono::seconds(2));
    row = walk_row(daemon, port);
  }
  EXPECT_GT(row[3], 0) << "no CPU share for Apache, process 1 of its namespace";
  EXPECT_GT(row[2], 0);
  container.stop(SIGKILL); // unshare ignores SIGTERM; the namespace ends with Apache
}

} // namespace
