// The values of the C++ layer (tq.h): column types, decimals, dates and tq::Value, the
// one type through which a row's values go into a datafile.
//
// A column has one of five types.  What a field of each type takes when a row is added,
// and what Row::get<T> reads from it:
//
//   Type      add(...) takes                         get<T> reads as T
//   boolean   bool                                   bool
//   integer   any integer type (not char)            any integer type (range checked),
//                                                    double, float, tq::Decimal
//   decimal   tq::Decimal, any integer, double,      tq::Decimal, double, float
//             float (the shortest decimal that
//             reads back as the same number)
//   string    std::string_view, std::string,         std::string_view, std::string,
//             const char* (text without zero         const char* (lengths without the
//             bytes, at most maxLength bytes)        terminating zero)
//   date      tq::Date (and std::chrono::sys_days    tq::Date (and sys_days in C++20)
//             in C++20)
//
// Every type takes tq::null (nulls sort lowest); get<std::optional<T>> reads a null as
// std::nullopt, get<T> as T{} (0, "", false), and Row::isNull tells it apart.  A char is
// not a number: a Value cannot be made from one (std::string_view(&c, 1) is the text,
// int{c} the code), nor from any pointer but a text.
//
// Thread safety: values; each is used by one thread at a time.
#ifndef TQDATAFILE_TQ_VALUES_H
#define TQDATAFILE_TQ_VALUES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#if __cplusplus >= 202002L
#include <chrono>
#endif

#include "platform/tqbdatavar.h"
#include "platform/tqbdecimal.h"
#include "tqdatafile/manager.h"
#include "tqdatafile/tq_status.h"

namespace tq {

enum class Type : int32_t {
  boolean = tqbTypeBoolean,
  integer = tqbTypeInteger,   // 64-bit signed
  decimal = tqbTypeReal,      // exact decimal of up to 52 significant digits
  string = tqbTypeString,     // text of at most the column's maxLength bytes
  date = tqbTypeDate,         // a calendar day (tq::Date)
};

// One column of a datafile's rows.  With designated initializers:
//   {.type = tq::Type::string, .maxLength = 40}, or tq::Column::string(40).
struct Column {
  Type type = Type::string;
  int32_t maxLength = 0;  // strings: 1 to kTqMaxStringLength bytes; other types: unused

  static Column boolean() { return {Type::boolean, 0}; }
  static Column integer() { return {Type::integer, 0}; }
  static Column decimal() { return {Type::decimal, 0}; }
  static Column string(int32_t maxLength) { return {Type::string, maxLength}; }
  static Column date() { return {Type::date, 0}; }
};

// A day: days since 1970-01-01 (Date::fromYmd(2024, 5, 17), toYmd(&y, &m, &d)).
using Date = TqbDate;

struct Null {};
// The null value: add(tq::null, ...).
inline constexpr Null null{};

// An exact decimal number (the library's 24-byte real).
class Decimal {
 public:
  Decimal() noexcept { tqbDecimalFromInt64(0, bytes_); }  // zero
  static Decimal fromInt64(int64_t value) noexcept {
    Decimal d;
    tqbDecimalFromInt64(value, d.bytes_);
    return d;
  }
  // The decimal with the fewest digits that reads back as `value` (0.1 is 0.1).
  static Decimal fromDouble(double value) noexcept {
    TqbDatavar v;
    v.assign(value);
    Decimal d;
    std::memcpy(d.bytes_, v.getRaw(nullptr), kTqbDecimalBytes);
    return d;
  }
  // "-12.50", "1e-3", "Infinity", "NaN".  Refused (invalidArgument): anything else, more
  // than 52 significant digits (it would be rounded), and exponents out of range.
  static Result<Decimal> parse(std::string_view text) {
    Decimal d;
    int r = tqbDecimalFromString(text.data(), text.size(), d.bytes_);
    if (r == kTqbDecOk) return d;
    std::string why = (r & kTqbDecSyntax)      ? "is not a decimal number"
                      : (r & kTqbDecOverflow)  ? "is too large for a decimal"
                      : (r & kTqbDecInexact)   ? "has more than 52 significant digits"
                                               : "is too small for a decimal";
    return Status(Code::invalidArgument, "'" + std::string(text) + "' " + why + ".");
  }
  // From the library's 24 bytes (as TqbDatavar::getRaw gives a real).
  static Decimal fromBytes(const void* bytes) noexcept {
    Decimal d;
    std::memcpy(d.bytes_, bytes, kTqbDecimalBytes);
    return d;
  }

  std::string toString() const {
    char text[80];
    return std::string(text, tqbDecimalToString(bytes_, text, sizeof(text)));
  }
  double toDouble() const noexcept { return tqbDecimalToDouble(bytes_); }
  const uint8_t* bytes() const noexcept { return bytes_; }

  // Numeric order: 1.0 == 1.00; NaN above everything and equal to every NaN.
  friend int compare(const Decimal& a, const Decimal& b) noexcept {
    return tqbDecimalCompare(a.bytes_, b.bytes_);
  }
  friend bool operator==(const Decimal& a, const Decimal& b) noexcept { return compare(a, b) == 0; }
  friend bool operator!=(const Decimal& a, const Decimal& b) noexcept { return compare(a, b) != 0; }
  friend bool operator<(const Decimal& a, const Decimal& b) noexcept { return compare(a, b) < 0; }

 private:
  uint8_t bytes_[kTqbDecimalBytes];
};

namespace detail {

template <typename T>
inline constexpr bool isCharacter =
    std::is_same_v<T, char> || std::is_same_v<T, wchar_t> || std::is_same_v<T, char16_t> ||
    std::is_same_v<T, char32_t>
#if defined(__cpp_char8_t)
    || std::is_same_v<T, char8_t>
#endif
    ;

// The integer types a value is made from or read as: not bool, not a character.
template <typename T>
inline constexpr bool isInteger = std::is_integral_v<T> && !std::is_same_v<T, bool> && !isCharacter<T>;

// "a string", "an integer": a column type in a message.
inline const char* typeWords(Type type) {
  switch (type) {
    case Type::boolean: return "a boolean";
    case Type::integer: return "an integer";
    case Type::decimal: return "a decimal";
    case Type::string: return "a string";
    case Type::date: return "a date";
  }
  return "an unknown type";
}

inline Status invalid(std::string message) { return Status(Code::invalidArgument, std::move(message)); }

inline std::string fieldName(int64_t index) { return "field " + std::to_string(index); }

}  // namespace detail

// A value for one field of a row being added.  It refers to the text it was made from
// (it does not copy it): it is made to be passed to add(), not kept.
class Value {
 public:
  Value() noexcept : kind_(Kind::none) {}
  Value(Null) noexcept : kind_(Kind::none) {}                // NOLINT: implicit by design
  Value(std::nullptr_t) noexcept : kind_(Kind::none) {}      // NOLINT
  Value(bool v) noexcept : kind_(Kind::boolean) { b_ = v; }  // NOLINT
  template <typename T, std::enable_if_t<detail::isInteger<T>, int> = 0>
  Value(T v) noexcept {  // NOLINT
    if constexpr (std::is_unsigned_v<T>) {
      kind_ = Kind::unsignedInteger;
      u_ = v;
    } else {
      kind_ = Kind::integer;
      i_ = v;
    }
  }
  template <typename T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
  Value(T v) noexcept : kind_(Kind::floating) {  // NOLINT
    d_ = static_cast<double>(v);
    isFloat_ = std::is_same_v<T, float>;
  }
  Value(std::string_view v) noexcept : kind_(Kind::text), text_(v) {}  // NOLINT
  Value(const std::string& v) noexcept : kind_(Kind::text), text_(v) {}  // NOLINT
  // A null pointer is the null value.
  Value(const char* v) noexcept : kind_(v == nullptr ? Kind::none : Kind::text) {  // NOLINT
    if (v != nullptr) text_ = v;
  }
  Value(char* v) noexcept : Value(static_cast<const char*>(v)) {}  // NOLINT
  Value(const Date& v) noexcept : kind_(Kind::date) { d_ = v.asDouble(); }  // NOLINT
  Value(const Decimal& v) noexcept : kind_(Kind::decimal) {  // NOLINT
    std::memcpy(decimal_, v.bytes(), kTqbDecimalBytes);
  }
#if __cplusplus >= 202002L && defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
  Value(std::chrono::sys_days v) noexcept : kind_(Kind::date) {  // NOLINT
    d_ = static_cast<double>(v.time_since_epoch().count());
  }
#endif
  // A character is not a number, and any other pointer would become a bool.
  template <typename T, std::enable_if_t<detail::isCharacter<T>, int> = 0>
  Value(T) = delete;
  template <typename T>
  Value(T*) = delete;

  bool isNull() const noexcept { return kind_ == Kind::none; }

  // Stores the value into `field`, which holds column `column` of `index`; invalidArgument
  // when the column does not take it (the field is then left as it was).
  Status storeInto(TqbDatavar& field, const Column& column, int64_t index) const {
    switch (kind_) {
      case Kind::none: field.setNull(); return Status();
      case Kind::boolean:
        if (column.type != Type::boolean) break;
        field.assign(b_);
        return Status();
      case Kind::unsignedInteger:
        if (u_ > static_cast<uint64_t>(INT64_MAX)) {
          return detail::invalid(detail::fieldName(index) + ": " + std::to_string(u_) +
                                 " is beyond the 64-bit integers.");
        }
        return Value(static_cast<int64_t>(u_)).storeInto(field, column, index);
      case Kind::integer:
        if (column.type == Type::integer) {
          field.assign(i_);
          return Status();
        }
        if (column.type != Type::decimal) break;
        field.assign(tqbTypeReal, Decimal::fromInt64(i_).bytes(), kTqbDecimalBytes);
        return Status();
      case Kind::floating:
        if (column.type != Type::decimal) break;
        if (isFloat_) {
          field.assign(static_cast<float>(d_));
        } else {
          field.assign(d_);
        }
        return Status();
      case Kind::text: return storeText(field, column, index);
      case Kind::date:
        if (column.type != Type::date) break;
        field.assign(TqbDate(d_));
        return Status();
      case Kind::decimal:
        if (column.type != Type::decimal) break;
        field.assign(tqbTypeReal, decimal_, kTqbDecimalBytes);
        return Status();
    }
    return detail::invalid(detail::fieldName(index) + " holds " + detail::typeWords(column.type) +
                           "; " + kindWords() + " was given.");
  }

 private:
  enum class Kind : uint8_t { none, boolean, integer, unsignedInteger, floating, text, date, decimal };

  Status storeText(TqbDatavar& field, const Column& column, int64_t index) const {
    if (column.type != Type::string) {
      return detail::invalid(detail::fieldName(index) + " holds " + detail::typeWords(column.type) +
                             "; a text was given.");
    }
    if (text_.size() > static_cast<size_t>(column.maxLength)) {
      return detail::invalid(detail::fieldName(index) + ": a text of " + std::to_string(text_.size()) +
                             " bytes; the column holds at most " + std::to_string(column.maxLength) + ".");
    }
    if (text_.find('\0') != std::string_view::npos) {
      return detail::invalid(detail::fieldName(index) + ": the text holds a zero byte.");
    }
    if (!field.assign(text_)) {
      return Status(Code::noRoom, detail::fieldName(index) + ": no memory for a text of " +
                                      std::to_string(text_.size()) + " bytes.");
    }
    return Status();
  }

  const char* kindWords() const {
    switch (kind_) {
      case Kind::none: return "null";
      case Kind::boolean: return "a bool";
      case Kind::integer:
      case Kind::unsignedInteger: return "an integer";
      case Kind::floating: return "a floating-point number";
      case Kind::text: return "a text";
      case Kind::date: return "a date";
      case Kind::decimal: return "a decimal";
    }
    return "a value";
  }

  Kind kind_;
  bool isFloat_ = false;
  union {
    bool b_;
    int64_t i_;
    uint64_t u_;
    double d_;  // floating, date
    uint8_t decimal_[kTqbDecimalBytes];
  };
  std::string_view text_;
};

}  // namespace tq

#endif
