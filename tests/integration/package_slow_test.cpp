// The Debian package, built by scripts/package.sh (dpkg-buildpackage from a
// copy of this source tree, then lintian) into the build directory, again
// only when a source file is newer than it; test processes take turns. Then
// installed on this machine beside Debian's apache2 and snmpd, served as the
// installed unit runs varnockd, upgraded and purged.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/debian_apache.h"
#include "tests/support/file_lock.h"
#include "tests/support/process.h"
#include "tests/support/snmpd.h"
#include "tests/support/unit_privileges.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CommandResult;
using testsupport::read_file;
using testsupport::run_command;
using testsupport::TempDir;

const std::string kSource = OSTRIK_SOURCE_DIR;
const std::string kOut = std::string(OSTRIK_BINARY_DIR) + "/package-test";
const std::string kUnit = "/lib/systemd/system/varnockd.service";
const std::string kOstrikOid = "1.3.6.1.4.1.32473.16.3";

std::string must(const CommandResult &r, const std::string &what) {
  if (r.exit_code != 0)
    throw std::runtime_error(what + " failed (" + std::to_string(r.exit_code) + "):\n" + r.out +
                             r.err);
  return r.out;
}

// The newest modification time of the files the package is built from.
// (A value-initialised file_time_type is the file clock's epoch, which
// libstdc++ puts in 2174: no file is newer, and every test built again.)
fs::file_time_type newest_source() {
  fs::file_time_type newest = fs::file_time_type::min();
  for (auto it = fs::recursive_directory_iterator(kSource); it != fs::end(it); ++it) {
    const std::string name = it->path().filename();
    if (it->is_directory() && (name == ".git" || name.rfind("build", 0) == 0)) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file())
      newest = std::max(newest, it->last_write_time());
  }
  return newest;
}

// The path of the built package ostrik_*.deb (its build log, lintian's
// output and the dbgsym package lie beside it).
std::string build_package() {
  fs::create_directories(kOut);
  testsupport::FileLock lock(kOut + ".lock");
  const auto find = [] {
    for (const auto &entry : fs::directory_iterator(kOut)) {
      if (entry.path().filename().string().rfind("ostrik_", 0) == 0 &&
          entry.path().extension() == ".deb")
        return entry.path().string();
    }
    return std::string();
  };
  std::string deb = find();
  if (deb.empty() || fs::last_write_time(deb) < newest_source()) {
    must(run_command({kSource + "/scripts/package.sh", kOut}, 1800.0), "scripts/package.sh");
    deb = find();
  }
  return deb;
}

struct Entry {
  std::string mode; // as ls shows it: -rw-------
  std::string link; // the target of a symbolic link
};

// dpkg-deb --contents: path (without the leading ".") -> entry.
std::map<std::string, Entry> contents(const std::string &deb) {
  std::map<std::string, Entry> entries;
  std::istringstream lines(must(run_command({"dpkg-deb", "--contents", deb}), "dpkg-deb -c"));
  const std::regex pattern("^(\\S+) root/root +\\d+ \\S+ \\S+ \\.(\\S+)(?: -> (\\S+))?$");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, pattern))
      entries[m[2]] = {m[1], m[3]};
    else
      ADD_FAILURE() << "not root's, or unexpected: " << line;
  }
  return entries;
}

std::string field(const std::string &deb, const std::string &name) {
  std::string value = must(run_command({"dpkg-deb", "--field", deb, name}), "dpkg-deb -f");
  while (!value.empty() && value.back() == '\n')
    value.pop_back();
  return value;
}

std::string multiarch() {
  std::string arch =
      must(run_command({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}), "dpkg-architecture");
  return arch.substr(0, arch.find('\n'));
}

TEST(Package, IsLintianCleanWithStrippedProgramsAndDebianMaintainerScripts) {
  const std::string deb = build_package();
  // lintian's own output, for the test log.
  const std::string lintian = read_file(kOut + "/lintian.log");
  std::cout << "lintian:\n" << lintian << std::endl;
  EXPECT_FALSE(std::regex_search(lintian, std::regex("(^|\n)[EW]: "))) << lintian;

  const std::map<std::string, Entry> got = contents(deb);
  const std::string lib = "/usr/lib/" + multiarch();
  const std::map<std::string, std::string> want = {
      {"/usr/sbin/varnockd", "-rwxr-xr-x"},
      {lib + "/ostrik/libvarnock.so.1.0.5", "-rw-r--r--"},
      {lib + "/ostrik/libvarnock.so.1", "lrwxrwxrwx"},
      {lib + "/varnock/ostrik.so", "-rw-r--r--"},
      {"/usr/share/snmp/mibs/OSTRIK-MIB.txt", "-rw-r--r--"},
      {"/etc/varnockd/ostrik.cf", "-rw-------"},
      {"/etc/varnockd/varnockd.conf", "-rw-------"},
      {kUnit, "-rw-r--r--"},
      {"/usr/lib/sysusers.d/ostrik.conf", "-rw-r--r--"},
      {"/usr/share/man/man8/varnockd.8.gz", "-rw-r--r--"},
      {"/usr/share/man/man5/ostrik.cf.5.gz", "-rw-r--r--"},
      {"/usr/share/doc/ostrik/copyright", "-rw-r--r--"},
      {"/usr/share/doc/ostrik/changelog.gz", "-rw-r--r--"},
      {"/usr/share/ostrik/prometheus/snmp.yml", "-rw-r--r--"},
      {"/usr/share/ostrik/prometheus/ostrik.rules.yml", "-rw-r--r--"},
      {"/usr/share/ostrik/prometheus/grafana-dashboard.json", "-rw-r--r--"},
      {"/usr/share/ostrik/zabbix/ostrik_template.yaml", "-rw-r--r--"},
  };
  for (const auto &[path, mode] : want) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(got.count(path));
    EXPECT_EQ(got.at(path).mode, mode);
  }
  // The agent library is private: nothing in the public library directory.
  for (const auto &[path, entry] : got)
    EXPECT_FALSE(path.rfind(lib + "/lib", 0) == 0) << path;

  EXPECT_EQ(field(deb, "Package"), "ostrik");
  const std::string depends = field(deb, "Depends");
  for (const char *needed : {"libsnmp", "libssl", "systemd-sysusers"})
    EXPECT_NE(depends.find(needed), std::string::npos) << needed << " in " << depends;
  // The debug symbols went to ostrik-dbgsym; the programs are stripped.
  EXPECT_TRUE(fs::exists(kOut + "/ostrik-dbgsym_" + field(deb, "Version") + "_" +
                         field(deb, "Architecture") + ".deb"));
  TempDir root;
  must(run_command({"dpkg-deb", "--extract", deb, root.path()}), "dpkg-deb -x");
  for (const std::string &path : {std::string("/usr/sbin/varnockd"), lib + "/varnock/ostrik.so"}) {
    const std::string sections = must(run_command({"readelf", "-S", root.path() + path}), path);
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos) << path;
    EXPECT_NE(must(run_command({"readelf", "-d", root.path() + path}), path).find("[$ORIGIN/"),
              std::string::npos)
        << path << " finds the agent library beside itself";
  }
  // The installed sample watches at once, with nothing secret in it.
  EXPECT_EQ(read_file(root.path() + "/etc/varnockd/ostrik.cf"),
            read_file(kSource + "/packaging/ostrik.cf"));
  EXPECT_TRUE(std::regex_search(read_file(kSource + "/packaging/ostrik.cf"),
                                std::regex("(^|\n)discover\n")));
  // The unit, under systemd's own check.
  fs::create_directories(root.path() + "/bin");
  fs::copy_file("/bin/kill", root.path() + "/bin/kill");
  CommandResult verify = run_command({"systemd-analyze", "verify", "--man=no",
                                      "--recursive-errors=no", "--root=" + root.path(), kUnit});
  EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;

  // Maintainer scripts (lintian refuses systemctl by hand): an upgrade
  // restarts the service, a removal stops it.
  TempDir control;
  must(run_command({"dpkg-deb", "--control", deb, control.path()}), "dpkg-deb -e");
  EXPECT_EQ(read_file(control.file("conffiles")),
            "/etc/varnockd/ostrik.cf\n/etc/varnockd/varnockd.conf\n");
  for (const char *script : {"postinst", "prerm", "postrm"}) {
    EXPECT_EQ(run_command({"sh", "-n", control.file(script)}).exit_code, 0) << script;
  }
  const std::string postinst = read_file(control.file("postinst"));
  EXPECT_NE(postinst.find("_dh_action=restart"), std::string::npos) << postinst;
  EXPECT_NE(postinst.find("systemd-sysusers ${DPKG_ROOT:+--root=\"$DPKG_ROOT\"} ostrik.conf"),
            std::string::npos);
  EXPECT_NE(read_file(control.file("prerm")).find("deb-systemd-invoke stop 'varnockd.service'"),
            std::string::npos);
}

// The package installed on this machine for the length of a test, and purged
// at its end whatever happens.
class InstalledPackage {
public:
  explicit InstalledPackage(const std::string &deb) { install(deb); }
  ~InstalledPackage() {
    if (installed())
      run_command({"dpkg", "--purge", "ostrik"}, 120.0);
  }
  InstalledPackage(const InstalledPackage &) = delete;
  InstalledPackage &operator=(const InstalledPackage &) = delete;

  static bool installed() {
    return run_command({"dpkg-query", "-W", "-f=${Status}", "ostrik"}).out.find("installed") !=
           std::string::npos;
  }
  static void install(const std::string &deb) {
    // Configuration files are never asked about: the edited one is kept.
    must(run_command({"dpkg", "--force-confold", "--install", deb}, 300.0), "dpkg --install");
  }
};

// ExecStart= of a unit file, split at blanks.
std::vector<std::string> exec_start(const std::string &unit_file) {
  std::smatch m;
  const std::string unit = read_file(unit_file);
  if (!std::regex_search(unit, m, std::regex("\nExecStart=([^\n]*)\n")))
    throw std::runtime_error("no ExecStart in " + unit_file);
  std::istringstream words(m[1].str());
  std::vector<std::string> argv;
  for (std::string word; words >> word;)
    argv.push_back(word);
  return argv;
}

// snmpwalk of the ostrik subtree until the rows of port are there (the
// first collection), at most 60 s: the walk's output.
std::string walk_until_row(const std::vector<std::string> &agent, const std::string &port,
                           const std::function<std::string()> &log) {
  const std::string perf_port = "." + kOstrikOid + ".11.2.1.1." + port + " = ";
  const auto walk = [&](const std::string &oid) {
    std::vector<std::string> argv = {"snmpwalk", "-v2c", "-c", "public", "-On", "-t", "5"};
    argv.insert(argv.end(), agent.begin(), agent.end());
    argv.push_back(oid);
    return run_command(argv, 60.0).out;
  };
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (walk(kOstrikOid + ".11.2.1.1").find(perf_port) != std::string::npos)
      return walk(kOstrikOid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  out = walk(kOstrikOid);
  ADD_FAILURE() << "no row for port " << port << " in:\n" << out << "\nvarnockd:\n" << log();
  return out;
}

// The value of an instance in a walk's output, or "".
std::string value_of(const std::string &walk, const std::string &oid) {
  const std::string key = "\n." + kOstrikOid + oid + " = ";
  const size_t at = ("\n" + walk).find(key);
  if (at == std::string::npos)
    return "";
  const size_t start = at + key.size() - 1;
  return walk.substr(start, walk.find('\n', start) - start);
}

// Apache's rows as the package serves them: a configuration row, the
// footprint of its processes and the access log it found (Debian's logs,
// root:adm, read through group adm).
void expect_apache_rows(const std::string &walk, const std::string &port) {
  EXPECT_EQ(value_of(walk, ".10.1.1." + port), "INTEGER: " + port) << walk;
  EXPECT_EQ(value_of(walk, ".11.1.1.1." + port), "Counter32: " + port) << walk;
  const std::string logs = value_of(walk, ".14.1.2." + port);
  EXPECT_TRUE(logs.rfind("Gauge32: ", 0) == 0 && logs != "Gauge32: 0") << walk;
}

TEST(Package, InstalledBesideDebiansApacheAndSnmpdServesUpgradesAndPurgesClean) {
  if (geteuid() != 0)
    GTEST_SKIP() << "installs a package: needs root";
  if (InstalledPackage::installed() || fs::exists("/etc/varnockd"))
    GTEST_SKIP() << "ostrik or /etc/varnockd is on this machine already; this test would "
                    "replace them";
  const std::string deb = build_package();
  testsupport::DebianApache apache;
  const std::string port = apache.port();

  InstalledPackage package(deb);
  const std::string files = must(run_command({"dpkg", "-L", "ostrik"}), "dpkg -L");
  // postinst made the user in group adm and handed it the configuration.
  const unsigned uid = testsupport::user_id("ostrik");
  for (const char *name : {"/etc/varnockd/ostrik.cf", "/etc/varnockd/varnockd.conf"}) {
    struct stat st;
    ASSERT_EQ(stat(name, &st), 0) << name;
    EXPECT_EQ(st.st_uid, uid) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  EXPECT_TRUE(fs::is_symlink("/etc/systemd/system/multi-user.target.wants/varnockd.service"));

  // The administrator's edits: the agent's port, discovery kept to this
  // test's Apache (its probes would add lines to other tests' servers'
  // logs), and a comment.
  const int snmp_port = testsupport::free_udp_port();
  std::string conf = read_file("/etc/varnockd/varnockd.conf");
  const std::string address = "\nagentaddress udp:127.0.0.1:1161\n";
  const size_t at = conf.find(address);
  ASSERT_NE(at, std::string::npos);
  conf.replace(at, address.size(),
               "\nagentaddress udp:127.0.0.1:" + std::to_string(snmp_port) + "\n");
  testsupport::write_file("/etc/varnockd/varnockd.conf", conf);
  std::string ostrik_cf = read_file("/etc/varnockd/ostrik.cf");
  const size_t discover = ostrik_cf.find("\ndiscover\n");
  ASSERT_NE(discover, std::string::npos);
  ostrik_cf.replace(discover, 10, "\ndiscover ports=" + port + "\n");
  ostrik_cf += "# edited\n";
  testsupport::write_file("/etc/varnockd/ostrik.cf", ostrik_cf);

  // varnockd as the installed unit starts it: on its own port, then as an
  // AgentX sub-agent of snmpd (the unit's command with --agentx added).
  const testsupport::UnitPrivileges unit = testsupport::read_unit_privileges(kUnit);
  EXPECT_EQ(unit.user, "ostrik");
  const std::vector<std::string> argv = exec_start(kUnit);
  {
    testsupport::Process served(testsupport::as_unit(unit, argv), kOut + "/varnockd-own-port");
    const std::string walk = walk_until_row({"127.0.0.1:" + std::to_string(snmp_port)}, port,
                                            [&] { return served.err(); });
    expect_apache_rows(walk, port);
  }
  {
    const int agentx_port = testsupport::free_tcp_port();
    const std::string agentx = "tcp:127.0.0.1:" + std::to_string(agentx_port);
    testsupport::MasterSnmpd snmpd("agentXSocket " + agentx + "\n");
    std::vector<std::string> sub = argv;
    sub.push_back("--agentx=" + agentx);
    testsupport::Process served(testsupport::as_unit(unit, sub), kOut + "/varnockd-agentx");
    const std::string walk =
        walk_until_row({snmpd.agent()}, port, [&] { return served.err() + snmpd.log(); });
    expect_apache_rows(walk, port);
  }

  // An upgrade to a higher version keeps the edited files, their owner and
  // mode, and leaves no copy of the package's beside them.
  TempDir repack;
  must(run_command({"dpkg-deb", "--raw-extract", deb, repack.file("tree")}), "dpkg-deb -R");
  const std::string control_file = repack.file("tree/DEBIAN/control");
  testsupport::write_file(control_file, std::regex_replace(read_file(control_file),
                                                           std::regex("\nVersion: ([^\n]*)\n"),
                                                           "\nVersion: $1+upgrade1\n"));
  must(run_command({"dpkg-deb", "--root-owner-group", "--build", repack.file("tree"),
                    repack.file("ostrik-upgrade.deb")},
                   120.0),
       "dpkg-deb -b");
  InstalledPackage::install(repack.file("ostrik-upgrade.deb"));
  EXPECT_EQ(field(repack.file("ostrik-upgrade.deb"), "Version"),
            must(run_command({"dpkg-query", "-W", "-f=${Version}", "ostrik"}), "dpkg-query"));
  EXPECT_EQ(read_file("/etc/varnockd/ostrik.cf"), ostrik_cf);
  EXPECT_EQ(read_file("/etc/varnockd/varnockd.conf"), conf);
  struct stat st;
  ASSERT_EQ(stat("/etc/varnockd/ostrik.cf", &st), 0);
  EXPECT_EQ(st.st_uid, uid);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const auto &entry : fs::directory_iterator("/etc/varnockd"))
    EXPECT_EQ(entry.path().string().find(".dpkg-"), std::string::npos) << entry.path();

  // Purged, nothing of it is left: no file it installed, its configuration
  // directory (with a file the administrator added), the unit's enablement.
  testsupport::write_file("/etc/varnockd/varnockd.local.conf", "# mine\n");
  must(run_command({"dpkg", "--purge", "ostrik"}, 120.0), "dpkg --purge");
  std::istringstream lines(files);
  for (std::string path; std::getline(lines, path);) {
    if (!fs::is_directory(path)) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }
  }
  EXPECT_FALSE(fs::exists("/etc/varnockd"));
  EXPECT_FALSE(fs::exists("/var/lib/ostrik"));
  EXPECT_FALSE(fs::exists(
      fs::symlink_status("/etc/systemd/system/multi-user.target.wants/varnockd.service")));
}

} // namespace
