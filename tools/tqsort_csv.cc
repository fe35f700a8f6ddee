#include "tqsort_csv.h"

#include <cstring>

namespace tqsort {

namespace {

// Where the quoted field opening at `open` ends: the byte after its closing quote.
// Null when the input ends first (`*more`: more input could close it).
const char* skipQuoted(const char* open, const char* end, bool atEnd, bool* more, size_t* lines) {
  const char* p = open + 1;
  for (;;) {
    const char* q = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
    if (q == nullptr) {
      *more = !atEnd;
      return nullptr;
    }
    for (const char* c = p; c < q; ++c) *lines += *c == '\n';
    if (q + 1 < end && q[1] == '"') {  // a doubled quote: data
      p = q + 2;
      continue;
    }
    if (q + 1 == end && !atEnd) {  // the next byte decides
      *more = true;
      return nullptr;
    }
    return q + 1;
  }
}

}  // namespace

Scan nextRecord(const char* p, const char* end, bool atEnd, char separator, Record* record, ScanProblem* problem) {
  if (p >= end) return Scan::NeedMore;
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
  const char* limit = nl != nullptr ? nl : end;
  Record r;
  r.begin = p;
  if (std::memchr(p, '"', static_cast<size_t>(limit - p)) != nullptr) {
    // Slow path: walk field by field; a quoted field may hold line ends.
    nl = nullptr;
    const char* c = p;
    for (;;) {
      if (c < end && *c == '"') {
        bool more = false;
        const char* after = skipQuoted(c, end, atEnd, &more, &r.innerLines);
        if (after == nullptr) {
          if (more) return Scan::NeedMore;
          problem->offset = static_cast<size_t>(c - p);
          problem->what = "a quoted field opens on this line and is never closed";
          return Scan::Malformed;
        }
        r.quoted = true;
        c = after;
        if (c == end) break;  // the last record, unterminated
        if (*c == separator) {
          ++c;
          continue;
        }
        if (*c == '\n') {
          nl = c;
          break;
        }
        if (*c == '\r') {
          if (c + 1 == end) {  // a carriage return as the input's last byte
            if (!atEnd) return Scan::NeedMore;
            c = end;
            break;
          }
          if (c[1] == '\n') {
            nl = c + 1;
            break;
          }
        }
        problem->offset = static_cast<size_t>(c - p);
        problem->what = "a quoted field must be followed by the separator or the line end";
        return Scan::Malformed;
      }
      // An unquoted field: up to the separator or the line end; quotes are data.
      while (c < end && *c != separator && *c != '\n') ++c;
      if (c == end) break;
      if (*c == '\n') {
        nl = c;
        break;
      }
      ++c;  // the separator: the next field starts
    }
  }
  if (nl == nullptr) {
    if (!atEnd) return Scan::NeedMore;
    r.length = r.contentLength = static_cast<size_t>(end - p);
    r.terminated = false;
  } else {
    r.length = static_cast<size_t>(nl - p) + 1;
    r.contentLength = static_cast<size_t>(nl - p);
    if (r.contentLength > 0 && nl[-1] == '\r') --r.contentLength;
    r.terminated = true;
  }
  *record = r;
  return Scan::Record;
}

namespace {

// The end of the field that starts at `p` (before `end`, the record's content end), and
// whether it is quoted.
const char* fieldEnd(const Record& record, const char* p, const char* end, char separator, bool* quoted) {
  *quoted = record.quoted && p < end && *p == '"';
  if (!*quoted) {
    const char* stop = static_cast<const char*>(std::memchr(p, separator, static_cast<size_t>(end - p)));
    return stop != nullptr ? stop : end;
  }
  // The record was scanned whole, so the closing quote is there.
  const char* c = p + 1;
  for (;;) {
    c = static_cast<const char*>(std::memchr(c, '"', static_cast<size_t>(end - c)));
    if (c == nullptr) return end;
    if (c + 1 < end && c[1] == '"') {
      c += 2;
      continue;
    }
    return c + 1;
  }
}

}  // namespace

void splitFields(const Record& record, char separator, size_t count, std::vector<Field>* fields) {
  fields->clear();
  const char* p = record.begin;
  const char* end = record.begin + record.contentLength;
  bool more = true;  // a field starts at p
  while (fields->size() < count) {
    if (!more) {
      fields->push_back(Field{end, 0, false});
      continue;
    }
    bool quoted;
    const char* stop = fieldEnd(record, p, end, separator, &quoted);
    fields->push_back(Field{p, static_cast<size_t>(stop - p), quoted});
    more = stop < end && *stop == separator;
    p = stop + (more ? 1 : 0);
  }
}

size_t countFields(const Record& record, char separator) {
  const char* p = record.begin;
  const char* end = record.begin + record.contentLength;
  size_t n = 0;
  for (;;) {
    ++n;
    bool quoted;
    const char* stop = fieldEnd(record, p, end, separator, &quoted);
    if (stop >= end || *stop != separator) return n;
    p = stop + 1;
  }
}

void fieldText(const Field& field, std::string* scratch, const char** data, size_t* length) {
  if (!field.quoted) {
    *data = field.data;
    *length = field.length;
    return;
  }
  scratch->clear();
  const char* p = field.data + 1;                // after the opening quote
  const char* end = field.data + field.length;  // after the closing quote
  if (end > p) --end;
  while (p < end) {
    const char* q = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
    if (q == nullptr) q = end;
    scratch->append(p, q);
    if (q == end) break;
    scratch->push_back('"');  // a doubled quote
    p = q + 2;
  }
  *data = scratch->data();
  *length = scratch->size();
}

}  // namespace tqsort
