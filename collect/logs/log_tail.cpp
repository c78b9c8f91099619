#include "collect/logs/log_tail.h"

#include "platform/follow_file.h"
#include "platform/fs.h"
#include "platform/path.h"

#include <string.h>

#include <memory>
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
  case PLATFORM_FOLLOW_REFUSED:
    return LOG_TAIL_REFUSED;
  default:
    return LOG_TAIL_READ_FAILED;
  }
}

// Cuts the bytes of one file into lines. A line that arrives in pieces is
// gathered while a call lasts; between calls only its length is kept, as
// its bytes stay in the file just before the read position and are read
// again (restore) before more is fed. One longer than LOG_LINE_LIMIT is
// never gathered: it is passed over and handed out as (nullptr, length).
class LineSplitter {
public:
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
    std::string().swap(carry_);
    stored_ = 0;
    skipped_ = 0;
    discarding_ = false;
  }

  // The bytes up to the next end of line are the tail of a line that began
  // before we looked: they are no line of ours.
  void discardToNewline() {
    reset();
    discarding_ = true;
  }

  // Bytes of the partial line left in the file, to be restored before the
  // next feed.
  size_t stored() const { return stored_; }
  uint64_t skipped() const { return skipped_; }
  bool discarding() const { return discarding_; }
  // Between calls: as a splitter that left these in the file.
  void resume(size_t stored, uint64_t skipped, bool discarding) {
    reset();
    stored_ = stored;
    skipped_ = skipped;
    discarding_ = discarding;
  }
  void restore(std::string bytes) {
    carry_ = std::move(bytes);
    stored_ = 0;
  }
  // The call ends: the partial line's bytes are left to the file.
  void release() {
    stored_ += carry_.size();
    std::string().swap(carry_);
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
  size_t stored_ = 0;    // bytes of a partial line that carry_ does not hold
  uint64_t skipped_ = 0; // bytes of an overlong line passed over so far
  bool discarding_ = false;
};

// The log's directory ("." for a bare name) and its own name within it.
std::string directory_of(const std::string &path, std::string *base) {
  size_t slash = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' || path[i] == PLATFORM_PATH_SEPARATOR) {
      slash = i;
    }
  }
  if (slash == std::string::npos) {
    *base = path;
    return ".";
  }
  *base = path.substr(slash + 1);
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

} // namespace

// Nothing is held between calls: each call opens the log (and the files it
// was rotated to) by name, tells by the identity it remembers whether it is
// the file it read before, reads, and closes it again. A server with a
// thousand logs then costs a thousand small records, not a thousand
// descriptors and buffers.
struct LogTail::Impl {
  PlatformFileIdentity identity{0, 0};
  bool haveIdentity = false; // identity and offset name the last file read
  uint64_t offset = 0;
  // False until a file has been opened, or the path was seen naming none:
  // the first file found is then read from its start, as it was made after
  // we began watching.
  bool fromStart = false;
  LineSplitter lines;
  // The last bytes read before offset (at most SIGNATURE of them).
  std::string signature;
  // The copy of a log cut short, read from copyOffset to copyEnd before
  // the log itself.
  bool copying = false;
  std::string copyPath;
  PlatformFileIdentity copyIdentity{0, 0};
  uint64_t copyOffset = 0;
  uint64_t copyEnd = 0;

  // One call's budget, sink, account and read buffer.
  struct Call {
    uint32_t owner;
    size_t budget;
    LogLineSink sink;
    void *context;
    uint64_t bytesRead;
    std::unique_ptr<char[]> buffer;
  };

  // Reads from from at towards end, within the budget, after the partial
  // line left before at.
  bool drain(const PlatformFollowFile &from, uint64_t &at, uint64_t end, Call &call) {
    const size_t stored = lines.stored();
    if (stored > 0) {
      std::string partial(stored, '\0');
      if (at < stored ||
          from.readAt(at - stored, &partial[0], stored) != static_cast<int64_t>(stored)) {
        lines.reset();
      } else {
        lines.restore(std::move(partial));
      }
    }
    if (at < end && call.budget > 0 && !call.buffer) {
      call.buffer.reset(new (std::nothrow) char[CHUNK]);
      if (!call.buffer) {
        return false;
      }
    }
    char *const buffer = call.buffer.get();
    while (at < end && call.budget > 0) {
      size_t want = CHUNK < call.budget ? CHUNK : call.budget;
      if (end - at < want) {
        want = static_cast<size_t>(end - at);
      }
      const int64_t got = from.readAt(at, buffer, want);
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
      lines.feed(buffer, size, call.sink, call.context);
      const size_t kept = size < SIGNATURE ? size : SIGNATURE;
      signature.append(buffer + size - kept, kept);
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

  // file no longer holds, just before offset, the bytes last read there: it
  // was cut short and has grown past offset again.
  bool rewritten(const PlatformFollowFile &file) {
    if (signature.empty() || offset < signature.size()) {
      return false;
    }
    std::string there(signature.size(), '\0');
    return file.readAt(offset - there.size(), &there[0], there.size()) ==
               static_cast<int64_t>(there.size()) &&
           there != signature;
  }

  bool findRenamed(const std::string &path, uint32_t owner, PlatformFollowFile &old,
                   PlatformFileInfo &info);
  void findCopy(const std::string &path, uint32_t owner);
  bool readCopy(Call &call);
  bool cutShort(const std::string &path, Call &call);
  LogTailResult read(const std::string &path, Call &call);

  // While a copy waits to be read, the log itself (live bytes) waits whole.
  LogTailResult copyPending(Call &call, uint64_t live) {
    return LogTailResult{LOG_TAIL_OK, call.bytesRead, copyEnd - copyOffset + live};
  }

  // Identity and offset are kept: when the same file opens again, reading
  // goes on where it stopped.
  static LogTailResult failed(Call &call) {
    return LogTailResult{LOG_TAIL_READ_FAILED, call.bytesRead, 0};
  }
};

// The files next to the log whose names begin with the log's own name and
// go on (access.log.1, access.log-20261209, access.log.2.gz), as rotation
// names them; f is called with each one's full path until it returns true.
template <typename F> void each_rotated(const std::string &path, F f) {
  std::string base;
  const std::string directory = directory_of(path, &base);
  if (base.empty()) {
    return;
  }
  PlatformDirListing listing(directory.c_str());
  PlatformDirEntry entry;
  char name[PLATFORM_DIR_PATH_MAX];
  while (listing.next(&entry)) {
    if (!entry.isDirectory && strncmp(entry.name, base.c_str(), base.size()) == 0 &&
        entry.name[base.size()] != '\0' &&
        platform_dir_join(name, sizeof name, directory.c_str(), entry.name) >= 0 &&
        f(std::string(name), entry)) {
      return;
    }
  }
}

// The file last read, renamed away by a rotation: the one next to the log
// with its identity. A compressed one is a new file, never it.
bool LogTail::Impl::findRenamed(const std::string &path, uint32_t owner, PlatformFollowFile &old,
                                PlatformFileInfo &info) {
  bool found = false;
  each_rotated(path, [&](const std::string &name, const PlatformDirEntry &entry) {
    found = !compressed(entry.name) && old.open(name.c_str(), owner) == PLATFORM_FOLLOW_OK &&
            old.info(&info) == PLATFORM_FOLLOW_OK && info.identity == identity;
    return found;
  });
  if (!found) {
    old.close();
  }
  return found;
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
void LogTail::Impl::findCopy(const std::string &path, uint32_t owner) {
  if (signature.empty()) {
    return;
  }
  std::string there(signature.size(), '\0');
  uint64_t newest = 0;
  each_rotated(path, [&](const std::string &name, const PlatformDirEntry &entry) {
    PlatformFollowFile candidate;
    PlatformFileInfo info;
    if (entry.size >= offset && !compressed(entry.name) &&
        candidate.open(name.c_str(), owner) == PLATFORM_FOLLOW_OK &&
        candidate.info(&info) == PLATFORM_FOLLOW_OK && info.size >= offset &&
        (!copying || info.modified > newest) &&
        candidate.readAt(offset - there.size(), &there[0], there.size()) ==
            static_cast<int64_t>(there.size()) &&
        there == signature) {
      copying = true;
      copyPath = name;
      copyIdentity = info.identity;
      copyEnd = info.size;
      newest = info.modified;
    }
    return false;
  });
}

// Reads what is left of the copy within the budget: true when it is done
// with (read to its end, gone, or unreadable), false when it waits for the
// next call.
bool LogTail::Impl::readCopy(Call &call) {
  PlatformFollowFile copy;
  PlatformFileInfo info;
  if (copy.open(copyPath.c_str(), call.owner) != PLATFORM_FOLLOW_OK ||
      copy.info(&info) != PLATFORM_FOLLOW_OK || info.identity != copyIdentity ||
      !drain(copy, copyOffset, copyEnd, call)) {
    lines.reset();
  } else if (copyOffset < copyEnd && call.budget == 0) {
    return false;
  } else {
    lines.finish(call.sink, call.context); // a partial last line ends here
  }
  copying = false;
  signature.clear(); // the log itself is read from its start
  return true;
}

// The log was cut short: its copy is read first when it can be found, then
// the log from its start. False while the copy waits.
bool LogTail::Impl::cutShort(const std::string &path, Call &call) {
  copying = false;
  findCopy(path, call.owner);
  copyOffset = offset;
  offset = 0;
  signature.clear();
  if (!copying) {
    lines.reset();
    return true;
  }
  return readCopy(call);
}

LogTailResult LogTail::Impl::read(const std::string &path, Call &call) {
  PlatformFollowFile file;
  PlatformFileInfo there{};
  const auto openLog = [&]() {
    PlatformFollowStatus status = file.open(path.c_str(), call.owner);
    if (status == PLATFORM_FOLLOW_OK && file.info(&there) != PLATFORM_FOLLOW_OK) {
      status = PLATFORM_FOLLOW_FAILED;
    }
    return status;
  };
  if (copying && !readCopy(call)) {
    return copyPending(call, openLog() == PLATFORM_FOLLOW_OK ? there.size : 0);
  }
  const PlatformFollowStatus status = openLog();
  const bool gone = status == PLATFORM_FOLLOW_OK || status == PLATFORM_FOLLOW_MISSING ||
                    status == PLATFORM_FOLLOW_NOT_A_FILE;
  if (haveIdentity && gone && (status != PLATFORM_FOLLOW_OK || there.identity != identity)) {
    // The file we read is no longer the log: renamed away by a rotation, or
    // deleted (its unread rest goes with it). The writer goes on writing
    // into a renamed file until it reopens the log (Apache does on a
    // graceful restart): read what reached it first.
    PlatformFollowFile old;
    PlatformFileInfo mine;
    if (findRenamed(path, call.owner, old, mine)) {
      if (!drain(old, offset, mine.size, call)) {
        return failed(call);
      }
      // The writer has moved on once the new log holds something, or
      // something else stands in its place. logrotate's "create" makes the
      // new log empty before the server reopens it.
      const bool movedOn =
          (status == PLATFORM_FOLLOW_OK && there.size > 0) || status == PLATFORM_FOLLOW_NOT_A_FILE;
      if (offset < mine.size || !movedOn) {
        const uint64_t waiting = status == PLATFORM_FOLLOW_OK ? there.size : 0;
        return LogTailResult{LOG_TAIL_OK, call.bytesRead, mine.size - offset + waiting};
      }
      lines.finish(call.sink, call.context);
    }
    haveIdentity = false;
    startOver();
    fromStart = true;
  }
  if (status != PLATFORM_FOLLOW_OK) {
    if (status == PLATFORM_FOLLOW_MISSING || status == PLATFORM_FOLLOW_NOT_A_FILE) {
      fromStart = true;
    }
    return LogTailResult{state_of(status), call.bytesRead, 0, file.refusal()};
  }
  if (!haveIdentity && !fromStart) {
    // The first look: what is there already is history. A last line still
    // being written is history too, up to its end.
    offset = there.size;
    const size_t kept = there.size < SIGNATURE ? static_cast<size_t>(there.size) : SIGNATURE;
    signature.resize(kept);
    if (file.readAt(there.size - kept, &signature[0], kept) != static_cast<int64_t>(kept)) {
      signature.clear();
    } else if (kept > 0 && signature.back() != '\n') {
      lines.discardToNewline();
    }
  } else if (!haveIdentity) {
    startOver();
  } else if ((there.size < offset || rewritten(file)) && !cutShort(path, call)) {
    return copyPending(call, there.size);
  }
  fromStart = true;
  haveIdentity = true;
  identity = there.identity;
  if (!drain(file, offset, there.size, call)) {
    return failed(call);
  }
  return LogTailResult{LOG_TAIL_OK, call.bytesRead, there.size - offset};
}

LogTail::LogTail(std::string path) : path_(std::move(path)), impl_(new Impl) {}

LogTailPosition LogTail::position() const {
  const Impl &i = *impl_;
  LogTailPosition at;
  at.known = i.haveIdentity || i.fromStart;
  if (i.haveIdentity) {
    at.volume = i.identity.volume;
    at.index = i.identity.index;
    at.offset = i.offset;
    at.signature = i.signature;
    at.partial = i.lines.stored();
    at.skipped = i.lines.skipped();
    at.discarding = i.lines.discarding();
  }
  if (i.copying) {
    at.copying = true;
    at.copyPath = i.copyPath;
    at.copyVolume = i.copyIdentity.volume;
    at.copyIndex = i.copyIdentity.index;
    at.copyOffset = i.copyOffset;
    at.copyEnd = i.copyEnd;
    at.partial = i.lines.stored();
    at.skipped = i.lines.skipped();
    at.discarding = i.lines.discarding();
  }
  return at;
}

bool LogTail::resume(const LogTailPosition &at) {
  const bool haveIdentity = at.known && (at.volume != 0 || at.index != 0);
  const uint64_t lineAt = at.copying ? at.copyOffset : at.offset;
  if (at.signature.size() > SIGNATURE || at.partial > lineAt || at.partial > LOG_LINE_LIMIT + 1 ||
      (!at.copying && at.signature.size() > at.offset) ||
      (at.copying && at.copyOffset > at.copyEnd)) {
    return false;
  }
  Impl &i = *impl_;
  i.haveIdentity = haveIdentity;
  i.fromStart = at.known;
  i.identity = PlatformFileIdentity{at.volume, at.index};
  i.offset = haveIdentity ? at.offset : 0;
  i.signature = haveIdentity ? at.signature : std::string();
  i.copying = at.copying;
  i.copyPath = at.copyPath;
  i.copyIdentity = PlatformFileIdentity{at.copyVolume, at.copyIndex};
  i.copyOffset = at.copyOffset;
  i.copyEnd = at.copyEnd;
  i.lines.resume(static_cast<size_t>(at.partial), at.skipped, at.discarding);
  return true;
}

LogTail::~LogTail() = default;

LogTailResult LogTail::read(size_t budget, LogLineSink sink, void *context) {
  Impl::Call call{owner_, budget, sink, context, 0, nullptr};
  const LogTailResult result = impl_->read(path_, call);
  impl_->lines.release();
  return result;
}
