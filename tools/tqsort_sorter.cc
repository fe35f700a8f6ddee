#include "tqsort_sorter.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/losertree.h"
#include "core/sortkey.h"
#include "platform/tqsync.h"
#include "tqsort_output.h"
#include "tqsort_shard.h"

namespace tqsort {

// --- progress and statistics of several sorts ------------------------------------------------

// The sorts report their progress from their own threads: the bar shows the least
// advanced, drawn under a lock, until the output starts.
class ShardProgress {
 public:
  ShardProgress(ProgressBar* bar, size_t count) : bar_(bar), fractions_(count, 0.0) {
    for (size_t i = 0; i < count; ++i) slots_.push_back(std::make_unique<Slot>(this, i));
  }
  TqSortProgress* slot(size_t i) { return slots_[i].get(); }
  // The output starts: the bar is cleared and stays so.
  void done() {
    TqStdLock lock(mutex_);
    over_ = true;
    bar_->done();
  }

 private:
  struct Slot : TqSortProgress {
    Slot(ShardProgress* ownedBy, size_t slot) : owner(ownedBy), index(slot) {}
    bool progress(double fraction) override {
      owner->update(index, fraction);
      return !owner->bar_->stopped();
    }
    ShardProgress* owner;
    size_t index;
  };
  void update(size_t index, double fraction) {
    TqStdLock lock(mutex_);
    fractions_[index] = fraction;
    if (!over_) bar_->show("merging", *std::min_element(fractions_.begin(), fractions_.end()));
  }

  ProgressBar* bar_;
  TqStdMutex mutex_;
  bool over_ TQ_GUARDED_BY(mutex_) = false;
  std::vector<double> fractions_ TQ_GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<Slot>> slots_;
};

// --- the sorts together -----------------------------------------------------------------------

Sorter::Sorter(Options& options, ProgressBar* progress, StatsReport* stats)
    : o_(options), progress_(progress), stats_(stats) {}

Sorter::~Sorter() { release(); }

void Sorter::release() {
  for (auto& shard : shards_) shard->release();
}

uint64_t Sorter::memory() const {
  uint64_t memory = sizes_.memory;
  for (const auto& shard : shards_) memory = std::max(memory, shard->memory());
  return memory;
}

uint64_t Sorter::lineFileBytes(uint64_t* appended) const {
  uint64_t bytes = 0, raw = 0;
  for (const auto& shard : shards_) {
    bytes += shard->lineFileBytes();
    raw += shard->lineFileAppended();
  }
  if (appended != nullptr) *appended = raw;
  return bytes;
}

std::vector<BatchConsumer*> Sorter::consumers() {
  std::vector<BatchConsumer*> all;
  for (auto& shard : shards_) all.push_back(shard.get());
  return all;
}

Status Sorter::start(const std::vector<std::string>& tempDirs, const SortSizes& sizes) {
  sizes_ = sizes;
  std::string dirs;
  for (const std::string& d : tempDirs) dirs += (dirs.empty() ? "" : ":") + d;
  // The managers take the list; an engine that reads the configuration finds it too.
  tqbSetConfigValue("BASE/TEMP", dirs.c_str());
  size_t count = static_cast<size_t>(sizes_.shards);
  if (count > 1) shardProgress_ = std::make_unique<ShardProgress>(progress_, count);
  for (size_t i = 0; i < count; ++i) {
    shards_.push_back(std::make_unique<Shard>(o_, sizes_, i));
    TqSortProgress* progress = count > 1 ? shardProgress_->slot(i) : progress_;
    TqSortInfo* info = o_.stats ? stats_->sort(i, count) : nullptr;
    TQSORT_TRY(shards_.back()->start(tempDirs, progress, info));
  }
  return Status();
}

Status Sorter::finishOne(OutputStream* out, const std::function<Status()>& begin) {
  Shard& shard = *shards_.front();
  int32_t status = shard.sort();
  progress_->done();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  TQSORT_TRY(begin());
  while (status == 0) {
    TQSORT_TRY(shard.writeLine(out));
    status = shard.next();
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  return Status();
}



// A batch of one sort's sorted rows, for the merge: each row's key (the library's key
// bytes, Shard::appendKey) and its line (or the reference of a spilled line).  Each on
// cache lines of its own: the merge moves `next` on for every row while the sort's
// thread fills the other batch of its lane.
struct alignas(64) SortedRows {
  struct Entry {
    size_t key;
    uint32_t keyLength;
    uint32_t lineLength;
    bool spilled;
  };
  std::string bytes;
  std::vector<Entry> entries;
  size_t next = 0;  // the merge's place
  void clear() {
    bytes.clear();
    entries.clear();
    next = 0;
  }
};

// The head batches of the sorts as the sources of the merge's tournament: a sort without
// a batch has no more rows.
struct SortedHeads {
  std::vector<SortedRows*> heads;
  const SortedRows::Entry& entry(uint32_t i) const { return heads[i]->entries[heads[i]->next]; }
  const char* key(uint32_t i) const { return heads[i]->bytes.data() + entry(i).key; }
  bool exhausted(uint32_t i) const { return heads[i] == nullptr; }
  int compare(uint32_t a, uint32_t b) const {
    return compareKeys(key(a), entry(a).keyLength, key(b), entry(b).keyLength);
  }
  uint64_t head(uint32_t i) const { return tqkey::loadPrefix(reinterpret_cast<const uint8_t*>(key(i)), entry(i).keyLength); }
};

// The rows of several sorts on their way to the merge: each sort's thread reads its
// sorted rows into batches (two per sort), the merging thread takes them in order.
class SortedFeed {
 public:
  explicit SortedFeed(size_t sorts) : lanes_(sorts) {
    for (Lane& lane : lanes_) lane.free = {&lane.buffers[0], &lane.buffers[1]};
  }
  // A sort's thread: an empty batch, or null when the merge has stopped.
  SortedRows* take(size_t sort) {
    TqStdLock lock(mutex_);
    Lane& lane = lanes_[sort];
    while (!stopped_ && lane.free.empty()) changed_.wait(lock.unique());
    if (stopped_) return nullptr;
    SortedRows* rows = lane.free.back();
    lane.free.pop_back();
    return rows;
  }
  void put(size_t sort, SortedRows* rows) {
    TqStdLock lock(mutex_);
    lanes_[sort].full.push_back(rows);
    changed_.notify_all();
  }
  // A sort's thread ends: with its failure, or none at the end of its rows.
  void end(size_t sort, Status status) {
    TqStdLock lock(mutex_);
    lanes_[sort].ended = true;
    if (!status.ok()) stopped_ = true;
    lanes_[sort].status = std::move(status);
    changed_.notify_all();
  }
  // The merge: the sort's next batch, or null at its end (*status then says whether
  // it failed, or another sort did).
  SortedRows* next(size_t sort, Status* status) {
    TqStdLock lock(mutex_);
    Lane& lane = lanes_[sort];
    while (!stopped_ && lane.full.empty() && !lane.ended) changed_.wait(lock.unique());
    if (stopped_) {
      *status = firstFailure();
      return nullptr;
    }
    if (lane.full.empty()) {
      *status = lane.status;
      return nullptr;
    }
    SortedRows* rows = lane.full.front();
    lane.full.erase(lane.full.begin());
    return rows;
  }
  void giveBack(size_t sort, SortedRows* rows) {
    rows->clear();
    TqStdLock lock(mutex_);
    lanes_[sort].free.push_back(rows);
    changed_.notify_all();
  }
  void stop() {
    TqStdLock lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  Status firstFailure() const TQ_REQUIRES(mutex_) {
    for (const Lane& lane : lanes_) {
      if (!lane.status.ok()) return lane.status;
    }
    return Status::error("stopped");
  }
  struct Lane {
    SortedRows buffers[2];
    std::vector<SortedRows*> free;
    std::vector<SortedRows*> full;
    bool ended = false;
    Status status;
  };
  TqStdMutex mutex_;
  std::condition_variable changed_;
  std::vector<Lane> lanes_ TQ_GUARDED_BY(mutex_);
  bool stopped_ TQ_GUARDED_BY(mutex_) = false;
};

namespace {

// A sort's thread in the merge: sorts, then reads its rows into batches.
Status readSorted(Shard& shard, size_t index, SortedFeed* feed, size_t batchBytes) {
  int32_t status = shard.sort();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  while (status == 0) {
    SortedRows* rows = feed->take(index);
    if (rows == nullptr) return Status();  // the merge stopped
    while (status == 0 && rows->bytes.size() < batchBytes) {
      SortedRows::Entry e;
      e.key = rows->bytes.size();
      if (!shard.appendKey(&rows->bytes)) return Status::error(shard.error());
      e.keyLength = static_cast<uint32_t>(rows->bytes.size() - e.key);
      size_t lineStart = rows->bytes.size();
      if (!shard.appendLine(&rows->bytes, &e.spilled)) return Status::error("internal error: a stored line cannot be read");
      e.lineLength = static_cast<uint32_t>(rows->bytes.size() - lineStart);
      rows->entries.push_back(e);
      status = shard.next();
    }
    feed->put(index, rows);
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  return Status();
}

}  // namespace

Status Sorter::finishMerged(OutputStream* out, const std::function<Status()>& begin) {
  size_t count = shards_.size();
  SortedFeed feed(count);
  std::vector<std::thread> threads;
  Status result;
  try {
    threads.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      threads.emplace_back([this, i, &feed] {
        Status s = outOfMemoryAsFailure([&] { return readSorted(*shards_[i], i, &feed, sizes_.blockBytes); });
        feed.end(i, std::move(s));
      });
    }
  } catch (const std::system_error& e) {
    result = Status::error(std::string("cannot start a thread: ") + e.what());
  } catch (const std::bad_alloc&) {
    result = Status::error("out of memory");
  }
  if (result.ok()) result = outOfMemoryAsFailure([&] { return mergeSorted(&feed, out, begin); });
  feed.stop();
  for (std::thread& t : threads) t.join();
  return result;
}

Status Sorter::mergeSorted(SortedFeed* feed, OutputStream* out, const std::function<Status()>& begin) {
  const size_t count = shards_.size();
  Status result;
  // The head batch of each sort; a sort without rows has none.
  SortedHeads sources{std::vector<SortedRows*>(count, nullptr)};
  std::vector<SortedRows*>& heads = sources.heads;
  for (size_t i = 0; i < count && result.ok(); ++i) heads[i] = feed->next(i, &result);
  if (shardProgress_) shardProgress_->done();
  if (result.ok()) result = begin();
  std::vector<tqmerge::LoserTree<SortedHeads>::Node> nodes(
      tqmerge::LoserTree<SortedHeads>::nodeCount(static_cast<uint32_t>(count)));
  tqmerge::LoserTree<SortedHeads> tree;
  tree.build(&sources, static_cast<uint32_t>(count), nodes.data());
  std::string last;  // -u: the keys of the row written last
  bool any = false;
  const size_t sequenceBytes = sizes_.sequenceKey ? kSequenceKeyBytes : 0;
  // The sort whose row in hand comes first (equal keys: the first sort), until every
  // sort's rows are out.
  while (result.ok() && !tree.empty()) {
    const uint32_t best = tree.winner();
    SortedRows* rows = heads[best];
    const SortedRows::Entry& entry = sources.entry(best);
    const char* key = sources.key(best);
    size_t userKey = entry.keyLength - sequenceBytes;
    bool duplicate = o_.unique && any && compareKeys(key, userKey, last.data(), last.size()) == 0;
    if (!duplicate) {
      if (o_.unique) last.assign(key, userKey);
      any = true;
      const char* line = key + entry.keyLength;
      result = entry.spilled ? shards_[best]->writeSpilled(line, out) : out->write(line, entry.lineLength);
    }
    if (++rows->next == rows->entries.size()) {
      feed->giveBack(best, rows);
      heads[best] = feed->next(best, &result);
    }
    tree.replay();
  }
  return result;
}

Status Sorter::finish(OutputTarget* target, bool bom, const std::string& header, const StoredLine& stored) {
  for (auto& shard : shards_) shard->setStored(&stored);
  Status result;
  {
    OutputStream out(target, sizes_.blockBytes, sizes_.threads);
    // The output starts once every sort has its first row: a sort's failure comes
    // first, and only then is the target begun (a FIFO opened, a file rewritten in place
    // truncated).
    auto begin = [&]() -> Status {
      TQSORT_TRY(target->begin());
      if (bom) TQSORT_TRY(out.write(kUtf8Bom, kUtf8BomLength));
      if (!header.empty()) TQSORT_TRY(out.write(header.data(), header.size()));
      return Status();
    };
    result = shards_.size() == 1 ? finishOne(&out, begin) : finishMerged(&out, begin);
    if (result.ok()) result = out.flush();
  }
  TQSORT_TRY(result);
  return target->commit();
}

}  // namespace tqsort
