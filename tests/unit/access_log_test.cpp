// The access-log tables from logs that the test writes: what a refresh
// counts, in which columns, and the per-host table's order and index.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "collect/logs/access_log.h"
#include "collect/logs/log_checkpoint.h"
#include "collect/logs/log_sources.h"
#include "collect/pages/page_refresh.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "platform/proc_table.h"
#include "pluginlib/log_format.h"
#include "tests/support/fake_proc.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"

namespace {

using testsupport::Answer;

constexpr int kFirstLog = OSTRIK_PERF_EXT_COLUMNS + OSTRIK_HEALTH_COLUMNS;
constexpr int kFirstVhost = kFirstLog + OSTRIK_LOG_COLUMNS;

MibVariable *log_column(int magic) { return &ostrik_ext_variables[kFirstLog + magic - 1]; }
MibVariable *vhost_column(int magic) { return &ostrik_ext_variables[kFirstVhost + magic - 1]; }

std::vector<uint32_t> instance(const MibVariable *var, std::vector<uint32_t> index) {
  std::vector<uint32_t> oid(var->oid, var->oid + var->oidLength - 1);
  oid.insert(oid.end(), index.begin(), index.end());
  return oid;
}

std::vector<uint32_t> host_index(int port, const std::string &name) {
  std::vector<uint32_t> index = {static_cast<uint32_t>(port), static_cast<uint32_t>(name.size())};
  index.insert(index.end(), name.begin(), name.end());
  return index;
}

class AccessLogTest : public ::testing::Test {
protected:
  testsupport::TempDir dir;

  void SetUp() override { testsupport::fresh_module(100000); }
  void TearDown() override { testsupport::leave_module(); }

  // A server (nothing listens on its port) whose configuration names log.
  int server(const std::string &log, const char *format) {
    const int port = testsupport::free_tcp_port();
    EXPECT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1);
    ServerEntry *entry = find_server(port);
    std::snprintf(entry->reach.logPath, sizeof entry->reach.logPath, "%s", log.c_str());
    std::snprintf(entry->reach.logFormat, sizeof entry->reach.logFormat, "%s", format);
    return port;
  }
  void append(const std::string &log, const std::string &text) {
    std::ofstream(log, std::ios::binary | std::ios::app) << text;
  }
  // The next status refresh, and with it the logs'.
  void refresh() {
    testsupport::fake_now += STATUS_REFRESH_INTERVAL;
    refresh_server_status();
  }
  static Answer get(MibVariable *var, std::vector<uint32_t> index) {
    return testsupport::ask(var, instance(var, std::move(index)), true);
  }
  // The per-host table's names, walked in order.
  static std::vector<std::string> walk_hosts() {
    std::vector<std::string> walked;
    std::vector<uint32_t> oid = instance(vhost_column(3), {});
    for (Answer a; (a = testsupport::ask(vhost_column(3), oid, false)).answered();) {
      oid = a.oid;
      walked.emplace_back(oid.end() - oid[vhost_column(3)->oidLength], oid.end());
    }
    return walked;
  }
  // A server whose info page (lines of its text) is noted, and trusted to
  // name files when trusted is set.
  int paged_server(const std::string &text, bool trusted = true) {
    const int port = testsupport::free_tcp_port();
    EXPECT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1);
    ServerEntry *entry = find_server(port);
    entry->pathsTrusted = trusted ? 1 : 0;
    note_info_log_sources(entry, text.c_str());
    return port;
  }
  static LogSummary summary(int port) {
    LogSummary s{};
    EXPECT_TRUE(log_summary(find_server(port), &s));
    return s;
  }
};

constexpr char kCommonLine[] =
    "127.0.0.1 - - [09/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";

TEST_F(AccessLogTest, CountsByServerAndHostInTheirColumns) {
  const std::string timedLog = dir.file("timed_log");
  const std::string plainLog = dir.file("plain_log");
  append(timedLog, "old.test 200 10 1000\n"); // there before: never counted
  append(plainLog, "");
  const int timed = server(timedLog, "%v %>s %O %D");
  const int plain = server(plainLog, "%h %>s %b");
  const std::string assumedLog = dir.file("assumed_log");
  append(assumedLog, "");
  const int assumed = server(assumedLog, ""); // "combined" assumed; the lines decide
  refresh();
  EXPECT_EQ(get(log_column(6), {static_cast<uint32_t>(timed)}).counter, 0u);

  append(timedLog, "b.test 200 100 4000\n"
                   "a.test 404 50 300000\n"
                   "bb.test 503 7 20000000\n"
                   "not a line of this format\n"
                   "a.test 302 - 10000\n" +
                       std::string(LOG_VHOST_NAME_MAX + 1, 'h') +
                       " 101 1 2\n"
                       "half a line");
  append(plainLog, "127.0.0.1 200 512\n");
  append(assumedLog, std::string(kCommonLine) + kCommonLine);
  refresh();
  const std::vector<uint32_t> row = {static_cast<uint32_t>(timed)};
  // lines, not understood, 1xx-5xx, bytes, timed, sum, then 5 ms ... 10 s.
  const std::vector<uint64_t> want = {6, 1, 1, 1, 1, 1, 1, 158, 5, 20314002, 2,
                                      3, 3, 3, 3, 3, 4, 4, 4,   4, 4};
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(get(log_column(OSTRIK_LOG_FIRST_COUNTER + static_cast<int>(k)), row).counter, want[k])
        << "counter " << k;
  }
  EXPECT_EQ(get(log_column(2), row).integer(), 1);
  EXPECT_EQ(get(log_column(4), row).text(), "ok");

  // A format without times has no time columns: a walk of one passes over it.
  const std::vector<uint32_t> plainRow = {static_cast<uint32_t>(plain)};
  EXPECT_EQ(get(log_column(13), plainRow).counter, 512u);
  EXPECT_FALSE(get(log_column(14), plainRow).answered());
  EXPECT_EQ(get(log_column(7), {static_cast<uint32_t>(assumed)}).counter, 0u);
  EXPECT_EQ(get(log_column(9), {static_cast<uint32_t>(assumed)}).counter, 2u);

  // Hosts in index order (name length, then bytes); the name that is too
  // long for an index counts for the server only.
  EXPECT_EQ(walk_hosts(), (std::vector<std::string>{"a.test", "b.test", "bb.test"}));
  EXPECT_TRUE(get(vhost_column(1), host_index(timed, "a.test")).answered());
  EXPECT_EQ(get(vhost_column(3), host_index(timed, "a.test")).counter, 2u);
  EXPECT_EQ(get(vhost_column(2), host_index(timed, "bb.test")).text(), "bb.test");
  EXPECT_EQ(get(vhost_column(12), host_index(timed, "bb.test")).counter, 20000000u);
  std::vector<uint32_t> cut = host_index(timed, "a.test");
  cut.pop_back();
  EXPECT_FALSE(get(vhost_column(3), cut).answered());
}

// Logs of one section record the same requests: only the one whose format
// tells the most is read. A virtual host's own log records others. A page
// names files only while its server is trusted to.
TEST_F(AccessLogTest, OneLogPerSectionIsReadFromATrustedPage) {
  const std::string d = dir.path();
  const std::string page = "Module Name: mod_log_config.c\nIn file: /etc/h.conf\n"
                           "  1: CustomLog " +
                           d +
                           "/common_log common\n"
                           "  2: CustomLog " +
                           d +
                           "/vhost_log vhost_combined\n"
                           "  3: CustomLog " +
                           d +
                           "/bots_log common env=bot\n"
                           "  4: &lt;VirtualHost *:80&gt;\n"
                           "  5:   CustomLog " +
                           d +
                           "/own_log common\n"
                           "    : &lt;/VirtualHost&gt;\n";
  for (const char *name : {"/common_log", "/vhost_log", "/bots_log", "/own_log"}) {
    append(d + name, "");
  }
  const int port = paged_server(page, false);
  const std::vector<uint32_t> row = {static_cast<uint32_t>(port)};
  refresh();
  append(d + "/common_log", kCommonLine);
  refresh();
  EXPECT_EQ(get(log_column(2), row).integer(), 0);
  EXPECT_EQ(get(log_column(4), row).text().rfind("PAGE: not trusted", 0), 0u);
  EXPECT_FALSE(get(log_column(6), row).answered());

  find_server(port)->pathsTrusted = 1;
  refresh();
  const std::string common = kCommonLine;
  append(d + "/common_log", common);
  append(d + "/bots_log", common);
  append(d + "/own_log", common);
  append(d + "/vhost_log", "a.test:80 " + common.substr(0, common.size() - 1) + " \"-\" \"-\"\n");
  refresh();
  EXPECT_EQ(get(log_column(2), row).integer(), 2);
  EXPECT_EQ(get(log_column(4), row).text(), "ok");
  EXPECT_EQ(get(log_column(6), row).counter, 2u);
  EXPECT_EQ(get(log_column(7), row).counter, 0u);

  // Trust withdrawn: the logs are let go, and counted no more.
  find_server(port)->pathsTrusted = 0;
  refresh();
  append(d + "/common_log", common);
  refresh();
  EXPECT_EQ(get(log_column(2), row).integer(), 0);
  EXPECT_EQ(summary(port).counters->lines, 2u);
}

// A GlobalLog records every host's requests, those of a host that logs on
// its own too: the host's own log is then not read.
TEST_F(AccessLogTest, AGlobalLogIsNotCountedBesideAHostsOwn) {
  const std::string d = dir.path();
  const int port = paged_server("Module Name: mod_log_config.c\nIn file: /etc/h.conf\n"
                                "  1: GlobalLog " +
                                d +
                                "/global_log vhost_combined\n"
                                "  2: &lt;VirtualHost *:80&gt;\n"
                                "  3:   CustomLog " +
                                d +
                                "/own_log \"%h %&gt;s %b %D\"\n"
                                "    : &lt;/VirtualHost&gt;\n");
  append(d + "/global_log", "");
  append(d + "/own_log", "");
  refresh();
  const std::string common = kCommonLine;
  append(d + "/global_log", "a.test:80 " + common.substr(0, common.size() - 1) + " \"-\" \"-\"\n");
  append(d + "/own_log", "127.0.0.1 200 5 1000\n");
  refresh();
  EXPECT_EQ(summary(port).files, 1u);
  EXPECT_EQ(summary(port).counters->lines, 1u);
  EXPECT_EQ(walk_hosts(), std::vector<std::string>{"a.test"});
}

// Logs found among the files a server's processes hold open, as Debian
// lays them out: each log's format is chosen by what it tells of its first
// line read (the host before all), and kept with its place across the
// rescans; the default site's access.log names its row as Apache names the
// server; a log that no format reads is not counted, and said so; a
// second log that reads the same lines as the first is a copy, not
// counted, and one whose first line only was the same counts it.
TEST_F(AccessLogTest, FoundLogsAreReadByTheFormatThatTellsMostAndKept) {
  testsupport::TempDir root;
  testsupport::FakeProc tree(root.path());
  const std::string own = dir.file("access.log");
  const std::string others = dir.file("other_vhosts_access.log");
  const std::string again = dir.file("access_copy.log");
  const std::string alike = dir.file("alike.log");
  const std::string copy = dir.file("timed.log");
  const int flags = 0102001; // O_WRONLY | O_APPEND | O_LARGEFILE
  tree.process(100, 1, "apache2");
  int fd = 5;
  for (const std::string &log : {own, others, again, alike, copy}) {
    append(log, "");
    tree.open_file(100, fd++, log, flags);
  }
  tree.flush();
  platform_set_proc_root(root.path().c_str());
  const int port = testsupport::free_tcp_port();
  EXPECT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1);
  find_server(port)->pid = 100;
  refresh();

  const std::string common = kCommonLine;
  const std::string combined = common.substr(0, common.size() - 1) + " \"-\" \"-\"\n";
  append(others, "a.test:80 " + combined);
  append(own, common);
  append(again, common);
  append(alike, common);
  append(copy, "127.0.0.1 200 5 1000\n");
  refresh();
  EXPECT_EQ(summary(port).counters->lines, 2u);
  EXPECT_EQ(summary(port).counters->unparsed, 0u);
  EXPECT_EQ(walk_hosts(), (std::vector<std::string>{"a.test", log_default_host_name()}));
  EXPECT_EQ(std::string(summary(port).state), copy + ": format not known: 1 lines not counted");

  // Past a rescan (once a minute), nothing is lost.
  append(alike, "10.0.0.9" + common.substr(9));
  for (int i = 0; i < 7; ++i) {
    append(own, common);
    append(again, common);
    append(others, "b.test:80 " + combined);
    refresh();
  }
  EXPECT_EQ(summary(port).counters->lines, 18u);
  EXPECT_EQ(std::string(summary(port).state),
            again + ": same requests as " + own + ": not counted");
  EXPECT_EQ(summary(port).unreadable, 2u);
  EXPECT_EQ(summary(port).counters->unparsed, 0u);
  EXPECT_EQ(get(vhost_column(3), host_index(port, log_default_host_name())).counter, 8u);
  EXPECT_EQ(get(vhost_column(3), host_index(port, "b.test")).counter, 7u);
  platform_set_proc_root(nullptr);
}

// Thousands of logs in one section are chosen among at once: conditional
// ones alone are all kept; beside an unconditional one, the first that
// tells the most.
TEST_F(AccessLogTest, ManyConditionalLogsAreChosenAmongOnce) {
  constexpr int kEach = 6000;
  std::string page = "Module Name: mod_log_config.c\nIn file: /etc/h.conf\n"
                     "  1: CustomLog /l/plain common\n";
  for (int i = 0; i < kEach; ++i) {
    page += "  2: CustomLog /l/timed" + std::to_string(i) + " \"%h %&gt;s %b %D\" env=t" +
            std::to_string(i) + "\n";
  }
  page += "  3: &lt;VirtualHost *:80&gt;\n";
  for (int i = 0; i < kEach; ++i) {
    page +=
        "  4:   CustomLog /l/host" + std::to_string(i) + " common env=h" + std::to_string(i) + "\n";
  }
  page += "    : &lt;/VirtualHost&gt;\n";
  const int port = paged_server(page);
  EXPECT_EQ(summary(port).files, static_cast<uint32_t>(kEach + 1));
  EXPECT_EQ(summary(port).counters->gives, LOG_GIVES_STATUS | LOG_GIVES_BYTES | LOG_GIVES_TIME);
}

// Only names that look like host names become rows, however long the
// ServerName or whatever a log line holds; the rest count for the server.
TEST_F(AccessLogTest, RowsAreNamedOnlyLikeHosts) {
  const std::string d = dir.path();
  const std::string longName = std::string(236, 'x') + ".org";
  const int paged = paged_server("Module Name: core.c\nIn file: /etc/h.conf\n"
                                 "  1: &lt;VirtualHost *:80&gt;\n"
                                 "  2:   ServerName " +
                                 longName +
                                 "\n"
                                 "    : &lt;/VirtualHost&gt;\n"
                                 "  3: &lt;VirtualHost *:80&gt;\n"
                                 "  4:   ServerName short.test\n"
                                 "    : &lt;/VirtualHost&gt;\n"
                                 "Module Name: mod_log_config.c\nIn file: /etc/h.conf\n"
                                 "  1: &lt;VirtualHost *:80&gt;\n"
                                 "  2:   CustomLog " +
                                 d +
                                 "/long_log common\n"
                                 "    : &lt;/VirtualHost&gt;\n"
                                 "  3: &lt;VirtualHost *:80&gt;\n"
                                 "  4:   CustomLog " +
                                 d +
                                 "/short_log common\n"
                                 "    : &lt;/VirtualHost&gt;\n");
  const std::string named = dir.file("named_log");
  append(d + "/long_log", "");
  append(d + "/short_log", "");
  append(named, "");
  const int plain = server(named, "%v");
  refresh();
  append(d + "/long_log", kCommonLine);
  append(d + "/short_log", kCommonLine);
  const std::string hundred = std::string(96, 'h') + ".org";
  append(named,
         "user::19000:0:99999:7:::\nroot:$6$s/a$h:19000:0:99999:7:::\na/b\n$x\n*\n"
         "-lead.test\n.dot.test\na b\nhost!\n[::1]:80\n[::1]\ngood.test\nunder_score.test\n" +
             hundred + "\nx" + hundred + "\n");
  refresh();
  EXPECT_EQ(summary(paged).counters->lines, 2u);
  EXPECT_EQ(summary(plain).counters->lines, 15u);
  std::vector<std::string> rows = {"[::1]", "good.test", "under_score.test", hundred};
  rows.insert(paged < plain ? rows.begin() : rows.end(), "short.test");
  EXPECT_EQ(walk_hosts(), rows);
  EXPECT_EQ(get(vhost_column(2), host_index(plain, hundred)).text(), hundred);
  EXPECT_EQ(get(vhost_column(3), host_index(paged, "short.test")).counter, 1u);
}

// With the descriptor limit far below the number of logs, every log is
// counted and descriptors remain for the page fetches.
TEST_F(AccessLogTest, ThousandsOfLogsUnderALowDescriptorLimit) {
  constexpr int kLogs = 5000;
  const std::string d = dir.path();
  std::string page = "Module Name: mod_log_config.c\nIn file: /etc/h.conf\n";
  for (int i = 0; i < kLogs; ++i) {
    const std::string log = d + "/log" + std::to_string(i);
    append(log, "");
    page += "  1: CustomLog " + log + " common env=e" + std::to_string(i) + "\n";
  }
  // In a child, so that the lower limit stays there.
  auto count = [&]() -> int {
    const rlimit low = {256, 256};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) {
      return 3;
    }
    const int port = paged_server(page);
    refresh();
    for (int i = 0; i < kLogs; ++i) {
      append(d + "/log" + std::to_string(i), kCommonLine);
    }
    refresh();
    const LogSummary s = summary(port);
    std::fprintf(stderr, "files %u unread %u lines %llu state %s\n", s.files, s.unreadable,
                 static_cast<unsigned long long>(s.counters->lines), s.state);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
      return 2;
    }
    close(fd);
    return s.files == kLogs && s.unreadable == 0 && s.counters->lines == kLogs ? 0 : 1;
  };
  EXPECT_EXIT(std::_Exit(count()), ::testing::ExitedWithCode(0), "");
}

TEST_F(AccessLogTest, ALogThatCannotBeReadIsSaidSo) {
  const std::string log = dir.file("gone");
  std::filesystem::create_directory(log);
  const std::vector<uint32_t> row = {static_cast<uint32_t>(server(log, "%h %>s %b"))};
  refresh();
  EXPECT_EQ(get(log_column(2), row).integer(), 1);
  EXPECT_EQ(get(log_column(3), row).integer(), 1);
  EXPECT_EQ(get(log_column(4), row).text(), log + ": not a regular file");
  // Said once in the agent's log, and once more when it is read again.
  std::filesystem::remove(log);
  append(log, "");
  refresh();
  refresh();
  std::vector<std::string> said;
  for (const fake_varnock::LogLine &line : fake_varnock::log()) {
    if (line.text.find("access log") != std::string::npos) {
      said.push_back(line.text);
    }
  }
  EXPECT_EQ(said, (std::vector<std::string>{"ostrik: access log " + log +
                                                " is not read: not a regular file",
                                            "ostrik: access log " + log + " is read again"}));
}

} // namespace

// The checkpoint reads back exactly what was written, and refuses whole a
// file damaged anywhere, cut short, or of another version.
TEST(LogCheckpointText, ReadsBackWhatWasWrittenAndRefusesDamage) {
  LogSavedServer server;
  server.port = 8080;
  server.since = 1790000000;
  server.total.lines = 18446744073709551615ull;
  server.total.atOrBelow[10] = 7;
  server.total.gives = 5;
  LogTailPosition at;
  at.known = true;
  at.volume = 2049;
  at.index = 77;
  at.offset = 1234;
  at.signature = std::string("a line\n\0 \xff", 11);
  at.partial = 3;
  server.files.push_back(LogSavedFile{"/var/log/with space/access.log", "", at});
  server.vhosts.push_back(LogSavedHost{"alpha.test", 1790000001, server.total});
  const std::string text = log_checkpoint_encode({server, LogSavedServer{}});

  std::vector<LogSavedServer> back;
  ASSERT_TRUE(log_checkpoint_decode(text, &back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(log_checkpoint_encode(back), text);
  EXPECT_EQ(back[0].files.at(0).path, "/var/log/with space/access.log");
  EXPECT_EQ(back[0].files[0].at.signature, at.signature);
  EXPECT_EQ(back[0].vhosts.at(0).counters.lines, server.total.lines);

  for (size_t i = 0; i < text.size(); i += 7) {
    std::string damaged = text;
    damaged[i] = damaged[i] == '1' ? '2' : '1';
    EXPECT_FALSE(log_checkpoint_decode(damaged, &back)) << "byte " << i;
  }
  EXPECT_FALSE(log_checkpoint_decode(text.substr(0, text.size() / 2), &back));
  EXPECT_FALSE(log_checkpoint_decode("", &back));
  std::string other = text;
  other.replace(other.find(" 1\n"), 3, " 2\n");
  EXPECT_FALSE(log_checkpoint_decode(other, &back));
}
