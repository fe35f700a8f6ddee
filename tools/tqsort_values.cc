#include "tqsort_values.h"

#include <cstring>

#include "tqdatafile/tqdatafile.h"

namespace tqsort {

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
  // Up to 18 digits cannot overflow: they are summed without checks; a 19th digit (and
  // any further) is checked against the limit.
  uint64_t v = 0;
  size_t quick = length - i < 18 ? length : i + 18;
  for (; i < quick; ++i) {
    unsigned d = static_cast<unsigned>(static_cast<unsigned char>(data[i])) - '0';
    if (d > 9) return false;
    v = v * 10 + d;
  }
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (; i < length; ++i) {
    unsigned d = static_cast<unsigned>(static_cast<unsigned char>(data[i])) - '0';
    if (d > 9) return false;
    if (v > (limit - d) / 10) return false;  // overflow
    v = v * 10 + d;
  }
  *value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

bool parseDate(const char* data, size_t length, int* year, int* month, int* day) {
  if (length != 10 || data[4] != '-' || data[7] != '-') return false;
  int part[3] = {0, 0, 0};
  static const int kFrom[] = {0, 5, 8};
  static const int kDigits[] = {4, 2, 2};
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < kDigits[k]; ++i) {
      char c = data[kFrom[k] + i];
      if (c < '0' || c > '9') return false;
      part[k] = part[k] * 10 + (c - '0');
    }
  }
  int y = part[0], m = part[1], d = part[2];
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
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

bool isDecimalText(const char* data, size_t length) {
  size_t i = 0;
  if (i < length && (data[i] == '+' || data[i] == '-')) ++i;
  int64_t digits = 0;
  bool point = false;
  for (; i < length; ++i) {
    if (data[i] >= '0' && data[i] <= '9') {
      ++digits;
    } else if (data[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == length) return true;
  if (data[i] != 'e' && data[i] != 'E') return false;
  ++i;
  if (i < length && (data[i] == '+' || data[i] == '-')) ++i;
  if (i == length) return false;
  int64_t exponent = 0;
  const int64_t bound = kDecimalExponentBound + digits;
  for (; i < length; ++i) {
    if (data[i] < '0' || data[i] > '9') return false;
    exponent = exponent * 10 + (data[i] - '0');
    if (exponent > bound) return false;
  }
  return true;
}

bool parseDecimal(const char* data, size_t length, uint8_t out[24]) {
  return isDecimalText(data, length) && tqbDecimalFromString(data, length, out) == kTqbDecOk;
}

namespace {

size_t skipBlanks(const char* data, size_t length) {
  size_t i = 0;
  while (i < length && (data[i] == ' ' || data[i] == '\t')) ++i;
  return i;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The digits of [from, to) that sit in front of the point; returns where they end.
size_t digitsFrom(const char* data, size_t from, size_t to) {
  while (from < to && isDigit(data[from])) ++from;
  return from;
}

}  // namespace

void leadingNumber(const char* data, size_t length, std::string* text) {
  size_t i = skipBlanks(data, length);
  bool negative = i < length && data[i] == '-';
  if (negative) ++i;
  size_t intEnd = digitsFrom(data, i, length);
  size_t fracBegin = intEnd, fracEnd = intEnd;
  if (intEnd < length && data[intEnd] == '.') {
    fracBegin = intEnd + 1;
    fracEnd = digitsFrom(data, fracBegin, length);
  }
  while (i < intEnd && data[i] == '0') ++i;                        // zeros in front
  while (fracEnd > fracBegin && data[fracEnd - 1] == '0') --fracEnd;  // zeros behind
  text->clear();
  if (i == intEnd && fracEnd == fracBegin) {
    text->push_back('0');
    return;
  }
  if (negative) text->push_back('-');
  if (i == intEnd) text->push_back('0');
  text->append(data + i, intEnd - i);
  if (fracEnd > fracBegin) {
    text->push_back('.');
    text->append(data + fracBegin, fracEnd - fracBegin);
  }
}

bool generalNumber(const char* data, size_t length, std::string* text) {
  size_t i = skipBlanks(data, length);
  size_t start = i;
  if (i < length && (data[i] == '-' || data[i] == '+')) ++i;
  size_t intEnd = digitsFrom(data, i, length);
  size_t end = intEnd;
  bool digits = intEnd > i;
  if (end < length && data[end] == '.') {
    size_t fracEnd = digitsFrom(data, end + 1, length);
    digits = digits || fracEnd > end + 1;
    end = fracEnd;
  }
  if (!digits) return false;
  if (end < length && (data[end] == 'e' || data[end] == 'E')) {
    size_t e = end + 1;
    if (e < length && (data[e] == '-' || data[e] == '+')) ++e;
    size_t expEnd = digitsFrom(data, e, length);
    if (expEnd > e) end = expEnd;  // "1e" is the number 1 and a letter
  }
  text->assign(data + start, end - start);
  return true;
}

}  // namespace tqsort
