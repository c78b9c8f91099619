#include "collect/log_tail.h"

#include "platform/follow_file.h"

#include <string.h>

#include <new>
#include <utility>

namespace {

// Bytes asked of the file at a time.
constexpr size_t CHUNK = 128 * 1024;

LogTailState state_of(PlatformFollowStatus status) {
  switch (status) {
  case PLATFORM_FOLLOW_OK:
    return LOG_TAIL_OK;
  case PLATFORM_FOLLOW_MISSING:
    return LOG_TAIL_MISSING;
  case PLATFORM_FOLLOW_NOT_A_FILE:
    return LOG_TAIL_NOT_A_FILE;
  case PLATFORM_FOLLOW_DENIED:
    return LOG_TAIL_DENIED;
  default:
    return LOG_TAIL_READ_FAILED;
  }
}

// Cuts the bytes of one file into lines. A line that arrives in pieces is
// gathered in a buffer of fixed capacity; one longer than LOG_LINE_LIMIT is
// never gathered: it is passed over and handed out as (nullptr, length).
class LineSplitter {
public:
  LineSplitter() { carry_.reserve(LOG_LINE_LIMIT + 2); }

  void feed(const char *data, size_t size, LogLineSink sink, void *context) {
    const char *p = data;
    const char *const end = data + size;
    while (p < end) {
      const char *newline = static_cast<const char *>(memchr(p, '\n', end - p));
      const size_t piece = (newline != nullptr ? newline : end) - p;
      if (discarding_ || skipped_ > 0) {
        skipped_ += piece;
      } else if (newline != nullptr && carry_.empty()) {
        emit(p, piece, sink, context); // the common case: no copy
        p = newline + 1;
        continue;
      } else if (carry_.size() + piece <= LOG_LINE_LIMIT + 1) {
        // One byte over the limit may still be the "\r" of a "\r\n".
        carry_.append(p, piece);
      } else {
        skipped_ = carry_.size() + piece;
        carry_.clear();
      }
      if (newline == nullptr) {
        return;
      }
      endLine(sink, context);
      p = newline + 1;
    }
  }

  // The file will grow no more: what is gathered is a line of its own.
  void finish(LogLineSink sink, void *context) {
    if (!carry_.empty() || skipped_ > 0) {
      endLine(sink, context);
    }
    reset();
  }

  // Forgets a partial line (the file was cut short).
  void reset() {
    carry_.clear();
    skipped_ = 0;
    discarding_ = false;
  }

  // The bytes up to the next end of line are the tail of a line that began
  // before we looked: they are no line of ours.
  void discardToNewline() {
    reset();
    discarding_ = true;
  }

private:
  void endLine(LogLineSink sink, void *context) {
    if (discarding_) {
      discarding_ = false;
    } else if (skipped_ > 0) {
      sink(context, nullptr, skipped_);
    } else {
      emit(carry_.data(), carry_.size(), sink, context);
    }
    carry_.clear();
    skipped_ = 0;
  }

  static void emit(const char *line, size_t length, LogLineSink sink, void *context) {
    if (length > 0 && line[length - 1] == '\r') {
      --length;
    }
    sink(context, length > LOG_LINE_LIMIT ? nullptr : line, length);
  }

  std::string carry_;
  uint64_t skipped_ = 0; // bytes of an overlong line passed over so far
  bool discarding_ = false;
};

} // namespace

struct LogTail::Impl {
  PlatformFollowFile file;
  PlatformFileIdentity identity{0, 0};
  bool haveIdentity = false; // identity and offset name the last file read
  uint64_t offset = 0;
  uint64_t lastSize = 0; // the open file's size at the previous call
  // False until a file has been opened, or the path was seen naming none:
  // the first file found is then read from its start, as it was made after
  // we began watching.
  bool fromStart = false;
  LineSplitter lines;
  std::unique_ptr<char[]> buffer;

  // One call's budget, sink and account.
  struct Call {
    size_t budget;
    LogLineSink sink;
    void *context;
    uint64_t bytesRead;
  };

  // Reads the open file from offset towards end, within the budget.
  bool drain(uint64_t end, Call &call) {
    if (!buffer) {
      buffer.reset(new (std::nothrow) char[CHUNK]);
      if (!buffer) {
        return false;
      }
    }
    while (offset < end && call.budget > 0) {
      size_t want = CHUNK < call.budget ? CHUNK : call.budget;
      if (end - offset < want) {
        want = static_cast<size_t>(end - offset);
      }
      const int64_t got = file.readAt(offset, buffer.get(), want);
      if (got < 0) {
        return false;
      }
      if (got == 0) {
        break; // cut short since it was measured
      }
      offset += static_cast<uint64_t>(got);
      call.budget -= static_cast<size_t>(got);
      call.bytesRead += static_cast<uint64_t>(got);
      lines.feed(buffer.get(), static_cast<size_t>(got), call.sink, call.context);
    }
    return true;
  }

  LogTailResult failed(Call &call) {
    // Identity and offset are kept: when the same file opens again, reading
    // goes on where it stopped.
    file.close();
    return LogTailResult{LOG_TAIL_READ_FAILED, call.bytesRead, 0};
  }

  LogTailResult follow(const char *path, Call &call);
  LogTailResult openPath(const char *path, Call &call);
};

// The path still names the open file, or no longer does: a rotation by
// rename (the log was renamed, a new one is or will be made), a log deleted
// and made anew, or something else in its place.
LogTailResult LogTail::Impl::follow(const char *path, Call &call) {
  PlatformFileInfo mine;
  if (file.info(&mine) != PLATFORM_FOLLOW_OK) {
    return failed(call);
  }
  PlatformFileInfo there{};
  const PlatformFollowStatus atPath = platform_follow_path_info(path, &there);
  if (atPath == PLATFORM_FOLLOW_OK && there.identity == identity) {
    if (mine.size < offset) {
      // Copy-and-truncate: the file was copied away and cut to nothing.
      // What the writer appended between the copy and the cut is in
      // neither file and cannot be had; and when the file grows past our
      // offset again before we look, the cut goes unseen and we read on
      // from the middle of the newer lines. Only a rename rotation is free
      // of both.
      offset = 0;
      lines.reset();
    }
    if (!drain(mine.size, call)) {
      return failed(call);
    }
    lastSize = mine.size;
    return LogTailResult{LOG_TAIL_OK, call.bytesRead, mine.size - offset};
  }

  // The writer goes on writing into the file it holds until it reopens the
  // path (Apache does on a graceful restart): read what reached it first.
  const bool grew = mine.size != lastSize;
  if (!drain(mine.size, call)) {
    return failed(call);
  }
  lastSize = mine.size;
  // Once the writer has moved on, the old file is done: when the new one
  // holds something, when something else stands in its place, or when it
  // was deleted and has stopped growing (holding it would keep its space
  // on the disk). A file renamed away with nothing new at the path yet is
  // followed on, as the writer still appends to it.
  const bool movedOn = (atPath == PLATFORM_FOLLOW_OK && there.size > 0) ||
                       atPath == PLATFORM_FOLLOW_NOT_A_FILE || (mine.links == 0 && !grew);
  if (offset < mine.size || !movedOn) {
    const uint64_t waiting = atPath == PLATFORM_FOLLOW_OK ? there.size : 0;
    return LogTailResult{LOG_TAIL_OK, call.bytesRead, mine.size - offset + waiting};
  }
  lines.finish(call.sink, call.context);
  file.close();
  haveIdentity = false;
  offset = 0;
  fromStart = true;
  return openPath(path, call);
}

LogTailResult LogTail::Impl::openPath(const char *path, Call &call) {
  const PlatformFollowStatus status = file.open(path);
  if (status != PLATFORM_FOLLOW_OK) {
    if (status == PLATFORM_FOLLOW_MISSING || status == PLATFORM_FOLLOW_NOT_A_FILE) {
      fromStart = true;
    }
    return LogTailResult{state_of(status), call.bytesRead, 0};
  }
  PlatformFileInfo mine;
  if (file.info(&mine) != PLATFORM_FOLLOW_OK) {
    return failed(call);
  }
  if (!fromStart) {
    // The first look: what is there already is history. A last line still
    // being written is history too, up to its end.
    offset = mine.size;
    char last = '\n';
    if (mine.size > 0 && file.readAt(mine.size - 1, &last, 1) == 1 && last != '\n') {
      lines.discardToNewline();
    }
  } else if (!haveIdentity || mine.identity != identity || mine.size < offset) {
    offset = 0;
    lines.reset();
  }
  fromStart = true;
  haveIdentity = true;
  identity = mine.identity;
  if (!drain(mine.size, call)) {
    return failed(call);
  }
  lastSize = mine.size;
  return LogTailResult{LOG_TAIL_OK, call.bytesRead, mine.size - offset};
}

LogTail::LogTail(std::string path) : path_(std::move(path)), impl_(new Impl) {}

LogTail::~LogTail() = default;

LogTailResult LogTail::read(size_t budget, LogLineSink sink, void *context) {
  Impl::Call call{budget, sink, context, 0};
  if (impl_->file.isOpen()) {
    return impl_->follow(path_.c_str(), call);
  }
  return impl_->openPath(path_.c_str(), call);
}
