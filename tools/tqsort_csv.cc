#include "tqsort_csv.h"

#include <cstring>

namespace tqsort {

bool nextRecord(const char* p, const char* end, bool atEnd, Record* record) {
  if (p >= end) return false;
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
  const char* limit = nl != nullptr ? nl : end;
  bool quoted = std::memchr(p, '"', static_cast<size_t>(limit - p)) != nullptr;
  if (quoted) {
    // Slow path: a line end inside quotes belongs to the field.
    bool inQuotes = false;
    nl = nullptr;
    for (const char* c = p; c < end; ++c) {
      if (*c == '"') {
        inQuotes = !inQuotes;  // a doubled quote toggles twice
      } else if (*c == '\n' && !inQuotes) {
        nl = c;
        break;
      }
    }
  }
  if (nl == nullptr) {
    if (!atEnd) return false;
    record->begin = p;
    record->length = record->contentLength = static_cast<size_t>(end - p);
    record->quoted = quoted;
    record->terminated = false;
    return true;
  }
  record->begin = p;
  record->length = static_cast<size_t>(nl - p) + 1;
  record->contentLength = static_cast<size_t>(nl - p);
  if (record->contentLength > 0 && nl[-1] == '\r') --record->contentLength;
  record->quoted = quoted;
  record->terminated = true;
  return true;
}

void splitFields(const Record& record, char separator, size_t count, std::vector<Field>* fields) {
  fields->clear();
  const char* p = record.begin;
  const char* end = record.begin + record.contentLength;
  while (fields->size() < count) {
    if (p > end) {
      fields->push_back(Field{end, 0, false});
      continue;
    }
    if (!record.quoted) {
      const char* sep = static_cast<const char*>(std::memchr(p, separator, static_cast<size_t>(end - p)));
      const char* stop = sep != nullptr ? sep : end;
      fields->push_back(Field{p, static_cast<size_t>(stop - p), false});
      p = stop + 1;
      continue;
    }
    // A field that opens with a quote runs to its closing quote; separators inside it
    // do not count.
    const char* start = p;
    bool inQuotes = false;
    bool quotedField = p < end && *p == '"';
    while (p < end && (inQuotes || *p != separator)) {
      if (*p == '"') inQuotes = !inQuotes;
      ++p;
    }
    fields->push_back(Field{start, static_cast<size_t>(p - start), quotedField});
    ++p;
  }
}

void fieldText(const Field& field, std::string* scratch, const char** data, size_t* length) {
  if (!field.quoted) {
    *data = field.data;
    *length = field.length;
    return;
  }
  scratch->clear();
  const char* p = field.data + 1;  // after the opening quote
  const char* end = field.data + field.length;
  while (p < end) {
    if (*p == '"') {
      if (p + 1 < end && p[1] == '"') {
        scratch->push_back('"');
        p += 2;
        continue;
      }
      ++p;  // the closing quote; anything after it is kept as it stands
      continue;
    }
    scratch->push_back(*p++);
  }
  *data = scratch->data();
  *length = scratch->size();
}

void trimBlanks(const char** data, size_t* length) {
  const char* p = *data;
  size_t n = *length;
  while (n > 0 && (*p == ' ' || *p == '\t')) {
    ++p;
    --n;
  }
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
  *data = p;
  *length = n;
}

bool parseInt64(const char* data, size_t length, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < length && (data[i] == '-' || data[i] == '+')) {
    negative = data[i] == '-';
    ++i;
  }
  if (i == length) return false;
  uint64_t v = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (; i < length; ++i) {
    unsigned d = static_cast<unsigned char>(data[i]) - '0';
    if (d > 9) return false;
    if (v > (limit - d) / 10) return false;  // overflow
    v = v * 10 + d;
  }
  *value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

bool parseDate(const char* data, size_t length, int* year, int* month, int* day) {
  size_t i = 0;
  bool negative = i < length && data[i] == '-';
  if (negative) ++i;
  int y = 0, digits = 0;
  while (i < length && data[i] >= '0' && data[i] <= '9' && digits < 4) {
    y = y * 10 + (data[i++] - '0');
    ++digits;
  }
  if (digits == 0 || i + 6 != length || data[i] != '-' || data[i + 3] != '-') return false;
  auto two = [&](size_t at, int* out) {
    if (data[at] < '0' || data[at] > '9' || data[at + 1] < '0' || data[at + 1] > '9') return false;
    *out = (data[at] - '0') * 10 + (data[at + 1] - '0');
    return true;
  };
  int m = 0, d = 0;
  if (!two(i + 1, &m) || !two(i + 4, &d)) return false;
  if (negative) y = -y;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  int maxDay = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
  if (d > maxDay) return false;
  *year = y;
  *month = m;
  *day = d;
  return true;
}

bool parseBool(const char* data, size_t length, bool* value) {
  char word[8];
  if (length == 0 || length >= sizeof(word)) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = data[i];
    word[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  word[length] = '\0';
  for (const char* t : {"true", "yes", "t", "y", "1"}) {
    if (std::strcmp(word, t) == 0) {
      *value = true;
      return true;
    }
  }
  for (const char* f : {"false", "no", "f", "n", "0"}) {
    if (std::strcmp(word, f) == 0) {
      *value = false;
      return true;
    }
  }
  return false;
}

}  // namespace tqsort
