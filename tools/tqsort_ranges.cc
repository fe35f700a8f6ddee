#include "tqsort_ranges.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "tqsort_csv.h"
#include "tqsort_input.h"
#include "tqsort_parse.h"
#include "tqsort_shard.h"

namespace tqsort {

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr size_t kSampleBlockBytes = size_t{16} << 10;

}  // namespace

ShareReader::ShareReader(const Options& options, const Share& share, int64_t firstLine, size_t blockBytes,
                         size_t longest)
    : o_(options), share_(share), parser_(options.keys, options.separator, options.lenient, false),
      batch_(blockBytes), longest_(std::max(longest, blockBytes)), line_(firstLine) {
  in_.name = share.path;
  in_.shown = share.path == "-" ? std::string("(standard input)") : printable(share.path);
}

ShareReader::~ShareReader() {
  if (fd_ > 0) ::close(fd_);
}

Status ShareReader::fill() {
  if (pos_ > 0) {
    std::memmove(batch_.data(), batch_.data() + pos_, batch_.used - pos_);
    batch_.used -= pos_;
    base_ += static_cast<int64_t>(pos_);
    pos_ = 0;
  }
  if (batch_.used == batch_.capacity()) {
    if (batch_.capacity() >= longest_) {
      return Status::error(in_.shown + ":" + std::to_string(line_) + ": a record longer than " +
                           std::to_string(longest_) + " bytes (the memory a worker gives it)");
    }
    if (!batch_.reserve(std::min(longest_, batch_.capacity() * 2))) return Status::error("out of memory");
  }
  if (share_.spill != nullptr) {
    uint64_t at = static_cast<uint64_t>(base_) + batch_.used;
    size_t n = static_cast<size_t>(std::min<uint64_t>(batch_.capacity() - batch_.used, share_.spill->size() - at));
    TQSORT_TRY(share_.spill->read(at, batch_.data() + batch_.used, n));
    atEnd_ = n == 0;
    batch_.used += n;
    return Status();
  }
  for (;;) {
    // Standard input is read as it comes (a pipe has no offsets); a file at its offsets.
    ssize_t n = fd_ == 0 ? ::read(fd_, batch_.data() + batch_.used, batch_.capacity() - batch_.used)
                         : ::pread(fd_, batch_.data() + batch_.used, batch_.capacity() - batch_.used,
                                   static_cast<off_t>(base_ + static_cast<int64_t>(batch_.used)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::error("cannot read '" + in_.shown + "': " + systemError(errno));
    atEnd_ = n == 0;
    batch_.used += static_cast<size_t>(n);
    return Status();
  }
}

Status ShareReader::findLineStart() {
  base_ = share_.begin - 1;
  char before = 0;  // the byte before the line end found (CR: the lines end in CRLF)
  if (base_ > 0 && ::pread(fd_, &before, 1, static_cast<off_t>(base_ - 1)) != 1) before = 0;
  for (;;) {
    if (pos_ == batch_.used) {
      if (atEnd_) return Status();  // no line starts in the rest of the file
      if (pos_ > 0) before = batch_.data()[pos_ - 1];
      TQSORT_TRY(fill());
      continue;
    }
    const char* at = batch_.data() + pos_;
    const char* nl = static_cast<const char*>(std::memchr(at, '\n', batch_.used - pos_));
    if (nl == nullptr) {
      pos_ = batch_.used;
      continue;
    }
    if (nl > batch_.data()) before = nl[-1];
    if (before == '\r') lineEnd_ = "\r\n";
    pos_ = static_cast<size_t>(nl - batch_.data()) + 1;
    return Status();
  }
}

Status ShareReader::open() {
  if (share_.spill == nullptr) fd_ = share_.path == "-" ? 0 : ::open(share_.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0 && share_.spill == nullptr) return Status::error("cannot read '" + in_.shown + "': " + systemError(errno));
  if (share_.begin > 0) {
    TQSORT_TRY(findLineStart());
  } else {
    while (batch_.used < kUtf8BomLength && !atEnd_) TQSORT_TRY(fill());
    if (batch_.used >= kUtf8BomLength && std::memcmp(batch_.data(), kUtf8Bom, kUtf8BomLength) == 0) {
      pos_ = kUtf8BomLength;
    }
    headerNext_ = o_.header;
  }
  first_ = offset();
  return parser_.resolve(nullptr);  // the keys are numbered (resolvedKeys)
}

Status ShareReader::checkHeader(const Record& record) {
  std::string_view content(record.begin, record.contentLength);
  if (content == share_.header) return Status();
  return Status::error(in_.shown + ":1: the header '" + printable(content) + "' differs from the header of '" +
                       share_.headerFile + "'");
}

Status ShareReader::makeKey(const Batch& batch) {
  key_.clear();
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    TQSORT_TRY(setKeyValue(&value_, batch.values[i], batch));
    appendSortKey(&key_, o_.keys[i].type, o_.keys[i].descending, value_);
  }
  return Status();
}

Status ShareReader::next(bool* got) {
  *got = false;
  for (;;) {
    if ((offset() >= share_.end && !headerNext_) || added_ > 0) return Status();
    Record record;
    ScanProblem problem;
    const char* p = batch_.data() + pos_;
    Scan scan = nextRecord(p, batch_.data() + batch_.used, atEnd_, o_.separator, &record, &problem);
    if (scan == Scan::NeedMore) {
      if (atEnd_) return Status();  // the file's end
      TQSORT_TRY(fill());
      continue;
    }
    if (scan == Scan::Malformed) {
      int64_t line = line_;
      for (size_t i = 0; i < problem.offset; ++i) line += p[i] == '\n';
      return Status::error(in_.shown + ":" + std::to_string(line) + ": " + problem.what);
    }
    int64_t recordLine = line_;
    int64_t breaks = static_cast<int64_t>(record.innerLines) + (record.terminated ? 1 : 0);
    line_ += breaks;
    lines_ += breaks;
    if (record.terminated) lineEnd_ = record.length > record.contentLength + 1 ? "\r\n" : "\n";
    if (headerNext_) {
      headerNext_ = false;
      header_.assign(record.begin, record.length);
      if (!share_.headerFile.empty()) TQSORT_TRY(checkHeader(record));
      pos_ += record.length;
      continue;
    }
    uint64_t length = record.length;
    if (!record.terminated) {
      size_t extra = std::strlen(lineEnd_);
      if (!batch_.reserve(batch_.used + extra)) return Status::error("out of memory");
      std::memcpy(batch_.data() + batch_.used, lineEnd_, extra);
      batch_.used += extra;
      length += extra;
      added_ = extra;
      record.begin = batch_.data() + pos_;  // the batch may have moved
    }
    batch_.rows.clear();
    batch_.values.clear();
    batch_.arena.clear();
    TQSORT_TRY(parser_.parse(&batch_, in_, recordLine, record, length));
    TQSORT_TRY(makeKey(batch_));
    record_ = std::string_view(record.begin, length);
    pos_ += length;
    *got = true;
    return Status();
  }
}

namespace {

// The piece files of one share, each written through a buffer of its own.
class Pieces {
 public:
  Pieces(const std::string& prefix, size_t count, size_t bufferBytes)
      : prefix_(prefix), bufferBytes_(bufferBytes), files_(count) {}
  ~Pieces() {
    for (File& f : files_) {
      if (f.fd >= 0) ::close(f.fd);
    }
  }
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;

  // Appends `record` to piece `range`.  *markAdded when the piece is new and the record
  // begins with a byte-order mark, which then goes before it.
  Status add(size_t range, std::string_view record, bool* markAdded) {
    File& f = files_[range];
    *markAdded = false;
    if (f.fd < 0) {
      std::string path = prefix_ + std::to_string(range);
      f.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (f.fd < 0) return Status::error("cannot write '" + printable(path) + "': " + systemError(errno));
      f.buffer.reserve(bufferBytes_);
      if (record.substr(0, kUtf8BomLength) == std::string_view(kUtf8Bom, kUtf8BomLength)) {
        f.buffer.append(kUtf8Bom, kUtf8BomLength);
        *markAdded = true;
      }
    }
    if (f.buffer.size() + record.size() > bufferBytes_) TQSORT_TRY(flush(range));
    if (record.size() >= bufferBytes_) return write(range, record.data(), record.size());
    f.buffer.append(record);
    return Status();
  }

  // Writes every buffer out and closes the files.
  Status finish() {
    for (size_t r = 0; r < files_.size(); ++r) {
      if (files_[r].fd < 0) continue;
      TQSORT_TRY(flush(r));
      int fd = files_[r].fd;
      files_[r].fd = -1;
      if (::close(fd) != 0) return Status::error("cannot write '" + printable(prefix_ + std::to_string(r)) + "': " +
                                                 systemError(errno));
    }
    return Status();
  }

 private:
  struct File {
    int fd = -1;
    std::string buffer;
  };

  Status flush(size_t range) {
    File& f = files_[range];
    Status s = write(range, f.buffer.data(), f.buffer.size());
    f.buffer.clear();
    return s;
  }

  Status write(size_t range, const char* data, size_t length) {
    while (length > 0) {
      ssize_t n = ::write(files_[range].fd, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        return Status::error("cannot write '" + printable(prefix_ + std::to_string(range)) + "': " +
                             systemError(errno));
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
    return Status();
  }

  std::string prefix_;
  size_t bufferBytes_;
  std::vector<File> files_;
};

}  // namespace

Status firstRecord(const std::string& path, char separator, bool* bom, std::string* record) {
  Options options;
  options.separator = separator;
  Share share;
  share.path = path;
  share.end = INT64_MAX;  // only the first record is read
  ShareReader reader(options, share, 1, kSampleBlockBytes, kBlockBytes * 64);
  TQSORT_TRY(reader.open());
  *bom = reader.first() > 0;
  bool got = false;
  TQSORT_TRY(reader.next(&got));
  record->assign(got ? reader.bytes() : std::string_view());
  return Status();
}

Status resolveKeys(Options* options, const std::string& header) {
  RecordParser parser(options->keys, options->separator, options->lenient, false);
  Record record;
  ScanProblem problem;
  bool named = std::any_of(options->keys.begin(), options->keys.end(),
                           [](const KeyOption& k) { return k.index < 0 && !k.wholeLine; });
  if (named && nextRecord(header.data(), header.data() + header.size(), true, options->separator, &record, &problem) ==
                   Scan::Record) {
    TQSORT_TRY(parser.resolve(&record));
  } else {
    TQSORT_TRY(parser.resolve(nullptr));
  }
  options->keys = parser.keys();
  return Status();
}

Status resolvedKeys(const Options& options, const std::string& header, std::vector<std::string>* keys) {
  Options resolved = options;
  TQSORT_TRY(resolveKeys(&resolved, header));
  keys->clear();
  for (const KeyOption& key : resolved.keys) {
    // The line's own keys come back when the pieces are sorted with the same options;
    // only the plain ones are made so there.
    if (key.wholeLine) {
      if (key.type != KeyType::Str || key.fold || key.descending) {
        return Status::error("the cluster sort orders whole lines only ascending by their bytes: give -s with -r, or -k keys with -n, -g or -f");
      }
      continue;
    }
    std::string column = std::to_string(key.index + 1);
    if (key.number != NumberRead::Whole || key.fold || key.skipBlanks) {
      // The field form, its modifiers on the first position (where 'b' means the start).
      keys->push_back(column + (key.number == NumberRead::Leading ? "n" : "") +
                      (key.number == NumberRead::General ? "g" : "") + (key.fold ? "f" : "") +
                      (key.skipBlanks ? "b" : "") + (key.descending ? "r" : "") + "," + column);
    } else {
      keys->push_back(column + ":" + typeName(key.type) + (key.descending ? ":r" : ""));
    }
  }
  return Status();
}

namespace {

// The ranges are cut by the keys given: their pieces are sorted with -s, so equal keys
// keep their input order within the one range that holds them all.
Options keysGiven(const Options& options) {
  Options o = options;
  o.keys.erase(std::remove_if(o.keys.begin(), o.keys.end(), [](const KeyOption& k) { return k.lastResort; }),
               o.keys.end());
  return o;
}

}  // namespace

Status sampleKeys(const Options& givenOptions, const Share& share, size_t count, size_t memory,
                  std::vector<std::string>* keys) {
  Options options = keysGiven(givenOptions);
  keys->clear();
  if (count == 0 || share.end <= share.begin) return Status();
  int64_t span = share.end - share.begin;
  for (size_t i = 0; i < count; ++i) {
    Share at = share;
    at.begin = share.begin + static_cast<int64_t>(static_cast<double>(span) * static_cast<double>(i) /
                                                  static_cast<double>(count));
    if (i > 0 && at.begin == share.begin) continue;  // a share smaller than the count
    at.headerFile.clear();  // a header is passed over, not checked, here
    ShareReader reader(options, at, 1, kSampleBlockBytes, memory);
    TQSORT_TRY(reader.open());
    bool got = false;
    if (reader.next(&got).ok() && got) keys->push_back(reader.key());
  }
  return Status();
}

Status splitShare(const Options& givenOptions, const Share& share, int64_t firstLine,
                  const std::vector<std::string>& boundaries, const std::string& piecePrefix,
                  size_t memory, ShareSplit* split) {
  Options options = keysGiven(givenOptions);
  size_t ranges = boundaries.size() + 1;
  *split = ShareSplit();
  split->rows.assign(ranges, 0);
  split->bytes.assign(ranges, 0);
  split->markAdded.assign(ranges, false);
  size_t bufferBytes = std::clamp<size_t>(memory / 2 / ranges, size_t{4} << 10, kBlockBytes);
  ShareReader reader(options, share, firstLine, std::min(kBlockBytes, std::max<size_t>(memory / 4, 4096)),
                     memory / 2);
  Pieces pieces(piecePrefix, ranges, bufferBytes);
  TQSORT_TRY(reader.open());
  split->first = reader.first();
  for (;;) {
    bool got = false;
    TQSORT_TRY(reader.next(&got));
    if (!got) break;
    size_t r = static_cast<size_t>(std::lower_bound(boundaries.begin(), boundaries.end(), reader.key()) -
                                   boundaries.begin());
    if (!piecePrefix.empty()) {
      bool markAdded = false;
      TQSORT_TRY(pieces.add(r, reader.bytes(), &markAdded));
      if (markAdded) split->markAdded[r] = true;
    }
    split->rows[r] += 1;
    split->bytes[r] += static_cast<int64_t>(reader.bytes().size());
  }
  split->next = reader.offset();
  split->lines = reader.lines();
  return pieces.finish();
}

}  // namespace tqsort
