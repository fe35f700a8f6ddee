#include "tqbformat.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void appendf(std::string* out, const char* conversion, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string* out, const char* conversion, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, conversion);
  int n = std::vsnprintf(buf, sizeof(buf), conversion, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(buf)) {
    out->append(buf, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, conversion);
  std::vsnprintf(big.data(), big.size(), conversion, ap);
  va_end(ap);
  out->append(big.data(), static_cast<size_t>(n));
}

}  // namespace

void tqbFormatInto(std::string* out, const char* format, const TqbFormatArg* args, size_t count) {
  size_t next = 0;
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      const char* q = std::strchr(p, '%');
      size_t n = q ? static_cast<size_t>(q - p) : std::strlen(p);
      out->append(p, n);
      p += n;
      continue;
    }
    if (p[1] == '%') {
      out->push_back('%');
      p += 2;
      continue;
    }
    // %[flags][width][.precision][length]conversion; '*' widths are not supported.
    std::string conversion = "%";
    ++p;
    while (*p && std::strchr("-+ #0", *p)) conversion.push_back(*p++);
    while (*p >= '0' && *p <= '9') conversion.push_back(*p++);
    if (*p == '.') {
      conversion.push_back(*p++);
      while (*p >= '0' && *p <= '9') conversion.push_back(*p++);
    }
    // Length modifiers are read and dropped: the argument's own type decides.
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      p += 3;
    } else {
      while (*p && std::strchr("hlLqjzt", *p)) ++p;
    }
    char conv = *p ? *p++ : 's';
    if (next >= count) {
      out->append("(missing)");
      continue;
    }
    const TqbFormatArg& a = args[next++];
    switch (conv) {
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c': {
        if (a.kind == TqbFormatArg::Text) {
          appendf(out, (conversion + "s").c_str(), a.s ? a.s : "(null)");
        } else if (a.kind == TqbFormatArg::Double) {
          appendf(out, (conversion + "g").c_str(), a.d);
        } else if (conv == 'c') {
          appendf(out, (conversion + "c").c_str(), static_cast<int>(a.i));
        } else {
          bool asSigned = (conv == 'd' || conv == 'i') && a.kind == TqbFormatArg::Int;
          if (asSigned) {
            appendf(out, (conversion + "ll" + conv).c_str(), static_cast<long long>(a.i));
          } else {
            char c = (conv == 'd' || conv == 'i') ? 'u' : conv;
            appendf(out, (conversion + "ll" + c).c_str(), static_cast<unsigned long long>(a.u));
          }
        }
        break;
      }
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': {
        double d = a.kind == TqbFormatArg::Double ? a.d
                   : a.kind == TqbFormatArg::Int  ? static_cast<double>(a.i)
                   : a.kind == TqbFormatArg::Uint ? static_cast<double>(a.u)
                                                  : 0.0;
        appendf(out, (conversion + conv).c_str(), d);
        break;
      }
      case 'p':
        // Addresses print as bare hexadecimal; formats put "0x" in front where wanted.
        appendf(out, (conversion + "llx").c_str(),
                a.kind == TqbFormatArg::Pointer
                    ? static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(a.p))
                    : static_cast<unsigned long long>(a.u));
        break;
      case 's':
      default:
        switch (a.kind) {
          case TqbFormatArg::Text: appendf(out, (conversion + "s").c_str(), a.s ? a.s : "(null)"); break;
          case TqbFormatArg::Int: appendf(out, "%lld", static_cast<long long>(a.i)); break;
          case TqbFormatArg::Uint: appendf(out, "%llu", static_cast<unsigned long long>(a.u)); break;
          case TqbFormatArg::Double: appendf(out, "%g", a.d); break;
          case TqbFormatArg::Pointer:
            appendf(out, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(a.p)));
            break;
        }
        break;
    }
  }
}
