#include "xsort_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>

#include "platform/tqbconfig.h"

TqSortParms* makeParms(const XsortSetup& s) {
  TqSortParms* p = tqSortParmsCreate();
  if (p == nullptr) return nullptr;
  const TqSortParmsOps* o = p->ops;
  bool ok = o->setInt(p, TQ_SORT_PARM_RECORD_LENGTH, static_cast<int32_t>(s.recordLength)) == 0;
  if (ok && s.outputLength != 0) ok = o->setInt(p, TQ_SORT_PARM_OUTPUT_LENGTH, static_cast<int32_t>(s.outputLength)) == 0;
  if (ok && s.chunkRows != 0) ok = o->setInt(p, TQ_SORT_PARM_CHUNK_ROWS, static_cast<int32_t>(s.chunkRows)) == 0;
  if (ok) ok = o->setDefault(p, 0, 1) == 0;
  if (ok) ok = o->setBool(p, TQ_SORT_PARM_MARK_GROUPS, s.markGroups) == 0;
  if (ok) ok = o->setBool(p, TQ_SORT_PARM_DROP_DUPLICATES, s.dropDuplicates) == 0;
  if (ok) ok = o->setInt(p, TQ_SORT_PARM_PROCESSORS, static_cast<int32_t>(s.processors)) == 0;
  if (ok) {
    ok = o->setInt64(p, TQ_SORT_PARM_EXPECTED_ROWS, static_cast<uint32_t>(s.expectedRows),
                     static_cast<uint32_t>(s.expectedRows >> 32)) == 0;
  }
  if (ok && s.memory != 0) {
    ok = o->setInt64(p, TQ_SORT_PARM_MEMORY, static_cast<uint32_t>(s.memory),
                     static_cast<uint32_t>(s.memory >> 32)) == 0;
  }
  if (!ok) {
    ADD_FAILURE() << "parameter refused: " << o->getError(p);
    o->destroy(p);
    return nullptr;
  }
  return p;
}

TqSortEngine* makeSort(const XsortSetup& setup, std::string* error) {
  TqSortParms* p = makeParms(setup);
  if (p == nullptr) {
    *error = "parameters";
    return nullptr;
  }
  TqSortEngine* s = tqSortCreate(p);
  if (s == nullptr) {
    *error = p->ops->getError(p);
    p->ops->destroy(p);
    return nullptr;
  }
  p->ops->destroy(p);
  const TqSortEngineOps* o = s->ops;
  for (const TqSortKeyPart& part : setup.parts) {
    if (o->addKey(s, &part, 0) != 0) {
      *error = o->getError(s);
      o->destroy(s);
      return nullptr;
    }
  }
  if (o->checkKeys(s) != 0 || o->prepare(s) != 0) {
    *error = o->getError(s);
    o->destroy(s);
    return nullptr;
  }
  return s;
}

std::string feed(TqSortInput* in, const Records& records, std::string* error) {
  const uint32_t length = records.length();
  size_t next = 0;
  for (;;) {
    TqSortInputChunk* c = nullptr;
    if (in->ops->getInputChunk(in, &c) != 0) {
      *error = in->ops->getError(in);
      return "getInputChunk";
    }
    if (c == nullptr || c->rowCount == 0 || c->state != TQ_SORT_CHUNK_NORMAL) {
      *error = "a bad input chunk was handed out";
      return "getInputChunk";
    }
    size_t n = std::min<size_t>(c->rowCount, records.count() - next);
    if (n > 0) std::memcpy(c->rows, records.at(next), n * length);
    next += n;
    c->rowCount = static_cast<uint32_t>(n);
    c->state = next == records.count() ? TQ_SORT_CHUNK_LAST : TQ_SORT_CHUNK_NORMAL;
    bool last = c->state == TQ_SORT_CHUNK_LAST;
    if (in->ops->submitInputChunk(in, c) != 0) {
      *error = in->ops->getError(in);
      return "submitInputChunk";
    }
    if (last) return "";
  }
}

std::string drain(TqSortEngine* s, XsortResult* r) {
  for (;;) {
    TqSortOutputChunk* c = nullptr;
    if (s->ops->getOutputChunk(s, &c) != 0) {
      r->error = s->ops->getError(s);
      return "getOutputChunk";
    }
    if (c == nullptr || c->state == TQ_SORT_CHUNK_FAILED) {
      r->error = s->ops->getError(s);
      return "getOutputChunk";
    }
    r->rowLength = c->recordLength;
    r->chunkRows.push_back(c->rowCount);
    const uint8_t* rows = static_cast<const uint8_t*>(c->rows);
    r->rows.insert(r->rows.end(), rows, rows + size_t{c->rowCount} * c->recordLength);
    if (c->marks != nullptr) r->marks.insert(r->marks.end(), c->marks, c->marks + c->rowCount);
    bool last = c->state == TQ_SORT_CHUNK_LAST;
    if (s->ops->releaseOutputChunk(s, c) != 0) {
      r->error = s->ops->getError(s);
      return "releaseOutputChunk";
    }
    if (last) return "";
  }
}

namespace {

int collectLine(void* block, const char* text) {
  auto* lines = static_cast<std::vector<std::string>*>(static_cast<TqSortInfoBlock*>(block)->context);
  lines->push_back(text);
  return 0;
}

}  // namespace

XsortResult runSort(const XsortSetup& setup, const Records& records) {
  XsortResult r;
  TqSortEngine* s = makeSort(setup, &r.error);
  if (s == nullptr) {
    r.stage = "create";
    return r;
  }
  TqSortInput* in = s->ops->openInput(s);
  if (in == nullptr) {
    r.stage = "openInput";
    r.error = s->ops->getError(s);
    s->ops->destroy(s);
    return r;
  }
  r.stage = feed(in, records, &r.error);
  in->ops->close(in, 1);
  if (r.stage.empty()) r.stage = drain(s, &r);
  if (r.stage.empty()) {
    TqSortInfoBlock block{&collectLine, &r.report};
    s->ops->report(s, &block);
  }
  s->ops->destroy(s);
  return r;
}

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

int compareDates(double a, double b) {
  bool na = a != a, nb = b != b;
  if (na || nb) return na && nb ? 0 : (na ? 1 : -1);  // NaN above everything
  return a < b ? -1 : (a > b ? 1 : 0);                // -0.0 == 0.0
}

}  // namespace

int compareRecords(const uint8_t* a, const uint8_t* b, const std::vector<RefPart>& parts) {
  for (const RefPart& p : parts) {
    const uint8_t* x = a + p.offset;
    const uint8_t* y = b + p.offset;
    int c = 0;
    switch (p.kind) {
      case TQ_SORT_KIND_BYTE: c = sign(int{x[0]} - int{y[0]}); break;
      case TQ_SORT_KIND_DATE: c = compareDates(getDouble(x), getDouble(y)); break;
      case TQ_SORT_KIND_INTEGER: {
        int64_t u = getInt64(x), v = getInt64(y);
        c = u < v ? -1 : (u > v ? 1 : 0);
        break;
      }
      default: {
        std::string u = getString(x, p.length), v = getString(y, p.length);
        c = sign(u.compare(v));  // std::string compares bytes as unsigned char
        break;
      }
    }
    if (p.descending) c = -c;
    if (c != 0) return c;
  }
  return 0;
}

std::vector<RefPart> refParts(const std::vector<TqSortKeyPart>& parts) {
  std::vector<RefPart> out;
  for (const TqSortKeyPart& p : parts) out.push_back({p.offset, p.length, p.kind, p.descending != 0});
  return out;
}

void expectSorted(const Records& records, const XsortResult& out, const std::vector<RefPart>& parts) {
  ASSERT_TRUE(out.ok()) << out.stage << ": " << out.error;
  ASSERT_EQ(out.count(), records.count());
  ASSERT_EQ(out.rowLength, records.length());
  std::vector<size_t> order(records.count());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    return compareRecords(records.at(x), records.at(y), parts) < 0;
  });
  for (size_t i = 0; i < order.size(); ++i) {
    const uint8_t* got = out.rows.data() + i * out.rowLength;
    ASSERT_EQ(compareRecords(got, records.at(order[i]), parts), 0) << "row " << i << " out of order";
  }
  std::vector<std::string> a, b;
  for (size_t i = 0; i < records.count(); ++i) {
    a.push_back(records.record(i));
    b.push_back(out.row(i));
  }
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_TRUE(a == b) << "the rows that came out are not the rows that went in";
}

int openFilesUnder(const std::string& dir) {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t len = readlink(link.c_str(), target, sizeof(target) - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    if (std::string(target).compare(0, dir.size(), dir) == 0) ++n;
  }
  closedir(d);
  return n;
}

void XsortTest::SetUp() {
  TempDirTest::SetUp();
  tqbSetConfigValue("BASE/TEMP", dir_.c_str());
}

void XsortTest::TearDown() {
  EXPECT_EQ(openFilesUnder(dir_), 0) << "a work file is still open";
  tqbSetConfigValue("BASE/TEMP", nullptr);
  TempDirTest::TearDown();
}
