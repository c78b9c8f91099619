// `cmake --install` of this build tree into a scratch directory (DESTDIR):
// every part lands where the installed daemon looks for it by default, the
// samples are valid, an existing configuration is never replaced, and the
// installed daemon finds its agent library on its own.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/file_lock.h"
#include "tests/support/process.h"

namespace {

using testsupport::CommandResult;
using testsupport::read_file;
using testsupport::run_command;
using testsupport::TempDir;

const std::string kSource = OSTRIK_SOURCE_DIR;

struct Install {
  CommandResult result;
  std::vector<std::string> files; // installed paths, DESTDIR included
};

// Installs the build tree under destdir. Installs of the same tree take
// turns: each rewrites the tree's install manifest.
Install install_into(const std::string &destdir) {
  testsupport::FileLock lock(std::string(OSTRIK_BINARY_DIR) + "/install-test.lock");
  Install install;
  install.result =
      run_command({"env", "DESTDIR=" + destdir, "cmake", "--install", OSTRIK_BINARY_DIR}, 120.0);
  std::istringstream lines(install.result.out);
  std::string line;
  const std::regex installed("^-- (Installing|Up-to-date): (.*)$");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, installed))
      install.files.push_back(m[2]);
  }
  return install;
}

// The installed file whose path ends with suffix, or "".
std::string installed(const Install &install, const std::string &suffix) {
  for (const std::string &file : install.files) {
    if (file.size() >= suffix.size() &&
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
      return file;
  }
  return "";
}

// The defaults that a daemon's --help shows: configuration directory, module.
std::vector<std::string> help_defaults(const std::vector<std::string> &command) {
  CommandResult help = run_command(command, 30.0);
  EXPECT_EQ(help.exit_code, 0) << help.err;
  std::vector<std::string> defaults;
  const std::regex pattern("\\(default: ([^)]*)\\)");
  for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), pattern);
       it != std::sregex_iterator() && defaults.size() < 2; ++it)
    defaults.push_back((*it)[1]);
  EXPECT_EQ(defaults.size(), 2u) << help.out;
  defaults.resize(2);
  return defaults;
}

int mode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::string text_after(const std::string &text, const std::string &key) {
  const size_t at = text.find("\n" + key);
  if (at == std::string::npos)
    return "(none)";
  const size_t start = at + 1 + key.size();
  return text.substr(start, text.find('\n', start) - start);
}

TEST(Install, EveryPartIsWhereTheInstalledDaemonLooksForIt) {
  TempDir dest;
  const Install install = install_into(dest.path());
  ASSERT_EQ(install.result.exit_code, 0) << install.result.out << install.result.err;

  const std::string daemon = installed(install, "/sbin/varnockd");
  ASSERT_FALSE(daemon.empty()) << install.result.out;
  ASSERT_FALSE(installed(install, "/libvarnock.so.1").empty()) << install.result.out;
  // Run as it is, without LD_LIBRARY_PATH: outside the system's library
  // directories the daemon finds libvarnock relative to itself.
  const std::vector<std::string> defaults = help_defaults({daemon, "--help"});
  const std::string config_dir = dest.path() + defaults[0];
  const std::string module = dest.path() + defaults[1];

  EXPECT_EQ(installed(install, "/varnock/ostrik.so"), module);
  EXPECT_EQ(mode_of(module), 0644);
  EXPECT_EQ(mode_of(daemon), 0755);
  EXPECT_EQ(mode_of(config_dir + "/ostrik.cf"), 0600);
  EXPECT_EQ(read_file(config_dir + "/ostrik.cf"), read_file(kSource + "/packaging/ostrik.cf"));
  EXPECT_EQ(mode_of(config_dir + "/varnockd.conf"), 0600);
  EXPECT_EQ(read_file(installed(install, "/share/snmp/mibs/OSTRIK-MIB.txt")),
            read_file(kSource + "/mib/OSTRIK-MIB.txt"));
  // The user the unit runs as, for systemd-sysusers.
  EXPECT_EQ(read_file(installed(install, "/lib/sysusers.d/ostrik.conf")),
            read_file(kSource + "/packaging/ostrik.sysusers"));
  EXPECT_FALSE(installed(install, "/man8/varnockd.8").empty());
  EXPECT_FALSE(installed(install, "/man5/ostrik.cf.5").empty());

  // The unit starts the installed daemon with the installed configuration.
  const std::string unit = installed(install, "/systemd/system/varnockd.service");
  ASSERT_FALSE(unit.empty()) << install.result.out;
  EXPECT_EQ(text_after(read_file(unit), "ExecStart="),
            daemon.substr(dest.path().size()) + " --config-dir " + defaults[0]);

  // The installed daemon loads the installed module and reads the sample
  // ostrik.cf without a complaint; it watches whatever Apache runs here.
  CommandResult dump =
      run_command({daemon, "--dump", "--module", module, "--config-dir", config_dir}, 120.0);
  EXPECT_EQ(dump.err.find("in config file, line"), std::string::npos) << dump.err;
  EXPECT_EQ(dump.err.find("unable to open"), std::string::npos) << dump.err;
  EXPECT_EQ(dump.out.rfind("NAME ", 0), 0u) << dump.out;
}

TEST(Install, AnExistingConfigurationIsKept) {
  TempDir dest;
  const std::string config_dir = dest.path() + help_defaults({VARNOCKD_PATH, "--help"})[0];
  ASSERT_EQ(run_command({"mkdir", "-p", config_dir}).exit_code, 0);
  const std::string mine = "apache 8080 monitor mine 0\n";
  testsupport::write_file(config_dir + "/ostrik.cf", mine);
  chmod((config_dir + "/ostrik.cf").c_str(), 0640);

  const Install install = install_into(dest.path());
  ASSERT_EQ(install.result.exit_code, 0) << install.result.out << install.result.err;
  EXPECT_EQ(read_file(config_dir + "/ostrik.cf"), mine);
  EXPECT_EQ(mode_of(config_dir + "/ostrik.cf"), 0640);
  EXPECT_NE(install.result.out.find("-- Keeping: " + config_dir + "/ostrik.cf"), std::string::npos)
      << install.result.out;
  // The file that was not there is installed.
  EXPECT_EQ(read_file(config_dir + "/varnockd.conf"),
            read_file(kSource + "/packaging/varnockd.conf"));
}

TEST(Install, ManPagesRenderCleanlyAndNameThemselves) {
  struct Page {
    std::string file;
    std::string whatis; // what man -k will show
  };
  const std::vector<Page> pages = {
      {"varnockd.8", "varnockd - SNMP agent daemon for the ostrik Apache monitoring module"},
      {"ostrik.cf.5", "ostrik.cf - the Apache HTTP servers that the ostrik module watches"},
  };
  for (const Page &page : pages) {
    SCOPED_TRACE(page.file);
    const std::string path = kSource + "/docs/man/" + page.file;
    CommandResult groff =
        run_command({"env", "LC_ALL=C.UTF-8", "groff", "-man", "-Tutf8", "-ww", "-z", path});
    EXPECT_EQ(groff.exit_code, 0);
    EXPECT_EQ(groff.out + groff.err, "");
    CommandResult lexgrog = run_command({"lexgrog", "-w", path});
    EXPECT_EQ(lexgrog.exit_code, 0) << lexgrog.out << lexgrog.err;
    EXPECT_NE(lexgrog.out.find(page.whatis), std::string::npos) << lexgrog.out;
  }
}

} // namespace
