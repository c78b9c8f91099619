#include "collect/log_tail.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

using testsupport::TempDir;

// A log written with numbered lines ("line N ..."), and a follower whose
// lines are checked to be exactly 1, 2, ... N, each once and in order.
class LogTailTest : public ::testing::Test {
protected:
  TempDir dir;
  const std::string log = dir.file("access_log");
  LogTail tail{log};
  std::vector<std::string> seen;
  int written = 0;

  static void append(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
  }
  // count numbered lines; the last one without its end of line when
  // partial is set.
  std::string numbered(int count, bool partial = false) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += "line " + std::to_string(++written) + " GET /index.html 200";
      if (!partial || i + 1 < count) {
        text += "\n";
      }
    }
    return text;
  }
  void lines(const std::string &path, int count, bool partial = false) {
    append(path, numbered(count, partial));
  }
  LogTailResult read(size_t budget = SIZE_MAX) {
    return tail.read(
        budget,
        [](void *context, const char *line, size_t length) {
          static_cast<LogTailTest *>(context)->seen.push_back(
              line != nullptr ? std::string(line, length)
                              : "<overlong " + std::to_string(length) + ">");
        },
        this);
  }
  void expectAllLinesOnce() {
    std::vector<std::string> expected;
    for (int i = 1; i <= written; ++i) {
      expected.push_back("line " + std::to_string(i) + " GET /index.html 200");
    }
    EXPECT_EQ(seen, expected);
  }
  // The log exists with history that is never handed out, and lines 1-3
  // have been read.
  void startFollowing() {
    append(log, "history 1\nhistory 2\n");
    EXPECT_EQ(read().state, LOG_TAIL_OK);
    EXPECT_TRUE(seen.empty());
    lines(log, 3);
    EXPECT_EQ(read().state, LOG_TAIL_OK);
  }
};

TEST_F(LogTailTest, StartsAtTheEndAndHandsOutWholeLinesOnly) {
  append(log, "history\nthe tail of a line being writ");
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  append(log, "ten\r\n");
  lines(log, 2, true); // line 2 is partial
  const LogTailResult r = read();
  EXPECT_EQ(r.state, LOG_TAIL_OK);
  EXPECT_EQ(r.backlog, 0u);
  EXPECT_EQ(seen.size(), 1u);
  append(log, "\r\n");
  read();
  expectAllLinesOnce(); // "\r\n" stripped; the tail of history never shown
  EXPECT_EQ(read().bytesRead, 0u);
}

TEST_F(LogTailTest, RotationByRenameReadsTheOldFileToItsEndFirst) {
  startFollowing();
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  lines(log + ".1", 2); // written before the server reopens its log
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  append(log, ""); // made anew, empty: the server still writes the old one
  lines(log + ".1", 2, true);
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  lines(log, 3); // reopened: the old file's partial line is done
  read();
  expectAllLinesOnce();
  lines(log, 1);
  read();
  expectAllLinesOnce();
}

TEST_F(LogTailTest, DeletedAndRecreatedLogIsReadFromItsStart) {
  startFollowing();
  lines(log, 1);
  ASSERT_EQ(unlink(log.c_str()), 0);
  lines(log, 2);
  read();
  expectAllLinesOnce();
  // Deleted for good while still written: followed on until it is quiet,
  // then let go (holding it would keep its space on the disk).
  {
    std::ofstream writer(log, std::ios::binary | std::ios::app);
    ASSERT_EQ(unlink(log.c_str()), 0);
    writer << numbered(1) << std::flush;
    EXPECT_EQ(read().state, LOG_TAIL_OK);
    writer << numbered(1) << std::flush;
  }
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  EXPECT_EQ(read().state, LOG_TAIL_MISSING);
  lines(log, 2);
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  expectAllLinesOnce();
}

TEST_F(LogTailTest, CopyAndTruncateReadsTheUnreadRestFromTheCopy) {
  const auto copyAndTruncate = [this](const std::string &copy) {
    std::ifstream in(log, std::ios::binary);
    std::ofstream(copy, std::ios::binary) << in.rdbuf();
    EXPECT_EQ(truncate(log.c_str(), 0), 0);
  };
  startFollowing();
  const std::string unread = numbered(38, true); // the last line partial
  append(log, unread.substr(0, 10));             // line 4 begins
  read();
  append(log, unread.substr(10));
  copyAndTruncate(log + ".1");
  lines(log, 2);
  LogTailResult r = read(256); // the copy's rest waits over several calls
  EXPECT_GT(r.backlog, 0u);
  for (int calls = 0; r.backlog > 0 && calls < 20; ++calls) {
    r = read(256);
  }
  expectAllLinesOnce();

  // A cut that the log has outgrown before the next look is told by the
  // bytes before our offset, which are no longer those we read.
  lines(log, 3);
  read();
  lines(log, 2);
  copyAndTruncate(log + ".3");
  lines(log, 40);
  read();
  expectAllLinesOnce();

  // A compressed copy is never read, and the old copy holds other bytes
  // where we stopped: the log starts over, its unread lines are lost.
  append(log, "a partial line read before the cut");
  read();
  append(log, " and its end\nnever read\n");
  copyAndTruncate(log + ".2.gz");
  lines(log, 2);
  read();
  expectAllLinesOnce();
}

TEST_F(LogTailTest, BudgetSpreadsABigAppendOverCallsWithBacklog) {
  startFollowing();
  lines(log, 20000);
  uint64_t bytes = 0;
  LogTailResult r = read(100000);
  EXPECT_EQ(r.bytesRead, 100000u);
  EXPECT_GT(r.backlog, 0u);
  const uint64_t all = r.bytesRead + r.backlog;
  bytes += r.bytesRead;
  int calls = 1;
  while (r.backlog > 0 && calls < 100) {
    r = read(100000);
    bytes += r.bytesRead;
    ++calls;
    EXPECT_EQ(bytes + r.backlog, all);
  }
  EXPECT_EQ(bytes, all);
  EXPECT_GT(calls, 3);
  expectAllLinesOnce();
}

TEST_F(LogTailTest, OverlongLinesArePassedOverAndBytesPassThrough) {
  startFollowing();
  const std::string longest(LOG_LINE_LIMIT, 'x');
  append(log, longest + "\n" + longest + "\r\n" + longest + "y\n");
  for (int i = 0; i < 5; ++i) { // 5 MiB in pieces read as they come
    append(log, std::string(1024 * 1024, 'z'));
    read(300000);
  }
  append(log, "\n" + std::string("nul\0byte\xff\n", 10));
  read();
  lines(log, 1);
  read();
  ASSERT_EQ(seen.size(), 9u);
  EXPECT_EQ(seen[3], longest);
  EXPECT_EQ(seen[4], longest);
  EXPECT_EQ(seen[5], "<overlong " + std::to_string(LOG_LINE_LIMIT + 1) + ">");
  EXPECT_EQ(seen[6], "<overlong 5242880>");
  EXPECT_EQ(seen[7], std::string("nul\0byte\xff", 9));
  EXPECT_EQ(seen[8], "line 4 GET /index.html 200");
}

TEST_F(LogTailTest, WhatIsNoFileIsNeverRead) {
  ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
  EXPECT_EQ(read().state, LOG_TAIL_NOT_A_FILE);
  ASSERT_EQ(rmdir(log.c_str()), 0);
  ASSERT_EQ(mkfifo(log.c_str(), 0644), 0); // opening it for reading would wait
  EXPECT_EQ(read().state, LOG_TAIL_NOT_A_FILE);
  ASSERT_EQ(unlink(log.c_str()), 0);
  EXPECT_EQ(read().state, LOG_TAIL_MISSING);
  lines(log, 2); // made after we began watching: read from its start
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  expectAllLinesOnce();
  // Replaced by a directory: the old file is read to its end, then let go.
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  lines(log + ".1", 1);
  ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
  EXPECT_EQ(read().state, LOG_TAIL_NOT_A_FILE);
  ASSERT_EQ(rmdir(log.c_str()), 0);
  lines(log, 2);
  EXPECT_EQ(read().state, LOG_TAIL_OK);
  expectAllLinesOnce();
}

TEST_F(LogTailTest, UnreadableLogIsDenied) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads every file";
  }
  append(log, "history\n");
  ASSERT_EQ(chmod(log.c_str(), 0), 0);
  EXPECT_EQ(read().state, LOG_TAIL_DENIED);
  ASSERT_EQ(chmod(log.c_str(), 0644), 0);
  EXPECT_EQ(read().state, LOG_TAIL_OK); // existed all along: history stays
  lines(log, 1);
  read();
  expectAllLinesOnce();
}

} // namespace
