// Decimal192 (binary integer significand) conversions and the collate form.
#include "tqbdecimal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr int32_t kEmax = 98304;
constexpr int32_t kBias = 98354;        // biased exponent = q + kBias
constexpr int32_t kQmin = -kBias;       // smallest exponent of the coefficient
constexpr int32_t kQmax = 196607 - kBias;  // 98253
constexpr int32_t kExponentOffset = 1 << 23;  // collate form: adjusted exponent bias

// Unsigned 192-bit integer, three little-endian 64-bit words.
struct U192 {
  uint64_t w[3] = {0, 0, 0};

  bool isZero() const { return (w[0] | w[1] | w[2]) == 0; }
  // this = this * m + add; returns the carry out of the top word.
  uint64_t mulAdd(uint64_t m, uint64_t add) {
    u128 carry = add;
    for (uint64_t& word : w) {
      u128 t = static_cast<u128>(word) * m + carry;
      word = static_cast<uint64_t>(t);
      carry = t >> 64;
    }
    return static_cast<uint64_t>(carry);
  }
  // this /= d; returns the remainder.
  uint64_t divSmall(uint64_t d) {
    u128 rem = 0;
    for (int i = 2; i >= 0; --i) {
      u128 cur = (rem << 64) | w[i];
      w[i] = static_cast<uint64_t>(cur / d);
      rem = cur % d;
    }
    return static_cast<uint64_t>(rem);
  }
  int compare(const U192& o) const {
    for (int i = 2; i >= 0; --i) {
      if (w[i] != o.w[i]) return w[i] < o.w[i] ? -1 : 1;
    }
    return 0;
  }
};

// 10^52, the first coefficient that does not fit.
U192 pow10Limit() {
  U192 v;
  v.w[0] = 1;
  for (int i = 0; i < kTqbDecimalDigits; ++i) v.mulAdd(10, 0);
  return v;
}
const U192 kCoefficientLimit = pow10Limit();

enum class Kind { Finite, Infinity, NaN };

struct Unpacked {
  bool negative = false;
  Kind kind = Kind::Finite;
  int32_t exponent = 0;  // q: value = coefficient * 10^q
  U192 coefficient;
};

void load(const void* bytes, U192* v) {
  std::memcpy(v->w, bytes, 24);  // little-endian host assumed (x86-64, aarch64)
}

void store(const U192& v, void* bytes) { std::memcpy(bytes, v.w, 24); }

// Bits [hi..lo] of the 192-bit word (at most 32 bits wide).
uint32_t bitsOf(const U192& v, int hi, int lo) {
  uint32_t out = 0;
  for (int b = hi; b >= lo; --b) out = (out << 1) | ((v.w[b / 64] >> (b % 64)) & 1u);
  return out;
}

Unpacked unpack(const void* bytes) {
  U192 v;
  load(bytes, &v);
  Unpacked u;
  u.negative = bitsOf(v, 191, 191) != 0;
  uint32_t top5 = bitsOf(v, 190, 186);
  if (top5 == 0x1F) {
    u.kind = Kind::NaN;
    return u;
  }
  if (top5 == 0x1E) {
    u.kind = Kind::Infinity;
    return u;
  }
  if (bitsOf(v, 190, 189) == 3) {
    // Significand 100xxx...: above 10^52 - 1, non-canonical, reads as zero.
    u.exponent = static_cast<int32_t>(bitsOf(v, 188, 171)) - kBias;
    return u;
  }
  u.exponent = static_cast<int32_t>(bitsOf(v, 190, 173)) - kBias;
  u.coefficient = v;
  u.coefficient.w[2] &= (uint64_t{1} << (173 - 128)) - 1;  // keep bits 172..0
  if (u.coefficient.compare(kCoefficientLimit) >= 0) u.coefficient = U192();
  return u;
}

void pack(const Unpacked& u, void* bytes) {
  U192 v;
  if (u.kind == Kind::NaN) {
    v.w[2] = uint64_t{0x1F} << (186 - 128);
  } else if (u.kind == Kind::Infinity) {
    v.w[2] = uint64_t{0x1E} << (186 - 128);
  } else {
    v = u.coefficient;  // < 2^173
    uint64_t biased = static_cast<uint64_t>(u.exponent + kBias);
    v.w[2] |= biased << (173 - 128);
  }
  if (u.negative) v.w[2] |= uint64_t{1} << 63;
  store(v, bytes);
}

int digitCount(U192 c) {
  int n = 0;
  while (!c.isZero()) {
    c.divSmall(10);
    ++n;
  }
  return n;
}

bool matchWord(const char* p, const char* end, const char* word) {
  size_t n = std::strlen(word);
  if (static_cast<size_t>(end - p) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

}  // namespace

decContext* decContextDefault(decContext* context, int32_t kind) {
  (void)kind;
  context->digits = kTqbDecimalDigits;
  context->emax = kEmax;
  context->emin = 1 - kEmax;
  context->rounding = 0;
  context->status = 0;
  return context;
}

uint32_t decSextToByteCollateForm(const void* value, const decContext* context, void* out,
                                  uint32_t flags) {
  (void)context;
  (void)flags;
  if (out == nullptr) return kTqbDecimalCollateLength;
  uint8_t* o = static_cast<uint8_t*>(out);
  std::memset(o, 0, kTqbDecimalCollateLength);
  Unpacked u = unpack(value);
  if (u.kind == Kind::NaN) {
    o[0] = 0x06;
    return kTqbDecimalCollateLength;
  }
  if (u.kind == Kind::Infinity) {
    o[0] = u.negative ? 0x01 : 0x05;
    return kTqbDecimalCollateLength;
  }
  if (u.coefficient.isZero()) {
    o[0] = 0x03;
    return kTqbDecimalCollateLength;
  }
  // Strip trailing zeros so that every quantum of the value gives the same form.
  U192 c = u.coefficient;
  int32_t q = u.exponent;
  for (;;) {
    U192 t = c;
    if (t.divSmall(10) != 0) break;
    c = t;
    ++q;
  }
  int n = digitCount(c);
  int32_t adjusted = q + n - 1;
  for (int i = n; i < kTqbDecimalDigits; ++i) c.mulAdd(10, 0);  // left-align the digits
  uint32_t e = static_cast<uint32_t>(adjusted + kExponentOffset);
  o[0] = 0x04;
  o[1] = static_cast<uint8_t>(e >> 16);
  o[2] = static_cast<uint8_t>(e >> 8);
  o[3] = static_cast<uint8_t>(e);
  // 22 bytes big-endian of the 176 low bits of c.
  for (int i = 0; i < 22; ++i) {
    int byteFromLow = 21 - i;
    o[4 + i] = static_cast<uint8_t>(c.w[byteFromLow / 8] >> (8 * (byteFromLow % 8)));
  }
  if (u.negative) {
    o[0] = 0x02;
    for (uint32_t i = 1; i < kTqbDecimalCollateLength; ++i) o[i] = static_cast<uint8_t>(~o[i]);
  }
  return kTqbDecimalCollateLength;
}

int tqbDecimalFromString(const char* text, size_t length, void* out) {
  const char* p = text;
  const char* end = text + length;
  Unpacked u;
  if (p < end && (*p == '+' || *p == '-')) {
    u.negative = *p == '-';
    ++p;
  }
  if (matchWord(p, end, "inf") || matchWord(p, end, "infinity")) {
    u.kind = Kind::Infinity;
    pack(u, out);
    return kTqbDecOk;
  }
  if (matchWord(p, end, "nan")) {
    u.kind = Kind::NaN;
    pack(u, out);
    return kTqbDecOk;
  }
  // Digits: at most 52 are kept; the rest decide the rounding.
  int kept = 0;
  int64_t dropped = 0;       // significant digits beyond the 52 kept
  int firstDropped = -1;     // the first dropped digit
  bool droppedNonZeroTail = false;  // a non-zero among the later dropped digits
  int64_t scale = 0;         // digits after the point that were kept or dropped
  bool anyDigit = false;
  bool seenPoint = false;
  U192 c;
  for (; p < end; ++p) {
    char ch = *p;
    if (ch == '.') {
      if (seenPoint) return kTqbDecSyntax;
      seenPoint = true;
      continue;
    }
    if (ch < '0' || ch > '9') break;
    anyDigit = true;
    int d = ch - '0';
    if (seenPoint) ++scale;
    if (kept == 0 && d == 0) continue;  // leading zeros
    if (kept < kTqbDecimalDigits) {
      c.mulAdd(10, static_cast<uint64_t>(d));
      ++kept;
    } else {
      if (firstDropped < 0) {
        firstDropped = d;
      } else if (d != 0) {
        droppedNonZeroTail = true;
      }
      ++dropped;
    }
  }
  if (!anyDigit) return kTqbDecSyntax;
  int64_t exp = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool eneg = false;
    if (p < end && (*p == '+' || *p == '-')) {
      eneg = *p == '-';
      ++p;
    }
    if (p == end) return kTqbDecSyntax;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
      if (exp < 100000000) exp = exp * 10 + (*p - '0');
    }
    if (eneg) exp = -exp;
  }
  if (p != end) return kTqbDecSyntax;

  int result = kTqbDecOk;
  int64_t q = exp - scale + dropped;
  if (firstDropped >= 0) {
    bool nonZero = firstDropped != 0 || droppedNonZeroTail;
    if (nonZero) {
      result |= kTqbDecInexact;
      bool roundUp = firstDropped > 5 || (firstDropped == 5 && droppedNonZeroTail) ||
                     (firstDropped == 5 && !droppedNonZeroTail && (c.w[0] & 1));
      if (roundUp) {
        c.mulAdd(1, 1);
        if (c.compare(kCoefficientLimit) >= 0) {  // 999...9 + 1: one digit more
          c.divSmall(10);
          ++q;
        }
      }
    }
  }
  // Bring the exponent into range, exactly where possible.
  while (q > kQmax && !c.isZero()) {
    U192 t = c;
    if (t.mulAdd(10, 0) != 0 || t.compare(kCoefficientLimit) >= 0) return kTqbDecOverflow;
    c = t;
    --q;
  }
  if (q > kQmax) q = kQmax;  // zero with a huge exponent: clamp the quantum
  // Below the smallest exponent the digits shift out one by one; once the coefficient
  // is zero nothing more can change, so a huge negative exponent costs no more than
  // the 52 digits it can hold.
  while (q < kQmin) {
    if (c.isZero()) {
      q = kQmin;
      break;
    }
    uint64_t r = c.divSmall(10);
    if (r != 0) result |= kTqbDecInexact | kTqbDecUnderflow;
    ++q;
  }
  u.exponent = static_cast<int32_t>(q);
  u.coefficient = c;
  pack(u, out);
  return result;
}

void tqbDecimalFromInt64(int64_t value, void* out) {
  Unpacked u;
  u.negative = value < 0;
  uint64_t mag = u.negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  u.coefficient.w[0] = mag;
  pack(u, out);
}

size_t tqbDecimalToString(const void* value, char* out, size_t size) {
  char buf[96];
  size_t n = 0;
  Unpacked u = unpack(value);
  if (u.negative) buf[n++] = '-';
  if (u.kind == Kind::NaN) {
    n = 0;
    std::memcpy(buf, "NaN", 3);
    n = 3;
  } else if (u.kind == Kind::Infinity) {
    std::memcpy(buf + n, "Infinity", 8);
    n += 8;
  } else {
    char digits[64];
    int nd = 0;
    U192 c = u.coefficient;
    do {
      digits[nd++] = static_cast<char>('0' + c.divSmall(10));
    } while (!c.isZero());
    // digits[] is least significant first.
    int32_t q = u.exponent;
    int64_t adjusted = static_cast<int64_t>(q) + nd - 1;
    if (q <= 0 && adjusted >= -6) {
      int64_t intDigits = nd + static_cast<int64_t>(q);  // digits before the point
      if (intDigits <= 0) {
        buf[n++] = '0';
        buf[n++] = '.';
        for (int64_t i = 0; i < -intDigits; ++i) buf[n++] = '0';
        for (int i = nd - 1; i >= 0; --i) buf[n++] = digits[i];
      } else {
        for (int i = nd - 1; i >= 0; --i) {
          buf[n++] = digits[i];
          if (i == -q && q < 0) buf[n++] = '.';
        }
        // The point goes after intDigits digits: handled by i == -q.
      }
    } else {
      buf[n++] = digits[nd - 1];
      if (nd > 1) {
        buf[n++] = '.';
        for (int i = nd - 2; i >= 0; --i) buf[n++] = digits[i];
      }
      n += static_cast<size_t>(std::snprintf(buf + n, sizeof(buf) - n, "E%+lld",
                                             static_cast<long long>(adjusted)));
    }
  }
  if (n + 1 > size) return 0;
  std::memcpy(out, buf, n);
  out[n] = '\0';
  return n;
}

double tqbDecimalToDouble(const void* value) {
  char text[96];
  tqbDecimalToString(value, text, sizeof(text));
  return std::strtod(text, nullptr);
}

int tqbDecimalCompare(const void* a, const void* b) {
  uint8_t fa[kTqbDecimalCollateLength];
  uint8_t fb[kTqbDecimalCollateLength];
  decSextToByteCollateForm(a, nullptr, fa, 0);
  decSextToByteCollateForm(b, nullptr, fb, 0);
  return std::memcmp(fa, fb, kTqbDecimalCollateLength);
}
