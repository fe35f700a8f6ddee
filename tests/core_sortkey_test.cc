// The shared key encoder: for each type, values listed in their sort order encode to
// byte strings in that order (equal values to equal bytes) in both directions, with
// nulls lowest; the awkward values are the point: signed zeros, NaNs of both signs and
// any payload, infinities, the smallest and largest decimal exponents, strings that
// begin one another, the extremes of 64-bit integers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/sortkey.h"
#include "platform/tqbdatavar.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Values of one type in ascending order; values in one inner list are equal.
template <typename T>
using Groups = std::vector<std::vector<T>>;

// Checks that `encode(value, ascending)` orders the groups as listed (ascending) and
// reversed (descending), equal within a group, and that a null sorts first ascending
// and last descending.
template <typename T, typename Encode>
void expectOrder(const Groups<T>& groups, Encode encode, const Bytes& nullAscending,
                 const Bytes& nullDescending) {
  for (bool ascending : {true, false}) {
    SCOPED_TRACE(ascending ? "ascending" : "descending");
    std::vector<Bytes> seen;
    for (size_t g = 0; g < groups.size(); ++g) {
      Bytes first = encode(groups[g][0], ascending);
      for (size_t i = 1; i < groups[g].size(); ++i) {
        EXPECT_EQ(encode(groups[g][i], ascending), first) << "group " << g << " value " << i;
      }
      if (g > 0) {
        EXPECT_EQ(first < seen.back(), !ascending) << "groups " << g - 1 << " and " << g;
        EXPECT_NE(first, seen.back()) << "groups " << g - 1 << " and " << g;
      }
      seen.push_back(first);
    }
    const Bytes& null = ascending ? nullAscending : nullDescending;
    for (const Bytes& b : seen) EXPECT_EQ(null < b, ascending) << "null against a value";
  }
}

Bytes dateKey(double d, bool ascending) {
  Bytes b(tqkey::kNumberKeyBytes);
  tqkey::putDateKey(b.data(), false, d, ascending);
  return b;
}

Bytes nullKey(void (*put)(uint8_t*, bool, bool), size_t size, bool ascending) {
  Bytes b(size);
  put(b.data(), true, ascending);
  return b;
}

struct Decimal {
  uint8_t bytes[24] = {};
};

Decimal dec(const std::string& text) {
  Decimal d;
  int rc = tqbDecimalFromString(text.data(), text.size(), d.bytes);
  EXPECT_EQ(rc & ~kTqbDecInexact, kTqbDecOk) << text;
  return d;
}

Bytes realKey(const Decimal& d, bool ascending) {
  Bytes b(tqkey::kRealKeyBytes);
  tqkey::putRealKey(b.data(), d.bytes, ascending);
  return b;
}

}  // namespace

TEST(SortKeyTest, DatesOrderNumericallyWithSignedZerosEqualAndEveryNaNLast) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double denormal = std::numeric_limits<double>::denorm_min();
  double payloadNaN;
  uint64_t bits = 0xfff0000000000123ull;  // negative, with a payload
  std::memcpy(&payloadNaN, &bits, 8);
  double signalling;
  bits = 0x7ff0000000000001ull;
  std::memcpy(&signalling, &bits, 8);
  Groups<double> groups = {
      {-inf},
      {-std::numeric_limits<double>::max()},
      {-1.5},
      {-denormal},
      {0.0, -0.0},
      {denormal},
      {1.5},
      {std::numeric_limits<double>::max()},
      {inf},
      {nan, -nan, payloadNaN, signalling},
  };
  auto put = [](uint8_t* p, bool null, bool ascending) { tqkey::putDateKey(p, null, 0.0, ascending); };
  expectOrder(groups, dateKey, nullKey(put, 9, true), nullKey(put, 9, false));
}

TEST(SortKeyTest, IntegersAndBooleansOrderAndMatchTheDocumentedBytes) {
  Groups<int64_t> ints = {{INT64_MIN}, {-1}, {0}, {1}, {INT64_MAX}};
  auto intKey = [](int64_t v, bool ascending) {
    Bytes b(tqkey::kNumberKeyBytes);
    tqkey::putIntegerKey(b.data(), false, v, ascending);
    return b;
  };
  auto putInt = [](uint8_t* p, bool null, bool ascending) { tqkey::putIntegerKey(p, null, 0, ascending); };
  expectOrder(ints, intKey, nullKey(putInt, 9, true), nullKey(putInt, 9, false));
  EXPECT_EQ(intKey(-1, true), (Bytes{1, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(intKey(1, true), (Bytes{1, 0x80, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(intKey(1, false), (Bytes{0, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}));
  EXPECT_EQ(nullKey(putInt, 9, true), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(nullKey(putInt, 9, false), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}));

  Groups<bool> bools = {{false}, {true}};
  auto boolKey = [](bool v, bool ascending) {
    Bytes b(tqkey::kBooleanKeyBytes);
    tqkey::putBooleanKey(b.data(), false, v, ascending);
    return b;
  };
  auto putBool = [](uint8_t* p, bool null, bool ascending) { tqkey::putBooleanKey(p, null, false, ascending); };
  expectOrder(bools, boolKey, nullKey(putBool, 2, true), nullKey(putBool, 2, false));
  EXPECT_EQ(boolKey(true, true), (Bytes{1, 1}));
  EXPECT_EQ(boolKey(true, false), (Bytes{0, 0xfe}));
  EXPECT_EQ(boolKey(false, false), (Bytes{0, 0xff}));
}

TEST(SortKeyTest, DecimalsOrderNumericallyFromTheSmallestToTheLargestExponent) {
  const std::string nines(52, '9');
  Decimal nan = dec("NaN"), negativeNaN = dec("-NaN");
  Decimal signalling = nan, payload = negativeNaN;
  signalling.bytes[23] |= 0x02;  // bit 185: a signalling NaN
  payload.bytes[0] = 0x2a;
  Decimal nonCanonical;  // significand field 100...: above 10^52 - 1, reads as zero
  nonCanonical.bytes[23] = 0x60;
  Groups<Decimal> groups = {
      {dec("-Infinity")},
      {dec("-" + nines + "E+98253")},  // the largest magnitude
      {dec("-1E+98304")},
      {dec("-1.5")},
      {dec("-1E-98354")},  // the smallest magnitude
      {dec("0"), dec("-0"), dec("0E+98253"), dec("-0E-98354"), nonCanonical},
      {dec("1E-98354")},
      {dec("2E-98354")},
      {dec("1"), dec("1.0"), dec("1.000"), dec("0.001E+3")},
      {dec("1E+98304")},
      {dec(nines + "E+98253")},
      {dec("Infinity")},
      {nan, negativeNaN, signalling, payload},
  };
  auto put = [](uint8_t* p, bool null, bool ascending) {
    uint8_t zero[24] = {};
    tqkey::putRealKey(p, null ? nullptr : zero, ascending);
  };
  expectOrder(groups, realKey, nullKey(put, tqkey::kRealKeyBytes, true),
              nullKey(put, tqkey::kRealKeyBytes, false));
}

TEST(SortKeyTest, StringsOrderBytewiseInBothFormsAndBeforeTheirExtensions) {
  Groups<std::string> groups = {{""}, {"A"}, {"a"}, {"a\x01"}, {"ab"}, {"abc"}, {"b"}, {"\xc3\xbc"}, {"\xff"}};
  auto terminated = [](const std::string& s, bool ascending) {
    Bytes b(tqkey::stringKeyBytes(false, static_cast<uint32_t>(s.size())));
    uint32_t n = tqkey::putStringKey(b.data(), reinterpret_cast<const uint8_t*>(s.data()),
                                     static_cast<uint32_t>(s.size()), ascending);
    EXPECT_EQ(n, b.size());
    return b;
  };
  // The padded form is given the whole field, zeros behind the value, as a fixed-layout
  // row stores it.
  auto padded = [](const std::string& s, bool ascending) {
    std::string field = s;
    field.resize(5, '\0');
    Bytes b(6);
    tqkey::putPaddedStringKey(b.data(), reinterpret_cast<const uint8_t*>(field.data()), 5, 5, ascending);
    return b;
  };
  Bytes nullTerminated(2), nullTerminatedDown(2), nullPadded(6), nullPaddedDown(6);
  EXPECT_EQ(tqkey::putStringKey(nullTerminated.data(), nullptr, 0, true), 2u);
  tqkey::putStringKey(nullTerminatedDown.data(), nullptr, 0, false);
  tqkey::putPaddedStringKey(nullPadded.data(), nullptr, 0, 5, true);
  tqkey::putPaddedStringKey(nullPaddedDown.data(), nullptr, 0, 5, false);
  {
    SCOPED_TRACE("terminated");
    expectOrder(groups, terminated, nullTerminated, nullTerminatedDown);
  }
  {
    SCOPED_TRACE("padded");
    expectOrder(groups, padded, nullPadded, nullPaddedDown);
  }
  EXPECT_EQ(terminated("", true), (Bytes{1, 0}));
  EXPECT_EQ(terminated("", false), (Bytes{0, 0xff}));
  EXPECT_EQ(nullTerminated, (Bytes{0, 0}));
  EXPECT_EQ(nullTerminatedDown, (Bytes{1, 0}));
}

TEST(SortKeyTest, ValuesCompareAsTheirKeysSort) {
  // The value type's comparison and the encoder agree, so that rows group as they sort.
  const double values[] = {-std::numeric_limits<double>::infinity(), -1.5, -0.0, 0.0, 2.25,
                           std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN()};
  for (double a : values) {
    for (double b : values) {
      TqbDatavar x, y;
      x.assign(TqbDate(a));
      y.assign(TqbDate(b));
      Bytes ka = dateKey(a, true), kb = dateKey(b, true);
      int byKey = ka < kb ? -1 : (ka == kb ? 0 : 1);
      int byValue = x.compare(y);
      EXPECT_EQ(byValue < 0 ? -1 : (byValue > 0 ? 1 : 0), byKey) << a << " against " << b;
    }
  }
}

TEST(SortKeyTest, PrefixesAreTheFirstEightBytesZeroPaddedReadOnlyWithinTheKey) {
  // Each key lies in an allocation of exactly its length, so that a read past its end
  // is caught under AddressSanitizer; the bytes favour 0x00 and 0xff, where a shift or
  // a sign extension in the overlapping loads would show.
  std::mt19937 rng(7);
  const uint8_t favoured[] = {0x00, 0xff, 0x01, 0x80, 0x7f};
  auto randomKey = [&](size_t length) {
    Bytes key(length);
    for (uint8_t& b : key) b = rng() % 3 == 0 ? favoured[rng() % 5] : static_cast<uint8_t>(rng());
    return key;
  };
  auto padded = [](const Bytes& key) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = (v << 8) | (i < key.size() ? key[i] : 0);
    return v;
  };
  for (size_t length = 0; length <= 12; ++length) {
    for (int round = 0; round < 300; ++round) {
      Bytes key = randomKey(length);
      auto held = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
      std::copy(key.begin(), key.end(), held.get());
      ASSERT_EQ(tqkey::loadPrefix(held.get(), length), padded(key)) << "length " << length << " round " << round;
    }
  }
  // Two keys whose prefixes differ order as the prefixes do (shorter first on a tie).
  for (int round = 0; round < 20000; ++round) {
    Bytes a = randomKey(rng() % 11), b = randomKey(rng() % 11);
    if (rng() % 2 == 0 && !a.empty()) b.assign(a.begin(), a.begin() + static_cast<long>(rng() % a.size()));
    uint64_t pa = tqkey::loadPrefix(a.data(), a.size()), pb = tqkey::loadPrefix(b.data(), b.size());
    if (pa != pb) {
      ASSERT_EQ(pa < pb, a < b) << round;
    }
  }
}
