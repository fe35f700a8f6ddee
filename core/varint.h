// LEB128 numbers: an unsigned number in groups of 7 bits, the least significant first,
// each byte's high bit set while more bytes follow.  Small numbers take one byte (below
// 128), a 32-bit number at most 5, a 64-bit number at most 10.  The one codec of every
// length the project stores this way: the chunk sort's run records (src/sortvorn.h),
// tqsort's line spool and the numbers before a stored line's fields.
//
// Standard library only.
#ifndef TQ_CORE_VARINT_H
#define TQ_CORE_VARINT_H

#include <cstddef>
#include <cstdint>

namespace tqvarint {

// Bytes of a number of 32 and of 64 bits, at most.
constexpr size_t kMost32 = 5;
constexpr size_t kMost64 = 10;

// Writes `value` at `to` (room for kMost64 bytes, or for the value's size); its bytes.
inline size_t put(void* to, uint64_t value) {
  uint8_t* p = static_cast<uint8_t*>(to);
  size_t n = 0;
  while (value >= 0x80) {
    p[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  p[n++] = static_cast<uint8_t>(value);
  return n;
}

// Bytes that put writes for `value`.
inline size_t size(uint64_t value) {
  size_t n = 1;
  for (; value >= 0x80; value >>= 7) ++n;
  return n;
}

// Reads a number from [from, from + n), taking at most `most` bytes (kMost64 at most):
// true with the number in *value and its bytes in *used; false when no number ends
// within those bytes (the bytes end first, or the number is longer than `most`).
inline bool get(const void* from, size_t n, uint64_t* value, size_t* used, size_t most = kMost64) {
  const uint8_t* p = static_cast<const uint8_t*>(from);
  if (n > most) n = most;
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    v |= uint64_t{p[i] & 0x7Fu} << (7 * i);
    if ((p[i] & 0x80) == 0) {
      *value = v;
      *used = i + 1;
      return true;
    }
  }
  return false;
}

}  // namespace tqvarint

#endif
