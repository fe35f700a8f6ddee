#include "tqsort_merge.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "core/losertree.h"
#include "core/sortkey.h"
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

// A file of an earlier pass (a TempSpill: compressed when the run compresses its
// temporary files), written through a buffer.
class SpillSink : public MergeSink {
 public:
  explicit SpillSink(TempSpill* spill) : spill_(spill) { buffer_.reserve(kMergeBlockBytes); }
  Status write(const char* data, size_t length) override {
    if (buffer_.size() + length > kMergeBlockBytes) TQSORT_TRY(flush());
    if (length >= kMergeBlockBytes) return spill_->append(data, length);
    buffer_.append(data, length);
    return Status();
  }
  // Writes what waits: the file can be read from here on, and holds no descriptor.
  Status close() {
    TQSORT_TRY(flush());
    return spill_->finish();
  }

 private:
  Status flush() {
    Status s = spill_->append(buffer_.data(), buffer_.size());
    buffer_.clear();
    return s;
  }
  TempSpill* spill_;
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
  uint64_t head(uint32_t i) const {
    const std::string& k = readers[i]->key();
    return tqkey::loadPrefix(reinterpret_cast<const uint8_t*>(k.data()), k.size());
  }
};

// --stats: the passes before the last, and the bytes of their files.
struct MergeFigures {
  size_t passes = 0;
  uint64_t appended = 0;
  uint64_t onDisk = 0;
};

// The inputs of a pass: the files named, or those of the pass before.
struct PassInputs {
  std::vector<std::string> paths;
  std::vector<std::unique_ptr<TempSpill>> files;  // empty for the files named
  size_t size() const { return paths.size(); }
};

// One pass: inputs [from, to) (at most the fan-in) merged into `sink`.  `begin` runs once
// every input has its first record, so that an input's failure comes before any output.
template <class Begin>
Status mergePass(const Options& o, const PassInputs& in, size_t from, size_t to, MergeSink* sink,
                 MergeHeader* header, Begin begin) {
  const std::vector<std::string> inputs(in.paths.begin() + static_cast<ptrdiff_t>(from),
                                        in.paths.begin() + static_cast<ptrdiff_t>(to));
  size_t longest = o.bufferSize != 0 ? static_cast<size_t>(o.bufferSize) : kLongestDefault;
  std::vector<Share> shares(inputs.size());
  MergeHeads heads;
  std::vector<std::unique_ptr<ShareReader>>& readers = heads.readers;
  heads.live.assign(inputs.size(), 0);
  for (size_t i = 0; i < inputs.size(); ++i) {
    shares[i].path = inputs[i];
    shares[i].end = INT64_MAX;
    if (!in.files.empty()) shares[i].spill = in.files[from + i].get();
    if (o.header && !header->file.empty()) {
      shares[i].header = header->text.substr(0, header->text.find_last_not_of("\r\n") + 1);
      shares[i].headerFile = header->file;
    }
    readers.push_back(std::make_unique<ShareReader>(o, shares[i], 1, kMergeBlockBytes, longest));
    TQSORT_TRY(readers.back()->open());
    bool got = false;
    TQSORT_TRY(readers.back()->next(&got));
    heads.live[i] = got;
    if (in.files.empty() && from + i == 0 && readers.back()->first() > 0) header->bom = true;
    if (o.header && header->file.empty() && !readers.back()->header().empty()) {
      header->text = readers.back()->header();
      header->file = printable(inputs[i]);
    }
  }
  TQSORT_TRY(begin());
  const uint32_t count = static_cast<uint32_t>(readers.size());
  std::vector<tqmerge::LoserTree<MergeHeads>::Node> nodes(tqmerge::LoserTree<MergeHeads>::nodeCount(count));
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

// Merges groups of `fanIn` inputs into files (in `dirs`) until at most `fanIn` remain.
// Only the inputs have headers (*header takes the first); the files hold records, and a
// pass's files are removed once the next pass has merged them.
Status mergeGroups(Options* o, PassInputs* inputs, const std::vector<std::string>& dirs, size_t fanIn,
                   MergeHeader* header, MergeFigures* figures) {
  size_t number = 0;
  while (inputs->size() > fanIn) {
    PassInputs next;
    for (size_t at = 0; at < inputs->size(); at += fanIn) {
      const std::string name = "merge-" + std::to_string(number);
      next.files.push_back(
          std::make_unique<TempSpill>(dirs, name, number++, TempSpill::kSegmentBytes, TempSpill::Reads::inOrder));
      SpillSink file(next.files.back().get());
      const size_t end = std::min(at + fanIn, inputs->size());
      TQSORT_TRY(mergePass(*o, *inputs, at, end, &file, header, [] { return Status(); }));
      TQSORT_TRY(file.close());
      // The group's files are merged: they go, and their descriptors with them.
      for (size_t i = at; i < end && !inputs->files.empty(); ++i) inputs->files[i].reset();
      next.paths.push_back(next.files.back()->path());
      figures->appended += next.files.back()->size();
      figures->onDisk += next.files.back()->diskBytes();
    }
    o->header = false;
    *inputs = std::move(next);
    ++figures->passes;
  }
  return Status();
}

// The inputs one pass may open: the descriptors the process may still open, less one
// for the pass's output and one to spare, at most kMergeInputs and at least 2 (a pass
// of two is tried even when the limit leaves no room to spare).  The descriptors the
// process holds already (the standard ones, the run directory) are counted, so that a
// low limit makes more passes rather than a failed open.
// A compress program (`spare` 4) takes two pipes while it runs.
size_t chosenFanIn(int spare) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMergeInputs;
  const int most = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 16));
  if (most > 1024) return kMergeInputs;  // room for every pass, whatever is open
  int open = 0;
  for (int fd = 0; fd < most; ++fd) open += ::fcntl(fd, F_GETFD) != -1;
  const int room = most - open - 2 - spare;
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
  PassInputs inputs;
  inputs.paths = options.inputs;
  MergeHeader header;
  if (fanIn == 0) fanIn = chosenFanIn(options.compress.rfind("program:", 0) == 0 ? 4 : 0);
  MergeFigures figures;
  Status result = mergeGroups(&o, &inputs, runDirs, std::max<size_t>(fanIn, 2), &header, &figures);
  if (result.ok()) {
    OutputStream stream(&out, kMergeBlockBytes, false);
    StreamSink sink(&stream);
    result = mergePass(o, inputs, 0, inputs.size(), &sink, &header, [&]() -> Status {
      TQSORT_TRY(out.begin());
      if (header.bom) TQSORT_TRY(stream.write(kUtf8Bom, kUtf8BomLength));
      return header.text.empty() ? Status() : stream.write(header.text.data(), header.text.size());
    });
    inputs.files.clear();  // merged: they go, and their descriptors with them
    if (result.ok()) result = stream.flush();
  }
  TQSORT_TRY(result);
  TQSORT_TRY(out.commit());
  if (o.stats) {
    std::fprintf(stderr,
                 "tqsort: %zu inputs merged in %zu passes; %llu bytes in the files of passes before the last "
                 "(%llu on disk)\n",
                 options.inputs.size(), figures.passes + 1, static_cast<unsigned long long>(figures.appended),
                 static_cast<unsigned long long>(figures.onDisk));
  }
  return Status();
}

}  // namespace tqsort
