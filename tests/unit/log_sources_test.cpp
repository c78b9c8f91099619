// Where a server's access logs are and in which format: from its info page
// (a real Debian one and a listing of the test's own), and from the files
// its processes hold open on a process file system of the test's making.
#include "collect/logs/log_sources.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "collect/pages/certificates.h"
#include "collect/pages/page_text.h"
#include "collect/processes/listen_owner.h"
#include "platform/proc_table.h"
#include "pluginlib/log_format.h"
#include "tests/support/fake_proc.h"
#include "tests/support/process.h"

namespace {

struct Expected {
  std::string path, format, vhost, problem;
};

void expect_sources(const std::vector<LogSource> &got, const std::vector<Expected> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].path);
    EXPECT_EQ(got[i].path, want[i].path);
    EXPECT_EQ(got[i].format, want[i].format);
    EXPECT_EQ(got[i].vhost, want[i].vhost);
    EXPECT_EQ(got[i].problem, want[i].problem);
  }
}

// mod_info's listing of the given configuration lines: each line in its
// own <dd><tt>, its characters escaped and its indentation in &nbsp;.
std::string info_page(const std::vector<std::string> &lines) {
  std::string page = "<html><body><dl><dt><strong>Server Version:</strong> Apache/2.4</dt>\n";
  for (const std::string &line : lines) {
    page += "<dd><tt>";
    for (char c : line) {
      page += c == ' '   ? "&nbsp;"
              : c == '"' ? "&quot;"
              : c == '<' ? "&lt;"
              : c == '>' ? "&gt;"
              : c == '&' ? "&amp;"
                         : std::string(1, c);
    }
    page += "</tt></dd>\n";
  }
  return page + "</dl></body></html>\n";
}

TEST(LogSources, DebianInfoPage) {
  const std::string page =
      testsupport::read_file(OSTRIK_SOURCE_DIR "/bench/data/server-info-debian.http");
  const std::string logs = "/tmp/ostrik-capture-hDdiB0/logs/";
  expect_sources(
      log_sources_from_info(page.c_str(), "/tmp/ostrik-capture-hDdiB0/conf"),
      {{logs + "other_vhosts_access.log",
        "%v:%p %h %l %u %t \\\"%r\\\" %>s %O \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\"", "", ""},
       {logs + "access.log",
        "%h %l %u %t \\\"%r\\\" %>s %O \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\"",
        log_default_host_name(), ""}});

  // The same page through html_to_text, which drops the entities (the
  // quotes among them), still gives the files.
  std::vector<char> text(page.size() + 1);
  html_to_text(page.c_str(), text.data());
  const std::vector<LogSource> plain = log_sources_from_info(text.data(), "/");
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].path, logs + "other_vhosts_access.log");
  EXPECT_EQ(plain[1].path, logs + "access.log");
  EXPECT_EQ(plain[1].format, log_format_nickname("combined"));
}

// The HTTPS sites of the same pages: mod_ssl's SSLEngine and core's names
// meet through their virtual host's file and line.
TEST(LogSources, TlsSitesOfAnInfoPage) {
  // As mod_info writes them: the indentation in &nbsp;, blanks within the
  // line as they are, the module's sections in <strong>.
  auto page_of = [](const std::vector<std::string> &lines) {
    std::string page = "<html><body><dl>\n";
    for (const std::string &line : lines) {
      const size_t lead = line.find_first_not_of(' ');
      std::string body;
      for (size_t i = lead; i < line.size(); ++i) {
        body += line[i] == '<' ? "&lt;" : line[i] == '>' ? "&gt;" : std::string(1, line[i]);
      }
      std::string indent;
      for (size_t i = 0; i < lead; ++i) {
        indent += "&nbsp;";
      }
      page += "<dd><tt>" + indent + body + "</tt></dd>";
    }
    return page + "</dl></body></html>\n";
  };
  auto sites_of = [](const std::string &page) {
    std::vector<char> text(page.size() + 1);
    html_to_text(page.c_str(), text.data());
    return tls_sites_from_info(text.data());
  };
  const std::string page = page_of({
      "Module Name: core.c",
      "In file: /etc/httpd/conf/sites.conf",
      "   4: <VirtualHost *:8443>",
      "   5:   ServerName WWW.Example.org:8443",
      "   6:   ServerAlias shop.example.org *.example.org 127.0.0.1 bad/name",
      "    : </VirtualHost>",
      "  11: <VirtualHost [::1]:9443 127.0.0.1:9443>",
      "  12:   ServerName https://api.example.org",
      "    : </VirtualHost>",
      "  20: <VirtualHost *:80>",
      "  21:   ServerName plain.example.org",
      "    : </VirtualHost>",
      "Module Name: mod_ssl.c",
      "In file: /etc/httpd/conf/sites.conf",
      "   4: <VirtualHost *:8443>",
      "   7:   SSLEngine on",
      "    : </VirtualHost>",
      "  11: <VirtualHost [::1]:9443 127.0.0.1:9443>",
      "  13:   SSLEngine on",
      "    : </VirtualHost>",
      "  20: <VirtualHost *:80>",
      "  23:   SSLEngine off",
      "    : </VirtualHost>",
      "Module Name: core.c",
      "In file: /etc/httpd/conf/ports.conf",
      "   1: Listen 80",
      "   2: Listen 127.0.0.2:7443 https",
  });
  const std::vector<TlsSite> sites = sites_of(page);
  ASSERT_EQ(sites.size(), 3u);
  EXPECT_EQ(sites[0].port, 7443);
  EXPECT_EQ(sites[0].address, "127.0.0.2");
  EXPECT_TRUE(sites[0].names.empty());
  EXPECT_EQ(sites[1].port, 8443);
  EXPECT_EQ(sites[1].address, "");
  EXPECT_EQ(sites[1].names, (std::vector<std::string>{"www.example.org", "shop.example.org"}));
  EXPECT_EQ(sites[2].port, 9443);
  EXPECT_EQ(sites[2].address, "::1");
  EXPECT_EQ(sites[2].names, std::vector<std::string>{"api.example.org"});

  // SSLEngine on for the main server makes every Listen port a site; a
  // page without TLS (Debian's) has none.
  EXPECT_EQ(sites_of(page_of({"Module Name: mod_ssl.c", "In file: /c", "  1: SSLEngine on",
                              "Module Name: core.c", "In file: /c", "  2: Listen 8080"}))
                .size(),
            1u);
  EXPECT_TRUE(
      sites_of(testsupport::read_file(OSTRIK_SOURCE_DIR "/bench/data/server-info-debian.http"))
          .empty());
}

TEST(LogSources, VirtualHostsPipesSyslogAndRelativePaths) {
  const std::string timed = "%h %l %u %t \\\"%r\\\" %>s %b %D";
  const std::string page = info_page({
      "Module Name: core.c",
      "In file: /etc/httpd/conf/httpd.conf",
      "  30: ServerName main.example.org",
      "  40: <VirtualHost *:80>",
      "  41:   ServerName www.example.org:80",
      "    : </VirtualHost>",
      "  50: <VirtualHost *:80>",
      "  51:   ServerName shop.example.org",
      "    : </VirtualHost>",
      "  60: <VirtualHost *:80>",
      "  61:   ServerName https://blog.example.org",
      "    : </VirtualHost>",
      "Module Name: mod_log_config.c",
      "CustomLog - a file name, a custom log format string or format name",
      "In file: /etc/httpd/conf/httpd.conf",
      "  10: LogFormat \"" + timed + "\" timed",
      "  11: LogFormat \"%h %>s %b\"",
      "  12: TransferLog logs/transfer_log",
      "  13: CustomLog \"|/usr/bin/rotatelogs logs/access.%Y 86400\" combined",
      "  14: CustomLog syslog:local1 common",
      "  15: CustomLog logs/access_log timed env=!dontlog",
      "  16: CustomLog logs/access_log combined",
      "  17: CustomLog logs/odd_log nosuchformat",
      "  40: <VirtualHost *:80>",
      "  42:   CustomLog /var/log/www_access.log timed",
      "    : </VirtualHost>",
      "  50: <VirtualHost *:80>",
      "  52:   CustomLog \"/var/log/shop access.log\" \"%v %h %>s %D\"",
      "  53:   CustomLog logs/access_log common",
      "  54:   CustomLog /var/log/shared.log combined",
      "    : </VirtualHost>",
      "  60: <virtualhost *:80>",
      "  62:   customlog /var/log/shared.log combined",
      "  63:   CustomLog /var/log/blog.log common",
      "    : </VirtualHost>",
      "  70: <VirtualHost *:80>",
      "  71:   CustomLog /var/log/default.log common",
      "    : </VirtualHost>",
  });
  expect_sources(log_sources_from_info(page.c_str(), "/srv/httpd/"),
                 {{"/srv/httpd/logs/transfer_log", "%h %>s %b", "", ""},
                  {"|/usr/bin/rotatelogs logs/access.%Y 86400", log_format_nickname("combined"), "",
                   "piped log"},
                  {"syslog:local1", log_format_nickname("common"), "", "syslog"},
                  {"/srv/httpd/logs/access_log", timed, "", ""},
                  {"/srv/httpd/logs/odd_log", "", "", "format not known"},
                  {"/var/log/www_access.log", timed, "www.example.org", ""},
                  {"/var/log/shop access.log", "%v %h %>s %D", "", ""},
                  {"/var/log/shared.log", log_format_nickname("combined"), "", ""},
                  {"/var/log/blog.log", log_format_nickname("common"), "blog.example.org", ""},
                  {"/var/log/default.log", log_format_nickname("common"), "main.example.org", ""}});

  // A virtual host's nickless LogFormat, here naming a nickname, is its
  // TransferLog's format; without one a TransferLog writes Apache's default.
  // Without any ServerName, the host is named as Apache names the machine.
  // Broken listing lines are passed over.
  const std::string bare = info_page(
      {"Module Name: mod_log_config.c", "In file: /etc/h.conf", "  1: <VirtualHost *:80>",
       "  2: LogFormat combined", "  3: TransferLog /var/log/vhost_log", "    : </VirtualHost>",
       "  4: <", "    : </", "    : </VirtualHost>", "  5: CustomLog",
       "  6: TransferLog /var/log/t_log", "  7: LogFormat", "  8: CustomLog \"/var/log/open_log"});
  const std::string common = "%h %l %u %t \\\"%r\\\" %>s %b";
  expect_sources(
      log_sources_from_info(bare.c_str(), ""),
      {{"/var/log/vhost_log", log_format_nickname("combined"), log_default_host_name(), ""},
       {"/var/log/t_log", common, "", ""},
       {"/var/log/open_log", common, "", ""}});
  EXPECT_TRUE(log_sources_from_info("", "/srv").empty());
  EXPECT_TRUE(log_sources_from_info(nullptr, "/srv").empty());
}

TEST(LogSources, FilesTheProcessesWrite) {
  testsupport::TempDir root, logs;
  testsupport::FakeProc tree(root.path());
  for (const char *name : {"access.log", "ssl_request_log", "error.log", "httpd_log", "data.db",
                           "other.log", "vhosts_access.txt"}) {
    testsupport::write_file(logs.file(name), "");
  }
  const int append = O_WRONLY | O_APPEND | O_CLOEXEC | 0100000; // O_LARGEFILE as the kernel adds
  tree.process(100, 1, "apache2");
  tree.open_file(100, 2, logs.file("error.log"), O_WRONLY | O_APPEND);
  tree.open_file(100, 4, logs.file("httpd_log"), append);
  tree.open_file(100, 5, logs.file("access.log"), append);
  tree.open_file(100, 6, "/dev/null", O_WRONLY);
  tree.open_file(100, 7, logs.file("other.log"), O_RDONLY);
  tree.open_file(100, 8, logs.path(), O_RDONLY | O_DIRECTORY);
  tree.open_file(100, 9, logs.file("data.db"), O_RDWR);
  tree.open_file(100, 10, "pipe:[4242]", O_WRONLY);
  tree.process(101, 100, "apache2");
  tree.open_file(101, 5, logs.file("access.log"), append);
  tree.open_file(101, 6, logs.file("ssl_request_log"), O_RDWR | O_APPEND);
  tree.open_file(101, 7, logs.file("vhosts_access.txt"), append);
  tree.open_file(101, 8, logs.file("gone.log") + " (deleted)", append);
  // A FIFO in a log's place is judged without being opened; a descriptor
  // whose number now holds another file than the one judged (its fdinfo
  // names another inode) is left out.
  ASSERT_EQ(mkfifo(logs.file("fifo.log").c_str(), 0600), 0);
  tree.open_file(101, 9, logs.file("fifo.log"), append);
  testsupport::write_file(logs.file("reused.log"), "");
  tree.open_file(101, 10, logs.file("reused.log"), append);
  struct stat ssl;
  ASSERT_EQ(stat(logs.file("ssl_request_log").c_str(), &ssl), 0);
  testsupport::write_file(root.path() + "/101/fdinfo/6",
                          "pos:\t0\nflags:\t0102002\nino:\t" + std::to_string(ssl.st_ino) + "\n");
  testsupport::write_file(root.path() + "/101/fdinfo/10",
                          "pos:\t0\nflags:\t0102001\nino:\t" + std::to_string(ssl.st_ino) + "\n");
  tree.process(102, 1, "cron");
  tree.open_file(102, 5, logs.file("other.log"), append);
  tree.flush();
  platform_set_proc_root(root.path().c_str());

  const std::string combined = log_format_nickname("combined");
  // The error log as the info page names it, relative to the server root.
  const std::string errorLog = logs.path().substr(logs.path().rfind('/') + 1) + "/httpd_log";
  std::vector<LogSource> found = log_sources_from_processes(100, errorLog.c_str());
  std::vector<std::string> paths;
  for (const LogSource &s : found) {
    paths.push_back(s.path);
    EXPECT_EQ(s.format, combined);
    EXPECT_TRUE(s.assumed);
    EXPECT_EQ(s.problem, "");
  }
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{logs.file("access.log"), logs.file("ssl_request_log"),
                                             logs.file("vhosts_access.txt")}));
  EXPECT_TRUE(log_sources_from_processes(103, "").empty());

  // Descriptors that cannot be read (Apache runs as root, the agent does
  // not): the logs of the distribution's layout, when its root-owned PID
  // file names the process: current access logs only, no links, and
  // nothing from a directory that others may write.
  if (geteuid() != 0) {
    platform_set_proc_root(nullptr);
    GTEST_SKIP() << "the layout's files must be root's";
  }
  testsupport::TempDir run, var, etc;
  set_layout_roots(run.path().c_str(), var.path().c_str(), etc.path().c_str());
  tree.hide_descriptors(100);
  const auto pid_file = [&](const std::string &dir, const char *name, int pid, mode_t mode) {
    mkdir(run.file(dir).c_str(), mode);
    chmod(run.file(dir).c_str(), mode);
    testsupport::write_file(run.file(dir + "/" + name), std::to_string(pid) + "\n");
  };
  const auto log_dir = [&](const std::string &dir, std::vector<std::string> names) {
    mkdir(var.file(dir).c_str(), 0750);
    for (const std::string &name : names) {
      testsupport::write_file(var.file(dir + "/" + name), "");
    }
  };
  pid_file("apache2-web", "apache2.pid", 100, 0755);
  log_dir("apache2-web", {"access.log", "other_vhosts_access.log", "error.log", "access.log.1",
                          "access.log.2.gz"});
  mkdir(var.file("apache2-web/old.log").c_str(), 0750);
  (void)symlink("/etc/shadow", var.file("apache2-web/shadow.log").c_str());
  pid_file("apache2-open", "apache2.pid", 100, 0777); // others could have written it
  log_dir("apache2-open", {"access.log"});
  pid_file("httpd", "httpd.pid", 300, 0755);
  log_dir("httpd", {"access_log", "ssl_access_log", "error_log", "access_log-20240101"});
  tree.process(300, 1, "httpd");
  tree.hide_descriptors(300);
  const auto layout_paths = [](int32_t pid) {
    std::vector<std::string> paths;
    for (const LogSource &s : log_sources_from_processes(pid, "")) {
      EXPECT_TRUE(s.assumed);
      paths.push_back(s.path);
    }
    return paths;
  };
  EXPECT_EQ(layout_paths(100),
            (std::vector<std::string>{var.file("apache2-web/access.log"),
                                      var.file("apache2-web/other_vhosts_access.log")}));
  // There the default site writes access.log, every other host
  // other_vhosts_access.log.
  EXPECT_EQ(log_sources_from_processes(100, "")[0].vhost, log_default_host_name());
  EXPECT_EQ(log_sources_from_processes(100, "")[1].vhost, "");
  EXPECT_EQ(layout_paths(300), (std::vector<std::string>{var.file("httpd/access_log"),
                                                         var.file("httpd/ssl_access_log")}));
  chmod(var.file("apache2-web").c_str(), 0770); // its group may write there
  EXPECT_TRUE(layout_paths(100).empty());
  set_layout_roots(nullptr, nullptr, nullptr);
  platform_set_proc_root(nullptr);
}

} // namespace
