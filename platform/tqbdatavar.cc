#include "tqbdatavar.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tqballoc.h"
#include "tqbdecimal.h"

const char* tqbTypeToString(tqbType type) {
  switch (type) {
    case tqbTypeNone: return "none";
    case tqbTypeBoolean: return "boolean";
    case tqbTypeInteger: return "integer";
    case tqbTypeReal: return "real";
    case tqbTypeString: return "string";
    case tqbTypeDate: return "date";
    case tqbTypeObject: return "object";
  }
  return "unknown";
}

// --- TqbDate -------------------------------------------------------------------------

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil algorithm).
static int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

TqbDate TqbDate::fromYmd(int year, int month, int day) {
  return TqbDate(static_cast<double>(
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))));
}

void TqbDate::toYmd(int* year, int* month, int* day) const {
  int64_t z = static_cast<int64_t>(std::floor(days_)) + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

// --- TqbDatavar ----------------------------------------------------------------------

TqbDatavar::TqbDatavar(const TqbDatavar& other) { *this = other; }

TqbDatavar& TqbDatavar::operator=(const TqbDatavar& other) {
  if (this == &other) return *this;
  if (other.size_ > 0 && !reserve(other.size_)) {
    // Keep the type and null state coherent even when the bytes cannot be copied.
    type_ = other.type_;
    null_ = true;
    size_ = 0;
    return *this;
  }
  type_ = other.type_;
  null_ = other.null_;
  num_ = other.num_;
  size_ = other.size_;
  if (size_ > 0) std::memcpy(data_, other.data_, size_);
  return *this;
}

TqbDatavar::~TqbDatavar() {
  if (data_ != inline_) tqbFree(data_);
}

bool TqbDatavar::reserve(size_t count) {
  if (count <= capacity_) return true;
  if (count > 0x7FFFFFFF) return false;
  size_t cap = capacity_;
  while (cap < count) cap *= 2;
  uint8_t* mem = static_cast<uint8_t*>(tqbMalloc(cap));
  if (mem == nullptr) return false;
  if (data_ != inline_) tqbFree(data_);
  data_ = mem;
  capacity_ = static_cast<uint32_t>(cap);
  return true;
}

void TqbDatavar::assign(bool value) {
  type_ = tqbTypeBoolean;
  null_ = false;
  num_.i = 0;
  num_.b = value;
  size_ = 0;
}

void TqbDatavar::assign(int64_t value) {
  type_ = tqbTypeInteger;
  null_ = false;
  num_.i = value;
  size_ = 0;
}

void TqbDatavar::assign(const TqbDate& value) {
  type_ = tqbTypeDate;
  null_ = false;
  num_.d = value.asDouble();
  size_ = 0;
}

bool TqbDatavar::assign(const char* text) {
  if (text == nullptr) text = "";
  return assign(tqbTypeString, text, std::strlen(text) + 1);
}

bool TqbDatavar::assign(std::string_view text) {
  // The zero is always added: bytes that end in one keep it as part of the text.
  if (!reserve(text.size() + 1)) return false;
  if (!text.empty()) std::memmove(data_, text.data(), text.size());
  data_[text.size()] = 0;
  size_ = static_cast<uint32_t>(text.size() + 1);
  type_ = tqbTypeString;
  null_ = false;
  return true;
}

// A real value from the shortest text that reads back as the same binary number
// (to_chars without a precision); "inf" and "nan" are the decimal's words too.
template <typename Float>
static void assignShortest(TqbDatavar* value, Float number) {
  char text[64];
  std::to_chars_result r = std::to_chars(text, text + sizeof(text), number);
  uint8_t bytes[kTqbDecimalBytes];
  tqbDecimalFromString(text, static_cast<size_t>(r.ptr - text), bytes);
  value->assign(tqbTypeReal, bytes, sizeof(bytes));  // 24 bytes fit the value's own room
}

void TqbDatavar::assign(double value) { assignShortest(this, value); }

void TqbDatavar::assign(float value) { assignShortest(this, value); }

bool TqbDatavar::assign(tqbType type, const void* bytes, size_t count) {
  const uint8_t* src = static_cast<const uint8_t*>(bytes);
  if (type == tqbTypeBoolean && count >= 1) {
    assign(src[0] != 0);
    return true;
  }
  if ((type == tqbTypeInteger || type == tqbTypeDate) && count >= 8) {
    std::memcpy(&num_.i, src, 8);
    type_ = type;
    null_ = false;
    size_ = 0;
    return true;
  }
  bool terminate = type == tqbTypeString && (count == 0 || src[count - 1] != 0);
  size_t total = count + (terminate ? 1 : 0);
  if (!reserve(total)) return false;
  if (count > 0) std::memmove(data_, src, count);
  if (terminate) data_[count] = 0;
  size_ = static_cast<uint32_t>(total);
  type_ = type;
  null_ = false;
  return true;
}

static bool parseInt64(const char* text, int64_t* out) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0) return false;
  *out = v;
  return true;
}

bool TqbDatavar::asBool(bool* error) const {
  if (error) *error = false;
  if (null_) return false;
  switch (type_) {
    case tqbTypeBoolean: return num_.b;
    case tqbTypeInteger: return num_.i != 0;
    case tqbTypeDate: return num_.d != 0.0;
    case tqbTypeReal: {
      static const uint8_t zero[24] = {};
      return size_ == 24 && tqbDecimalCompare(data_, zero) != 0;
    }
    case tqbTypeString: {
      const char* s = asCstr();
      if (!std::strcmp(s, "true") || !std::strcmp(s, "1")) return true;
      if (!std::strcmp(s, "false") || !std::strcmp(s, "0") || !*s) return false;
      break;
    }
    default: break;
  }
  if (error) *error = true;
  return false;
}

int64_t TqbDatavar::asInt64(bool* error) const {
  if (error) *error = false;
  if (null_) return 0;
  switch (type_) {
    case tqbTypeBoolean: return num_.b ? 1 : 0;
    case tqbTypeInteger: return num_.i;
    case tqbTypeDate:
      if (std::isfinite(num_.d) && std::fabs(num_.d) < 9.2e18) return static_cast<int64_t>(num_.d);
      break;
    case tqbTypeReal: {
      double d = size_ == 24 ? tqbDecimalToDouble(data_) : NAN;
      if (std::isfinite(d) && std::fabs(d) < 9.2e18) return static_cast<int64_t>(d);
      break;
    }
    case tqbTypeString: {
      int64_t v = 0;
      if (parseInt64(asCstr(), &v)) return v;
      break;
    }
    default: break;
  }
  if (error) *error = true;
  return 0;
}

double TqbDatavar::asDouble(bool* error) const {
  if (error) *error = false;
  if (null_) return 0.0;
  switch (type_) {
    case tqbTypeBoolean: return num_.b ? 1.0 : 0.0;
    case tqbTypeInteger: return static_cast<double>(num_.i);
    case tqbTypeDate: return num_.d;
    case tqbTypeReal:
      if (size_ == 24) return tqbDecimalToDouble(data_);
      break;
    case tqbTypeString: {
      const char* s = asCstr();
      char* end = nullptr;
      double d = std::strtod(s, &end);
      if (end != s && *end == '\0') return d;
      break;
    }
    default: break;
  }
  if (error) *error = true;
  return 0.0;
}

const char* TqbDatavar::asCstr() const {
  if (null_ || type_ != tqbTypeString || size_ == 0) return "";
  return reinterpret_cast<const char*>(data_);
}

const void* TqbDatavar::getRaw(size_t* size) const {
  switch (type_) {
    case tqbTypeBoolean:
      if (size) *size = 1;
      return &num_.b;
    case tqbTypeInteger:
    case tqbTypeDate:
      if (size) *size = 8;
      return &num_.i;
    default:
      if (size) *size = size_;
      return data_;
  }
}

// A total order on doubles that agrees with < except that -0 < +0 and NaN is highest.
static uint64_t orderedBits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return (bits & 0x8000000000000000ull) ? ~bits : bits | 0x8000000000000000ull;
}

int TqbDatavar::compare(const TqbDatavar& other) const {
  if (null_ || other.null_) return (null_ ? 0 : 1) - (other.null_ ? 0 : 1);
  if (type_ != other.type_) return type_ < other.type_ ? -1 : 1;
  switch (type_) {
    case tqbTypeBoolean: return static_cast<int>(num_.b) - static_cast<int>(other.num_.b);
    case tqbTypeInteger: return num_.i < other.num_.i ? -1 : (num_.i > other.num_.i ? 1 : 0);
    case tqbTypeDate: {
      uint64_t a = orderedBits(num_.d), b = orderedBits(other.num_.d);
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    case tqbTypeReal:
      if (size_ == 24 && other.size_ == 24) return tqbDecimalCompare(data_, other.data_);
      [[fallthrough]];
    default: {
      size_t n = size_ < other.size_ ? size_ : other.size_;
      int c = n ? std::memcmp(data_, other.data_, n) : 0;
      if (c != 0) return c < 0 ? -1 : 1;
      return size_ == other.size_ ? 0 : (size_ < other.size_ ? -1 : 1);
    }
  }
}
