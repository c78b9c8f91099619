#include "pluginlib/parse_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/support/process.h"

namespace {

using testsupport::TempDir;

uint64_t lstat_size(const std::string &path) {
  struct stat info;
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return static_cast<uint64_t>(info.st_size);
}

void make_dir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void make_file(const std::string &path, size_t size) {
  testsupport::write_file(path, std::string(size, 'x'));
}

void make_link(const std::string &target, const std::string &path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

// A tree with files of known sizes, nested directories, hidden files and
// links (to a large file, and a loop back to the root).
struct SampleTree {
  TempDir dir;
  std::string root = dir.file("root");
  uint64_t expected = 0; // every entry below root, as lstat sees it

  SampleTree() {
    make_dir(root);
    add_file("a.txt", 1000);
    add_file(".hidden", 77);
    add_dir("sub");
    add_file("sub/b.bin", 2000);
    add_dir("sub/deeper");
    add_file("sub/deeper/c", 1);
    add_file("sub/deeper/empty", 0);
    make_file(dir.file("big-outside"), 50000);
    add_link(dir.file("big-outside"), "sub/to-big");
    add_link("..", "sub/deeper/loop");
    add_link(root, "to-root");
    add_link("nowhere", "dangling");
  }
  void add_file(const std::string &name, size_t size) {
    make_file(root + "/" + name, size);
    expected += lstat_size(root + "/" + name);
  }
  void add_dir(const std::string &name) {
    make_dir(root + "/" + name);
    expected += lstat_size(root + "/" + name);
  }
  void add_link(const std::string &target, const std::string &name) {
    make_link(target, root + "/" + name);
    expected += lstat_size(root + "/" + name);
  }
};

TEST(ParseDirTest, SumsEveryEntryAsListedAndNeverFollowsLinks) {
  SampleTree tree;
  EXPECT_EQ(WinDirSize(tree.root.c_str(), 0, 32), static_cast<double>(tree.expected));
  EXPECT_EQ(WinDirSizeKB(tree.root.c_str(), 32), static_cast<int32_t>(tree.expected / 1024));
  // The links' targets are far larger than the tree; none was counted.
  EXPECT_LT(tree.expected, 50000u);
}

TEST(ParseDirTest, DocumentRootThatIsALinkIsWalked) {
  SampleTree tree;
  const std::string link = tree.dir.file("docroot-link");
  make_link(tree.root, link);
  EXPECT_EQ(WinDirSize(link.c_str(), 0, 32), static_cast<double>(tree.expected));
}

TEST(ParseDirTest, FilesOfKnownSizesInKilobytes) {
  TempDir dir;
  const std::string root = dir.file("docs");
  make_dir(root);
  make_file(root + "/one", 1000);
  make_file(root + "/two", 2000);
  make_dir(root + "/sub");
  make_file(root + "/sub/three", 1024);
  const uint64_t total = 4024 + lstat_size(root + "/sub");
  EXPECT_EQ(WinDirSizeKB(root.c_str(), 32), static_cast<int32_t>(total / 1024));

  const std::string small = dir.file("small");
  make_dir(small);
  make_file(small + "/f", 1023);
  EXPECT_EQ(WinDirSize(small.c_str(), 0, 32), 1023.0);
  EXPECT_EQ(WinDirSizeKB(small.c_str(), 32), 0);
}

TEST(ParseDirTest, WhatIsNotADirectoryGivesZero) {
  TempDir dir;
  make_file(dir.file("plain"), 5000);
  make_link(dir.file("plain"), dir.file("link-to-file"));
  make_dir(dir.file("empty"));
  const std::vector<std::string> paths = {dir.file("missing"), dir.file("plain"),
                                          dir.file("link-to-file"), dir.file("empty"), ""};
  for (const std::string &path : paths) {
    EXPECT_EQ(WinDirSize(path.c_str(), 0, 32), 0.0) << path;
    EXPECT_EQ(WinDirSizeKB(path.c_str(), 32), 0) << path;
  }
  EXPECT_EQ(WinDirSize(nullptr, 0, 32), 0.0);
  EXPECT_EQ(WinDirSizeKB(nullptr, 32), 0);
}

// A chain of directories d/d/d/... 40 levels below the root, with one file
// at every level whose size tells the level apart.
class DeepTreeTest : public ::testing::Test {
protected:
  static constexpr int kLevels = 40;
  TempDir dir;
  std::string root = dir.file("deep");
  std::vector<uint64_t> file_size;   // file at depth k
  std::vector<uint64_t> subdir_size; // directory entry at depth k (k >= 1)

  void SetUp() override {
    make_dir(root);
    std::string path = root;
    subdir_size.push_back(0);
    for (int level = 0; level < kLevels; ++level) {
      file_size.push_back(1000 + static_cast<uint64_t>(level));
      make_file(path + "/f", file_size.back());
      path += "/d";
      make_dir(path);
      subdir_size.push_back(lstat_size(path));
    }
  }

  // What the directories at depths 0 .. limit-1 list.
  uint64_t expected(int limit) const {
    uint64_t total = 0;
    for (int level = 0; level < limit && level < kLevels; ++level) {
      total += file_size[level] + subdir_size[level + 1];
    }
    return total;
  }
};

TEST_F(DeepTreeTest, DepthLimitStopsTheListing) {
  for (int limit : {32, 1, 2, 31, 33, 40, 41}) {
    EXPECT_EQ(WinDirSize(root.c_str(), 0, limit), static_cast<double>(expected(limit)))
        << "limit " << limit;
  }
  EXPECT_EQ(WinDirSize(root.c_str(), 0, 0), 0.0);
  // With 32 the 33 files at depths 32 .. 39 (sizes 1032 ..) are left out.
  EXPECT_LT(expected(32), expected(40));
  EXPECT_EQ(WinDirSizeKB(root.c_str(), 32), static_cast<int32_t>(expected(32) / 1024));
  // A walk that starts deeper counts fewer levels.
  EXPECT_EQ(WinDirSize(root.c_str(), 30, 32), static_cast<double>(expected(2)));
}

// Directories whose joined path no longer fits the walk's path buffer are
// listed by their parent but not entered.
TEST(ParseDirTest, PathsBeyondTheBufferArePassedOver) {
  TempDir dir;
  const std::string root = dir.file("long");
  make_dir(root);
  const std::string name(200, 'n');
  std::vector<int> fds;
  fds.push_back(open(root.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_GE(fds.back(), 0);
  size_t length = root.size();
  uint64_t expected = 0;
  bool fits = true;
  // Build the chain with *at() calls: its full path is longer than the
  // system allows a single call to take.
  while (length < PLATFORM_DIR_PATH_MAX + 600) {
    const int parent = fds.back();
    ASSERT_EQ(mkdirat(parent, name.c_str(), 0755), 0);
    const int file = openat(parent, "f", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(ftruncate(file, 10), 0);
    close(file);
    struct stat info;
    ASSERT_EQ(fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW), 0);
    // The parent is entered only when its own path fit.
    if (fits) {
      expected += 10 + static_cast<uint64_t>(info.st_size);
    }
    length += 1 + name.size();
    fits = length < PLATFORM_DIR_PATH_MAX;
    fds.push_back(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(fds.back(), 0);
  }
  EXPECT_EQ(WinDirSize(root.c_str(), 0, 1000), static_cast<double>(expected));

  // Take the chain down from the bottom; the directories' own paths are too
  // long for a plain recursive removal.
  for (size_t i = fds.size() - 1; i > 0; --i) {
    close(fds[i]);
    unlinkat(fds[i - 1], "f", 0);
    unlinkat(fds[i - 1], name.c_str(), AT_REMOVEDIR);
  }
  close(fds[0]);
}

TEST(PlatformFsTest, ListingReportsNamesSizesAndKinds) {
  TempDir dir;
  make_file(dir.file("file"), 321);
  make_dir(dir.file("sub"));
  make_link("sub", dir.file("link"));
  PlatformDirListing listing(dir.path().c_str());
  ASSERT_TRUE(listing.isOpen());
  PlatformDirEntry entry;
  int seen = 0;
  while (listing.next(&entry)) {
    const std::string name = entry.name;
    if (name == "file") {
      EXPECT_EQ(entry.size, 321u);
      EXPECT_FALSE(entry.isDirectory);
    } else if (name == "sub") {
      EXPECT_TRUE(entry.isDirectory);
    } else if (name == "link") {
      EXPECT_EQ(entry.size, 3u); // the link itself: its target text
      EXPECT_FALSE(entry.isDirectory);
    } else {
      EXPECT_TRUE(name == "." || name == "..") << name;
      EXPECT_TRUE(entry.isDirectory);
    }
    ++seen;
  }
  EXPECT_EQ(seen, 5);
  EXPECT_FALSE(PlatformDirListing(dir.file("file").c_str()).isOpen());
  EXPECT_FALSE(PlatformDirListing(nullptr).isOpen());
}

TEST(PlatformFsTest, JoinRefusesWhatDoesNotFit) {
  char buffer[8];
  EXPECT_EQ(platform_dir_join(buffer, sizeof buffer, "ab", "cd"), 5);
  EXPECT_STREQ(buffer, "ab/cd");
  EXPECT_EQ(platform_dir_join(buffer, sizeof buffer, "abc", "defg"), -1);
  EXPECT_EQ(platform_dir_join(buffer, sizeof buffer, "abc", "def"), 7);
}

} // namespace
