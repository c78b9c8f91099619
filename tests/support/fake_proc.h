// A process file system of a test's or a benchmark's own making: processes
// with their names, parents, socket descriptors and open files, and the TCP
// tables that say which sockets listen where. Header-only, for the benchmarks too.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

class FakeProc {
public:
  // The tree lives under root, which must exist.
  explicit FakeProc(std::string root) : root_(std::move(root)) {
    mkdir((root_ + "/net").c_str(), 0755);
    tcp_ = tcp6_ = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt"
                   "   uid  timeout inode\n";
  }
  ~FakeProc() { flush(); }

  const std::string &root() const { return root_; }

  // A process of user uid, holding the sockets of the given inodes as
  // descriptors 3, 4, ...; with hidden, its descriptors cannot be listed
  // (as another user's to an unprivileged reader).
  void process(int pid, int ppid, const std::string &name,
               const std::vector<uint64_t> &sockets = {}, unsigned uid = 0, bool hidden = false) {
    const std::string dir = root_ + "/" + std::to_string(pid);
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/fd").c_str(), 0755);
    std::ofstream(dir + "/stat") << pid << " (" << name << ") S " << ppid
                                 << " 1 1 0 -1 4194560 100 0 0 0 0 0 0 0 20 0 1 0 100\n";
    std::ofstream(dir + "/status") << "Name:\t" << name << "\nUid:\t" << uid << "\t" << uid << "\t"
                                   << uid << "\t" << uid << "\n";
    if (hidden) {
      rmdir((dir + "/fd").c_str());
      return;
    }
    int fd = 3;
    for (uint64_t inode : sockets) {
      const std::string link = dir + "/fd/" + std::to_string(fd++);
      (void)symlink(("socket:[" + std::to_string(inode) + "]").c_str(), link.c_str());
    }
  }

  // The real user of process pid (made by process()), in its status file.
  void user(int pid, unsigned uid) {
    std::ofstream(root_ + "/" + std::to_string(pid) + "/status")
        << "Name:\tx\nUid:\t" << uid << "\t" << uid << "\t" << uid << "\t" << uid << "\n";
  }

  // Makes the descriptors of process pid unreadable, as those of another
  // user's process are to an unprivileged reader.
  void hide_descriptors(int pid) {
    const std::string fd = root_ + "/" + std::to_string(pid) + "/fd";
    for (int n = 0; n < 256; ++n) {
      (void)unlink((fd + "/" + std::to_string(n)).c_str());
    }
    (void)rmdir(fd.c_str());
  }

  // A file that process pid (made by process()) holds open as descriptor
  // fd, with the open flags (octal in fdinfo) that the kernel would state.
  void open_file(int pid, int fd, const std::string &target, int flags) {
    const std::string dir = root_ + "/" + std::to_string(pid);
    mkdir((dir + "/fdinfo").c_str(), 0755);
    (void)symlink(target.c_str(), (dir + "/fd/" + std::to_string(fd)).c_str());
    char info[64];
    std::snprintf(info, sizeof info, "pos:\t0\nflags:\t0%o\nmnt_id:\t21\n", flags);
    std::ofstream(dir + "/fdinfo/" + std::to_string(fd)) << info;
  }

  // A listening IPv4 socket; address as the kernel writes it (0100007F is
  // 127.0.0.1 on a little-endian machine, 00000000 every address).
  // uid is the user that made it.
  void listen4(const std::string &address, int port, uint64_t inode, unsigned uid = 0) {
    tcp_ += line(address, port, inode, uid);
  }
  // A listening IPv6 socket; 32 hex digits.
  void listen6(const std::string &address, int port, uint64_t inode, unsigned uid = 0) {
    tcp6_ += line(address, port, inode, uid);
  }
  // Any line, as it stands, into the IPv4 table.
  void raw_tcp_line(const std::string &text) { tcp_ += text + "\n"; }

  // Writes the TCP tables (also done when the object goes).
  void flush() {
    std::ofstream(root_ + "/net/tcp") << tcp_;
    std::ofstream(root_ + "/net/tcp6") << tcp6_;
  }

private:
  std::string root_;
  std::string tcp_, tcp6_;
  int sl_ = 0;

  std::string line(const std::string &address, int port, uint64_t inode, unsigned uid) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%4d: %s:%04X %s:0000 0A 00000000:00000000 00:00000000 00000000"
                  " %5u        0 %llu 1 0000000000000000 100 0 0 10 0\n",
                  sl_++, address.c_str(), port, std::string(address.size(), '0').c_str(), uid,
                  static_cast<unsigned long long>(inode));
    return text;
  }
};

} // namespace testsupport
