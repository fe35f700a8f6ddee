// Helpers of the external sort engine's tests: building records, running a whole sort
// through the C interface, and reading back what came out.
#ifndef TQ_TESTS_XSORT_SUPPORT_H
#define TQ_TESTS_XSORT_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "xsort/tqxsort.h"

// What a sort is asked to do.
struct XsortSetup {
  uint32_t recordLength = 0;
  uint32_t outputLength = 0;  // 0: not set (the record length)
  uint32_t chunkRows = 0;     // 0: not set
  uint64_t memory = 0;        // 0: not set
  uint32_t processors = 1;
  uint64_t expectedRows = 0;
  bool markGroups = false;
  bool dropDuplicates = false;
  std::vector<TqSortKeyPart> parts;
};

// What came out.  `stage` names the call that failed ("" when none did).
struct XsortResult {
  std::string stage;
  std::string error;
  std::vector<uint8_t> rows;   // output rows, contiguous
  std::vector<uint8_t> marks;  // one per row when marking groups
  std::vector<uint32_t> chunkRows;  // rows of each output chunk, in order
  uint32_t rowLength = 0;
  size_t count() const { return rowLength == 0 ? 0 : rows.size() / rowLength; }
  std::string row(size_t i) const {
    return std::string(reinterpret_cast<const char*>(rows.data()) + i * rowLength, rowLength);
  }
  std::vector<std::string> report;  // lines sent through report
  bool ok() const { return stage.empty(); }
};

// Records of a fixed length, built field by field.
class Records {
 public:
  explicit Records(uint32_t length) : length_(length) {}
  // Starts a new record, zero filled.
  uint8_t* add() {
    data_.resize(data_.size() + length_, 0);
    return data_.data() + data_.size() - length_;
  }
  size_t count() const { return data_.size() / length_; }
  const uint8_t* at(size_t i) const { return data_.data() + i * length_; }
  std::string record(size_t i) const {
    return std::string(reinterpret_cast<const char*>(at(i)), length_);
  }
  const std::vector<uint8_t>& bytes() const { return data_; }
  uint32_t length() const { return length_; }

 private:
  uint32_t length_;
  std::vector<uint8_t> data_;
};

inline void putInt64(uint8_t* p, int64_t v) { std::memcpy(p, &v, 8); }  // little-endian host
inline void putDouble(uint8_t* p, double v) { std::memcpy(p, &v, 8); }
inline void putString(uint8_t* p, const std::string& s, uint32_t field) {
  std::memset(p, 0, field);
  std::memcpy(p, s.data(), std::min<size_t>(s.size(), field));
}
inline int64_t getInt64(const uint8_t* p) {
  int64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline double getDouble(const uint8_t* p) {
  double v;
  std::memcpy(&v, p, 8);
  return v;
}
// The string stored in a field: up to its first zero byte.
inline std::string getString(const uint8_t* p, uint32_t field) {
  const void* z = std::memchr(p, 0, field);
  size_t n = z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : field;
  return std::string(reinterpret_cast<const char*>(p), n);
}

inline TqSortKeyPart keyPart(uint32_t offset, uint32_t length, uint32_t kind, bool descending,
                             const TqSortCollation* collation = nullptr, void* callback = nullptr) {
  TqSortKeyPart p;
  p.offset = offset;
  p.length = length;
  p.kind = kind;
  p.descending = descending ? 1 : 0;
  p.collation = collation;
  p.callback = callback;
  return p;
}

// A parameters object set from the setup; null with a test failure when a value is
// refused.
TqSortParms* makeParms(const XsortSetup& setup);
// A sort object with its keys added, checked and prepared; null with the text in
// `error` otherwise.
TqSortEngine* makeSort(const XsortSetup& setup, std::string* error);
// Runs a whole sort: parameters, keys, input in chunks, output, report, destroy.
XsortResult runSort(const XsortSetup& setup, const Records& records);
// Feeds records into an open input; "" or the failing stage, with the text in `error`.
std::string feed(TqSortInput* input, const Records& records, std::string* error);
// Reads every output chunk; "" or the failing stage.
std::string drain(TqSortEngine* sort, XsortResult* result);

// A reference order for records: the key parts compared field by field, as the
// engine is meant to order them (kinds 0 to 3; kind 4 parts are compared by the bytes
// of `callbackBytes`).
struct RefPart {
  uint32_t offset;
  uint32_t length;
  uint32_t kind;
  bool descending;
};
int compareRecords(const uint8_t* a, const uint8_t* b, const std::vector<RefPart>& parts);
std::vector<RefPart> refParts(const std::vector<TqSortKeyPart>& parts);
// Checks that `out` (rows of the record length) holds the records, in an order whose
// keys are those of a stable sort of them.
void expectSorted(const Records& records, const XsortResult& out,
                  const std::vector<RefPart>& parts);

// Descriptors open on files whose path starts with `dir` (this process).
int openFilesUnder(const std::string& dir);

// Fixture: a private temporary directory that "BASE/TEMP" points to.
class XsortTest : public TempDirTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

#endif
