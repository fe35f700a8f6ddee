#include "tqsort_collate_merge.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace tqsort {

namespace {

// Main rows a long line is sorted with in one round, at most.
constexpr size_t kMostProbesEach = 1024;

}  // namespace

LongLineMerge::LongLineMerge(Setup setup)
    : s_(std::move(setup)),
      entryBytes_(s_.options->stable || s_.options->unique ? 16 : 8),
      order_(s_.runDirs, "order", 0) {}

Status LongLineMerge::flushOrder() {
  if (orderBuffer_.empty()) return Status();
  TQSORT_TRY(order_.append(orderBuffer_.data(), orderBuffer_.size()));
  orderBuffer_.clear();
  return Status();
}

Status LongLineMerge::putOrder(int64_t place, uint64_t line) {
  char bytes[16];
  std::memcpy(bytes, &place, 8);
  std::memcpy(bytes + 8, &line, 8);
  orderBuffer_.insert(orderBuffer_.end(), bytes, bytes + entryBytes_);
  if (orderInFile_ ? orderBuffer_.size() >= s_.blockBytes : orderBuffer_.size() > s_.orderMemory) {
    orderInFile_ = true;  // from now on the list is in the file
    TQSORT_TRY(flushOrder());
    if (orderBuffer_.capacity() > s_.blockBytes) std::vector<char>().swap(orderBuffer_);
  }
  return Status();
}

Status LongLineMerge::readOrder(uint64_t first, uint64_t count, char* to) const {
  if (!orderInFile_) {
    std::memcpy(to, orderBuffer_.data() + first * entryBytes_, static_cast<size_t>(count * entryBytes_));
    return Status();
  }
  return order_.read(first * entryBytes_, to, static_cast<size_t>(count * entryBytes_));
}

Status LongLineMerge::readMain(CollateTable* main) {
  int32_t status = main->sort();
  for (; status == 0; status = main->next()) {
    TQSORT_TRY(putOrder(main->place(), main->line()));
    ++mainRows_;
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(main->error());
  if (orderInFile_) {
    TQSORT_TRY(flushOrder());
    TQSORT_TRY(order_.seal());
    std::vector<char>().swap(orderBuffer_);
  }
  main->release();
  return Status();
}

Status LongLineMerge::take(CollateTable* main, CollateTable* longSort) {
  // The long sort first: its memory is free for the list of places then.
  int32_t status = longSort->sort();
  for (; status == 0; status = longSort->next()) long_.push_back(LongEntry{longSort->place(), longSort->line()});
  if (status != TqDatafile::StatusEndOfData) return Status::error(longSort->error());
  longSort->release();
  TQSORT_TRY(readMain(main));
  for (LongEntry& e : long_) e.high = mainRows_;
  return Status();
}

Status LongLineMerge::mainEntry(uint64_t rank, MainEntry* entry) const {
  char bytes[16] = {};
  TQSORT_TRY(readOrder(rank, 1, bytes));
  std::memcpy(&entry->place, bytes, 8);
  std::memcpy(&entry->line, bytes + 8, 8);
  return Status();
}

Status LongLineMerge::probeSort(std::vector<ProbeRow>& rows, bool marks,
                                const std::function<void(int64_t who, bool start)>& seen) {
  const Options& o = *s_.options;
  const bool stable = o.stable || o.unique;
  // Added in input order, a stable sort keeps equal keys so, as the main sort did.
  if (stable) std::sort(rows.begin(), rows.end(), [](const ProbeRow& a, const ProbeRow& b) { return a.line < b.line; });
  CollateTable table(o, *s_.collation, s_.dirs);
  CollateTable::Shape shape;
  shape.widths = widths_;
  shape.stable = stable;
  shape.marks = marks;
  shape.memory = s_.memory;
  shape.processors = s_.processors;
  TQSORT_TRY(table.create(shape));
  ++probeSorts_;
  Batch batch(s_.blockBytes);
  std::string scratch;
  for (const ProbeRow& row : rows) {
    int64_t place = 0;
    if (row.who >= 0) {
      MainEntry e;
      TQSORT_TRY(mainEntry(static_cast<uint64_t>(row.who), &e));
      place = e.place;
    } else {
      place = long_[static_cast<size_t>(-1 - row.who)].place;
    }
    const char* line = nullptr;
    size_t length = 0;
    TQSORT_TRY(s_.spool->lineAt(place, &scratch, &line, &length));
    TQSORT_TRY(s_.parse(&batch, line, length, row.line));
    TQSORT_TRY(table.add(batch, batch.values.data(), row.who));
    batch.reset(s_.blockBytes);
  }
  bool start = false;
  int32_t status = table.sort();
  for (; status == 0; status = table.next(&start)) seen(table.place(), start);
  if (status != TqDatafile::StatusEndOfData) return Status::error(table.error());
  return Status();
}

Status LongLineMerge::round(size_t first, size_t last, size_t probesEach) {
  std::vector<ProbeRow> rows;
  std::vector<std::vector<uint64_t>> probes(last - first);
  std::unordered_map<uint64_t, bool> seenRank;  // the main rows in the sort, and whether seen yet
  for (size_t i = first; i < last; ++i) {
    LongEntry& e = long_[i];
    if (e.dropped || e.low == e.high) continue;
    uint64_t span = e.high - e.low;
    uint64_t m = std::min<uint64_t>(probesEach, span);
    for (uint64_t j = 0; j < m; ++j) {
      uint64_t rank = e.low + (j + 1) * span / (m + 1);
      probes[i - first].push_back(rank);
      if (seenRank.emplace(rank, false).second) {
        MainEntry me;
        TQSORT_TRY(mainEntry(rank, &me));
        rows.push_back(ProbeRow{me.line, static_cast<int64_t>(rank)});
      }
    }
    rows.push_back(ProbeRow{e.line, -1 - static_cast<int64_t>(i)});
  }
  if (rows.empty()) return Status();
  return probeSort(rows, false, [&](int64_t who, bool) {
    if (who >= 0) {
      seenRank[static_cast<uint64_t>(who)] = true;
      return;
    }
    // A long line: its probes seen before it are the main rows that go before it.
    size_t i = static_cast<size_t>(-1 - who);
    LongEntry& e = long_[i];
    const std::vector<uint64_t>& mine = probes[i - first];
    size_t before = 0;
    for (uint64_t rank : mine) before += seenRank[rank] ? 1 : 0;
    if (before > 0) e.low = mine[before - 1] + 1;
    if (before < mine.size()) e.high = mine[before];
  });
}

Status LongLineMerge::place(const std::vector<int32_t>& widths) {
  widths_ = widths;
  // Each probe sort holds as many rows as an eighth of its memory takes.
  uint64_t rowBytes = CollateTable::rowBytes(*s_.options, widths_, false);
  size_t budget = static_cast<size_t>(std::clamp<uint64_t>(s_.memory / 8 / rowBytes, 64, 1u << 16));
  for (;;) {
    size_t open = 0;
    for (const LongEntry& e : long_) open += e.low < e.high ? 1 : 0;
    if (open == 0) break;
    size_t probesEach = std::clamp<size_t>(budget / open, 2, kMostProbesEach + 1) - 1;
    size_t linesEach = std::max<size_t>(1, budget / (probesEach + 1));
    for (size_t first = 0; first < long_.size(); first += linesEach) {
      TQSORT_TRY(round(first, std::min(long_.size(), first + linesEach), probesEach));
    }
  }
  if (s_.options->unique) TQSORT_TRY(dropEqual());
  return Status();
}

Status LongLineMerge::dropEqual() {
  // The main rows beside each long line's place, and the line, in one sort with group
  // marks: equal keys share a group.
  std::unordered_map<int64_t, uint64_t> groupOf;
  uint64_t group = 0;
  auto seen = [&](int64_t who, bool start) {
    group += start ? 1 : 0;
    groupOf[who] = group;
  };
  std::vector<ProbeRow> rows;
  std::unordered_map<uint64_t, bool> added;
  auto addMain = [&](uint64_t rank) -> Status {
    if (!added.emplace(rank, true).second) return Status();
    MainEntry e;
    TQSORT_TRY(mainEntry(rank, &e));
    rows.push_back(ProbeRow{e.line, static_cast<int64_t>(rank)});
    return Status();
  };
  for (size_t i = 0; i < long_.size(); ++i) {
    const LongEntry& e = long_[i];
    if (e.low > 0) TQSORT_TRY(addMain(e.low - 1));
    if (e.low < mainRows_) TQSORT_TRY(addMain(e.low));
    rows.push_back(ProbeRow{e.line, -1 - static_cast<int64_t>(i)});
  }
  TQSORT_TRY(probeSort(rows, true, seen));
  // Of two equal lines the one that came first stays: a main row before the place came
  // first (equal keys keep input order), one after it came later.
  for (size_t i = 0; i < long_.size(); ++i) {
    LongEntry& e = long_[i];
    uint64_t mine = groupOf[-1 - static_cast<int64_t>(i)];
    if (e.low > 0 && groupOf[static_cast<int64_t>(e.low - 1)] == mine) {
      e.dropped = true;
    } else if (e.low < mainRows_ && groupOf[static_cast<int64_t>(e.low)] == mine) {
      droppedMain_.push_back(e.low);
    }
  }
  std::sort(droppedMain_.begin(), droppedMain_.end());
  return Status();
}

Status LongLineMerge::write(const std::function<Status(int64_t place)>& write) {
  std::vector<size_t> byPlace(long_.size());
  for (size_t i = 0; i < byPlace.size(); ++i) byPlace[i] = i;
  std::stable_sort(byPlace.begin(), byPlace.end(), [&](size_t a, size_t b) { return long_[a].low < long_[b].low; });
  size_t nextLong = 0, nextDropped = 0;
  std::vector<char> buffer(std::max<size_t>(s_.blockBytes / entryBytes_, 1) * entryBytes_);
  const size_t inBuffer = buffer.size() / entryBytes_;
  for (uint64_t rank = 0; rank <= mainRows_; ++rank) {
    for (; nextLong < byPlace.size() && long_[byPlace[nextLong]].low == rank; ++nextLong) {
      const LongEntry& e = long_[byPlace[nextLong]];
      if (!e.dropped) TQSORT_TRY(write(e.place));
    }
    if (rank == mainRows_) break;
    if (rank % inBuffer == 0) TQSORT_TRY(readOrder(rank, std::min<uint64_t>(inBuffer, mainRows_ - rank), buffer.data()));
    if (nextDropped < droppedMain_.size() && droppedMain_[nextDropped] == rank) {
      ++nextDropped;
      continue;
    }
    int64_t place;
    std::memcpy(&place, buffer.data() + (rank % inBuffer) * entryBytes_, 8);
    TQSORT_TRY(write(place));
  }
  return Status();
}

}  // namespace tqsort
