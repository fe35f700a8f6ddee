// The external sort engine against a reference: random records with random key
// layouts (kinds, lengths, directions, null indicators, several parts), random memory
// sizes, chunk sizes and thread counts, compared with std::stable_sort of the same
// records by the same keys.  The engine's order need not be stable: the rows must be
// the same multiset and their keys must come in the reference's order.  Marks and
// dropped duplicates are checked against the reference's groups.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "platform/tqballoc.h"
#include "xsort_support.h"

namespace {

struct Layout {
  uint32_t recordLength = 0;
  std::vector<TqSortKeyPart> parts;
};

// A few fields with values drawn from small pools, so that keys tie often, in a
// record with filler around them.
Layout randomLayout(std::mt19937_64& rng) {
  Layout l;
  uint32_t at = static_cast<uint32_t>(rng() % 5);
  int fields = 1 + static_cast<int>(rng() % 3);
  for (int f = 0; f < fields; ++f) {
    bool descending = rng() % 2 == 0;
    bool nullable = rng() % 2 == 0;
    if (nullable) {
      l.parts.push_back(keyPart(at, 1, TQ_SORT_KIND_BYTE, !descending));
      at += 1;
    }
    switch (rng() % 5) {
      case 0: l.parts.push_back(keyPart(at, 1, TQ_SORT_KIND_BYTE, descending)); at += 1; break;
      case 1: l.parts.push_back(keyPart(at, 8, TQ_SORT_KIND_DATE, descending)); at += 8; break;
      case 2: l.parts.push_back(keyPart(at, 8, TQ_SORT_KIND_INTEGER, descending)); at += 8; break;
      default: {
        uint32_t length = rng() % 2 ? 1 + static_cast<uint32_t>(rng() % 20)   // padded form
                                    : 33 + static_cast<uint32_t>(rng() % 60);  // terminated form
        l.parts.push_back(keyPart(at, length, TQ_SORT_KIND_STRING, descending));
        at += length;
        break;
      }
    }
    at += static_cast<uint32_t>(rng() % 3);
  }
  l.recordLength = at + 8;  // a row number at the end
  return l;
}

void fillRecord(uint8_t* p, const Layout& l, std::mt19937_64& rng, size_t index) {
  for (uint32_t i = 0; i + 8 < l.recordLength; ++i) p[i] = static_cast<uint8_t>(rng());
  for (size_t k = 0; k < l.parts.size(); ++k) {
    const TqSortKeyPart& part = l.parts[k];
    uint8_t* v = p + part.offset;
    bool indicator = part.kind == TQ_SORT_KIND_BYTE && k + 1 < l.parts.size() &&
                     l.parts[k + 1].offset == part.offset + 1 && part.descending != l.parts[k + 1].descending;
    if (indicator) {
      v[0] = rng() % 6 == 0 ? 1 : 0;
      continue;
    }
    switch (part.kind) {
      case TQ_SORT_KIND_BYTE: v[0] = static_cast<uint8_t>(rng() % 7 * 40); break;
      case TQ_SORT_KIND_DATE: {
        // Signed zeros, NaNs of both signs and infinities among ordinary dates.
        static const double edges[] = {0.0, -0.0, std::numeric_limits<double>::quiet_NaN(),
                                       -std::numeric_limits<double>::quiet_NaN(),
                                       std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity()};
        putDouble(v, rng() % 6 == 0 ? edges[rng() % 6] : (static_cast<double>(rng() % 41) - 20) * 86400.5);
        break;
      }
      case TQ_SORT_KIND_INTEGER: {
        static const int64_t big[] = {INT64_MIN, INT64_MAX, -1, 0, 1 << 20};
        putInt64(v, rng() % 10 == 0 ? big[rng() % 5] : static_cast<int64_t>(rng() % 50) - 25);
        break;
      }
      default: {
        // Short strings over a few letters, with shared prefixes and high bytes.
        static const char letters[] = {'a', 'b', '\xe9', 'B'};
        size_t n = rng() % std::min<uint32_t>(part.length + 1, 6);
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(letters[rng() % 4]);
        std::memcpy(v, s.data(), s.size());
        if (s.size() < part.length) v[s.size()] = 0;  // bytes behind the terminator stay random
        break;
      }
    }
  }
  putInt64(p + l.recordLength - 8, static_cast<int64_t>(index));
}

}  // namespace

class XsortDiffTest : public XsortTest {};

TEST_F(XsortDiffTest, RandomKeyLayoutsSortAsAStableSortOfTheSameKeys) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 40; ++round) {
    Layout l = randomLayout(rng);
    size_t rows = 1 + rng() % (round % 4 == 0 ? 40000 : 3000);
    Records records(l.recordLength);
    for (size_t i = 0; i < rows; ++i) fillRecord(records.add(), l, rng, i);
    XsortSetup s;
    s.recordLength = l.recordLength;
    s.parts = l.parts;
    s.processors = 1 + static_cast<uint32_t>(rng() % 3);
    s.memory = rng() % 2 ? (256u << 10) + rng() % (1u << 20) : 0;
    s.chunkRows = rng() % 2 ? 1 + static_cast<uint32_t>(rng() % 500) : 0;
    s.expectedRows = rng() % 3 == 0 ? rows : 0;
    SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(rows) + " rows of " +
                 std::to_string(l.recordLength) + " bytes, " + std::to_string(l.parts.size()) +
                 " parts, memory " + std::to_string(s.memory) + ", chunk rows " +
                 std::to_string(s.chunkRows) + ", threads " + std::to_string(s.processors));
    std::vector<RefPart> ref = refParts(l.parts);
    int64_t before = 0, peak = 0;
    tqbAllocStats(&before, nullptr);
    tqbAllocResetPeak();
    expectSorted(records, runSort(s, records), ref);
    tqbAllocStats(nullptr, &peak);
    EXPECT_LE(peak - before, static_cast<int64_t>(s.memory != 0 ? s.memory : 64u << 20))
        << "allocations beyond the memory size";
    if (HasFailure()) return;

    // Marks and dropped duplicates: against the groups of the reference.
    std::vector<size_t> order(rows);
    for (size_t i = 0; i < rows; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return compareRecords(records.at(a), records.at(b), ref) < 0;
    });
    size_t groups = rows > 0 ? 1 : 0;
    for (size_t i = 1; i < rows; ++i) {
      groups += compareRecords(records.at(order[i - 1]), records.at(order[i]), ref) != 0;
    }
    s.markGroups = true;
    XsortResult marked = runSort(s, records);
    ASSERT_TRUE(marked.ok()) << marked.error;
    ASSERT_EQ(marked.marks.size(), rows);
    for (size_t i = 0; i < rows; ++i) {
      bool differs = i == 0 || compareRecords(marked.rows.data() + (i - 1) * l.recordLength,
                                              marked.rows.data() + i * l.recordLength, ref) != 0;
      ASSERT_EQ(marked.marks[i] != 0, differs) << "mark of row " << i;
    }
    s.markGroups = false;
    s.dropDuplicates = true;
    XsortResult unique = runSort(s, records);
    ASSERT_TRUE(unique.ok()) << unique.error;
    ASSERT_EQ(unique.count(), groups);
    for (size_t i = 1; i < unique.count(); ++i) {
      ASSERT_LT(compareRecords(unique.rows.data() + (i - 1) * l.recordLength,
                               unique.rows.data() + i * l.recordLength, ref), 0) << "row " << i;
    }
  }
}
