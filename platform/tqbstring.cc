#include "tqbstring.h"

#include <algorithm>
#include <cstring>

TqbString::TqbString(const char* text) { assign(text); }

TqbString::TqbString(const char* text, bool isNull) {
  if (isNull) {
    null_ = true;
  } else {
    assign(text);
  }
}

TqbString::TqbString(const char* text, size_t length) { assign(text, length); }

TqbString& TqbString::operator=(const char* text) {
  assign(text);
  return *this;
}

void TqbString::assign(const char* text) {
  null_ = false;
  if (text == nullptr) {
    text_.clear();
  } else {
    text_.assign(text);
  }
}

void TqbString::assign(const char* text, size_t length) {
  null_ = false;
  if (text == nullptr) {
    text_.clear();
  } else {
    text_.assign(text, length);
  }
}

void TqbString::truncate(int n) {
  null_ = false;
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) < text_.size()) text_.resize(static_cast<size_t>(n));
}

void TqbString::setNull() {
  text_.clear();
  null_ = true;
}

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void TqbString::trim(bool leading, bool trailing) {
  if (trailing) {
    size_t end = text_.size();
    while (end > 0 && isBlank(text_[end - 1])) --end;
    text_.resize(end);
  }
  if (leading) {
    size_t start = 0;
    while (start < text_.size() && isBlank(text_[start])) ++start;
    text_.erase(0, start);
  }
}

int TqbString::find(const char* pattern, int start) const {
  if (pattern == nullptr || start < 0 || static_cast<size_t>(start) > text_.size()) return -1;
  size_t at = text_.find(pattern, static_cast<size_t>(start));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

TqbString TqbString::mid(int start, int count) const {
  if (start < 0) start = 0;
  if (count < 0 || static_cast<size_t>(start) >= text_.size()) return TqbString("");
  return TqbString(text_.data() + start,
                   std::min(static_cast<size_t>(count), text_.size() - static_cast<size_t>(start)));
}

static int foldAscii(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

int TqbString::compare(const char* text, bool exact) const {
  if (text == nullptr) text = "";
  const unsigned char* a = reinterpret_cast<const unsigned char*>(text_.c_str());
  const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
  size_t n = text_.size();
  size_t m = std::strlen(text);
  for (size_t i = 0; i < n && i < m; ++i) {
    int ca = exact ? a[i] : foldAscii(a[i]);
    int cb = exact ? b[i] : foldAscii(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (n == m) return 0;
  return n < m ? -1 : 1;
}

void TqbString::append(const char* text) {
  null_ = false;
  if (text != nullptr) text_.append(text);
}
