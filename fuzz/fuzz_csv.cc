// The CSV record scanner and the typed key parsers on arbitrary bytes.
//
// The first byte picks the separator and whether the input arrives whole or in two
// pieces; the rest is the input.  Checked: records tile the input exactly; a record
// found before the end of the input is the same record found in the whole input;
// splitting and unquoting stay within the record; every field goes through every
// typed parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqsort_csv.h"
#include "tqsort_values.h"

#include "fuzz_check.h"

namespace {


void parseEverything(const char* data, size_t length) {
  int64_t i;
  int y, m, d;
  bool b;
  uint8_t dec[24];
  tqsort::trimBlanks(&data, &length);
  tqsort::parseInt64(data, length, &i);
  if (tqsort::parseDate(data, length, &y, &m, &d)) CHECK(y >= 1 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= 31);
  tqsort::parseBool(data, length, &b);
  tqsort::parseDecimal(data, length, dec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  static const char kSeparators[] = {',', '\t', ';', '|'};
  char sep = kSeparators[bytes[0] & 3];
  size_t cut = (bytes[0] >> 2) % 64;  // where a first piece ends, before the end
  std::string text(reinterpret_cast<const char*>(bytes + 1), size - 1);
  const char* begin = text.data();
  const char* end = begin + text.size();

  std::vector<std::string> whole;
  std::vector<tqsort::Field> fields;
  std::string scratch;
  const char* p = begin;
  tqsort::Record r;
  tqsort::ScanProblem problem;
  tqsort::Scan scan;
  while ((scan = tqsort::nextRecord(p, end, true, sep, &r, &problem)) == tqsort::Scan::Record) {
    CHECK(r.begin == p && r.length > 0 && p + r.length <= end && r.contentLength <= r.length);
    whole.emplace_back(p, r.length);
    size_t count = tqsort::countFields(r, sep);
    CHECK(count >= 1 && count <= r.length + 1);
    tqsort::splitFields(r, sep, count + 1, &fields);
    CHECK(fields.size() == count + 1 && fields.back().length == 0);
    for (const tqsort::Field& f : fields) {
      CHECK(f.data >= r.begin && f.data + f.length <= r.begin + r.contentLength);
      const char* value;
      size_t length;
      tqsort::fieldText(f, &scratch, &value, &length);
      CHECK(length <= f.length);
      parseEverything(value, length);
    }
    p += r.length;
  }
  if (scan == tqsort::Scan::Malformed) {
    CHECK(problem.what != nullptr && p + problem.offset <= end);
  } else {
    CHECK(p == end);  // every byte is in a record
  }

  // The same input with its end not yet known: what is found is what was found.
  size_t prefix = text.size() > cut ? text.size() - cut : 0;
  p = begin;
  size_t k = 0;
  while (tqsort::nextRecord(p, begin + prefix, false, sep, &r, &problem) == tqsort::Scan::Record) {
    CHECK(k < whole.size() && whole[k] == std::string(p, r.length));
    p += r.length;
    ++k;
  }
  return 0;
}
