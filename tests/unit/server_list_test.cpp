#include "config/server_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake_varnock.h"

namespace {

class ServerListTest : public ::testing::Test {
protected:
  void SetUp() override {
    fake_varnock::reset();
    free_server_list();
  }
  void TearDown() override { free_server_list(); }

  static void add_ports(const std::vector<int32_t> &ports) {
    for (int32_t port : ports) {
      ASSERT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1) << port;
    }
  }

  // The ports in list order, checking on the way that every prev link points
  // back to the entry before.
  static std::vector<int32_t> chain() {
    std::vector<int32_t> ports;
    const ServerEntry *before = nullptr;
    for (const ServerEntry *e = server_list; e != nullptr; e = e->next) {
      EXPECT_EQ(e->prev, before) << "prev link of port " << e->port;
      ports.push_back(e->port);
      before = e;
    }
    return ports;
  }

  static bool all_zero(const void *bytes, size_t size) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < size; ++i) {
      if (p[i] != 0) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(ServerListTest, EntriesAreChainedInPortOrderWhateverTheOrderAdded) {
  add_ports({888, 80, 443});
  EXPECT_EQ(chain(), (std::vector<int32_t>{80, 443, 888}));

  add_ports({8080, 1, 444});
  EXPECT_EQ(chain(), (std::vector<int32_t>{1, 80, 443, 444, 888, 8080}));
}

TEST_F(ServerListTest, NewServerRefusesBadAndListedPortsAndLeavesTheListAlone) {
  add_ports({80, 443});
  for (int32_t port : {0, -1, -80, INT32_MIN, 80, 443}) {
    EXPECT_EQ(new_server(port), nullptr) << port;
    EXPECT_EQ(add_server(port, "u", "p", 5, "x"), -1) << port;
  }
  EXPECT_EQ(chain(), (std::vector<int32_t>{80, 443}));
  EXPECT_EQ(find_server(80)->fileCheckInterval, 0);
}

TEST_F(ServerListTest, NewServerGivesAZeroedUnlinkedEntry) {
  add_ports({80});
  ServerEntry *entry = new_server(70000);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->port, 70000);
  ServerEntry copy = *entry;
  copy.port = 0;
  EXPECT_TRUE(all_zero(&copy, sizeof copy));
  EXPECT_EQ(find_server(70000), nullptr) << "not linked before insert_server";
  EXPECT_EQ(insert_server(entry), 1);
  EXPECT_EQ(chain(), (std::vector<int32_t>{80, 70000}));
}

TEST_F(ServerListTest, InsertServerRefusesNull) {
  EXPECT_EQ(insert_server(nullptr), -1);
  EXPECT_EQ(server_list, nullptr);
}

TEST_F(ServerListTest, AddServerFillsOnlyTheConfiguredFields) {
  ASSERT_EQ(add_server(8080, "admin", "secret", 3600, "YWRtaW46c2VjcmV0"), 1);
  ServerEntry *entry = find_server(8080);
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->user, "admin");
  EXPECT_STREQ(entry->password, "secret");
  EXPECT_STREQ(entry->credentials, "YWRtaW46c2VjcmV0");
  EXPECT_EQ(entry->fileCheckInterval, 3600);

  ServerEntry rest = *entry;
  rest.port = 0;
  rest.fileCheckInterval = 0;
  std::memset(rest.user, 0, sizeof rest.user);
  std::memset(rest.password, 0, sizeof rest.password);
  std::memset(rest.credentials, 0, sizeof rest.credentials);
  EXPECT_TRUE(all_zero(&rest, sizeof rest)) << "every other field stays zero";
  // The fields' tails stay zero too.
  EXPECT_TRUE(all_zero(entry->user + 5, sizeof entry->user - 5));
}

TEST_F(ServerListTest, AddServerCutsUserAndPasswordTo127AndKeepsCredentialsWhole) {
  const std::string long_user(200, 'u');
  const std::string long_password(128, 'p');
  const std::string credentials(128, 'c');
  ASSERT_EQ(add_server(80, long_user.c_str(), long_password.c_str(), 0, credentials.c_str()), 1);
  const ServerEntry *entry = find_server(80);
  EXPECT_EQ(std::string(entry->user), std::string(127, 'u'));
  EXPECT_EQ(std::string(entry->password), std::string(127, 'p'));
  EXPECT_EQ(std::string(entry->credentials), credentials);

  // Anything longer than the credentials field holds is cut, never overrun.
  const std::string too_long(300, 'c');
  ASSERT_EQ(add_server(81, "u", "p", 0, too_long.c_str()), 1);
  EXPECT_EQ(std::string(find_server(81)->credentials), std::string(128, 'c'));
}

TEST_F(ServerListTest, AddServerTakesNullTextsAsEmpty) {
  ASSERT_EQ(add_server(80, nullptr, nullptr, 0, nullptr), 1);
  EXPECT_STREQ(find_server(80)->user, "");
  EXPECT_STREQ(find_server(80)->credentials, "");
}

TEST_F(ServerListTest, LookupsOnAnEmptyList) {
  EXPECT_EQ(find_server(80), nullptr);
  EXPECT_EQ(find_next_server(0), nullptr);
}

TEST_F(ServerListTest, LookupsWhileThePortsAreAscending) {
  add_ports({80, 443, 8080});
  struct Case {
    int32_t argument;
    int32_t exact;     // port found by find_server, 0 for none
    int32_t following; // port found by find_next_server, 0 for none
  };
  const Case cases[] = {
      {0, 0, 80},      {-1, 0, 80},     {INT32_MIN, 0, 80}, {79, 0, 80},
      {80, 80, 443},   {81, 0, 443},    {442, 0, 443},      {443, 443, 8080},
      {8079, 0, 8080}, {8080, 8080, 0}, {8081, 0, 0},       {INT32_MAX, 0, 0},
  };
  for (const Case &c : cases) {
    const ServerEntry *exact = find_server(c.argument);
    const ServerEntry *following = find_next_server(c.argument);
    EXPECT_EQ(exact != nullptr ? exact->port : 0, c.exact) << c.argument;
    EXPECT_EQ(following != nullptr ? following->port : 0, c.following) << c.argument;
  }
}

TEST_F(ServerListTest, LookupsFollowListOrderAfterAPortIsRewrittenInPlace) {
  add_ports({80, 443});
  ServerEntry *first = server_list;
  ServerEntry *second = first->next;
  first->port = 900; // as the server-info refresh does when the server reports another port

  EXPECT_EQ(find_next_server(0), first);
  EXPECT_EQ(find_next_server(900), nullptr) << "443 follows 900 in the list but is not greater";
  EXPECT_EQ(find_next_server(100), first);
  EXPECT_EQ(find_server(80), nullptr);
  EXPECT_EQ(find_server(900), first);
  EXPECT_EQ(find_server(443), second);
  EXPECT_EQ(chain(), (std::vector<int32_t>{900, 443})) << "the list is never re-sorted";
}

TEST_F(ServerListTest, InsertingAfterARewriteStopsAtTheFirstGreaterOrEqualPort) {
  add_ports({80, 443});
  server_list->port = 900;
  // 500 walks past nothing: the first entry (900) is already greater.
  add_ports({500});
  EXPECT_EQ(chain(), (std::vector<int32_t>{500, 900, 443}));
  // 1000 is greater than every port: it goes to the end.
  add_ports({1000});
  EXPECT_EQ(chain(), (std::vector<int32_t>{500, 900, 443, 1000}));
  // The old port 80 is free again once no entry carries it.
  add_ports({80});
  EXPECT_EQ(chain(), (std::vector<int32_t>{80, 500, 900, 443, 1000}));
}

TEST_F(ServerListTest, DuplicatePortsAfterARewriteAreBothWalked) {
  add_ports({80, 443});
  server_list->port = 443;
  EXPECT_EQ(find_server(443), server_list) << "the first in list order wins";
  EXPECT_EQ(find_next_server(442), server_list);
  EXPECT_EQ(new_server(443), nullptr);
}

} // namespace
