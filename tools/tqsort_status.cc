#include "tqsort_status.h"

#include <cstdio>
#include <cstring>

namespace tqsort {

std::string printable(std::string_view text, size_t limit) {
  std::string out;
  size_t n = text.size() < limit ? text.size() : limit;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
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
