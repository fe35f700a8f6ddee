#include "tqsort_status.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tqsort {

size_t utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  // The second byte's range depends on the first (no overlong forms, no surrogates,
  // nothing past U+10FFFF); the others are 80-BF.
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

size_t firstInvalidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Eight ASCII bytes at a time, then one sequence.
    if (i + 8 <= text.size()) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    size_t n = utf8SequenceLength(text.substr(i));
    if (n == 0) return i;
    i += n;
  }
  return std::string_view::npos;
}

std::string printable(std::string_view text, size_t limit) {
  std::string out;
  size_t n = text.size() < limit ? text.size() : limit;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      size_t sequence = utf8SequenceLength(text.substr(i, n - i));
      if (sequence > 0) {
        out.append(text.data() + i, sequence);
        i += sequence - 1;
        continue;
      }
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  if (n < text.size()) out += "...";
  return out;
}

std::string systemError(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in `buffer`.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text;
}

}  // namespace tqsort
