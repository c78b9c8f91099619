// Following one access log as Apache appends to it: every whole line that
// reaches the file is handed out once, across rotation by rename
// (logrotate's default), copy-and-truncate, and a log deleted and made anew.
// Between reads a follower holds no descriptor and no buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

// The longest line handed out whole; a longer one is passed over and handed
// out as (nullptr, its length) so that it counts as not understood.
constexpr size_t LOG_LINE_LIMIT = 64 * 1024;

// How the last read of a log went.
enum LogTailState : int32_t {
  LOG_TAIL_OK = 0,          // read (or nothing new)
  LOG_TAIL_MISSING = 1,     // no such file (yet)
  LOG_TAIL_NOT_A_FILE = 2,  // a directory, a FIFO, a device: never read
  LOG_TAIL_DENIED = 3,      // not ours to read
  LOG_TAIL_READ_FAILED = 4, // any other failure
  LOG_TAIL_REFUSED = 5,     // not trusted (see LogTailResult::why): never read
};

// Called for each whole line, without its end of line ("\n" or "\r\n").
typedef void (*LogLineSink)(void *context, const char *line, size_t length);

struct LogTailResult {
  LogTailState state;
  uint64_t bytesRead;        // this call
  uint64_t backlog;          // bytes known to wait beyond what this call read
  const char *why = nullptr; // LOG_TAIL_REFUSED: why, a fixed text
};

// Where a follower stands in its log, as a checkpoint keeps it: the file
// it reads (by identity), how far, the bytes just before that (to tell the
// same file cut short and grown again), and the line it is in the middle
// of; also the copy of a log cut short that it was still reading. A
// follower given this goes on exactly where the one that gave it stopped:
// the same file from the offset, a file renamed away (found by identity
// next to the log) to its end and then the new log.
struct LogTailPosition {
  bool known = false; // false: no file read yet (the log is read from its start)
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t offset = 0;
  std::string signature; // at most 256 bytes
  uint64_t partial = 0;  // bytes of an unfinished line just before offset
  uint64_t skipped = 0;  // bytes of an overlong line passed over so far
  bool discarding = false;
  bool copying = false;
  std::string copyPath;
  uint64_t copyVolume = 0;
  uint64_t copyIndex = 0;
  uint64_t copyOffset = 0;
  uint64_t copyEnd = 0;
};

class LogTail {
public:
  explicit LogTail(std::string path);
  ~LogTail();
  LogTail(const LogTail &) = delete;
  LogTail &operator=(const LogTail &) = delete;

  const std::string &path() const { return path_; }

  // The one user besides root who may own the log (and the directory that
  // holds it): the server's own user. 0 (the default) trusts root alone.
  void setOwner(uint32_t uid) { owner_ = uid; }
  uint32_t owner() const { return owner_; }

  // The first call positions at the end of the file as it is then (nothing
  // already in it is handed out); each later call hands out the whole lines
  // appended since, reading at most budget bytes (the rest waits for the
  // next call and is reported as backlog). A partial last line waits for
  // its end. A log that is missing at first, or a new file in the log's
  // place, is read from its start; an old file renamed away (to a name that
  // begins with the log's, as rotation names it) is read to its end first,
  // and its last partial line is then a line of its own. A log copied away
  // and cut short is read on from its copy (when one next to it can be told
  // to be that copy), then from its start. What is not a regular file is
  // never opened for reading, and a log reached through what a user other
  // than root and owner() controls is REFUSED. Nothing is held open between
  // calls: a log deleted before its last lines were read loses them.
  LogTailResult read(size_t budget, LogLineSink sink, void *context);

  // Where the follower stands between two reads, and a follower (not yet
  // read) set to stand there. A position that makes no sense (a partial
  // line longer than the offset) is refused: false, nothing changed.
  LogTailPosition position() const;
  bool resume(const LogTailPosition &at);

private:
  struct Impl;
  std::string path_;
  uint32_t owner_ = 0;
  std::unique_ptr<Impl> impl_;
};
