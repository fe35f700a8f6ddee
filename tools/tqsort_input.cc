#include "tqsort_input.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "tqsort_progress.h"

namespace tqsort {

namespace {

constexpr size_t kReadSize = size_t{1} << 22;

}  // namespace

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

Status InputReader::readAll(RecordSink* sink) {
  for (const InputFile& in : inputs_) TQSORT_TRY(readOne(in, sink));
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

Status InputReader::readOne(const InputFile& in, RecordSink* sink) {
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

  if (buffer_.size() < kReadSize) buffer_.resize(kReadSize);
  size_t held = 0;      // bytes of an unfinished record at the buffer's start
  size_t start = 0;     // where the next record starts (after a byte-order mark)
  bool atEnd = false;
  bool firstBytes = true;
  bool sawHeader = !header_;
  int64_t lineNumber = 0;  // lines before the next record
  const char* lineEnd = "\n";
  while (!atEnd || held > start) {
    if (!atEnd) {
      if (held == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // a record longer than the buffer
      ssize_t n = ::read(fd, buffer_.data() + held, buffer_.size() - held);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
      }
      if (n == 0) atEnd = true;
      held += static_cast<size_t>(n);
      bytesRead_ += n;
      if (progress_ != nullptr && totalBytes_ > 0) {
        progress_->show("reading", static_cast<double>(bytesRead_) / static_cast<double>(totalBytes_));
      }
      if (firstBytes) {
        // The byte-order mark is not part of the first record; the output keeps the
        // first input's mark as its own first bytes.
        if (held < kUtf8BomLength && !atEnd && std::memcmp(buffer_.data(), kUtf8Bom, held) == 0) continue;
        firstBytes = false;
        bool bom = held >= kUtf8BomLength && std::memcmp(buffer_.data(), kUtf8Bom, kUtf8BomLength) == 0;
        if (bom) start = kUtf8BomLength;
        if (held > 0 && !anyBytes_) {
          anyBytes_ = true;
          bom_ = bom;
        }
      }
    }
    const char* p = buffer_.data() + start;
    const char* end = buffer_.data() + held;
    Record record;
    ScanProblem problem;
    for (;;) {
      Scan scan = nextRecord(p, end, atEnd, separator_, &record, &problem);
      if (scan == Scan::NeedMore) break;
      int64_t recordLine = lineNumber + 1;
      if (scan == Scan::Malformed) {
        int64_t line = recordLine;
        for (size_t i = 0; i < problem.offset; ++i) line += p[i] == '\n';
        return Status::error(in.shown + ":" + std::to_string(line) + ": " + problem.what);
      }
      p += record.length;
      lineNumber = recordLine + static_cast<int64_t>(record.innerLines);
      if (record.terminated) lineEnd = record.length > record.contentLength + 1 ? "\r\n" : "\n";
      if (!sawHeader) {
        sawHeader = true;
        bool first = !headerSeen_;
        TQSORT_TRY(checkHeader(in, record));
        if (first) TQSORT_TRY(sink->header(in, record, lineEnd));
        continue;
      }
      TQSORT_TRY(sink->record(in, recordLine, record, lineEnd));
    }
    size_t rest = static_cast<size_t>(end - p);
    if (rest > 0 && p != buffer_.data()) std::memmove(buffer_.data(), p, rest);
    held = rest;
    start = 0;
    if (atEnd && held > 0) return Status::error("internal error: input left over in '" + in.shown + "'");
  }
  return Status();
}

}  // namespace tqsort
