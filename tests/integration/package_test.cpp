// The Debian package: built with cpack from a build of this source tree
// configured for /usr (kept in the build directory and brought up to date by
// each test, one at a time), then read with dpkg-deb, installed with dpkg
// into a scratch root (maintainer scripts included) and purged again; the
// daemon from that root serves a real Apache.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "module/ostrik.h"
#include "tests/support/apache.h"
#include "tests/support/file_lock.h"
#include "tests/support/process.h"
#include "tests/support/varnockd.h"

namespace {

using testsupport::ApacheInstance;
using testsupport::CommandResult;
using testsupport::read_file;
using testsupport::run_command;
using testsupport::TempDir;

const std::string kWork = std::string(OSTRIK_BINARY_DIR) + "/package-test";

std::string must(const CommandResult &r, const std::string &what) {
  if (r.exit_code != 0)
    throw std::runtime_error(what + " failed (" + std::to_string(r.exit_code) + "):\n" + r.out +
                             r.err);
  return r.out;
}

// Builds the package (incrementally after the first time) and returns its
// path. Test processes take turns.
std::string build_package() {
  std::filesystem::create_directories(kWork);
  testsupport::FileLock lock(kWork + ".lock");
  const std::string build = kWork + "/build";
  if (!std::filesystem::exists(build + "/CMakeCache.txt"))
    must(run_command({"cmake", "-S", OSTRIK_SOURCE_DIR, "-B", build,
                      "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_INSTALL_PREFIX=/usr",
                      "-DOSTRIK_BUILD_TESTS=OFF", "-DOSTRIK_BUILD_BENCH=OFF"},
                     300.0),
         "configuring the package build");
  must(run_command({"cmake", "--build", build, "-j2", "--target", "varnockd", "ostrik", "varnock"},
                   590.0),
       "building the package's programs");
  const std::string out = kWork + "/deb";
  std::filesystem::remove_all(out);
  must(run_command({"sh", "-c", "cd \"$0\" && cpack -G DEB -B \"$1\" -Wno-dev", build, out}, 300.0),
       "cpack");
  for (const auto &entry : std::filesystem::directory_iterator(out)) {
    if (entry.path().extension() == ".deb")
      return entry.path();
  }
  throw std::runtime_error("cpack made no .deb in " + out);
}

std::string multiarch() {
  std::string arch =
      must(run_command({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"}), "dpkg-architecture");
  while (!arch.empty() && arch.back() == '\n')
    arch.pop_back();
  return arch;
}

// The rest of the line that starts with key, or "(none)".
std::string text_after_key(const std::string &text, const std::string &key) {
  const std::string lines = "\n" + text;
  const size_t at = lines.find("\n" + key);
  if (at == std::string::npos)
    return "(none)";
  const size_t start = at + 1 + key.size();
  return lines.substr(start, lines.find('\n', start) - start);
}

struct Entry {
  std::string mode;  // as ls shows it: -rw-------
  std::string owner; // root/root
  std::string link;  // the target of a symbolic link
};

// dpkg-deb --contents: path (without the leading ".") -> entry.
std::map<std::string, Entry> contents(const std::string &deb) {
  std::map<std::string, Entry> entries;
  std::istringstream lines(must(run_command({"dpkg-deb", "--contents", deb}), "dpkg-deb -c"));
  std::string line;
  const std::regex pattern("^(\\S+) (\\S+) +\\d+ \\S+ \\S+ \\.(\\S+)(?: -> (\\S+))?$");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, pattern))
      entries[m[3]] = {m[1], m[2], m[4]};
  }
  return entries;
}

// dpkg into a scratch root: the files, dpkg's database of that root, and
// the maintainer scripts run without chroot with DPKG_ROOT set to the root.
// The dependencies are not in that root's database and are not checked.
CommandResult dpkg(const std::string &root, std::vector<std::string> args) {
  std::vector<std::string> argv = {"dpkg",
                                   "--instdir=" + root,
                                   "--admindir=" + root + "/var/lib/dpkg",
                                   "--force-script-chrootless",
                                   "--force-depends",
                                   "--log=/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, 120.0);
}

void make_scratch_root(const std::string &root) {
  std::filesystem::create_directories(root + "/var/lib/dpkg/updates");
  std::filesystem::create_directories(root + "/var/lib/dpkg/info");
  testsupport::write_file(root + "/var/lib/dpkg/status", "");
}

// Every regular file and link under root, outside dpkg's own database.
std::vector<std::string> files_under(const std::string &root) {
  std::vector<std::string> files;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string().substr(root.size());
    if (path.rfind("/var/lib/dpkg", 0) != 0 && !entry.is_directory())
      files.push_back(path);
  }
  return files;
}

TEST(Package, HoldsEveryFileWithItsModeInTheConventionalPlaces) {
  const std::map<std::string, Entry> got = contents(build_package());
  const std::string lib = "/usr/lib/" + multiarch();
  const std::map<std::string, std::string> want = {
      {"/usr/sbin/varnockd", "-rwxr-xr-x"},
      {lib + "/libvarnock.so.1.0.5", "-rw-r--r--"},
      {lib + "/libvarnock.so.1", "lrwxrwxrwx"},
      {lib + "/varnock/ostrik.so", "-rw-r--r--"},
      {"/usr/share/snmp/mibs/OSTRIK-MIB.txt", "-rw-r--r--"},
      {"/etc/varnockd/ostrik.cf", "-rw-------"},
      {"/etc/varnockd/varnockd.conf", "-rw-------"},
      {"/lib/systemd/system/varnockd.service", "-rw-r--r--"},
      {"/usr/lib/sysusers.d/ostrik.conf", "-rw-r--r--"},
      {"/usr/share/man/man8/varnockd.8", "-rw-r--r--"},
      {"/usr/share/man/man5/ostrik.cf.5", "-rw-r--r--"},
      {"/usr/share/doc/ostrik/README.md", "-rw-r--r--"},
  };
  size_t files = 0;
  for (const auto &[path, entry] : got) {
    EXPECT_EQ(entry.owner, "root/root") << path;
    if (entry.mode[0] != 'd')
      ++files;
  }
  EXPECT_EQ(files, want.size());
  for (const auto &[path, mode] : want) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(got.count(path));
    EXPECT_EQ(got.at(path).mode, mode);
  }
  EXPECT_EQ(got.at(lib + "/libvarnock.so.1").link, "libvarnock.so.1.0.5");
}

TEST(Package, ControlNamesItsDependenciesConffilesAndScripts) {
  const std::string deb = build_package();
  const std::string fields = must(run_command({"dpkg-deb", "--field", deb}), "dpkg-deb -f");
  EXPECT_EQ(text_after_key(fields, "Package: "), "ostrik");
  EXPECT_EQ(text_after_key(fields, "Version: "), "1.0.5");
  // dpkg-shlibdeps found Net-SNMP's runtime library.
  EXPECT_NE(text_after_key(fields, "Depends: ").find("libsnmp"), std::string::npos) << fields;
  // HTTPS to the monitored servers (server lines) through OpenSSL.
  EXPECT_NE(text_after_key(fields, "Depends: ").find("libssl"), std::string::npos) << fields;

  TempDir control;
  must(run_command({"dpkg-deb", "--control", deb, control.path()}), "dpkg-deb -e");
  EXPECT_EQ(read_file(control.file("conffiles")),
            "/etc/varnockd/ostrik.cf\n/etc/varnockd/varnockd.conf\n");
  EXPECT_NE(read_file(control.file("triggers")).find("activate-noawait ldconfig"),
            std::string::npos);
  for (const char *script : {"postinst", "prerm", "postrm"}) {
    SCOPED_TRACE(script);
    struct stat st;
    ASSERT_EQ(stat(control.file(script).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(run_command({"sh", "-n", control.file(script)}).exit_code, 0);
  }
}

TEST(Package, InstallsIntoAScratchRootEnablesTheUnitAndPurgesClean) {
  const std::string deb = build_package();
  TempDir scratch;
  const std::string root = scratch.path();
  make_scratch_root(root);

  CommandResult install = dpkg(root, {"--install", deb});
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  EXPECT_NE(install.out.find("Setting up ostrik (1.0.5)"), std::string::npos) << install.out;
  // postinst enabled the unit in that root (no systemd runs it here).
  const std::string wants = root + "/etc/systemd/system/multi-user.target.wants/varnockd.service";
  EXPECT_EQ(std::filesystem::read_symlink(wants), "/lib/systemd/system/varnockd.service");

  // The unit: systemd's own check, with the daemon it names present.
  const std::string unit = read_file(root + "/lib/systemd/system/varnockd.service");
  EXPECT_NE(unit.find("\nType=simple\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nExecStart=/usr/sbin/varnockd --config-dir /etc/varnockd\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nExecReload=/bin/kill -HUP $MAINPID\n"), std::string::npos) << unit;
  // postinst made the unit's user in that root and handed it the files the
  // daemon reads; they stay readable by it alone.
  const std::string passwd = read_file(root + "/etc/passwd");
  std::smatch user;
  ASSERT_TRUE(std::regex_search(passwd, user, std::regex("(^|\n)ostrik:x:(\\d+):"))) << passwd;
  EXPECT_NE(read_file(root + "/etc/group").find(":ostrik\n"), std::string::npos) << "in adm";
  for (const char *name : {"ostrik.cf", "varnockd.conf"}) {
    struct stat st;
    ASSERT_EQ(stat((root + "/etc/varnockd/" + name).c_str(), &st), 0);
    EXPECT_EQ(std::to_string(st.st_uid), user[2].str()) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  // The reload's command, as the system has it.
  std::filesystem::create_directories(root + "/bin");
  std::filesystem::copy_file("/bin/kill", root + "/bin/kill",
                             std::filesystem::copy_options::overwrite_existing);
  CommandResult verify =
      run_command({"systemd-analyze", "verify", "--man=no", "--recursive-errors=no",
                   "--root=" + root, "/lib/systemd/system/varnockd.service"});
  EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.out + verify.err, "");
  std::filesystem::remove_all(root + "/bin");

  // The packaged daemon's defaults are the packaged places.
  const std::string lib = root + "/usr/lib/" + multiarch();
  CommandResult help =
      run_command({"env", "LD_LIBRARY_PATH=" + lib, root + "/usr/sbin/varnockd", "--help"});
  ASSERT_EQ(help.exit_code, 0) << help.err;
  EXPECT_NE(help.out.find("(default: /etc/varnockd)"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("(default: /usr/lib/" + multiarch() + "/varnock/ostrik.so)"),
            std::string::npos)
      << help.out;

  // Removing keeps the configuration; purging leaves nothing behind but the
  // system user (system users are never removed: files may still be theirs).
  ASSERT_EQ(dpkg(root, {"--remove", "ostrik"}).exit_code, 0);
  EXPECT_TRUE(std::filesystem::exists(root + "/etc/varnockd/ostrik.cf"));
  EXPECT_FALSE(std::filesystem::exists(root + "/usr/sbin/varnockd"));
  CommandResult purge = dpkg(root, {"--purge", "ostrik"});
  ASSERT_EQ(purge.exit_code, 0) << purge.out << purge.err;
  std::vector<std::string> left = files_under(root);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"/etc/.pwd.lock", "/etc/group", "/etc/gshadow",
                                            "/etc/passwd", "/etc/shadow"}));
}

TEST(Package, PackagedDaemonServesARealApache) {
  const std::string deb = build_package();
  TempDir scratch;
  const std::string root = scratch.path();
  must(run_command({"dpkg-deb", "--extract", deb, root}), "dpkg-deb -x");
  const std::string lib = root + "/usr/lib/" + multiarch();
  const std::string daemon = root + "/usr/sbin/varnockd";
  const std::string module = lib + "/varnock/ostrik.so";
  setenv("LD_LIBRARY_PATH", lib.c_str(), 1); // for the programs this test starts

  ApacheInstance apache("monitor", "package-secret");
  const std::string port = std::to_string(apache.port());
  TempDir conf;
  testsupport::write_file(conf.file("ostrik.cf"),
                          "apache " + port + " monitor package-secret 60\n");
  chmod(conf.file("ostrik.cf").c_str(), 0600);
  CommandResult dump =
      run_command({daemon, "--dump", "--config-dir", conf.path(), "--module", module}, 120.0);
  EXPECT_EQ(dump.exit_code, 0) << dump.err;
  // Its logs are counted from the dump's start, and it says so.
  EXPECT_EQ(dump.err, "varnockd: the access-log counters count from this dump's start: each log is "
                      "read from its end, so they hold only what was written since\n"
                      "varnockd: every configured server answered (127.0.0.1:" +
                          port + ")\n");

  // As a daemon, with the packaged varnockd.conf (on another port than the
  // sample's 1161): its tokens are accepted and give "public" read access.
  std::string sample = read_file(root + "/etc/varnockd/varnockd.conf");
  const size_t at = sample.find("udp:127.0.0.1:1161");
  ASSERT_NE(at, std::string::npos);
  sample.replace(at, 18, "udp:127.0.0.1:" + std::to_string(testsupport::free_udp_port()));
  testsupport::VarnockdSetup setup;
  setup.daemon = daemon;
  setup.modules = {module};
  setup.varnockd_conf = sample;
  setup.files = {{"ostrik.cf", read_file(conf.file("ostrik.cf"))}};
  testsupport::Varnockd served(setup);
  CommandResult get = served.get({"1.3.6.1.4.1.32473.16.3.10.1.1." + port});
  EXPECT_EQ(testsupport::parse_varbinds(get.out).at(0).value, "INTEGER: " + port) << get.err;
  EXPECT_EQ(served.log().find("Unknown token"), std::string::npos) << served.log();
  EXPECT_EQ(served.log().find("Warning"), std::string::npos) << served.log();
}

} // namespace
