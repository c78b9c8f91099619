#include "collect/pages/page_refresh.h"
#include "collect/pages/server_info.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "collect/pages/fetch_page.h"
#include "config/server_list.h"
#include "tests/support/fake_varnock.h"
#include "tests/support/module_harness.h"
#include "tests/support/module_state.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"

namespace {

using testsupport::ScriptedServer;
using testsupport::TempDir;
using testsupport::write_file;

using testsupport::fake_now;

// The settings block of an Apache 1.3 page, one item a line, as the text
// conversion leaves it, and a directive listing further down.
const char kGeneration1Page[] =
    "Server Version: Apache/1.3.41 (Unix)\n"
    "Run Mode: standalone\n"
    "User/Group: nobody(99)/99\n"
    "Hostname/port: webhost:80\n"
    "Daemons: start: 5  min idle: 5  max idle: 10  max: 256\n"
    "Max Requests: per child: 0  keep alive: on  max per connection: 100\n"
    "Threads: per child: 50\n"
    "Timeouts: connection: 300  keep-alive: 15\n"
    "Server Root: /usr/local/apache\n"
    "Config File: conf/httpd.conf\n"
    "PID File: logs/httpd.pid\n"
    "Scoreboard File: logs/apache_runtime_status\n"
    "DocumentRoot \"/usr/local/apache/htdocs\"\n"
    "ErrorLog logs/error_log\n"
    "TransferLog logs/access_log\n"
    "ScriptLog logs/cgi_log\n";

// An Apache 2.0 page: the settings lines and a directive listing in which
// each directive stands once as a description and once configured.
const char kGeneration2Page[] =
    "Server Version: Apache/2.0.59 (Unix)\n"
    "Hostname/port: webhost:8080\n"
    "Timeouts: connection: 300  keep-alive: 15\n"
    "MPM Information: Max Daemons: 150 Threaded: no Forked: yes\n"
    "Server Root: /usr/local/apache2\n"
    "Request Phase Participation: Verify User ID, Check Access\n"
    "User - Effective user id for this server\n"
    "Group - Effective group id for this server\n"
    "User daemon\n"
    "Group daemon\n"
    "StartServers - Number of child processes launched at server startup\n"
    "StartServers 5\n"
    "MaxRequestsPerChild 0\n"
    "KeepAlive - Whether persistent connections should be On or Off\n"
    "KeepAlive Off\n"
    "DocumentRoot \"/usr/local/apache2/htdocs\"\n"
    "ErrorLog logs/error_log\n"
    "CustomLog logs/access_log common\n";

class ServerInfoTest : public ::testing::Test {
protected:
  ServerEntry *entry = nullptr;

  void SetUp() override {
    testsupport::fresh_module(100000);
    entry = static_cast<ServerEntry *>(std::calloc(1, sizeof(ServerEntry)));
    entry->port = 8080;
  }
  void TearDown() override {
    std::free(entry);
    testsupport::leave_module();
  }

  void parse(const std::string &text) { parse_server_info(entry, text.c_str()); }
  // A generation 2 page: a version line first, then the given lines.
  void parse2(const std::string &lines) {
    parse("Server Version: Apache/2.4.71 (Debian)\n" + lines);
  }
};

TEST_F(ServerInfoTest, ReadsEveryFieldOfAGeneration1Page) {
  parse(kGeneration1Page);
  EXPECT_STREQ(entry->version, "Apache/1.3.41");
  EXPECT_EQ(server_generation(entry), 1);
  EXPECT_STREQ(entry->runMode, "standalone");
  EXPECT_STREQ(entry->userName, "nobody(99)");
  EXPECT_STREQ(entry->groupName, "99");
  EXPECT_STREQ(entry->hostname, "webhost");
  EXPECT_EQ(entry->port, 8080) << "the page's port does not move the entry";
  EXPECT_EQ(entry->startProcs, 5);
  EXPECT_EQ(entry->minIdleProcs, 5);
  EXPECT_EQ(entry->maxIdleProcs, 10);
  EXPECT_EQ(entry->maxProcs, 256);
  EXPECT_EQ(entry->requestsMaxPerChild, 0);
  EXPECT_EQ(entry->keepAlive, 1);
  EXPECT_EQ(entry->requestsMaxPerConn, 100);
  EXPECT_EQ(entry->threadsPerChild, 50);
  EXPECT_EQ(entry->connectionTimeout, 300);
  EXPECT_EQ(entry->keepAliveTimeout, 15);
  EXPECT_STREQ(entry->serverRoot, "/usr/local/apache");
  EXPECT_STREQ(entry->configFile, " conf/httpd.conf");
  EXPECT_STREQ(entry->pidFile, "logs/httpd.pid");
  EXPECT_STREQ(entry->scoreboardFile, "logs/apache_runtime_status");
  EXPECT_STREQ(entry->documentRoot, "/usr/local/apache/htdocs");
  EXPECT_STREQ(entry->errorLog, "logs/error_log");
  EXPECT_STREQ(entry->accessLog, "logs/access_log");
  EXPECT_STREQ(entry->scriptLog, "logs/cgi_log");
}

TEST_F(ServerInfoTest, ReadsAGeneration2PageWithItsDefaults) {
  std::strcpy(entry->runMode, "kept");
  std::strcpy(entry->configFile, "kept");
  std::strcpy(entry->scoreboardFile, "kept");
  std::strcpy(entry->scriptLog, "kept");
  parse(kGeneration2Page);
  EXPECT_EQ(server_generation(entry), 2);
  EXPECT_STREQ(entry->hostname, "webhost");
  EXPECT_EQ(entry->port, 8080);
  EXPECT_EQ(entry->connectionTimeout, 300);
  EXPECT_EQ(entry->keepAliveTimeout, 15);
  EXPECT_EQ(entry->maxProcs, 150);
  EXPECT_STREQ(entry->serverRoot, "/usr/local/apache2");
  EXPECT_STREQ(entry->userName, "daemon");
  EXPECT_STREQ(entry->groupName, "daemon");
  EXPECT_EQ(entry->startProcs, 5);
  EXPECT_EQ(entry->minIdleProcs, 5);
  EXPECT_EQ(entry->maxIdleProcs, 10);
  EXPECT_EQ(entry->requestsMaxPerChild, 0);
  EXPECT_EQ(entry->keepAlive, 0);
  EXPECT_EQ(entry->requestsMaxPerConn, 100);
  EXPECT_EQ(entry->threadsPerChild, 0);
  EXPECT_STREQ(entry->pidFile, "logs/httpd.pid");
  EXPECT_STREQ(entry->documentRoot, "/usr/local/apache2/htdocs");
  EXPECT_STREQ(entry->errorLog, "logs/error_log");
  EXPECT_STREQ(entry->accessLog, "logs/access_log");
  for (const char *kept :
       {entry->runMode, entry->configFile, entry->scoreboardFile, entry->scriptLog}) {
    EXPECT_STREQ(kept, "kept");
  }
}

TEST_F(ServerInfoTest, Generation2DefaultsReplaceEarlierValues) {
  parse2("StartServers 7\nMinSpareServers 8\nMaxSpareServers 9\n"
         "MPM Information: Max Daemons: 11 Threaded: yes\nMaxRequestsPerChild 12\n"
         "KeepAlive Off\nMaxKeepAliveRequests 13\nThreadsPerChild 14\nPidFile run/x.pid\n"
         "ScoreBoardFile run/sb\n");
  EXPECT_EQ(entry->startProcs, 7);
  EXPECT_EQ(entry->minIdleProcs, 8);
  EXPECT_EQ(entry->maxIdleProcs, 9);
  EXPECT_EQ(entry->maxProcs, 11);
  EXPECT_EQ(entry->requestsMaxPerChild, 12);
  EXPECT_EQ(entry->keepAlive, 0);
  EXPECT_EQ(entry->requestsMaxPerConn, 13);
  EXPECT_EQ(entry->threadsPerChild, 14);
  EXPECT_STREQ(entry->pidFile, "run/x.pid");

  parse2("nothing else\n");
  EXPECT_EQ(entry->startProcs, 0);
  EXPECT_EQ(entry->minIdleProcs, 5);
  EXPECT_EQ(entry->maxIdleProcs, 10);
  EXPECT_EQ(entry->maxProcs, 0);
  EXPECT_EQ(entry->requestsMaxPerChild, 10000);
  EXPECT_EQ(entry->keepAlive, 1);
  EXPECT_EQ(entry->requestsMaxPerConn, 100);
  EXPECT_EQ(entry->threadsPerChild, 0);
  EXPECT_STREQ(entry->pidFile, "logs/httpd.pid");
  EXPECT_STREQ(entry->scoreboardFile, "run/sb") << "the scoreboard file has no default";
}

TEST_F(ServerInfoTest, EarlierVersionDecidesTheGenerationWhenThePageHasNone) {
  std::strcpy(entry->version, "Apache/2.0.59");
  parse("Daemons: start: 3\nStartServers 4\n");
  EXPECT_EQ(entry->startProcs, 4) << "read with the generation 2 rules";
  EXPECT_EQ(entry->minIdleProcs, 5);

  std::strcpy(entry->version, "Apache/1.3.41");
  entry->minIdleProcs = 77;
  parse("Daemons: start: 3\nStartServers 4\n");
  EXPECT_EQ(entry->startProcs, 3);
  EXPECT_EQ(entry->minIdleProcs, 77) << "unchanged, not the default";
}

TEST_F(ServerInfoTest, Generation1LinesWithFewTokensSetOnlyWhatTheyHave) {
  entry->minIdleProcs = 77;
  entry->threadsPerChild = 33;
  parse("Server Version: Apache/1.3.41\nDaemons: start: 5\nThreads: none here\n");
  EXPECT_EQ(entry->startProcs, 5);
  EXPECT_EQ(entry->minIdleProcs, 77);
  EXPECT_EQ(entry->threadsPerChild, 33) << "no \"per child:\" in the Threads line";
}

TEST_F(ServerInfoTest, UserGroupBlankRules) {
  struct Case {
    const char *value;
    const char *user;
    const char *group;
  };
  const Case cases[] = {
      {"#-1(1)/1", " ", " "},
      {"apache(48)/100", "apache(48)", " "},
      {"www(33)/www1", "www(33)", " "},
      {"x#-1(1)y/33", " ", "33"},
      {"nobody(65534)/nogroup", "nobody(65534)", "nogroup"},
  };
  for (const Case &c : cases) {
    parse(std::string("User/Group: ") + c.value + "\n");
    EXPECT_STREQ(entry->userName, c.user) << c.value;
    EXPECT_STREQ(entry->groupName, c.group) << c.value;
  }
}

TEST_F(ServerInfoTest, UserAndGroupDirectivesApplyNoBlankRule) {
  // "User " is looked for only after the directive's description, so the
  // hook name before it is not read as a user.
  parse("Verify User ID, Check Access\nUser - Effective user id\nUser #-1(1)\nGroup 1\n");
  EXPECT_STREQ(entry->userName, "#-1(1)");
  EXPECT_STREQ(entry->groupName, "1");

  std::strcpy(entry->userName, "kept");
  parse("Verify User ID\nUser www-data\n");
  EXPECT_STREQ(entry->userName, "kept") << "no description: the row does nothing";
}

TEST_F(ServerInfoTest, QuoteRuleAndLogPaths) {
  struct Case {
    const char *line;
    const char *documentRoot;
  };
  const Case cases[] = {
      {"DocumentRoot \"/srv/my site/htdocs\"", "/srv/my site/htdocs"},
      {"DocumentRoot /srv/plain", "/srv/plain"},
      {"28:DocumentRoot /tmp/x/htdocs", "/tmp/x/htdocs"},
      {"DocumentRoot \"", ""},
      {"DocumentRoot \"\"", ""},
  };
  for (const Case &c : cases) {
    parse(std::string("DocumentRoot - Root directory of the document tree\n") + c.line + "\n");
    EXPECT_STREQ(entry->documentRoot, c.documentRoot) << c.line;
  }

  parse("CustomLog \"/srv/web logs/access.log\" common\nErrorLog \"|/usr/bin/rotate /l\"\n");
  EXPECT_STREQ(entry->accessLog, "/srv/web");
  EXPECT_STREQ(entry->errorLog, "|/usr/bin/rotate");

  // The one-word directive is preferred; the other label only without it.
  parse("Error Log: /var/log/err\nErrorLog logs/e\nScript Log: logs/s\n");
  EXPECT_STREQ(entry->errorLog, "logs/e");
  EXPECT_STREQ(entry->scriptLog, "logs/s");
  parse("TransferLog logs/t\nCustomLog logs/c common\n");
  EXPECT_STREQ(entry->accessLog, "logs/t");
}

TEST_F(ServerInfoTest, DriveLettersAreCutAtTheColonAndQuotesStay) {
  parse2("PidFile D:/apache/logs/httpd.pid\nScoreBoardFile C:/sb\n");
  EXPECT_STREQ(entry->pidFile, "D");
  EXPECT_STREQ(entry->scoreboardFile, "C");
  parse2("PidFile \"run/httpd.pid\"\n");
  EXPECT_STREQ(entry->pidFile, "\"run/httpd.pid\"");
  // The directory rows that take the rest of the line keep the drive.
  parse("Server Root: C:/Program Files/Apache Group/Apache2\n"
        "DocumentRoot \"C:/Program Files/Apache Group/Apache2/htdocs\"\n");
  EXPECT_STREQ(entry->serverRoot, "C:/Program Files/Apache Group/Apache2");
  EXPECT_STREQ(entry->documentRoot, "C:/Program Files/Apache Group/Apache2/htdocs");
}

TEST_F(ServerInfoTest, ServerRootLines) {
  struct Case {
    const char *text;
    const char *root;
  };
  const Case cases[] = {
      {"Server Root: /srv/a\n", "/srv/a"},
      {"Server Root:\n", ""},
      {"Server Root: \n", ""},
      {"Server Root: /srv/b\nServerRoot \"/srv/c\"\n", "/srv/b"},
      // Without "Server Root": the directive's value, past its description.
      {"ServerRoot - Common directory of server-related files\n  ServerRoot \"/srv/d e\"\n",
       "/srv/d e"},
      {"ServerRoot   /srv/f\n", "/srv/f"},
      {"ServerRoot \"/srv/g\n", "/srv/g"},
  };
  for (const Case &c : cases) {
    std::strcpy(entry->serverRoot, "before");
    parse(c.text);
    EXPECT_STREQ(entry->serverRoot, c.root) << c.text;
  }
  std::strcpy(entry->serverRoot, "kept");
  parse("ServerRoot - Common directory of server-related files\n");
  EXPECT_STREQ(entry->serverRoot, "kept");

  // A long value is cut with its line (512 characters, the label's 12 off).
  parse("ServerRoot \"/" + std::string(700, 'r') + "\"\n");
  EXPECT_EQ(std::strlen(entry->serverRoot), 500u);
}

TEST_F(ServerInfoTest, TimeoutsLineAsApache24WritesIt) {
  parse("Timeouts: connection: 60  keep-alive: 5MPM Name: prefork\n");
  EXPECT_EQ(entry->connectionTimeout, 60);
  EXPECT_EQ(entry->keepAliveTimeout, 5);
  parse("Timeouts: keep-alive: 9\n");
  EXPECT_EQ(entry->connectionTimeout, 60) << "no connection: the value stays";
  EXPECT_EQ(entry->keepAliveTimeout, 9);
}

TEST_F(ServerInfoTest, KeepAliveYesOrOnRule) {
  struct Case {
    const char *value;
    int32_t keepAlive;
  };
  const Case cases[] = {{"On", 1}, {"on", 1},     {"YES", 1}, {"yes", 1}, {"Off", 0},
                        {"no", 0}, {"onward", 0}, {"", 0},    {"1", 0}};
  for (const Case &c : cases) {
    entry->keepAlive = 7;
    parse2(std::string("KeepAlive ") + c.value + "\n");
    EXPECT_EQ(entry->keepAlive, c.keepAlive) << c.value;
  }
  entry->keepAlive = 7;
  parse("Server Version: Apache/1.3.41\nMax Requests: per child: 0  keep alive: YES\n");
  EXPECT_EQ(entry->keepAlive, 1);
}

TEST_F(ServerInfoTest, RequestLimitsUnderTheirApache24Names) {
  // MaxKeepAliveRequests is the directive's name; the singular is not.
  parse2("MaxKeepAliveRequest 7\n");
  EXPECT_EQ(entry->requestsMaxPerConn, 100);
  parse2("MaxKeepAliveRequests - Maximum number\n5:MaxKeepAliveRequests 42\n");
  EXPECT_EQ(entry->requestsMaxPerConn, 42);

  parse2("MaxRequestsPerChild - Maximum ... (DEPRECATED, use MaxConnectionsPerChild)\n"
         "MaxConnectionsPerChild - Maximum number of connections\n"
         "6:MaxConnectionsPerChild 500\n");
  EXPECT_EQ(entry->requestsMaxPerChild, 500);
  parse2("MaxConnectionsPerChild 500\nMaxRequestsPerChild 300\n");
  EXPECT_EQ(entry->requestsMaxPerChild, 300) << "the old name, when present, is read first";
  parse2("MaxConnectionsPerChild - Maximum number of connections\n");
  EXPECT_EQ(entry->requestsMaxPerChild, 10000);
}

TEST_F(ServerInfoTest, RepeatedServerWideDirectiveGivesTheLastValue) {
  // The page lists each configured occurrence in configuration order; the
  // server runs with the last one of a server-wide directive.
  parse2("21:StartServers 2\n22:MinSpareServers 2\n23:MaxSpareServers 4\n25:KeepAlive On\n"
         "4:PidFile run/httpd.pid\n"
         "In file: /tmp/extra.conf\n1:StartServers 3\n2:MinSpareServers 1\n"
         "3:MaxSpareServers 6\n4:KeepAlive Off\n5:PidFile run/other.pid\n");
  EXPECT_EQ(entry->startProcs, 3);
  EXPECT_EQ(entry->minIdleProcs, 1);
  EXPECT_EQ(entry->maxIdleProcs, 6);
  EXPECT_STREQ(entry->pidFile, "run/other.pid");
  EXPECT_EQ(entry->keepAlive, 1) << "KeepAlive may be a virtual host's: the first is read";
}

TEST_F(ServerInfoTest, NumbersWrapInsteadOfOverflowing) {
  parse2("StartServers 4294967297\nMinSpareServers 2147483648\nMaxSpareServers x\n");
  EXPECT_EQ(entry->startProcs, 1);
  EXPECT_EQ(entry->minIdleProcs, INT32_MIN);
  EXPECT_EQ(entry->maxIdleProcs, 0);
}

TEST_F(ServerInfoTest, LongValuesAreCutWithTheirLine) {
  const std::string long_value(2000, 'v');
  parse("Server Version: " + long_value + "\nConfig File:" + long_value + "\nDocumentRoot " +
        long_value + "\n");
  // Every value is cut with its line, to 512 characters less the label.
  EXPECT_EQ(std::strlen(entry->version), 496u);
  EXPECT_EQ(std::strlen(entry->configFile), 500u);
  EXPECT_EQ(std::strlen(entry->documentRoot), 499u);
}

class PidFileTest : public ServerInfoTest {
protected:
  TempDir dir;
  void set(const std::string &root, const std::string &pid_file) {
    std::snprintf(entry->serverRoot, sizeof entry->serverRoot, "%s", root.c_str());
    std::snprintf(entry->pidFile, sizeof entry->pidFile, "%s", pid_file.c_str());
  }
};

TEST_F(PidFileTest, RelativeAndAbsolutePidFiles) {
  write_file(dir.file("httpd.pid"), "1234\n");
  set(dir.path(), "httpd.pid");
  EXPECT_EQ(read_pid_file(entry), 0);
  EXPECT_EQ(entry->pid, 1234);

  write_file(dir.file("abs.pid"), "  \n 4321 junk");
  set("/nonexistent-root", dir.file("abs.pid"));
  EXPECT_EQ(read_pid_file(entry), 0) << "found under its own name after the joined path";
  EXPECT_EQ(entry->pid, 4321);

  set("", dir.file("abs.pid"));
  entry->pid = 0;
  EXPECT_EQ(read_pid_file(entry), 0) << "\"/\" + an absolute path is the same file";
  EXPECT_EQ(entry->pid, 4321);
}

TEST_F(PidFileTest, EmptyMissingAndUnreadablePidFiles) {
  entry->pid = 99;
  write_file(dir.file("empty.pid"), "");
  set(dir.path(), "empty.pid");
  EXPECT_EQ(read_pid_file(entry), 0);
  EXPECT_EQ(entry->pid, 99);

  write_file(dir.file("text.pid"), "pid\n");
  set(dir.path(), "text.pid");
  EXPECT_EQ(read_pid_file(entry), 0);
  EXPECT_EQ(entry->pid, 99);

  set(dir.path(), "missing.pid");
  EXPECT_EQ(read_pid_file(entry), -1);
  EXPECT_EQ(entry->pid, 99);
  EXPECT_EQ(read_pid_file(nullptr), -1);
}

TEST_F(PidFileTest, RelativePidFileFallsBackToTheWorkingDirectory) {
  write_file(dir.file("cwd.pid"), "-17");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  set("/nonexistent-root", "cwd.pid");
  const int result = read_pid_file(entry);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(entry->pid, -17);
}

TEST_F(PidFileTest, OverlongJoinedPathIsNotOpenedButPidFileAloneIs) {
  // A root of 511 characters (a real directory and a run of slashes): a join
  // cut to 511 characters would name that directory, which opens for reading.
  write_file(dir.file("x.pid"), "111");
  write_file(dir.file("alone.pid"), "222");
  std::string root = dir.path();
  root += std::string(511 - root.size(), '/');
  ASSERT_EQ(root.size(), 511u);
  set(root, dir.file("alone.pid"));
  EXPECT_EQ(read_pid_file(entry), 0);
  EXPECT_EQ(entry->pid, 222);

  entry->pid = 0;
  set(root, "x.pid");
  EXPECT_EQ(read_pid_file(entry), -1) << "the overlong join is not tried";
  EXPECT_EQ(entry->pid, 0);
}

// The page as a server sends it: a header and HTML.
std::string http_page(const std::string &body_html) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n<html><body>" +
         body_html + "</body></html>\n";
}

const char kHtmlPage[] = "<dl><dt><strong>Server Version:</strong> <tt>Apache/2.2.3 "
                         "(Unix)</tt></dt>\n<dt><strong>Hostname/port:</strong> "
                         "<tt>webhost:80</tt></dt>\n<dt><strong>Server Root:</strong> "
                         "<tt>/srv/apache</tt></dt></dl>\n<dd><tt>StartServers "
                         "<i>4</i></tt></dd><dd><tt>PidFile <i>run/h.pid</i></tt></dd>\n";

class RefreshTest : public ServerInfoTest {
protected:
  ServerEntry *listed(int port) {
    EXPECT_EQ(add_server(port, "u", "p", 0, "dTpw"), 1);
    return find_server(port);
  }
};

TEST_F(RefreshTest, FetchesThePageAndReadsThePidFileUnderTheServerRoot) {
  ScriptedServer server(ScriptedServer::whole(http_page(kHtmlPage)), ScriptedServer::End::Close, 1);
  ServerEntry *e = listed(server.port());
  EXPECT_EQ(refresh_server_info(), 0);
  ASSERT_TRUE(server.wait_served(1, 5));
  const std::string request = server.requests().at(0);
  EXPECT_EQ(request.rfind("GET /server-info HTTP/1.0\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Authorization: Basic dTpw\r\n"), std::string::npos) << request;

  EXPECT_STREQ(e->version, "Apache/2.2.3");
  EXPECT_STREQ(e->hostname, "webhost");
  EXPECT_EQ(e->port, server.port()) << "the page's port 80 does not move the entry";
  EXPECT_EQ(e->startProcs, 4);
  EXPECT_STREQ(e->serverRoot, "/srv/apache");
  EXPECT_STREQ(e->pidFile, "run/h.pid");
  EXPECT_EQ(e->pid, 0) << "no such PID file";
}

TEST_F(RefreshTest, GateFetchesOnceIn299SecondsAgainAt300AndWaitsOutAClockSetBack) {
  TempDir dir;
  write_file(dir.file("h.pid"), "555\n");
  ScriptedServer server(
      ScriptedServer::whole(http_page("Server Version: Apache/2.4.1<br>Server Root: " + dir.path() +
                                      "<br><dd>PidFile h.pid")),
      ScriptedServer::End::Close, 10);
  ServerEntry *e = listed(server.port());
  // The status page, due as well, goes out beside each info page.
  auto fetches = [&] {
    size_t info = 0;
    for (const std::string &request : server.requests())
      info += request.rfind("GET /server-info ", 0) == 0 ? 1 : 0;
    return info;
  };

  fake_now = 1000000;
  refresh_server_info();
  ASSERT_TRUE(server.wait_served(2, 5));
  EXPECT_EQ(e->pid, 555);

  e->pid = 0;
  fake_now += 299;
  refresh_server_info();
  EXPECT_EQ(fetches(), 1u);
  EXPECT_EQ(e->pid, 0) << "a refresh that is not due reads no PID file";

  fake_now += 1; // 300 seconds after the end of the first refresh
  refresh_server_info();
  ASSERT_TRUE(server.wait_served(4, 5));
  EXPECT_EQ(fetches(), 2u);

  const int32_t last = fake_now;
  fake_now = last - 5000; // clock set back
  refresh_server_info();
  fake_now = last + 299;
  refresh_server_info();
  EXPECT_EQ(fetches(), 2u);
  fake_now = last + 300;
  refresh_server_info();
  ASSERT_TRUE(server.wait_served(6, 5));
  EXPECT_EQ(fetches(), 3u);
}

TEST_F(RefreshTest, EmptyListStillSetsTheTime) {
  fake_now = 2000000;
  EXPECT_EQ(refresh_server_info(), 0);
  ScriptedServer server(ScriptedServer::whole(http_page(kHtmlPage)));
  ServerEntry *e = listed(server.port());
  fake_now += 100;
  refresh_server_info();
  EXPECT_TRUE(server.requests().empty());
  EXPECT_STREQ(e->version, "");
}

TEST_F(RefreshTest, FailedFetchKeepsValuesAndTheWalkGoesOn) {
  ScriptedServer good(ScriptedServer::whole(http_page(kHtmlPage)));
  // A server that closes without a byte, and a port where nothing listens.
  ScriptedServer silent(std::vector<testsupport::ScriptChunk>{}, ScriptedServer::End::Close);
  const int dead_port = testsupport::free_tcp_port();
  ServerEntry *dead = listed(dead_port);
  ServerEntry *empty = listed(silent.port());
  ServerEntry *ok = listed(good.port());
  for (ServerEntry *e : {dead, empty}) {
    std::strcpy(e->version, "Apache/1.3.0");
    e->pid = 42;
    e->startProcs = 9;
  }
  EXPECT_EQ(refresh_server_info(), 0);
  for (ServerEntry *e : {dead, empty}) {
    EXPECT_STREQ(e->version, "Apache/1.3.0") << e->port;
    EXPECT_EQ(e->pid, 42) << e->port;
    EXPECT_EQ(e->startProcs, 9) << e->port;
  }
  EXPECT_STREQ(ok->version, "Apache/2.2.3");
  EXPECT_EQ(dead->infoHealth.outcome, PAGE_CONNECT_FAILED);
  EXPECT_EQ(empty->infoHealth.outcome, PAGE_CUT_SHORT) << "closed before a byte";
  EXPECT_EQ(ok->infoHealth.outcome, PAGE_OK);
  EXPECT_EQ(ok->infoHealth.lastRead, fake_now);
  EXPECT_EQ(dead->infoHealth.failures, 1u);
  EXPECT_EQ(dead->statusHealth.outcome, PAGE_CONNECT_FAILED) << "the status page, due too";
}

TEST_F(RefreshTest, PageCutByAResetKeepsTheLastGoodValues) {
  // Apache sends this page with no Content-Length: only the server's close
  // says that it is whole. A reset after "StartServers 7" would otherwise
  // set every later setting to its default.
  if (!testsupport::resets_reach_the_client()) {
    GTEST_SKIP() << "this system's receive reports a reset as an orderly close";
  }
  const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n<html><body>Server "
                           "Version: Apache/2.4.71<br>Server Root: /srv/cut<br><dd>StartServers 7";
  ScriptedServer server({{head, 0}, {"", 300}}, ScriptedServer::End::Reset);
  ServerEntry *e = listed(server.port());
  std::strcpy(e->version, "Apache/2.4.70");
  std::strcpy(e->pidFile, "run/good.pid");
  e->startProcs = 3;
  e->minIdleProcs = 2;
  EXPECT_EQ(refresh_server_info(), 0);
  ASSERT_TRUE(server.wait_served(1, 5));
  EXPECT_STREQ(e->version, "Apache/2.4.70");
  EXPECT_STREQ(e->pidFile, "run/good.pid");
  EXPECT_EQ(e->startProcs, 3);
  EXPECT_EQ(e->minIdleProcs, 2);
  EXPECT_EQ(e->infoHealth.outcome, PAGE_CUT_SHORT);
  EXPECT_EQ(e->infoHealth.httpCode, 200);
}

TEST_F(RefreshTest, EntryKeepsItsPortAcrossRefreshes) {
  // The page reports port 80 for a server reached on a high port; the next
  // refresh must still reach it.
  ScriptedServer server(ScriptedServer::whole(http_page(kHtmlPage)), ScriptedServer::End::Close, 2);
  ServerEntry *e = listed(server.port());
  refresh_server_info();
  fake_now += 300;
  refresh_server_info();
  ASSERT_TRUE(server.wait_served(2, 5));
  EXPECT_EQ(e->port, server.port());
  EXPECT_EQ(find_server(server.port()), e);
  EXPECT_EQ(find_server(80), nullptr);
}

} // namespace
