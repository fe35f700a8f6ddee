#include "tqsort_merge.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "core/losertree.h"
#include "tqsort_ranges.h"
#include "tqsort_shard.h"

namespace tqsort {

namespace {

constexpr size_t kMergeBlockBytes = size_t{256} << 10;
constexpr size_t kLongestDefault = size_t{1} << 30;  // a record, without -S

// Where a pass writes: the output, or a file of a pass before the last.
class MergeSink {
 public:
  virtual ~MergeSink() = default;
  virtual Status write(const char* data, size_t length) = 0;
};

class StreamSink : public MergeSink {
 public:
  explicit StreamSink(OutputStream* out) : out_(out) {}
  Status write(const char* data, size_t length) override { return out_->write(data, length); }

 private:
  OutputStream* out_;
};

// A file of an earlier pass, written through a buffer.
class FileSink : public MergeSink {
 public:
  explicit FileSink(std::string path) : path_(std::move(path)) {}
  ~FileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  Status open() {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) return Status::error("cannot write '" + printable(path_) + "': " + systemError(errno));
    buffer_.reserve(kMergeBlockBytes);
    return Status();
  }
  Status write(const char* data, size_t length) override {
    if (buffer_.size() + length > kMergeBlockBytes) TQSORT_TRY(flush());
    if (length >= kMergeBlockBytes) return writeAll(data, length);
    buffer_.append(data, length);
    return Status();
  }
  Status close() {
    TQSORT_TRY(flush());
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Status::error("cannot write '" + printable(path_) + "': " + systemError(errno));
    return Status();
  }

 private:
  Status flush() {
    Status s = writeAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return s;
  }
  Status writeAll(const char* data, size_t length) {
    while (length > 0) {
      ssize_t n = ::write(fd_, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Status::error("cannot write '" + printable(path_) + "': " + systemError(errno));
      data += n;
      length -= static_cast<size_t>(n);
    }
    return Status();
  }
  std::string path_;
  int fd_ = -1;
  std::string buffer_;
};

// The header of the inputs (--header): the first input's, which every other must match.
struct MergeHeader {
  std::string text;  // with its line end
  std::string file;  // where it was read, shown
  bool bom = false;  // the first input began with a byte-order mark (written first again)
};

// The inputs of a pass as the sources of its tournament: an input that has ended has no
// record in hand.
struct MergeHeads {
  std::vector<std::unique_ptr<ShareReader>> readers;
  std::vector<char> live;  // the reader has a record in hand
  bool exhausted(uint32_t i) const { return live[i] == 0; }
  int compare(uint32_t a, uint32_t b) const {
    const std::string& ka = readers[a]->key();
    const std::string& kb = readers[b]->key();
    return compareKeys(ka.data(), ka.size(), kb.data(), kb.size());
  }
};

// One pass: `inputs` (at most the fan-in) merged into `sink`.  `begin` runs once every
// input has its first record, so that an input's failure comes before any output.
template <class Begin>
Status mergePass(const Options& o, const std::vector<std::string>& inputs, MergeSink* sink, MergeHeader* header,
                 Begin begin) {
  size_t longest = o.bufferSize != 0 ? static_cast<size_t>(o.bufferSize) : kLongestDefault;
  std::vector<Share> shares(inputs.size());
  MergeHeads heads;
  std::vector<std::unique_ptr<ShareReader>>& readers = heads.readers;
  heads.live.assign(inputs.size(), 0);
  for (size_t i = 0; i < inputs.size(); ++i) {
    shares[i].path = inputs[i];
    shares[i].end = INT64_MAX;
    if (o.header && !header->file.empty()) {
      shares[i].header = header->text.substr(0, header->text.find_last_not_of("\r\n") + 1);
      shares[i].headerFile = header->file;
    }
    readers.push_back(std::make_unique<ShareReader>(o, shares[i], 1, kMergeBlockBytes, longest));
    TQSORT_TRY(readers.back()->open());
    bool got = false;
    TQSORT_TRY(readers.back()->next(&got));
    heads.live[i] = got;
    if (inputs[i] == o.inputs.front() && i == 0 && readers.back()->first() > 0) header->bom = true;
    if (o.header && header->file.empty() && !readers.back()->header().empty()) {
      header->text = readers.back()->header();
      header->file = printable(inputs[i]);
    }
  }
  TQSORT_TRY(begin());
  const uint32_t count = static_cast<uint32_t>(readers.size());
  std::vector<uint32_t> nodes(tqmerge::LoserTree<MergeHeads>::nodeCount(count));
  tqmerge::LoserTree<MergeHeads> tree;
  tree.build(&heads, count, nodes.data());
  std::string last;  // -u: the keys of the record written last
  bool any = false;
  // The input whose record in hand comes first (equal keys: the first input), until
  // every input has ended.
  while (!tree.empty()) {
    const uint32_t best = tree.winner();
    ShareReader& r = *readers[best];
    if (!o.unique || !any || compareKeys(r.key().data(), r.key().size(), last.data(), last.size()) != 0) {
      TQSORT_TRY(sink->write(r.bytes().data(), r.bytes().size()));
      if (o.unique) last = r.key();
      any = true;
    }
    bool got = false;
    TQSORT_TRY(r.next(&got));
    heads.live[best] = got;
    tree.replay();
  }
  return Status();
}

// Merges groups of `fanIn` inputs into files (in `dir`, listed in *made) until at most
// `fanIn` remain.  Only the inputs have headers (*header takes the first); the files
// hold records, and a pass's files are removed once the next pass has merged them.
Status mergeGroups(Options* o, std::vector<std::string>* inputs, const std::string& dir, size_t fanIn,
                   MergeHeader* header, std::vector<std::string>* made) {
  size_t number = 0;
  bool ours = false;  // the inputs are files of the pass before
  while (inputs->size() > fanIn) {
    std::vector<std::string> next;
    for (size_t at = 0; at < inputs->size(); at += fanIn) {
      auto from = inputs->begin() + static_cast<ptrdiff_t>(at);
      std::vector<std::string> group(from, from + static_cast<ptrdiff_t>(std::min(fanIn, inputs->size() - at)));
      std::string path = dir + "/merge-" + std::to_string(number++);
      FileSink file(path);
      made->push_back(path);
      TQSORT_TRY(file.open());
      TQSORT_TRY(mergePass(*o, group, &file, header, [] { return Status(); }));
      TQSORT_TRY(file.close());
      next.push_back(path);
    }
    if (ours) {
      for (const std::string& in : *inputs) ::unlink(in.c_str());
    }
    ours = true;
    o->header = false;
    *inputs = std::move(next);
  }
  return Status();
}

// The inputs one pass may open: the descriptors the process may still open, less one
// for the pass's output and one to spare, at most kMergeInputs and at least 2 (a pass
// of two is tried even when the limit leaves no room to spare).  The descriptors the
// process holds already (the standard ones, the run directory) are counted, so that a
// low limit makes more passes rather than a failed open.
size_t chosenFanIn() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMergeInputs;
  const int most = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 16));
  if (most > 1024) return kMergeInputs;  // room for every pass, whatever is open
  int open = 0;
  for (int fd = 0; fd < most; ++fd) open += ::fcntl(fd, F_GETFD) != -1;
  const int room = most - open - 2;
  return static_cast<size_t>(std::clamp(room, 2, static_cast<int>(kMergeInputs)));
}

// Keys named by a header column take their columns from the first input's header.
Status resolveNamedKeys(Options* o) {
  bool named = std::any_of(o->keys.begin(), o->keys.end(), [](const KeyOption& k) { return k.index < 0 && !k.wholeLine; });
  if (!named) return Status();
  if (o->inputs.front() == "-") return Status::error("-m with a key named by a column needs the first input to be a file");
  bool bom = false;
  std::string header;
  TQSORT_TRY(firstRecord(o->inputs.front(), o->separator, &bom, &header));
  return resolveKeys(o, header);
}

}  // namespace

Status mergeInputs(const Options& options, OutputTarget& out, const std::vector<std::string>& runDirs,
                   size_t fanIn) {
  Options o = options;
  TQSORT_TRY(resolveNamedKeys(&o));
  std::vector<std::string> inputs = options.inputs;
  std::vector<std::string> made;
  MergeHeader header;
  if (fanIn == 0) fanIn = chosenFanIn();
  Status result = mergeGroups(&o, &inputs, runDirs.front(), std::max<size_t>(fanIn, 2), &header, &made);
  if (result.ok()) {
    OutputStream stream(&out, kMergeBlockBytes, false);
    StreamSink sink(&stream);
    result = mergePass(o, inputs, &sink, &header, [&]() -> Status {
      TQSORT_TRY(out.begin());
      if (header.bom) TQSORT_TRY(stream.write(kUtf8Bom, kUtf8BomLength));
      return header.text.empty() ? Status() : stream.write(header.text.data(), header.text.size());
    });
    if (result.ok()) result = stream.flush();
  }
  for (const std::string& path : made) ::unlink(path.c_str());
  TQSORT_TRY(result);
  return out.commit();
}

}  // namespace tqsort
