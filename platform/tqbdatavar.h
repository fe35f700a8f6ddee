// Typed, nullable values: tqbType, TqbDate and TqbDatavar.
//
// A TqbDatavar carries one value of a tqbType, or null.  Strings are stored with their
// terminating zero byte, which getRaw() counts; reals are 24-byte decimal values (see
// tqbdecimal.h) handled as raw bytes.  Assigning into a value reuses its storage, so a
// value that is refilled row after row allocates only when a longer string arrives.
// Not thread-safe: a value belongs to one thread at a time.
#ifndef TQ_PLATFORM_TQBDATAVAR_H
#define TQ_PLATFORM_TQBDATAVAR_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "tqbexport.h"

enum tqbType : int32_t {
  tqbTypeNone = 0,     // no type; refused as a column type
  tqbTypeBoolean = 1,
  tqbTypeInteger = 2,  // 64-bit signed
  tqbTypeReal = 3,     // 24-byte decimal, raw bytes
  tqbTypeString = 4,
  tqbTypeDate = 5,     // TqbDate
  tqbTypeObject = 6,   // opaque bytes; refused as a column type
};

// Printable name of a type, for log lines ("boolean", "integer", ...).
TQB_EXPORT const char* tqbTypeToString(tqbType type);

// A date: days since 1970-01-01 as a double; the fraction is the time of day.  Dates
// before 1970 are negative.
class TQB_EXPORT TqbDate {
 public:
  TqbDate() = default;
  explicit TqbDate(double days) : days_(days) {}
  double asDouble() const { return days_; }
  // The date of a proleptic Gregorian calendar day.
  static TqbDate fromYmd(int year, int month, int day);
  // Calendar day of the date (the fraction is dropped, towards minus infinity).
  void toYmd(int* year, int* month, int* day) const;

 private:
  double days_ = 0.0;
};

class TQB_EXPORT TqbDatavar {
 public:
  TqbDatavar() = default;
  TqbDatavar(const TqbDatavar& other);
  TqbDatavar& operator=(const TqbDatavar& other);
  ~TqbDatavar();

  tqbType type() const { return type_; }
  bool isNull() const { return null_; }
  // Null keeps the type.
  void setNull() { null_ = true; }

  // Each assign gives the value the type and bytes given.  The byte forms return false
  // (value unchanged) when memory for the bytes cannot be allocated.  There is one for
  // every arithmetic type, so that no call is ambiguous: integers become integer values,
  // floating-point numbers real (decimal) values, bool a boolean.  A character is not a
  // number: assign('c') does not compile (assign(std::string_view(&c, 1)) stores the
  // text "c", assign(int{c}) the code).
  void assign(bool value);
  void assign(int64_t value);
  void assign(int value) { assign(static_cast<int64_t>(value)); }
  // Every other integer type.  False (value unchanged) for an unsigned value above
  // INT64_MAX, which an integer value cannot hold.
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                             !std::is_same_v<T, char> && !std::is_same_v<T, wchar_t> &&
                                             !std::is_same_v<T, char16_t> && !std::is_same_v<T, char32_t>,
                                         int> = 0>
  bool assign(T value) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(int64_t)) {
      if (value > static_cast<T>(INT64_MAX)) return false;
    }
    assign(static_cast<int64_t>(value));
    return true;
  }
  // A real value: the decimal with the fewest digits that reads back as the same
  // double (3.5 is 3.5, 0.1 is 0.1); infinities and NaN as the decimal's own.
  void assign(double value);
  // The same for a float: the fewest digits that read back as the same float.
  void assign(float value);
  void assign(long double value) { assign(static_cast<double>(value)); }
  void assign(char value) = delete;
  void assign(wchar_t value) = delete;
  void assign(char16_t value) = delete;
  void assign(char32_t value) = delete;
#if defined(__cpp_char8_t)
  void assign(char8_t value) = delete;
#endif
  void assign(const TqbDate& value);
  // A zero-terminated text as a string value.
  bool assign(const char* text);
  // Exactly the bytes of `text` as a string value, the terminating zero added (so a
  // text that ends in a zero byte keeps it).
  bool assign(std::string_view text);
  // Raw bytes of any type.  For a string the bytes should end in the terminating zero;
  // one is added when they do not.  A real takes its 24 bytes.
  bool assign(tqbType type, const void* bytes, size_t count);

  // Conversions; `error` (may be null) is set true when the value cannot be converted
  // and false otherwise.  Null converts to 0 / false.
  bool asBool(bool* error) const;
  int64_t asInt64(bool* error) const;
  double asDouble(bool* error) const;
  // Text of a string value ("" for another type or null).
  const char* asCstr() const;

  // The value's bytes and their count (a string's count includes its zero).
  const void* getRaw(size_t* size) const;

  // Orders values: null before every value, then by type, then by value (reals
  // numerically, strings bytewise, dates by a total order on doubles).
  int compare(const TqbDatavar& other) const;

 private:
  bool reserve(size_t count);

  tqbType type_ = tqbTypeNone;
  bool null_ = true;
  uint32_t size_ = 0;
  uint32_t capacity_ = sizeof(inline_);
  uint8_t* data_ = inline_;  // inline_ or a heap block of capacity_ bytes
  union {
    int64_t i;
    double d;
    bool b;
  } num_{};
  alignas(8) uint8_t inline_[32]{};
};

#endif
