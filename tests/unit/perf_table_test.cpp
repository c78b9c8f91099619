// The server performance table: its columns, its two sums, its walk and its
// one log line, answered through var_apacheperf as the agent calls it; and
// the Apache 2.4 and health tables beside it, through their handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "collect/pages/page_refresh.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::ScriptedServer;

constexpr int kFirstPerf = OSTRIK_SCALAR_COUNT + OSTRIK_CONFIG_COLUMNS + OSTRIK_FOOTPRINT_COLUMNS;
constexpr uint32_t kColumnPrefix[] = {1, 3, 6, 1, 4, 1, 32473, 16, 3, 11, 2, 1};
constexpr int kPrefixLength = 12;

using testsupport::fake_now;

MibVariable *column(int magic) { return &ostrik_variables[kFirstPerf + magic - 1]; }

using testsupport::Answer;
using testsupport::ask;

std::vector<uint32_t> instance(int magic, uint32_t port) {
  std::vector<uint32_t> oid(kColumnPrefix, kColumnPrefix + kPrefixLength);
  oid.push_back(static_cast<uint32_t>(magic));
  oid.push_back(port);
  return oid;
}

class PerfTable : public ::testing::Test {
protected:
  void SetUp() override { testsupport::fresh_module(1000000); }
  void TearDown() override { testsupport::leave_module(); }

  // Three rows, in ascending port order.
  std::vector<ServerEntry *> add_idle_rows() {
    std::vector<ServerEntry *> rows;
    for (int i = 0; i < 3; ++i) {
      rows.push_back(add_idle_row());
    }
    std::sort(rows.begin(), rows.end(),
              [](const ServerEntry *a, const ServerEntry *b) { return a->port < b->port; });
    return rows;
  }

  // A row on a port where nothing listens: its fetches fail and it answers
  // what the test stores in it.
  ServerEntry *add_idle_row() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      const int port = testsupport::free_tcp_port();
      if (find_server(port) == nullptr && add_server(port, "u", "p", 0, "dTpw") == 1) {
        return find_server(port);
      }
    }
    ADD_FAILURE() << "no free port";
    return nullptr;
  }

  // Runs the one refresh of this clock second now, so that the handler calls
  // that follow answer the stored values and log nothing of their own.
  void settle() {
    refresh_server_status();
    fake_varnock::clear_log();
  }
};

TEST_F(PerfTable, EveryColumnAnswersItsFieldUnderTheRowsPort) {
  ServerEntry *row = add_idle_row();
  ASSERT_NE(row, nullptr);
  settle();
  row->uptime = 600;
  row->totalAccesses = 152;
  row->totalKBytes = 881;
  row->busyWorkers = 99; // enters neither sum
  row->idleWorkers = 5;
  row->startingCount = 1;
  row->readingCount = 2;
  row->replyingCount = 3;
  row->keepAliveCount = 4;
  row->dnsCount = 0;
  row->loggingCount = 0;
  row->finishingCount = 1;

  const int32_t expected[] = {row->port, 600, 152, 881, 99, 5, 1, 2, 3, 4, 0, 0, 1, 16, 11};
  for (int magic = 1; magic <= OSTRIK_PERF_COLUMNS; ++magic) {
    SCOPED_TRACE(column(magic)->name);
    const Answer a = ask(column(magic), instance(magic, row->port), true);
    ASSERT_NE(a.value, nullptr);
    EXPECT_EQ(a.value, reinterpret_cast<unsigned char *>(&value_int));
    EXPECT_EQ(a.integer(), expected[magic - 1]);
    EXPECT_EQ(a.valueLength, 4);
    EXPECT_EQ(a.writeMethod, nullptr);
    EXPECT_EQ(a.oid, instance(magic, row->port));
  }
  EXPECT_TRUE(fake_varnock::log().empty());
}

TEST_F(PerfTable, TheSumsWrapAt32Bits) {
  ServerEntry *row = add_idle_row();
  ASSERT_NE(row, nullptr);
  settle();
  struct Case {
    int32_t idle, s, r, w, k, d, l, g;
    int32_t total, busy; // columns 14 and 15
  } cases[] = {
      {INT32_MAX, 1, 0, 0, 0, 0, 0, 0, INT32_MIN, 1},
      {0, INT32_MAX, 0, 2, 0, 0, 0, 0, INT32_MIN + 1, INT32_MIN + 1},
      {1, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX,
       INT32_MAX - 6 + 1, INT32_MAX - 6},
      {INT32_MIN, -1, 0, 0, 0, 0, 0, 0, INT32_MAX, -1},
  };
  for (const Case &c : cases) {
    row->idleWorkers = c.idle;
    row->startingCount = c.s;
    row->readingCount = c.r;
    row->replyingCount = c.w;
    row->keepAliveCount = c.k;
    row->dnsCount = c.d;
    row->loggingCount = c.l;
    row->finishingCount = c.g;
    const Answer total = ask(column(14), instance(14, row->port), true);
    const Answer busy = ask(column(15), instance(15, row->port), true);
    ASSERT_NE(total.value, nullptr);
    EXPECT_EQ(total.integer(), c.total) << c.idle << " " << c.s;
    ASSERT_NE(busy.value, nullptr);
    EXPECT_EQ(busy.integer(), c.busy) << c.idle << " " << c.s;
  }
}

TEST_F(PerfTable, ABadMagicAnswersNullWithOneLogLine) {
  ServerEntry *row = add_idle_row();
  ASSERT_NE(row, nullptr);
  settle();
  for (int magic : {0, 16, 255}) {
    fake_varnock::clear_log();
    MibVariable bad = *column(15);
    bad.magic = static_cast<uint8_t>(magic);
    const Answer a = ask(&bad, instance(15, row->port), true);
    EXPECT_EQ(a.value, nullptr) << magic;
    ASSERT_EQ(fake_varnock::log().size(), 1u) << magic;
    EXPECT_EQ(fake_varnock::log()[0].level, VARNOCK_LOG_DEBUG);
    EXPECT_EQ(fake_varnock::log()[0].text, "var_apacheperf: bad magic value");
    // The row was found: its OID and lengths stay written.
    EXPECT_EQ(a.oid, instance(15, row->port));
    EXPECT_EQ(a.valueLength, 4);
    EXPECT_EQ(a.writeMethod, nullptr);
  }
}

TEST_F(PerfTable, NoRowAnswersNullAndLogsNothing) {
  ServerEntry *row = add_idle_row();
  ASSERT_NE(row, nullptr);
  settle();
  const Answer get = ask(column(2), instance(2, row->port + 1), true);
  EXPECT_EQ(get.value, nullptr);
  EXPECT_EQ(get.oid, instance(2, row->port + 1)); // nothing written
  EXPECT_EQ(get.valueLength, -1);
  const Answer past = ask(column(2), instance(2, row->port), false);
  EXPECT_EQ(past.value, nullptr);
  EXPECT_TRUE(fake_varnock::log().empty());
}

TEST_F(PerfTable, AGetNextWalkVisitsTheRowsInAscendingPortOrder) {
  std::vector<uint32_t> ports;
  for (int i = 0; i < 3; ++i) {
    ServerEntry *row = add_idle_row();
    ASSERT_NE(row, nullptr);
    ports.push_back(static_cast<uint32_t>(row->port));
  }
  std::sort(ports.begin(), ports.end());
  settle();
  for (uint32_t port : ports) {
    find_server(static_cast<int32_t>(port))->finishingCount = static_cast<int32_t>(port % 1000);
  }

  // From the column's own OID (no index), as a walk starts.
  std::vector<uint32_t> request(kColumnPrefix, kColumnPrefix + kPrefixLength);
  request.push_back(15);
  std::vector<uint32_t> visited;
  for (int step = 0; step < 10; ++step) {
    const Answer a = ask(column(15), request, false);
    if (a.value == nullptr) {
      break;
    }
    ASSERT_EQ(a.oid.size(), 14u);
    visited.push_back(a.oid.back());
    EXPECT_EQ(a.integer(), static_cast<int32_t>(a.oid.back() % 1000));
    request = a.oid;
  }
  EXPECT_EQ(visited, ports);

  // Carried on into the next column, the walk starts that column again.
  const Answer next = ask(column(1), instance(15, ports.back()), false);
  ASSERT_NE(next.value, nullptr);
  EXPECT_EQ(next.oid, instance(1, ports.front()));
  EXPECT_EQ(next.integer(), static_cast<int32_t>(ports.front()));
}

TEST_F(PerfTable, ARowNeverLoadedAnswersZeroButItsPort) {
  ServerEntry *row = add_idle_row();
  ASSERT_NE(row, nullptr);
  for (int magic = 1; magic <= OSTRIK_PERF_COLUMNS; ++magic) {
    const Answer a = ask(column(magic), instance(magic, row->port), true);
    ASSERT_NE(a.value, nullptr) << magic;
    EXPECT_EQ(a.integer(), magic == 1 ? row->port : 0) << magic;
  }
}

TEST_F(PerfTable, RequestsWithinTenSecondsFetchTheStatusPageOnce) {
  const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
                             "Total Accesses: 152\nUptime: 600\nScoreboard: WW_K\n";
  ScriptedServer server(ScriptedServer::whole(answer), ScriptedServer::End::Close, 8);
  ASSERT_EQ(add_server(server.port(), "u", "p", 0, "dTpw"), 1);
  auto status_fetches = [&] {
    int n = 0;
    for (const std::string &request : server.requests()) {
      n += request.rfind("GET /server-status?auto ", 0) == 0 ? 1 : 0;
    }
    return n;
  };
  const uint32_t port = static_cast<uint32_t>(server.port());

  const Answer first = ask(column(2), instance(2, port), true);
  ASSERT_NE(first.value, nullptr);
  EXPECT_EQ(first.integer(), 600);
  EXPECT_EQ(status_fetches(), 1);

  fake_now += 9;
  find_server(server.port())->uptime = 7; // stands for a change since the fetch
  const Answer second = ask(column(2), instance(2, port), true);
  EXPECT_EQ(second.integer(), 7); // served from the entry, not fetched again
  EXPECT_EQ(ask(column(9), instance(9, port), true).integer(), 2);
  EXPECT_EQ(status_fetches(), 1);

  fake_now += 1;
  EXPECT_EQ(ask(column(2), instance(2, port), true).integer(), 600);
  EXPECT_EQ(status_fetches(), 2);
}

// --- the Apache 2.4 and health tables ---------------------------------------

constexpr uint32_t kPerfExtTable = 12;
constexpr uint32_t kHealthTable = 13;

MibVariable *ext_column(uint32_t table, int magic) {
  return &ostrik_ext_variables[(table == kPerfExtTable ? 0 : OSTRIK_PERF_EXT_COLUMNS) + magic - 1];
}

std::vector<uint32_t> ext_instance(uint32_t table, int magic, uint32_t port) {
  return {1, 3, 6, 1, 4, 1, 32473, 16, 3, table, 1, static_cast<uint32_t>(magic), port};
}

// The rows a get-next walk of a column visits, from the column's own OID.
std::vector<uint32_t> walk_column(uint32_t table, int magic) {
  std::vector<uint32_t> request = ext_instance(table, magic, 0);
  request.pop_back();
  std::vector<uint32_t> visited;
  for (int step = 0; step < 10; ++step) {
    const Answer a = ask(ext_column(table, magic), request, false);
    if (a.value == nullptr) {
      break;
    }
    visited.push_back(a.oid.back());
    request = a.oid;
  }
  return visited;
}

TEST_F(PerfTable, Apache24ColumnsAnswerWhatThePageHadInTheirTypes) {
  const std::vector<ServerEntry *> rows = add_idle_rows();
  settle();
  // The first and last rows read an event page, the middle one a page
  // without the connection counts (prefork).
  for (ServerEntry *row : {rows[0], rows[2]}) {
    row->extras.present = (1u << (EXTRA_COUNT + 1)) - 1;
    std::snprintf(row->extras.mpm, sizeof row->extras.mpm, "event");
    row->extras.value[EXTRA_TOTAL_ACCESSES] = (1ull << 40) + 5;
    row->extras.value[EXTRA_CONNS_TOTAL] = 1ull << 33;
    row->extras.value[EXTRA_CONFIG_GENERATION] = 1ull << 31;
    row->extras.value[EXTRA_LOAD1] = 144;
  }
  rows[1]->extras.present = 1u << EXTRA_LOAD1;
  rows[1]->extras.value[EXTRA_LOAD1] = 7;
  const uint32_t port = static_cast<uint32_t>(rows[0]->port);

  const Answer accesses = ask(ext_column(kPerfExtTable, 3), ext_instance(12, 3, port), true);
  ASSERT_NE(accesses.value, nullptr);
  EXPECT_EQ(accesses.valueLength, 8);
  EXPECT_EQ(accesses.counter, (1ull << 40) + 5);
  EXPECT_EQ(accesses.oid, ext_instance(12, 3, port));
  const Answer mpm = ask(ext_column(kPerfExtTable, 2), ext_instance(12, 2, port), true);
  EXPECT_EQ(mpm.text(), "event");
  // A gauge holds at its largest value, an INTEGER at INT32_MAX.
  EXPECT_EQ(ask(ext_column(12, 13), ext_instance(12, 13, port), true).integer(), -1);
  EXPECT_EQ(ask(ext_column(12, 22), ext_instance(12, 22, port), true).integer(), INT32_MAX);
  EXPECT_EQ(ask(ext_column(12, 7), ext_instance(12, 7, port), true).integer(), 144);

  // The middle row has no connection count: a get answers nothing, a walk
  // passes over it; the port and the load it had answer in every row.
  const uint32_t middle = static_cast<uint32_t>(rows[1]->port);
  EXPECT_EQ(ask(ext_column(12, 13), ext_instance(12, 13, middle), true).value, nullptr);
  const std::vector<uint32_t> ends = {port, static_cast<uint32_t>(rows[2]->port)};
  const std::vector<uint32_t> all = {port, middle, ends[1]};
  EXPECT_EQ(walk_column(kPerfExtTable, 13), ends);
  EXPECT_EQ(walk_column(kPerfExtTable, 2), ends);
  EXPECT_EQ(walk_column(kPerfExtTable, 1), all);
  EXPECT_EQ(walk_column(kPerfExtTable, 7), all);
  rows[2]->extras.present = 0; // the last row's page has gone too
  EXPECT_EQ(walk_column(kPerfExtTable, 13), std::vector<uint32_t>{port});
}

TEST_F(PerfTable, HealthColumnsAnswerEachPagesLastFetch) {
  const std::vector<ServerEntry *> rows = add_idle_rows();
  settle();
  for (ServerEntry *row : rows) {
    row->statusHealth = {fake_now - 30, PAGE_TIMED_OUT, 0, 4};
    row->infoHealth = {0, PAGE_HTTP_ERROR, 401, 2};
  }
  rows[1]->infoHealth.lastRead = fake_now - 200;
  rows[2]->statusHealth.lastRead = fake_now + 100; // a clock set back since

  const uint32_t port = static_cast<uint32_t>(rows[0]->port);
  const int32_t expected[] = {rows[0]->port, 30, PAGE_TIMED_OUT, 0, 4, 0, PAGE_HTTP_ERROR, 401, 2};
  for (int magic = 1; magic <= OSTRIK_HEALTH_COLUMNS; ++magic) {
    SCOPED_TRACE(ext_column(kHealthTable, magic)->name);
    const Answer a = ask(ext_column(kHealthTable, magic), ext_instance(13, magic, port), true);
    if (magic == 6) {
      EXPECT_EQ(a.value, nullptr); // the info page was never read
      continue;
    }
    ASSERT_NE(a.value, nullptr);
    EXPECT_EQ(a.valueLength, 4);
    EXPECT_EQ(a.integer(), expected[magic - 1]);
  }
  const uint32_t last = static_cast<uint32_t>(rows[2]->port);
  EXPECT_EQ(ask(ext_column(13, 2), ext_instance(13, 2, last), true).integer(), 0);
  EXPECT_EQ(walk_column(kHealthTable, 6),
            std::vector<uint32_t>{static_cast<uint32_t>(rows[1]->port)});
  EXPECT_EQ(ask(ext_column(13, 6), ext_instance(13, 6, rows[1]->port), true).integer(), 200);
}

} // namespace
