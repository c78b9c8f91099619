#include "collect/log_tail.h"

#include "platform/follow_file.h"
#include "platform/fs.h"
#include "platform/path.h"

#include <string.h>

#include <new>
#include <utility>

namespace {

// Bytes asked of the file at a time.
constexpr size_t CHUNK = 128 * 1024;

// The last bytes read that a copy of the log must hold at the same place.
constexpr size_t SIGNATURE = 256;

// A rotated log compressed already: its bytes are not the log's.
bool compressed(const char *name) {
  static const char *const suffixes[] = {".gz", ".bz2", ".xz", ".zst"};
  const size_t length = strlen(name);
  for (const char *suffix : suffixes) {
    const size_t n = strlen(suffix);
    if (length >= n && strcmp(name + length - n, suffix) == 0) {
      return true;
    }
  }
  return false;
}

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
  // The last bytes read before offset (at most SIGNATURE of them).
  std::string signature;
  // The copy of a log cut short, read from copyOffset to copyEnd before
  // the log itself.
  PlatformFollowFile copy;
  uint64_t copyOffset = 0;
  uint64_t copyEnd = 0;

  // One call's budget, sink and account.
  struct Call {
    size_t budget;
    LogLineSink sink;
    void *context;
    uint64_t bytesRead;
  };

  // Reads from from at towards end, within the budget.
  bool drain(const PlatformFollowFile &from, uint64_t &at, uint64_t end, Call &call) {
    if (!buffer) {
      buffer.reset(new (std::nothrow) char[CHUNK]);
      if (!buffer) {
        return false;
      }
    }
    while (at < end && call.budget > 0) {
      size_t want = CHUNK < call.budget ? CHUNK : call.budget;
      if (end - at < want) {
        want = static_cast<size_t>(end - at);
      }
      const int64_t got = from.readAt(at, buffer.get(), want);
      if (got < 0) {
        return false;
      }
      if (got == 0) {
        break; // cut short since it was measured
      }
      const size_t size = static_cast<size_t>(got);
      at += size;
      call.budget -= size;
      call.bytesRead += size;
      lines.feed(buffer.get(), size, call.sink, call.context);
      const size_t kept = size < SIGNATURE ? size : SIGNATURE;
      signature.append(buffer.get() + size - kept, kept);
      if (signature.size() > SIGNATURE) {
        signature.erase(0, signature.size() - SIGNATURE);
      }
    }
    return true;
  }

  void startOver() {
    offset = 0;
    signature.clear();
    lines.reset();
  }

  // The open file no longer holds, just before offset, the bytes last read
  // there: it was cut short and has grown past offset again.
  bool rewritten() {
    if (signature.empty() || offset < signature.size()) {
      return false;
    }
    std::string there(signature.size(), '\0');
    return file.readAt(offset - there.size(), &there[0], there.size()) ==
               static_cast<int64_t>(there.size()) &&
           there != signature;
  }

  void findCopy(const char *path);
  bool readCopy(Call &call);
  bool cutShort(const char *path, Call &call);

  // While a copy waits to be read, the log itself waits whole.
  LogTailResult copyPending(Call &call) {
    PlatformFileInfo mine{};
    const uint64_t live = file.isOpen() && file.info(&mine) == PLATFORM_FOLLOW_OK ? mine.size : 0;
    return LogTailResult{LOG_TAIL_OK, call.bytesRead, copyEnd - copyOffset + live};
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
    // Cut short: copied away and truncated (see findCopy).
    if ((mine.size < offset || rewritten()) && !cutShort(path, call)) {
      lastSize = mine.size;
      return copyPending(call);
    }
    if (!drain(file, offset, mine.size, call)) {
      return failed(call);
    }
    lastSize = mine.size;
    return LogTailResult{LOG_TAIL_OK, call.bytesRead, mine.size - offset};
  }

  // The writer goes on writing into the file it holds until it reopens the
  // path (Apache does on a graceful restart): read what reached it first.
  const bool grew = mine.size != lastSize;
  if (!drain(file, offset, mine.size, call)) {
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
  startOver();
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
  bool pending = false;
  if (!fromStart) {
    // The first look: what is there already is history. A last line still
    // being written is history too, up to its end.
    offset = mine.size;
    const size_t kept = mine.size < SIGNATURE ? static_cast<size_t>(mine.size) : SIGNATURE;
    signature.resize(kept);
    if (file.readAt(mine.size - kept, &signature[0], kept) != static_cast<int64_t>(kept)) {
      signature.clear();
    } else if (kept > 0 && signature.back() != '\n') {
      lines.discardToNewline();
    }
  } else if (!haveIdentity || mine.identity != identity) {
    startOver();
  } else if (mine.size < offset) {
    pending = !cutShort(path, call);
  }
  fromStart = true;
  haveIdentity = true;
  identity = mine.identity;
  lastSize = mine.size;
  if (pending) {
    return copyPending(call);
  }
  if (!drain(file, offset, mine.size, call)) {
    return failed(call);
  }
  lastSize = mine.size;
  return LogTailResult{LOG_TAIL_OK, call.bytesRead, mine.size - offset};
}

// Copy-and-truncate (logrotate's copytruncate) copies the log to a name
// that begins with the log's own (access.log.1, access.log-20261209) and
// then cuts the log to nothing. Of the lines we had not read yet, those
// that reached the log before the copy are in the copy after our offset:
// the copy is the regular file of such a name, at least as long as our
// offset, that holds just before it the bytes we last read there (the
// newest if several do). A copy compressed already cannot be read, and
// what the writer appended between the copy and the cut is in neither
// file: both are lost. A log that has grown past our offset again before
// we look is told cut by the bytes just before our offset, which are no
// longer those we read there. Only a rename rotation is free of all this.
void LogTail::Impl::findCopy(const char *path) {
  const char *base = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == PLATFORM_PATH_SEPARATOR) {
      base = p + 1;
    }
  }
  const size_t baseLength = strlen(base);
  if (signature.empty() || baseLength == 0) {
    return;
  }
  const std::string directory = base == path       ? std::string(".")
                                : base == path + 1 ? std::string(path, 1)
                                                   : std::string(path, base - path - 1);
  PlatformDirListing listing(directory.c_str());
  std::string there(signature.size(), '\0');
  uint64_t newest = 0;
  PlatformDirEntry entry;
  while (listing.next(&entry)) {
    char name[PLATFORM_DIR_PATH_MAX];
    PlatformFollowFile candidate;
    PlatformFileInfo info;
    if (entry.isDirectory || entry.size < offset || strncmp(entry.name, base, baseLength) != 0 ||
        entry.name[baseLength] == '\0' || compressed(entry.name) ||
        platform_dir_join(name, sizeof name, directory.c_str(), entry.name) < 0 ||
        candidate.open(name) != PLATFORM_FOLLOW_OK || candidate.info(&info) != PLATFORM_FOLLOW_OK ||
        info.size < offset || (copy.isOpen() && info.modified <= newest) ||
        candidate.readAt(offset - there.size(), &there[0], there.size()) !=
            static_cast<int64_t>(there.size()) ||
        there != signature) {
      continue;
    }
    copy.swap(candidate);
    newest = info.modified;
    copyEnd = info.size;
  }
}

// Reads what is left of the copy within the budget: true when it is done
// with (read to its end, or unreadable), false when it waits for the next
// call.
bool LogTail::Impl::readCopy(Call &call) {
  if (!copy.isOpen()) {
    return true;
  }
  if (!drain(copy, copyOffset, copyEnd, call)) {
    lines.reset();
  } else if (copyOffset < copyEnd && call.budget == 0) {
    return false;
  } else {
    lines.finish(call.sink, call.context); // a partial last line ends here
  }
  copy.close();
  signature.clear(); // the log itself is read from its start
  return true;
}

// The open log was cut short: its copy is read first when it can be found,
// then the log from its start. False while the copy waits.
bool LogTail::Impl::cutShort(const char *path, Call &call) {
  copy.close();
  findCopy(path);
  copyOffset = offset;
  if (!copy.isOpen()) {
    lines.reset();
  }
  offset = 0;
  signature.clear();
  return readCopy(call);
}

LogTail::LogTail(std::string path) : path_(std::move(path)), impl_(new Impl) {}

LogTail::~LogTail() = default;

LogTailResult LogTail::read(size_t budget, LogLineSink sink, void *context) {
  Impl::Call call{budget, sink, context, 0};
  if (!impl_->readCopy(call)) {
    return impl_->copyPending(call);
  }
  if (impl_->file.isOpen()) {
    return impl_->follow(path_.c_str(), call);
  }
  return impl_->openPath(path_.c_str(), call);
}
