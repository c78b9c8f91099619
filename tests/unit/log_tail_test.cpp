#include "collect/logs/log_tail.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A directory of this test's own, made where only its user and root can
// write on the way (the working directory): the follower refuses logs under
// /tmp, which everyone may write.
class PrivateDir {
public:
  PrivateDir() {
    std::string pattern = std::filesystem::current_path().string() + "/log-tail-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~PrivateDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Who the tests make a stranger of when they run as root.
constexpr uid_t NOBODY = 65534;

// A log written with numbered lines ("line N ..."), and a follower whose
// lines are checked to be exactly 1, 2, ... N, each once and in order.
class LogTailTest : public ::testing::Test {
protected:
  PrivateDir dir;
  const std::string log = dir.file("access_log");
  LogTail tail{log};
  std::vector<std::string> seen;
  int written = 0;

  LogTailTest() { tail.setOwner(geteuid()); }

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
  LogTailResult read(size_t budget = SIZE_MAX) { return read(tail, budget); }
  LogTailResult read(LogTail &from, size_t budget = SIZE_MAX) {
    return from.read(
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
  append(log, "unread when deleted: gone with the file\n");
  ASSERT_EQ(unlink(log.c_str()), 0);
  lines(log, 2);
  read();
  expectAllLinesOnce();
  // Deleted for good while still written: nothing holds it, so what the
  // writer adds is lost, and the log is missing until it is made anew.
  {
    std::ofstream writer(log, std::ios::binary | std::ios::app);
    ASSERT_EQ(unlink(log.c_str()), 0);
    writer << "written after the delete\n" << std::flush;
    EXPECT_EQ(read().state, LOG_TAIL_MISSING);
  }
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

// A follower made anew from another's position (a restart) goes on where
// that one stopped: mid-line, across a rename rotation, and mid-copy after
// a copy-and-truncate; a position that makes no sense is refused.
TEST_F(LogTailTest, PositionHandedOnGoesOnExactly) {
  startFollowing();
  lines(log, 2, true); // line 5 partial
  read();
  auto next = std::make_unique<LogTail>(log);
  next->setOwner(geteuid());
  ASSERT_TRUE(next->resume(tail.position()));
  append(log, " done\n");
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  lines(log, 2);
  read(*next);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[4], "line 5 GET /index.html 200 done");
  seen[4] = "line 5 GET /index.html 200";
  expectAllLinesOnce();

  std::string unread = numbered(30);
  append(log, unread);
  {
    std::ifstream in(log, std::ios::binary);
    std::ofstream(log + ".2", std::ios::binary) << in.rdbuf();
  }
  ASSERT_EQ(truncate(log.c_str(), 0), 0);
  lines(log, 2);
  EXPECT_GT(read(*next, 256).backlog, 0u); // the copy's rest waits
  LogTail third(log);
  third.setOwner(geteuid());
  ASSERT_TRUE(third.resume(next->position()));
  while (read(third, 256).backlog > 0) {
  }
  expectAllLinesOnce();

  LogTailPosition nonsense = third.position();
  nonsense.partial = nonsense.offset + 1;
  EXPECT_FALSE(LogTail(log).resume(nonsense));
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

// A log is read only when nobody but root and the log's owner could have
// decided what its path names: whatever the path leads to otherwise (a
// root secret, through a link or a hard link) is refused unread.
TEST_F(LogTailTest, LogsThatOtherUsersCouldPlaceAreRefused) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "giving files to another user needs root";
  }
  const std::string secret = dir.file("secret");
  append(secret, "root:secret-hash\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const auto refusedWith = [this](const std::string &path, uint32_t owner, const char *why) {
    LogTail other(path);
    other.setOwner(owner);
    const LogTailResult r = read(other);
    EXPECT_EQ(r.state, LOG_TAIL_REFUSED) << path;
    EXPECT_STREQ(r.why, why) << path;
  };
  const auto accepted = [this](const std::string &path, uint32_t owner) {
    LogTail other(path);
    other.setOwner(owner);
    EXPECT_NE(read(other).state, LOG_TAIL_REFUSED) << path;
    lines(path, 1);
    EXPECT_EQ(read(other).state, LOG_TAIL_OK) << path;
  };

  // A stranger's link to the secret, made after we began watching.
  EXPECT_EQ(read().state, LOG_TAIL_MISSING);
  ASSERT_EQ(symlink(secret.c_str(), log.c_str()), 0);
  ASSERT_EQ(lchown(log.c_str(), NOBODY, NOBODY), 0);
  EXPECT_EQ(read().state, LOG_TAIL_REFUSED);
  EXPECT_STREQ(read().why, "reached through a link another user could change");
  EXPECT_TRUE(seen.empty());

  // Directories others may write, or a group but root's may; in a sticky
  // one (/tmp) only an entry of root's or the owner's, with one name, since
  // others may add entries there but not replace ours.
  const std::pair<const char *, mode_t> open[] = {
      {"world", 0777}, {"sticky", 01777}, {"group", 0775}};
  for (const auto &[name, mode] : open) {
    ASSERT_EQ(mkdir(dir.file(name).c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.file(name).c_str(), mode), 0);
    ASSERT_EQ(chown(dir.file(name).c_str(), 0, NOBODY), 0);
    append(dir.file(name) + "/access_log", "x\n");
    if (mode & S_ISVTX) {
      accepted(dir.file(name) + "/access_log", 0);
      ASSERT_EQ(chown((dir.file(name) + "/access_log").c_str(), NOBODY, NOBODY), 0);
      refusedWith(dir.file(name) + "/access_log", 0, "in a directory another user may write");
      ASSERT_EQ(link(secret.c_str(), (dir.file(name) + "/linked").c_str()), 0);
      refusedWith(dir.file(name) + "/linked", 0, "in a directory another user may write");
    } else {
      refusedWith(dir.file(name) + "/access_log", 0, "in a directory another user may write");
    }
  }
  refusedWith(dir.file("world/missing/access_log"), 0, "in a directory another user may write");

  // A stranger's file; the same file once its user is the log's owner.
  const std::string theirs = dir.file("theirs");
  append(theirs, "x\n");
  ASSERT_EQ(chown(theirs.c_str(), NOBODY, NOBODY), 0);
  refusedWith(theirs, 0, "owned by another user");

  // In a directory of the owner's, root's file (perhaps a link the owner
  // made to a secret) and the owner's file with a second name are refused.
  const std::string www = dir.file("www");
  ASSERT_EQ(mkdir(www.c_str(), 0755), 0);
  ASSERT_EQ(chown(www.c_str(), NOBODY, NOBODY), 0);
  ASSERT_EQ(link(secret.c_str(), (www + "/access_log").c_str()), 0);
  refusedWith(www + "/access_log", NOBODY, "owned by another user");
  ASSERT_EQ(unlink((www + "/access_log").c_str()), 0);
  append(www + "/access_log", "x\n");
  ASSERT_EQ(chown((www + "/access_log").c_str(), NOBODY, NOBODY), 0);
  ASSERT_EQ(link((www + "/access_log").c_str(), (www + "/other").c_str()), 0);
  refusedWith(www + "/access_log", NOBODY, "has other names (hard links)");
  ASSERT_EQ(unlink((www + "/other").c_str()), 0);

  // Accepted: the owner's own file in its directory, and root's links
  // (relative and absolute, as /var/run -> /run) to root's directory.
  accepted(www + "/access_log", NOBODY);
  ASSERT_EQ(mkdir(dir.file("run").c_str(), 0755), 0);
  ASSERT_EQ(symlink("run", dir.file("var-run").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("run").c_str(), dir.file("abs-run").c_str()), 0);
  accepted(dir.file("var-run/one_log"), 0);
  accepted(dir.file("abs-run/./../run/other_log"), 0);
  expectAllLinesOnce();
}

// The log's name flips between a FIFO and a file behind links while it is
// read: a FIFO is never waited on (alarm() ends the test otherwise), and
// only the file's lines come out.
TEST_F(LogTailTest, FifoSwappedInBehindALinkNeverBlocks) {
  const std::string fifo = dir.file("fifo");
  const std::string file = dir.file("file");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(symlink(fifo.c_str(), dir.file("to-fifo").c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), dir.file("to-file").c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), log.c_str()), 0);
  lines(file, 1);
  std::atomic<bool> done{false};
  std::thread swapper([&] {
    for (int i = 0; i < 20000; ++i) {
      // Two links, each moved over the log's name in turn and made again.
      const std::string which = i % 2 == 0 ? "to-fifo" : "to-file";
      const std::string target = i % 2 == 0 ? fifo : file;
      if (std::rename(dir.file(which).c_str(), log.c_str()) != 0 ||
          symlink(target.c_str(), dir.file(which).c_str()) != 0) {
        break;
      }
    }
    done = true;
  });
  alarm(60);
  int reads = 0;
  while (!done || reads < 10) {
    const LogTailState state = read().state;
    EXPECT_TRUE(state == LOG_TAIL_OK || state == LOG_TAIL_NOT_A_FILE) << state;
    ++reads;
  }
  alarm(0);
  swapper.join();
  for (const std::string &line : seen) {
    EXPECT_EQ(line, "line 1 GET /index.html 200");
  }
}

// Followers hold no descriptor between reads: far more logs than the
// process may open files are all read, and the process can still open a
// socket afterwards.
TEST_F(LogTailTest, ThousandsOfLogsNeedNoDescriptorsBetweenReads) {
  constexpr int LOGS = 5000;
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<std::unique_ptr<LogTail>> tails;
  int missing = 0;
  int ok = 0;
  for (int i = 0; i < LOGS; ++i) {
    tails.push_back(std::make_unique<LogTail>(dir.file("log" + std::to_string(i))));
    missing += read(*tails.back()).state == LOG_TAIL_MISSING;
  }
  for (int i = 0; i < LOGS; ++i) {
    append(dir.file("log" + std::to_string(i)),
           "line " + std::to_string(i + 1) + " GET /index.html 200\n");
    ok += read(*tails[i]).state == LOG_TAIL_OK;
  }
  written = LOGS;
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_GE(sock, 0);
  if (sock >= 0) {
    close(sock);
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(missing, LOGS);
  EXPECT_EQ(ok, LOGS);
  expectAllLinesOnce();
}

} // namespace
