#include "tqsort_input.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "tqsort_progress.h"

namespace tqsort {

InputReader::InputReader(const std::vector<std::string>& names, char separator, bool header, ProgressBar* progress)
    : separator_(separator), header_(header), progress_(progress) {
  for (const std::string& name : names) {
    InputFile in;
    in.name = name;
    in.shown = name == "-" ? std::string("(standard input)") : printable(name);
    inputs_.push_back(in);
  }
}

Status InputReader::check() {
  for (InputFile& in : inputs_) {
    struct stat st;
    int ok = in.name == "-" ? ::fstat(0, &st) : ::stat(in.name.c_str(), &st);
    if (ok != 0) return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
    if (S_ISDIR(st.st_mode)) return Status::error("cannot read '" + in.shown + "': " + systemError(EISDIR));
    if (in.name != "-" && ::access(in.name.c_str(), R_OK) != 0) {
      return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
    }
    if (S_ISREG(st.st_mode)) {
      in.size = st.st_size;
      if (totalBytes_ >= 0) totalBytes_ += st.st_size;
    } else {
      totalBytes_ = -1;
    }
  }
  return Status();
}

Status InputReader::readAll(RecordParser* parser, BatchSink* sink, const BatchLimits& limits) {
  for (const InputFile& in : inputs_) TQSORT_TRY(readOne(in, parser, sink, limits));
  return Status();
}

Status InputReader::checkHeader(const InputFile& in, const Record& record) {
  std::string content(record.begin, record.contentLength);
  if (!headerSeen_) {
    headerSeen_ = true;
    firstHeader_ = content;
    firstHeaderFile_ = in.shown;
    return Status();
  }
  if (content != firstHeader_) {
    return Status::error(in.shown + ":1: the header '" + printable(content) + "' differs from the header of '" +
                         firstHeaderFile_ + "'");
  }
  return Status();
}

bool InputReader::waitReadable(int fd) {
  if (wakeFd_ < 0) return true;  // the read itself waits
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return true;  // the read reports what is wrong
    if (fds[1].revents != 0) return false;
    return true;
  }
}

namespace {

Status stopped() { return Status::error("stopped"); }

}  // namespace

Status InputReader::readOne(const InputFile& in, RecordParser* parser, BatchSink* sink, const BatchLimits& limits) {
  int fd = 0;
  if (in.name != "-") {
    fd = ::open(in.name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
  }
  struct Closer {
    int fd;
    ~Closer() {
      if (fd > 0) ::close(fd);
    }
  } closer{fd};
  // A pipe or terminal may stay open without bytes for a while: before a read would
  // wait, the rows in hand go to the sort, and the wait also ends when the run stops.
  struct stat st;
  bool mayBlock = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);

  if (batch_ == nullptr && (batch_ = sink->take()) == nullptr) return stopped();
  Batch* b = batch_;
  b->file = &in;
  size_t pos = 0;       // where the next record starts
  bool atEnd = false;
  bool firstBytes = true;
  bool sawHeader = !header_;
  int64_t lineNumber = 0;  // lines before the next record
  const char* lineEnd = "\n";
  // Hands `b` on with its rows; the bytes from `pos` on start a fresh batch.
  auto handOver = [&]() -> Status {
    Batch* next = sink->take();
    if (next == nullptr) return stopped();
    size_t rest = b->used - pos;
    if (!next->reserve(rest)) return Status::error("out of memory for a record of " + std::to_string(rest) + " bytes");
    next->file = &in;
    std::memcpy(next->data(), b->data() + pos, rest);
    next->used = rest;
    b->used = pos;
    batch_ = nullptr;
    Status s = sink->put(b);
    batch_ = b = next;
    pos = 0;
    return s;
  };
  // Before a failure: the rows before it go to the sort, which may fail on one of them
  // first (and then that failure is the one reported, as it came first).
  auto putRows = [&]() -> Status {
    if (b->rows.empty()) return Status();
    b->used = pos;
    batch_ = nullptr;
    return sink->put(b);
  };
  while (!atEnd || pos < b->used) {
    if (!atEnd) {
      if (b->used == b->capacity()) {
        if (!b->rows.empty()) {
          TQSORT_TRY(handOver());
        } else if (pos > 0) {  // only a byte-order mark or a header before: drop them
          std::memmove(b->data(), b->data() + pos, b->used - pos);
          b->used -= pos;
          pos = 0;
        }
        if (b->used == b->capacity() && !b->reserve(b->capacity() * 2)) {  // a record longer than the batch
          return Status::error(in.shown + ":" + std::to_string(lineNumber + 1) + ": out of memory for a line of more than " +
                               std::to_string(b->used) + " bytes");
        }
      }
      if (mayBlock) {
        pollfd ready = {fd, POLLIN, 0};
        if (!b->rows.empty() && ::poll(&ready, 1, 0) == 0) TQSORT_TRY(handOver());
        if (!waitReadable(fd)) return stopped();
      }
      ssize_t n = ::read(fd, b->data() + b->used, b->capacity() - b->used);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
      }
      if (n == 0) atEnd = true;
      b->used += static_cast<size_t>(n);
      bytesRead_ += n;
      if (progress_ != nullptr && totalBytes_ > 0) {
        progress_->show("reading", static_cast<double>(bytesRead_) / static_cast<double>(totalBytes_));
      }
      if (progress_ != nullptr && progress_->stopped()) return stopped();
      if (firstBytes) {
        // The byte-order mark is not part of the first record; the output keeps the
        // first input's mark as its own first bytes.
        size_t held = b->used - pos;
        const char* at = b->data() + pos;
        if (held < kUtf8BomLength && !atEnd && std::memcmp(at, kUtf8Bom, held) == 0) continue;
        firstBytes = false;
        bool bom = held >= kUtf8BomLength && std::memcmp(at, kUtf8Bom, kUtf8BomLength) == 0;
        if (bom) pos += kUtf8BomLength;
        if (held > 0 && !anyBytes_) {
          anyBytes_ = true;
          bom_ = bom;
        }
      }
    }
    Record record;
    ScanProblem problem;
    for (;;) {
      const char* p = b->data() + pos;
      Scan scan = nextRecord(p, b->data() + b->used, atEnd, separator_, &record, &problem);
      if (scan == Scan::NeedMore) break;
      int64_t recordLine = lineNumber + 1;
      if (scan == Scan::Malformed) {
        int64_t line = recordLine;
        for (size_t i = 0; i < problem.offset; ++i) line += p[i] == '\n';
        TQSORT_TRY(putRows());
        return Status::error(in.shown + ":" + std::to_string(line) + ": " + problem.what);
      }
      lineNumber = recordLine + static_cast<int64_t>(record.innerLines);
      if (record.terminated) lineEnd = record.length > record.contentLength + 1 ? "\r\n" : "\n";
      if (!sawHeader) {
        sawHeader = true;
        bool first = !headerSeen_;
        TQSORT_TRY(checkHeader(in, record));
        if (first) {
          headerText_.assign(record.begin, record.length);
          if (!record.terminated) headerText_ += lineEnd;
          TQSORT_TRY(parser->resolve(&record));
        }
        pos += record.length;
        continue;
      }
      uint64_t length = record.length;
      if (!record.terminated) {
        // The last record had no line end: it gets one, as the lines before it had.
        size_t extra = std::strlen(lineEnd);
        if (!b->reserve(b->used + extra)) return Status::error("out of memory");
        std::memcpy(b->data() + b->used, lineEnd, extra);
        b->used += extra;
        length += extra;
        record.begin = b->data() + pos;  // the batch may have moved
      }
      Status parsed = parser->parse(b, in, recordLine, record, length);
      if (!parsed.ok()) {
        TQSORT_TRY(putRows());
        return parsed;
      }
      pos += length;
      if (b->rows.size() >= limits.rows) TQSORT_TRY(handOver());
    }
    if (atEnd && pos < b->used) return Status::error("internal error: input left over in '" + in.shown + "'");
  }
  if (b->rows.empty()) {
    b->used = 0;  // kept for the next input
    return Status();
  }
  return putRows();
}

}  // namespace tqsort
