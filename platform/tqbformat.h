// printf-style formatting with typed arguments.
//
// The library's message and trace formats are printf formats, including the 64-bit
// forms %I64i and %I64u.  Here every argument is captured with its real type and the
// conversion is chosen from the argument, not trusted from the format: a %d given a
// 64-bit value prints it whole, a %s given a number prints the number, and a missing
// argument prints "(missing)".  No format can read past the arguments it was given.
//
//   TqbString s = tqbStringFormat("row %I64i of %s", rowNumber, name);
#ifndef TQ_PLATFORM_TQBFORMAT_H
#define TQ_PLATFORM_TQBFORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "tqbexport.h"
#include "tqbstring.h"

struct TqbFormatArg {
  enum Kind { Int, Uint, Double, Text, Pointer } kind;
  union {
    int64_t i;
    uint64_t u;
    double d;
    const char* s;
    const void* p;
  };

  template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
  TqbFormatArg(T v) : kind(Int), i(v) {}  // NOLINT
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_signed_v<T>, int> = 0>
  TqbFormatArg(T v) : kind(Uint), u(v) {}  // NOLINT
  template <typename T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
  TqbFormatArg(T v) : kind(Int), i(static_cast<int64_t>(v)) {}  // NOLINT
  TqbFormatArg(double v) : kind(Double), d(v) {}                  // NOLINT
  TqbFormatArg(const char* v) : kind(Text), s(v) {}               // NOLINT
  TqbFormatArg(char* v) : kind(Text), s(v) {}                     // NOLINT
  TqbFormatArg(const TqbString& v) : kind(Text), s(v.asCstr()) {}  // NOLINT
  TqbFormatArg(const std::string& v) : kind(Text), s(v.c_str()) {}  // NOLINT
  TqbFormatArg(const void* v) : kind(Pointer), p(v) {}            // NOLINT
  TqbFormatArg(std::nullptr_t) : kind(Pointer), p(nullptr) {}     // NOLINT
};

// Appends the formatted text to `out`.
TQB_EXPORT void tqbFormatInto(std::string* out, const char* format, const TqbFormatArg* args, size_t count);

template <typename... Args>
std::string tqbFormatStd(const char* format, const Args&... args) {
  std::string out;
  if constexpr (sizeof...(Args) == 0) {
    tqbFormatInto(&out, format, nullptr, 0);
  } else {
    const TqbFormatArg list[] = {TqbFormatArg(args)...};
    tqbFormatInto(&out, format, list, sizeof...(Args));
  }
  return out;
}

template <typename... Args>
TqbString tqbStringFormat(const char* format, const Args&... args) {
  std::string s = tqbFormatStd(format, args...);
  return TqbString(s.c_str(), s.size());
}

#endif
