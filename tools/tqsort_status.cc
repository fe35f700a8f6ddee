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

std::string libraryMessage(std::string_view text) {
  static constexpr std::string_view kMarker = "(system error ";
  std::string out;
  size_t at = 0;
  for (;;) {
    size_t found = text.find(kMarker, at);
    size_t close = found == std::string_view::npos ? found : text.find(')', found);
    if (close == std::string_view::npos) break;
    size_t digits = found + kMarker.size();
    int error = 0;
    size_t i = digits;
    while (i < close && text[i] >= '0' && text[i] <= '9' && error < 100000) error = error * 10 + (text[i++] - '0');
    out.append(text.substr(at, found - at));
    if (i == digits || error == 0) {
      out.append(text.substr(found, close + 1 - found));  // no error number: left as it is
    } else {
      out.append("(").append(systemError(error)).append(")");
    }
    at = close + 1;
  }
  out.append(text.substr(at));
  return out;
}

}  // namespace tqsort
