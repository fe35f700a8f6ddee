// CSV/TSV scanning for tqsort: records and fields, RFC 4180 quoting.
//
// A field that starts with '"' is quoted: it runs to the next quote that is not
// doubled, may hold separators and line breaks, and must be followed by a separator,
// the line end or the end of the input.  A quote anywhere else is an ordinary byte of
// an unquoted field.  A record is one line, or several when a quoted field holds line
// breaks.  Scanning never copies and never allocates per field: fields are (pointer,
// length) slices of the input, and only a quoted field's content is unescaped, into a
// scratch buffer reused for every row.
#ifndef TQ_TOOLS_TQSORT_CSV_H
#define TQ_TOOLS_TQSORT_CSV_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqsort {

// One record of the input: the bytes from its first byte through its line end.
struct Record {
  const char* begin = nullptr;
  size_t length = 0;         // including the line end, if any
  size_t contentLength = 0;  // without "\n" or "\r\n"
  bool quoted = false;       // has a quoted field: fields need the slow split
  bool terminated = false;   // ends in a line end
  size_t innerLines = 0;     // line breaks inside quoted fields
};

enum class Scan {
  Record,     // *record holds the next record
  NeedMore,   // [p, end) holds no whole record yet and more input may follow
  Malformed,  // *problem says what and where
};

struct ScanProblem {
  size_t offset = 0;          // from the record's first byte
  const char* what = nullptr; // what is wrong, as a sentence without its full stop
};

// The byte-order mark a UTF-8 text may start with.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr size_t kUtf8BomLength = 3;

// Finds the record that starts at `p`.  At the end of the input (`atEnd`) the rest is
// one record, terminated or not; a quoted field still open there is Malformed, with
// the offset of its opening quote.
Scan nextRecord(const char* p, const char* end, bool atEnd, char separator, Record* record,
                ScanProblem* problem);

struct Field {
  const char* data;
  size_t length;
  bool quoted;
};

// Splits a record (as nextRecord returned it) into its first `count` fields; missing
// ones are empty.
void splitFields(const Record& record, char separator, size_t count, std::vector<Field>* fields);

// The number of fields of a record.
size_t countFields(const Record& record, char separator);

// The text of a field: quotes removed and doubled quotes collapsed (into `scratch`
// when needed).  Sets *data and *length.
void fieldText(const Field& field, std::string* scratch, const char** data, size_t* length);

}  // namespace tqsort

#endif
