// The Windows side of the platform layer, through the module's routines that
// use it: the directory walk (FindFirstFileA over "%s\*.*", joined with a
// backslash) over trees made here, file sizes through _stat, the machine's
// memory, and the layouts of the agent's records.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "collect/logs/log_tail.h"
#include "collect/processes/footprint.h"
#include "platform/file_mode.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "pluginlib/parse_dir.h"
#include "tests/support/process.h"
#include "varnock.h"

// The agent's layouts: 256 bytes for a MibVariable on 32-bit Windows; on 64-bit
// its handler pointer takes 8 bytes and the name follows it (264 bytes).
// A ProcEntry is 336 bytes on both.
static_assert(sizeof(MibVariable) == (sizeof(void *) == 4 ? 256 : 264));
static_assert(offsetof(MibVariable, reserved) == 180);
static_assert(offsetof(MibVariable, handler) == 184);
static_assert(offsetof(MibVariable, name) == 184 + sizeof(void *));
static_assert(sizeof(ProcEntry) == 336);
static_assert(PLATFORM_PATH_SEPARATOR == '\\');

namespace {

// A directory tree under a temporary directory; names use '/' and are made
// native here.
class Tree {
public:
  Tree() : root_(dir_.path() + "\\root") { make_dir(""); }

  std::string path(std::string relative) const {
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return relative.empty() ? root_ : root_ + "\\" + relative;
  }
  void make_dir(const std::string &relative) const {
    ASSERT_TRUE(CreateDirectoryA(path(relative).c_str(), nullptr)) << path(relative);
  }
  void make_file(const std::string &relative, size_t size,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
    testsupport::write_file(path(relative), std::string(size, 'x'));
    ASSERT_TRUE(SetFileAttributesA(path(relative).c_str(), attributes)) << path(relative);
  }
  const std::string &root() const { return root_; }

private:
  testsupport::TempDir dir_;
  std::string root_;
};

TEST(Win32DirWalk, AddsEveryFileOfTheTree) {
  Tree tree;
  tree.make_file("one", 1000);
  tree.make_file("two", 2000);
  tree.make_dir("sub");
  tree.make_file("sub/three", 1024);
  // The listing reports size 0 for a directory entry: 4024 bytes, 3 KB.
  EXPECT_EQ(WinDirSize(tree.root().c_str(), 0, 32), 4024.0);
  EXPECT_EQ(WinDirSizeKB(tree.root().c_str(), 32), 3);
  // The same tree named with forward slashes, as an Apache configuration
  // names its document root.
  std::string forward = tree.root();
  std::replace(forward.begin(), forward.end(), '\\', '/');
  EXPECT_EQ(WinDirSizeKB(forward.c_str(), 32), 3);
}

TEST(Win32DirWalk, HiddenSystemAndReadOnlyFilesCount) {
  Tree tree;
  tree.make_file("hidden", 100, FILE_ATTRIBUTE_HIDDEN);
  tree.make_file("system", 200, FILE_ATTRIBUTE_SYSTEM);
  tree.make_file("readonly", 300, FILE_ATTRIBUTE_READONLY);
  tree.make_dir("h");
  ASSERT_TRUE(SetFileAttributesA(tree.path("h").c_str(), FILE_ATTRIBUTE_HIDDEN));
  tree.make_file("h/inside", 400);
  EXPECT_EQ(WinDirSize(tree.root().c_str(), 0, 32), 1000.0);
  SetFileAttributesA(tree.path("readonly").c_str(), FILE_ATTRIBUTE_NORMAL); // to remove it
}

// A chain of 40 directories, each holding one byte: with the limit 32 the
// root and the 31 directories below it are listed, deeper ones are not.
TEST(Win32DirWalk, StopsAtTheDepthLimit) {
  Tree tree;
  std::string relative;
  for (int level = 0; level < 40; ++level) {
    tree.make_file(relative.empty() ? "f" : relative + "/f", 1);
    relative += relative.empty() ? "d" : "/d";
    tree.make_dir(relative);
  }
  struct Case {
    int limit;
    double bytes;
  };
  for (const Case &c : {Case{32, 32.0}, Case{1, 1.0}, Case{0, 0.0}, Case{40, 40.0}}) {
    SCOPED_TRACE(c.limit);
    EXPECT_EQ(WinDirSize(tree.root().c_str(), 0, c.limit), c.bytes);
  }
}

TEST(Win32DirWalk, WhatIsNoDirectoryCountsNothing) {
  Tree tree;
  tree.make_file("plain", 5000);
  for (const std::string &path : {tree.path("missing"), tree.path("plain"), std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(WinDirSize(path.c_str(), 0, 32), 0.0);
  }
  EXPECT_EQ(WinDirSize(nullptr, 0, 32), 0.0);
  EXPECT_FALSE(PlatformDirListing(tree.path("plain").c_str()).isOpen());
  EXPECT_FALSE(PlatformDirListing(tree.path("missing").c_str()).isOpen());
}

TEST(Win32DirListing, ReportsTheDotEntriesFilesAndDirectories) {
  Tree tree;
  tree.make_file("f", 5);
  tree.make_dir("s");
  PlatformDirListing listing(tree.root().c_str());
  ASSERT_TRUE(listing.isOpen());
  std::set<std::string> names;
  PlatformDirEntry entry;
  while (listing.next(&entry)) {
    names.insert(entry.name);
    if (std::string(entry.name) == "f") {
      EXPECT_EQ(entry.size, 5u);
      EXPECT_FALSE(entry.isDirectory);
    } else {
      EXPECT_TRUE(entry.isDirectory) << entry.name;
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "f", "s"}));
  EXPECT_FALSE(listing.next(&entry)); // stays at its end
}

TEST(Win32DirListing, JoinsWithABackslashWithinThePathLimit) {
  char buffer[PLATFORM_DIR_PATH_MAX];
  EXPECT_EQ(platform_dir_join(buffer, sizeof buffer, "C:\\docs", "a.html"), 14);
  EXPECT_STREQ(buffer, "C:\\docs\\a.html");
  static_assert(PLATFORM_DIR_PATH_MAX == 260);
  const std::string directory(250, 'd');
  EXPECT_EQ(platform_dir_join(buffer, sizeof buffer, directory.c_str(), "123456789"), -1);
  EXPECT_STREQ(buffer, "");
  // A directory whose search pattern would not fit the path limit is not listed.
  EXPECT_FALSE(PlatformDirListing(std::string(257, 'p').c_str()).isOpen());
}

TEST(Win32Files, SizesInKilobytes) {
  Tree tree;
  tree.make_dir("logs");
  struct Case {
    const char *name;
    size_t bytes;
    int32_t kb;
  };
  for (const Case &c : {Case{"logs/empty", 0, 0}, Case{"logs/small", 1023, 0},
                        Case{"logs/ten", 10240, 10}, Case{"logs/two", 2049, 2}}) {
    SCOPED_TRACE(c.name);
    tree.make_file(c.name, c.bytes);
    int32_t kb = -7;
    ASSERT_EQ(file_size_kb(tree.path(c.name).c_str(), &kb), 0);
    EXPECT_EQ(kb, c.kb);
  }
  // The footprint joins a server root and a relative log path with '/'.
  int32_t kb = -7;
  ASSERT_EQ(file_size_kb((tree.root() + "/logs/ten").c_str(), &kb), 0);
  EXPECT_EQ(kb, 10);

  for (const std::string &path : {tree.path("logs"), tree.path("missing")}) {
    kb = -7;
    EXPECT_EQ(file_size_kb(path.c_str(), &kb), -1) << path;
    EXPECT_EQ(kb, -7);
  }
}

TEST(Win32Machine, PhysicalMemoryIsReported) {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  ASSERT_TRUE(GlobalMemoryStatusEx(&status));
  const uint32_t kb = physical_memory_kb();
  EXPECT_GT(kb, 0u);
  EXPECT_LE(static_cast<uint64_t>(kb), status.ullTotalPhys >> 10);
}

// Windows keeps access in ACLs: no file counts as readable by others.
TEST(Win32Files, NoFileIsReportedReadableByOthers) {
  Tree tree;
  tree.make_file("ostrik.cf", 10);
  EXPECT_FALSE(platform_file_readable_by_others(tree.path("ostrik.cf").c_str()));
  EXPECT_FALSE(platform_file_readable_by_others(nullptr));
}

// The log follower holds the log open while it is copied and cut, and while
// the writer renames it away and makes a new one: Windows must let both
// happen and tell the files apart; a directory in the log's place is never
// opened.
TEST(Win32Files, LogFollowerSurvivesARenameRotation) {
  Tree tree;
  const std::string log = tree.path("access.log");
  const auto append = [](const std::string &path, const char *text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
  };
  append(log, "history\n");
  LogTail tail(log);
  std::vector<std::string> seen;
  const auto read = [&] {
    return tail.read(
        SIZE_MAX,
        [](void *context, const char *line, size_t length) {
          static_cast<std::vector<std::string> *>(context)->emplace_back(line, length);
        },
        &seen);
  };
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  append(log, "one\r\n");
  read();
  append(log, "two\r\n"); // copied away and cut before it is read
  ASSERT_TRUE(CopyFileA(log.c_str(), (log + "-copy").c_str(), TRUE));
  std::ofstream(log, std::ios::binary | std::ios::trunc).close();
  read();
  ASSERT_TRUE(MoveFileA(log.c_str(), (log + ".1").c_str()));
  append(log + ".1", "three\r\n");
  append(log, "four\r\n");
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three", "four"}));
  ASSERT_TRUE(MoveFileA(log.c_str(), (log + ".2").c_str()));
  ASSERT_TRUE(CreateDirectoryA(log.c_str(), nullptr));
  EXPECT_EQ(read().state, LOG_TAIL_NOT_A_FILE);
}

} // namespace
