#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "collect/pages/page_refresh.h"
#include "config/server_list.h"
#include "module/ostrik.h"
#include "module/row_protocol.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/scripted_server.h"

namespace {

constexpr uint32_t kTable[] = {1, 3, 6, 1, 4, 1, 32473, 16, 3, 10, 1};
constexpr int kConfigFirst = OSTRIK_SCALAR_COUNT; // index of column 1's descriptor

using testsupport::fake_now;

MibVariable *column(int magic) { return &ostrik_variables[kConfigFirst + magic - 1]; }

// An OID under the configuration table's entry: 1.3.6.1.4.1.32473.16.3.10.1 + arcs.
std::vector<uint32_t> under_entry(std::vector<uint32_t> arcs) {
  std::vector<uint32_t> oid(std::begin(kTable), std::end(kTable));
  oid.insert(oid.end(), arcs.begin(), arcs.end());
  return oid;
}

using testsupport::Answer;

// One handler call with the request OID; valueLength stays -7 unless the
// handler writes it.
Answer ask(int magic, std::vector<uint32_t> request, bool exact, MibVariable *var = nullptr) {
  return testsupport::ask(var != nullptr ? var : column(magic), request, exact, -7);
}

class ConfigTableTest : public ::testing::Test {
protected:
  ServerEntry *old = nullptr;    // port 80, generation 1
  ServerEntry *modern = nullptr; // port 443, generation 2

  void SetUp() override {
    testsupport::fresh_module(1000000);
    // A refresh on the empty list sets the gate, so that the rows below are
    // answered as stored for the next 300 seconds.
    refresh_server_info();
    ASSERT_EQ(add_server(443, "u", "p", 0, "dTpw"), 1);
    ASSERT_EQ(add_server(80, "u", "p", 0, "dTpw"), 1);
    old = find_server(80);
    modern = find_server(443);
    std::strcpy(old->version, "Apache/1.3.41");
    std::strcpy(old->runMode, "standalone");
    std::strcpy(modern->version, "Apache/2.4.71");
    std::strcpy(modern->runMode, "leftover");
  }
  void TearDown() override { testsupport::leave_module(); }
};

TEST_F(ConfigTableTest, GetNextWalksAColumnInPortOrder) {
  Answer a = ask(1, under_entry({1}), false);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.oid, under_entry({1, 80}));
  EXPECT_EQ(a.integer(), 80);
  EXPECT_EQ(a.valueLength, 4);
  EXPECT_EQ(a.writeMethod, nullptr);

  a = ask(1, under_entry({1, 80}), false);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.oid, under_entry({1, 443}));
  EXPECT_EQ(a.integer(), 443);

  a = ask(1, under_entry({1, 443}), false);
  EXPECT_EQ(a.value, nullptr);
  EXPECT_EQ(a.oid, under_entry({1, 443})) << "nothing written after the last row";
  EXPECT_EQ(a.valueLength, -7);
}

TEST_F(ConfigTableTest, GetNextIntoTheNextColumnStartsAtItsFirstRow) {
  const Answer a = ask(2, under_entry({1, 443}), false);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.oid, under_entry({2, 80}));
  EXPECT_EQ(a.text(), "Apache/1.3.41");
}

TEST_F(ConfigTableTest, RequestsWithoutAUsableIndexStartAtTheFirstRow) {
  const std::vector<std::vector<uint32_t>> requests = {
      under_entry({1, 80, 5}),              // one arc too many
      under_entry({}),                      // the entry
      {1, 3, 6, 1, 4, 1, 32473, 16, 3, 10}, // the table
      under_entry({1, 0x80000000u}),        // 2^31 reads as a negative index
      under_entry({1, 0xFFFFFFFFu}),        // -1
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    const Answer a = ask(1, requests[i], false);
    ASSERT_NE(a.value, nullptr) << i;
    EXPECT_EQ(a.oid, under_entry({1, 80})) << i;
  }
  // A port between two rows gives the higher one.
  EXPECT_EQ(ask(1, under_entry({1, 81}), false).oid, under_entry({1, 443}));
}

TEST_F(ConfigTableTest, GetAnswersOnlyAnExactPort) {
  const Answer a = ask(3, under_entry({7, 443}), true);
  ASSERT_NE(a.value, nullptr) << "a get reads the last arc only, not the column";
  EXPECT_EQ(a.oid, under_entry({3, 443}));

  for (uint32_t index : {81u, 0u, 0x80000000u, 0xFFFFFFFFu}) {
    const Answer miss = ask(1, under_entry({1, index}), true);
    EXPECT_EQ(miss.value, nullptr) << index;
    EXPECT_EQ(miss.oid, under_entry({1, index})) << index;
    EXPECT_EQ(miss.valueLength, -7) << index;
  }
  EXPECT_EQ(ask(1, under_entry({1, 80, 0}), true).value, nullptr) << "one arc too many";
  EXPECT_EQ(ask(1, under_entry({1}), true).value, nullptr) << "no index";
}

TEST_F(ConfigTableTest, RunModeByGeneration) {
  Answer a = ask(4, under_entry({4, 80}), true);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.text(), "standalone");
  a = ask(4, under_entry({4, 443}), true);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.text(), "N/A");
  EXPECT_EQ(a.valueLength, 3);
  old->runMode[0] = '\0';
  EXPECT_EQ(ask(4, under_entry({4, 80}), true).text(), "N/A");
}

TEST_F(ConfigTableTest, EveryColumnAnswersItsField) {
  ServerEntry *e = old;
  e->pid = 1234;
  std::strcpy(e->userName, "nobody(99)");
  std::strcpy(e->groupName, " ");
  std::strcpy(e->hostname, "webhost");
  int32_t *numbers[] = {&e->startProcs,         &e->minIdleProcs,        &e->maxIdleProcs,
                        &e->maxProcs,           &e->requestsMaxPerChild, &e->keepAlive,
                        &e->requestsMaxPerConn, &e->threadsPerChild,     &e->connectionTimeout,
                        &e->keepAliveTimeout};
  for (int i = 0; i < 10; ++i) {
    *numbers[i] = 100 + i;
  }
  std::strcpy(e->serverRoot, "/srv/root");
  std::strcpy(e->configFile, " conf/httpd.conf");
  std::strcpy(e->pidFile, "logs/httpd.pid");
  std::strcpy(e->scoreboardFile, "  ");
  std::strcpy(e->documentRoot, "/srv/htdocs");
  std::strcpy(e->accessLog, "logs/access_log");
  std::strcpy(e->errorLog, "logs/error_log");
  // scriptLog stays empty; the configured user, password and credentials are
  // never answered.

  const std::vector<std::string> texts = {"",           "Apache/1.3.41", "",       "standalone",
                                          "nobody(99)", "N/A",           "webhost"};
  const std::vector<std::string> paths = {
      "/srv/root",   " conf/httpd.conf", "logs/httpd.pid", "  ",
      "/srv/htdocs", "logs/access_log",  "logs/error_log", "N/A"};
  for (int magic = 1; magic <= OSTRIK_CONFIG_COLUMNS; ++magic) {
    const Answer a = ask(magic, under_entry({static_cast<uint32_t>(magic), 80}), true);
    ASSERT_NE(a.value, nullptr) << magic;
    EXPECT_EQ(a.oid, under_entry({static_cast<uint32_t>(magic), 80})) << magic;
    const bool integer = column(magic)->type == VARNOCK_TYPE_INTEGER;
    if (magic == 1) {
      EXPECT_EQ(a.integer(), 80);
    } else if (magic == 3) {
      EXPECT_EQ(a.integer(), 1234);
    } else if (magic >= 8 && magic <= 17) {
      ASSERT_TRUE(integer) << magic;
      EXPECT_EQ(a.integer(), 100 + magic - 8) << magic;
      EXPECT_EQ(a.valueLength, 4);
    } else {
      ASSERT_FALSE(integer) << magic;
      const std::string want = magic < 8 ? texts.at(magic - 1) : paths.at(magic - 18);
      EXPECT_EQ(a.text(), want) << magic;
      EXPECT_EQ(a.valueLength, static_cast<int32_t>(want.size())) << magic;
    }
  }
}

TEST_F(ConfigTableTest, RowBeforeAnyFetchAnswersNAAndZero) {
  EXPECT_EQ(ask(7, under_entry({7, 443}), true).text(), "N/A");
  EXPECT_EQ(ask(8, under_entry({8, 443}), true).integer(), 0);
  EXPECT_EQ(ask(3, under_entry({3, 443}), true).integer(), 0);
}

TEST_F(ConfigTableTest, ColumnOutsideTheTableWritesTheOidButAnswersNothing) {
  MibVariable extra = *column(25);
  extra.magic = 26;
  extra.oid[11] = 26;
  const Answer a = ask(0, under_entry({26, 80}), true, &extra);
  EXPECT_EQ(a.value, nullptr);
  EXPECT_EQ(a.oid, under_entry({26, 80}));
  EXPECT_EQ(a.valueLength, 4);
  EXPECT_EQ(a.writeMethod, nullptr);
}

TEST_F(ConfigTableTest, RowsFollowListOrderWhenAPortWasRewritten) {
  // Should a port ever be rewritten in place, the entry keeps its place in
  // the list and the lookups keep to list order.
  old->port = 900;
  EXPECT_EQ(find_next_server(0), old);
  EXPECT_EQ(find_next_server(900), nullptr) << "the entry for 443 stands behind 900";
  EXPECT_EQ(find_next_server(500), old);
  EXPECT_EQ(find_server(80), nullptr);
  EXPECT_EQ(find_server(443), modern);

  EXPECT_EQ(ask(1, under_entry({1, 80}), true).value, nullptr);
  const Answer first = ask(1, under_entry({1}), false);
  EXPECT_EQ(first.oid, under_entry({1, 900}));
  EXPECT_EQ(first.integer(), 900);
  EXPECT_EQ(ask(1, under_entry({1, 900}), false).value, nullptr);
}

TEST_F(ConfigTableTest, EmptyListAnswersNothing) {
  free_server_list();
  EXPECT_EQ(ask(1, under_entry({1}), false).value, nullptr);
  EXPECT_EQ(ask(1, under_entry({1, 80}), true).value, nullptr);
}

TEST_F(ConfigTableTest, FailedRefreshAnswersNothing) {
  uint32_t oid[VARNOCK_MAX_OID_LEN] = {};
  const std::vector<uint32_t> request = under_entry({1});
  std::copy(request.begin(), request.end(), oid);
  int32_t length = static_cast<int32_t>(request.size());
  int32_t valueLength = -7;
  void *writeMethod = &length;
  EXPECT_EQ(table_row(column(1), oid, &length, 0, &valueLength, &writeMethod, [] { return -1; }),
            nullptr);
  EXPECT_EQ(length, static_cast<int32_t>(request.size()));
  EXPECT_EQ(valueLength, -7);
  EXPECT_EQ(writeMethod, &length);
}

TEST_F(ConfigTableTest, GetsWithin300SecondsFetchThePageOnce) {
  free_server_list();
  server_info_reset_for_tests();
  testsupport::ScriptedServer server(
      testsupport::ScriptedServer::whole("HTTP/1.0 200 OK\r\n\r\nServer Version: Apache/2.4.9 "
                                         "(Unix)<br>Hostname/port: webhost:80<br>"),
      testsupport::ScriptedServer::End::Close, 5);
  ASSERT_EQ(add_server(server.port(), "u", "p", 0, "dTpw"), 1);
  const uint32_t port = static_cast<uint32_t>(server.port());

  // The status pages go out with the info pages when due: count these.
  auto info_requests = [&] {
    const auto all = server.requests();
    return std::count_if(all.begin(), all.end(), [](const std::string &request) {
      return request.find("GET /server-info ") != std::string::npos;
    });
  };
  Answer a = ask(2, under_entry({2, port}), true);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.text(), "Apache/2.4.9");
  fake_now += 299;
  a = ask(2, under_entry({2, port}), true);
  ASSERT_NE(a.value, nullptr) << "the row stays at the port it is reached on";
  EXPECT_EQ(info_requests(), 1);
  fake_now += 1;
  a = ask(7, under_entry({7, port}), true);
  ASSERT_NE(a.value, nullptr);
  EXPECT_EQ(a.text(), "webhost");
  EXPECT_EQ(info_requests(), 2);
}

} // namespace
