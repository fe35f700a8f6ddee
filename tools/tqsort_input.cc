#include "tqsort_input.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

int64_t changedNs(const struct stat& st) { return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec; }

}  // namespace

void noteRegularFile(InputFile* in, const struct stat& st) {
  in->size = st.st_size;
  in->device = st.st_dev;
  in->inode = st.st_ino;
  in->changedNs = changedNs(st);
}

bool unchangedRegularFile(const InputFile& in, const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_dev == in.device && st.st_ino == in.inode && st.st_size == in.size &&
         changedNs(st) == in.changedNs;
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
      noteRegularFile(&in, st);
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

// One input being read: its descriptor, the batch being filled and where the scan is.
// readOne runs its phases in turn: make room, wait for bytes, read them, take the
// byte-order mark off the first ones, and scan the complete records among them.
struct InputReader::Pass {
  InputReader& reader;
  const InputFile& in;
  RecordParser* parser;
  BatchSink* sink;
  const BatchLimits& limits;
  int fd = 0;
  bool mayBlock = false;   // a pipe or terminal: a read may wait
  Batch* b = nullptr;      // the batch being filled
  size_t pos = 0;          // where the next record starts
  bool atEnd = false;
  bool firstBytes = true;
  bool sawHeader = false;
  int64_t lineNumber = 0;  // lines before the next record
  const char* lineEnd = "\n";

  ~Pass() {
    if (fd > 0) ::close(fd);
  }
  Status open();
  Status handOver();
  Status putRows();
  Status makeRoom();
  Status waitForBytes();
  Status readMore();
  bool takeByteOrderMark();
  Status scanRecords();
  Status takeRecord(Record& record);
};

Status InputReader::Pass::open() {
  if (in.name != "-") {
    fd = ::open(in.name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
  }
  // A pipe or terminal may stay open without bytes for a while: before a read would
  // wait, the rows in hand go to the sort, and the wait also ends when the run stops.
  struct stat st;
  mayBlock = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);
  if (reader.batch_ == nullptr && (reader.batch_ = sink->take()) == nullptr) return stopped();
  b = reader.batch_;
  b->file = &in;
  b->fileOffset = in.size >= 0 && !mayBlock ? 0 : -1;
  sawHeader = !reader.header_;
  return Status();
}

// Hands `b` on with its rows; the bytes from `pos` on start a fresh batch.
Status InputReader::Pass::handOver() {
  Batch* next = sink->take();
  if (next == nullptr) return stopped();
  size_t rest = b->used - pos;
  if (!next->reserve(rest)) return Status::error("out of memory for a record of " + std::to_string(rest) + " bytes");
  next->file = &in;
  next->fileOffset = b->fileOffset < 0 ? -1 : b->fileOffset + static_cast<int64_t>(pos);
  std::memcpy(next->data(), b->data() + pos, rest);
  next->used = rest;
  b->used = pos;
  reader.batch_ = nullptr;
  Status s = sink->put(b);
  reader.batch_ = b = next;
  pos = 0;
  return s;
}

// Before a failure: the rows before it go to the sort, which may fail on one of them
// first (and then that failure is the one reported, as it came first).
Status InputReader::Pass::putRows() {
  if (b->rows.empty()) return Status();
  b->used = pos;
  reader.batch_ = nullptr;
  return sink->put(b);
}

// Room in `b` for more bytes: a batch full of rows is handed on; a record longer than
// the batch makes it grow, one such batch at a time.
Status InputReader::Pass::makeRoom() {
  if (b->used < b->capacity()) return Status();
  if (!b->rows.empty()) {
    TQSORT_TRY(handOver());
  } else if (pos > 0) {  // only a byte-order mark or a header before: drop them
    if (b->fileOffset >= 0) b->fileOffset += static_cast<int64_t>(pos);
    std::memmove(b->data(), b->data() + pos, b->used - pos);
    b->used -= pos;
    pos = 0;
  }
  if (b->used < b->capacity()) return Status();
  TQSORT_TRY(sink->beforeGrowing(b));
  if (!b->reserve(b->capacity() * 2)) {
    return Status::error(in.shown + ":" + std::to_string(lineNumber + 1) + ": out of memory for a line of more than " +
                         std::to_string(b->used) + " bytes");
  }
  return Status();
}

Status InputReader::Pass::waitForBytes() {
  if (!mayBlock) return Status();
  pollfd ready = {fd, POLLIN, 0};
  if (!b->rows.empty() && ::poll(&ready, 1, 0) == 0) TQSORT_TRY(handOver());
  if (!reader.waitReadable(fd)) return stopped();
  return Status();
}

Status InputReader::Pass::readMore() {
  // Into a batch grown for a long record, an eighth of the record so far at a time: the
  // record is scanned again after each read (so the reads must grow with it), and what
  // is read past its end stays small.
  size_t room = std::min(b->capacity() - b->used, std::max(limits.bytes, (b->used - pos) / 8));
  for (;;) {
    ssize_t n = ::read(fd, b->data() + b->used, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::error("cannot read '" + in.shown + "': " + systemError(errno));
    if (n == 0) atEnd = true;
    b->used += static_cast<size_t>(n);
    reader.bytesRead_ += n;
    break;
  }
  if (reader.progress_ != nullptr && reader.totalBytes_ > 0) {
    reader.progress_->show("reading", static_cast<double>(reader.bytesRead_) / static_cast<double>(reader.totalBytes_));
  }
  if (reader.progress_ != nullptr && reader.progress_->stopped()) return stopped();
  return Status();
}

// The byte-order mark is not part of the first record; the output keeps the first
// input's mark as its own first bytes.  False while the bytes so far may still begin one.
bool InputReader::Pass::takeByteOrderMark() {
  if (!firstBytes) return true;
  size_t held = b->used - pos;
  const char* at = b->data() + pos;
  if (held < kUtf8BomLength && !atEnd && std::memcmp(at, kUtf8Bom, held) == 0) return false;
  firstBytes = false;
  bool bom = held >= kUtf8BomLength && std::memcmp(at, kUtf8Bom, kUtf8BomLength) == 0;
  if (bom) pos += kUtf8BomLength;
  if (held > 0 && !reader.anyBytes_) {
    reader.anyBytes_ = true;
    reader.bom_ = bom;
  }
  return true;
}

// Takes the record at `pos`: the header, or a row for the sort.
Status InputReader::Pass::takeRecord(Record& record) {
  int64_t recordLine = lineNumber + 1;
  lineNumber = recordLine + static_cast<int64_t>(record.innerLines);
  if (record.terminated) lineEnd = record.length > record.contentLength + 1 ? "\r\n" : "\n";
  if (!sawHeader) {
    sawHeader = true;
    bool first = !reader.headerSeen_;
    TQSORT_TRY(reader.checkHeader(in, record));
    if (first) {
      reader.headerText_.assign(record.begin, record.length);
      if (!record.terminated) reader.headerText_ += lineEnd;
      TQSORT_TRY(parser->resolve(&record));
    }
    pos += record.length;
    return Status();
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
  ++reader.rowsRead_;
  return Status();
}

Status InputReader::Pass::scanRecords() {
  Record record;
  ScanProblem problem;
  for (;;) {
    const char* p = b->data() + pos;
    Scan scan = nextRecord(p, b->data() + b->used, atEnd, reader.separator_, &record, &problem);
    if (scan == Scan::NeedMore) break;
    if (scan == Scan::Malformed) {
      int64_t line = lineNumber + 1;
      for (size_t i = 0; i < problem.offset; ++i) line += p[i] == '\n';
      TQSORT_TRY(putRows());
      return Status::error(in.shown + ":" + std::to_string(line) + ": " + problem.what);
    }
    TQSORT_TRY(takeRecord(record));
    if (b->rows.size() >= limits.rows) TQSORT_TRY(handOver());
  }
  // A batch grown for a long record goes on with the records read with it: it is not
  // filled up with more, so that its memory goes back soon.
  if (b->grownPast(limits.bytes) && !b->rows.empty()) TQSORT_TRY(handOver());
  if (atEnd && pos < b->used) return Status::error("internal error: input left over in '" + in.shown + "'");
  return Status();
}

Status InputReader::readOne(const InputFile& in, RecordParser* parser, BatchSink* sink, const BatchLimits& limits) {
  Pass pass{*this, in, parser, sink, limits};
  TQSORT_TRY(pass.open());
  while (!pass.atEnd || pass.pos < pass.b->used) {
    if (!pass.atEnd) {
      TQSORT_TRY(pass.makeRoom());
      TQSORT_TRY(pass.waitForBytes());
      TQSORT_TRY(pass.readMore());
      if (!pass.takeByteOrderMark()) continue;
    }
    TQSORT_TRY(pass.scanRecords());
  }
  Batch* b = pass.b;
  if (b->rows.empty()) {
    b->used = 0;  // kept for the next input
    return Status();
  }
  return pass.putRows();
}

}  // namespace tqsort
