// TqbString: a value string that can be null.
//
// Copyable and assignable.  A null string and an empty string both have length 0 and
// asCstr() "" ; isNull() tells them apart.  Not thread-safe: a string is used by one
// thread at a time, as any value.
#ifndef TQ_PLATFORM_TQBSTRING_H
#define TQ_PLATFORM_TQBSTRING_H

#include <string>

#include "tqbexport.h"

class TQB_EXPORT TqbString {
 public:
  TqbString() = default;  // empty, not null
  TqbString(const char* text);  // NOLINT: implicit, as a value string
  // `isNull` true makes a null string whatever `text` holds.
  TqbString(const char* text, bool isNull);
  TqbString(const char* text, size_t length);
  TqbString(const TqbString&) = default;
  TqbString(TqbString&&) noexcept = default;
  TqbString& operator=(const TqbString&) = default;
  TqbString& operator=(TqbString&&) noexcept = default;
  TqbString& operator=(const char* text);
  ~TqbString() = default;

  void assign(const char* text);
  void assign(const char* text, size_t length);
  const char* asCstr() const { return text_.c_str(); }
  int length() const { return static_cast<int>(text_.size()); }
  bool isNull() const { return null_; }
  bool isEmpty() const { return text_.empty(); }
  // Keeps the first n characters; the string stops being null.
  void truncate(int n);
  void setNull();
  // Removes blanks (space, tab, CR, LF) at the start and/or the end.
  void trim(bool leading, bool trailing);
  // Index of the next occurrence of `pattern` at or after `start`, or -1.
  int find(const char* pattern, int start) const;
  // The substring of `count` characters from `start` (clipped to the string).
  TqbString mid(int start, int count) const;
  // 0 when equal to `text`.  With `exact` false ASCII letter case is ignored (keywords);
  // with `exact` true the bytes must match (digit strings).  Otherwise <0 or >0.
  int compare(const char* text, bool exact) const;
  void append(const char* text);

  bool operator==(const TqbString& other) const {
    return null_ == other.null_ && text_ == other.text_;
  }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
  bool null_ = false;
};

#endif
