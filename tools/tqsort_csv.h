// CSV/TSV scanning for tqsort: records, fields and typed key values.
//
// A record is one line, or several when a quoted field holds line breaks (RFC 4180:
// fields may be quoted with '"', a quote inside is doubled).  Scanning never copies
// and never allocates per field: fields are (pointer, length) slices of the input, and
// only a quoted field's content is unescaped, into a scratch buffer reused for every
// row.
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
  size_t length = 0;        // including the line end, if any
  size_t contentLength = 0; // without "\n" or "\r\n"
  bool quoted = false;      // holds a '"': fields need the slow split
  bool terminated = false;  // ends in a line end
};

// Finds the record that starts at `p`.  Returns false when [p, end) holds no whole
// record yet and more input may follow (`atEnd` false); at the end of the input the
// rest is one record, terminated or not.  An unterminated quote runs to the end.
bool nextRecord(const char* p, const char* end, bool atEnd, Record* record);

struct Field {
  const char* data;
  size_t length;
  bool quoted;
};

// Splits a record's content into its first `count` fields (missing ones are empty).
void splitFields(const Record& record, char separator, size_t count, std::vector<Field>* fields);

// The text of a field: quotes removed and doubled quotes collapsed (into `scratch`
// when needed).  Sets *data and *length.
void fieldText(const Field& field, std::string* scratch, const char** data, size_t* length);

// Blanks (space, tab) removed at both ends.
void trimBlanks(const char** data, size_t* length);

// Typed parsers: true when the whole text is a value of the type.
bool parseInt64(const char* data, size_t length, int64_t* value);
// YYYY-MM-DD (the year may have 1 to 4 digits and a minus sign); checks the calendar.
bool parseDate(const char* data, size_t length, int* year, int* month, int* day);
// true/false, yes/no, t/f, y/n, 1/0, in any letter case.
bool parseBool(const char* data, size_t length, bool* value);

}  // namespace tqsort

#endif
