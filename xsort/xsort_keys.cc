// Normalized keys: each key part of a row becomes bytes whose unsigned order is the
// part's order in its direction, and the parts are concatenated.  Every encoding
// delimits itself (fixed width, or a terminator that its bytes cannot contain), so a
// key that begins another is always the smaller and the parts never run together.
// Bytes, integers, dates and strings are encoded by the key encoder that every sort of
// the library shares (core/sortkey.h), so this engine orders and groups their values
// exactly as the chunk sorts do:
//
//   byte        the byte
//   integer     the 64-bit value with its sign bit flipped, big-endian
//   date        numeric order of the double; -0.0 as 0.0, every NaN as one NaN above
//               +infinity
//   string      the bytes up to the terminator, then zero bytes up to the field's
//               width (fields of up to 32 bytes) or one zero byte (longer fields)
//   collated    the collation library's sort key with its zero byte
//   callback    the callback's bytes as they come; unless the part is the key's last,
//               each zero byte doubled as 0x00 0xFF and the end marked 0x00 0x00
//
// A descending part is complemented, terminator included, except callback bytes: the
// callback applies the direction itself.
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uenum.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/sortkey.h"
#include "platform/tqballoc.h"
#include "xsort/xsort_internal.h"

namespace tqxsort {

namespace {

// Bytes of a string field's value: up to its terminator, or the whole field.
uint32_t valueLength(const uint8_t* v, uint32_t field) {
  const void* zero = std::memchr(v, 0, field);
  return zero != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - v) : field;
}

UCollator* cloneCollator(const UCollator* c, UErrorCode* status) {
#if U_ICU_VERSION_MAJOR_NUM >= 71
  return ucol_clone(c, status);
#else
  return ucol_safeClone(c, nullptr, nullptr, status);
#endif
}

// The collation type named by a variant flag, or null.
const char* variantType(uint32_t variant) {
  switch (variant) {
    case TQ_SORT_COLLATE_PHONEBOOK: return "phonebook";
    case TQ_SORT_COLLATE_PINYIN: return "pinyin";
    case TQ_SORT_COLLATE_STROKE: return "stroke";
    case TQ_SORT_COLLATE_TRADITIONAL: return "traditional";
    case TQ_SORT_COLLATE_BIG5HAN: return "big5han";
    case TQ_SORT_COLLATE_GB2312HAN: return "gb2312han";
    default: return nullptr;
  }
}

int bitCount(uint32_t v) { return __builtin_popcount(v); }

// The variants that order by code point, without a collator.
bool isPointOrder(uint32_t variant) {
  return variant == TQ_SORT_COLLATE_POSIX || variant == TQ_SORT_COLLATE_DIRECT;
}

// True when the locale has the collation type `type`.
bool hasCollationType(const char* locale, const char* type) {
  UErrorCode status = U_ZERO_ERROR;
  UEnumeration* types = ucol_getKeywordValuesForLocale("collation", locale, false, &status);
  if (U_FAILURE(status) || types == nullptr) return false;
  bool found = false;
  const char* value;
  int32_t length = 0;
  while (!found && (value = uenum_next(types, &length, &status)) != nullptr && U_SUCCESS(status)) {
    found = std::strcmp(value, type) == 0;
  }
  uenum_close(types);
  return found;
}

}  // namespace

// --- collators ---------------------------------------------------------------------------

namespace {

// A locale name in canonical form, with room for a collation keyword.
using LocaleName = char[ULOC_FULLNAME_CAPACITY + 64];

// The collation flags: known bits, at most one case order, strength and variant, and
// nothing beside a code point variant.  Sets *variant to the variant's bit.
bool checkCollateFlags(uint32_t flags, uint32_t index, uint32_t* variant, ErrorText* error) {
  const uint32_t known = 0x0001ffffu;
  const uint32_t caseBits = TQ_SORT_COLLATE_LOWER_FIRST | TQ_SORT_COLLATE_UPPER_FIRST;
  const uint32_t strengthBits = 0x0001f000u;
  const uint32_t variantBits = 0x000007f8u & ~TQ_SORT_COLLATE_IGNORE_PUNCTUATION;
  if ((flags & ~known) != 0) {
    error->set("Key part %u: unknown collation flags 0x%x.", index, flags & ~known);
    return false;
  }
  if (bitCount(flags & caseBits) > 1 || bitCount(flags & strengthBits) > 1 ||
      bitCount(flags & variantBits) > 1) {
    error->set("Key part %u: collation flags 0x%x give more than one case order, strength or "
               "variant.", index, flags);
    return false;
  }
  *variant = flags & variantBits;
  if (isPointOrder(*variant) && flags != *variant) {
    error->set("Key part %u: the %s variant orders by code point and takes no other collation "
               "flag (flags 0x%x).", index, *variant == TQ_SORT_COLLATE_POSIX ? "POSIX" : "DIRECT",
               flags);
    return false;
  }
  return true;
}

// A locale given by keywords alone ("@collation=..."): only the collation's own
// keywords ("collation", "colStrength", ...).
bool checkRootKeywords(const char* name, const char* locale, uint32_t index, ErrorText* error) {
  UErrorCode status = U_ZERO_ERROR;
  UEnumeration* keywords = uloc_openKeywords(locale, &status);
  const char* keyword = nullptr;
  while (U_SUCCESS(status) && keywords != nullptr &&
         (keyword = uenum_next(keywords, nullptr, &status)) != nullptr) {
    if (std::strncmp(keyword, "col", 3) != 0) break;
  }
  const bool unknown = keyword != nullptr;
  char shown[64] = {};
  if (unknown) std::snprintf(shown, sizeof(shown), "%s", keyword);
  uenum_close(keywords);
  if (unknown) {
    error->set("Key part %u: the locale '%s' names no language and a keyword '%s' that is not "
               "the collation's.", index, name, shown);
    return false;
  }
  return true;
}

// The collation library falls back to the root order for a language it does not know;
// such a locale is refused rather than sorted by the root order.
bool checkLanguageKnown(const char* name, const char* locale, uint32_t index, ErrorText* error) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* probe = ucol_open(locale, &status);
  bool languageKnown = false;
  if (U_SUCCESS(status) && probe != nullptr) {
    UErrorCode s2 = U_ZERO_ERROR;
    const char* valid = ucol_getLocaleByType(probe, ULOC_VALID_LOCALE, &s2);
    languageKnown = U_SUCCESS(s2) && valid != nullptr && valid[0] != '\0' && std::strcmp(valid, "root") != 0;
  }
  ucol_close(probe);
  if (!languageKnown) {
    error->set("Key part %u: the locale '%s' is not known.", index, name);
    return false;
  }
  return true;
}

// The locale: its canonical form in `locale`, then checks that it is a real one (a
// language the collation library knows, or the root order; a known region).
bool resolveLocale(const char* name, uint32_t index, LocaleName locale, ErrorText* error) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = uloc_canonicalize(name, locale, static_cast<int32_t>(sizeof(LocaleName)), &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING ||
      length >= static_cast<int32_t>(sizeof(LocaleName))) {
    error->set("Key part %u: the locale '%s' is not a locale name.", index, name);
    return false;
  }
  char language[ULOC_LANG_CAPACITY] = {};
  status = U_ZERO_ERROR;
  uloc_getLanguage(locale, language, static_cast<int32_t>(sizeof(language)), &status);
  const bool root = language[0] == '\0' || std::strcmp(language, "root") == 0;
  // The root order is asked for by "", "root" or keywords alone ("@collation=...");
  // the given name is checked, since canonical forms move what is not a language into
  // keywords ("x-sv" becomes "@x=sv").
  if (root && name[0] != '\0' && std::strncmp(name, "root", 4) != 0 && name[0] != '@') {
    error->set("Key part %u: the locale '%s' names no language.", index, name);
    return false;
  }
  if (root && name[0] == '@' && !checkRootKeywords(name, locale, index, error)) return false;
  if (!root && !checkLanguageKnown(name, locale, index, error)) return false;
  char country[ULOC_COUNTRY_CAPACITY] = {};
  status = U_ZERO_ERROR;
  uloc_getCountry(locale, country, static_cast<int32_t>(sizeof(country)), &status);
  if (country[0] != '\0' && !(country[0] >= '0' && country[0] <= '9') &&
      uloc_getISO3Country(locale)[0] == '\0') {
    error->set("Key part %u: the locale '%s' names an unknown region '%s'.", index, name, country);
    return false;
  }
  return true;
}

// The flags' variant as the locale's collation keyword (unless the locale asks for
// another), then checks that the locale has the collation it now names.
bool applyVariant(const char* name, uint32_t variant, uint32_t index, LocaleName locale, ErrorText* error) {
  UErrorCode status = U_ZERO_ERROR;
  if (variant != 0) {
    const char* type = variantType(variant);
    char given[64] = {};
    int32_t n = uloc_getKeywordValue(locale, "collation", given, static_cast<int32_t>(sizeof(given)),
                                     &status);
    if (U_SUCCESS(status) && n > 0 && std::strcmp(given, type) != 0) {
      error->set("Key part %u: the locale '%s' asks for collation '%s' and the flags for '%s'.",
                 index, name, given, type);
      return false;
    }
    status = U_ZERO_ERROR;
    uloc_setKeywordValue("collation", type, locale, static_cast<int32_t>(sizeof(LocaleName)), &status);
    if (U_FAILURE(status)) {
      error->set("Key part %u: cannot add collation '%s' to the locale '%s'.", index, type, name);
      return false;
    }
  }
  char type[64] = {};
  status = U_ZERO_ERROR;
  int32_t typeLength =
      uloc_getKeywordValue(locale, "collation", type, static_cast<int32_t>(sizeof(type)), &status);
  if (U_SUCCESS(status) && typeLength > 0 && !hasCollationType(locale, type)) {
    error->set("Key part %u: the locale '%s' has no '%s' collation.", index, name, type);
    return false;
  }
  return true;
}

// Opens the locale's collator and sets the flags' case order, numeric order,
// punctuation handling and strength on it.  Null on failure (reported in *error).
UCollator* openWithFlags(const char* name, const char* locale, uint32_t flags, uint32_t index,
                         ErrorText* error) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* c = ucol_open(locale, &status);
  if (U_FAILURE(status) || c == nullptr) {
    error->set("Key part %u: cannot open the collation of locale '%s': %s.", index, name,
               u_errorName(status));
    ucol_close(c);
    return nullptr;
  }
  status = U_ZERO_ERROR;
  if (flags & TQ_SORT_COLLATE_UPPER_FIRST) ucol_setAttribute(c, UCOL_CASE_FIRST, UCOL_UPPER_FIRST, &status);
  if (flags & TQ_SORT_COLLATE_LOWER_FIRST) ucol_setAttribute(c, UCOL_CASE_FIRST, UCOL_LOWER_FIRST, &status);
  if (flags & TQ_SORT_COLLATE_NUMERIC) ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  if (flags & TQ_SORT_COLLATE_IGNORE_PUNCTUATION) {
    ucol_setAttribute(c, UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &status);
  }
  if (flags & TQ_SORT_COLLATE_PRIMARY) ucol_setStrength(c, UCOL_PRIMARY);
  if (flags & TQ_SORT_COLLATE_SECONDARY) ucol_setStrength(c, UCOL_SECONDARY);
  if (flags & TQ_SORT_COLLATE_TERTIARY) ucol_setStrength(c, UCOL_TERTIARY);
  if (flags & TQ_SORT_COLLATE_QUATERNARY) ucol_setStrength(c, UCOL_QUATERNARY);
  if (flags & TQ_SORT_COLLATE_IDENTICAL) ucol_setStrength(c, UCOL_IDENTICAL);
  if (U_FAILURE(status)) {
    error->set("Key part %u: cannot set the collation flags 0x%x for locale '%s': %s.", index,
               flags, name, u_errorName(status));
    ucol_close(c);
    return nullptr;
  }
  return c;
}

}  // namespace

bool openCollator(const TqSortCollation* collation, uint32_t index, UCollator** collator,
                  bool* codePoint, ErrorText* error) {
  *collator = nullptr;
  *codePoint = false;
  const uint32_t flags = collation->collateFlags;
  const char* name = collation->locale != nullptr ? collation->locale : "";
  uint32_t variant = 0;
  if (!checkCollateFlags(flags, index, &variant, error)) return false;
  LocaleName locale;
  if (!resolveLocale(name, index, locale, error)) return false;
  if (isPointOrder(variant)) {
    // Code point order is the byte order of UTF-8: no collator.
    *codePoint = true;
    return true;
  }
  if (!applyVariant(name, variant, index, locale, error)) return false;
  *collator = openWithFlags(name, locale, flags, index, error);
  return *collator != nullptr;
}

void closeCollator(UCollator* collator) {
  if (collator != nullptr) ucol_close(collator);
}

// --- the encoder ---------------------------------------------------------------------------

KeyEncoder::~KeyEncoder() { release(); }

bool KeyEncoder::init(const PartPlan* parts, uint32_t count, Engine* engine, ErrorText* error) {
  parts_ = parts;
  count_ = count;
  engine_ = engine;
  int32_t textRoom = 0;
  bool collated = false;
  uint32_t fixed = 0;
  for (uint32_t i = 0; i < count; ++i) {
    fixed += parts[i].width;
    if (parts[i].encoding == Encoding::Collated) {
      collated = true;
      textRoom = std::max(textRoom, static_cast<int32_t>(parts[i].length));
    }
  }
  if (collated) {
    uint64_t charge = chargeFor(sizeof(UCollator*) * count) + chargeFor(sizeof(char16_t) * textRoom);
    if (!engine->tryCharge(charge)) {
      error->setNoRoom("The memory size is too small for the collation buffers.");
      return false;
    }
    charged_ += charge;
    collators_ = static_cast<UCollator**>(tqbCalloc(count, sizeof(UCollator*)));
    text_ = static_cast<char16_t*>(tqbMalloc(sizeof(char16_t) * static_cast<size_t>(textRoom)));
    if (collators_ == nullptr || text_ == nullptr) {
      error->setNoRoom("Out of memory (collation buffers).");
      return false;
    }
    textRoom_ = textRoom;
    for (uint32_t i = 0; i < count; ++i) {
      if (parts[i].encoding != Encoding::Collated) continue;
      UErrorCode status = U_ZERO_ERROR;
      collators_[i] = cloneCollator(parts[i].collator, &status);
      if (U_FAILURE(status) || collators_[i] == nullptr) {
        error->set("Cannot copy the collation of key part %u for a sorting thread: %s.", i,
                   u_errorName(status));
        return false;
      }
    }
  }
  return reserve(std::max<uint32_t>(fixed, 256), error);
}

void KeyEncoder::release() {
  if (collators_ != nullptr) {
    for (uint32_t i = 0; i < count_; ++i) closeCollator(collators_[i]);
  }
  tqbFree(collators_);
  tqbFree(text_);
  tqbFree(key_);
  collators_ = nullptr;
  text_ = nullptr;
  key_ = nullptr;
  keyRoom_ = 0;
  textRoom_ = 0;
  if (charged_ > 0 && engine_ != nullptr) engine_->uncharge(charged_);
  charged_ = 0;
}

bool KeyEncoder::reserve(uint32_t room, ErrorText* error) {
  if (room <= keyRoom_) return true;
  uint64_t want = std::max<uint64_t>(room, uint64_t{keyRoom_} * 2);
  if (want > kMaxRecordLength * 4ull) want = room;
  uint64_t charge = chargeFor(want) - (keyRoom_ > 0 ? chargeFor(keyRoom_) : 0);
  // No room now: other threads may give some back (the batches they sort).
  for (uint64_t seen = engine_->releases(); !engine_->tryChargeGrowth(charge); seen = engine_->releases()) {
    if (!engine_->waitForReleasedRoom(seen)) {
      error->setNoRoom("The memory size is too small for a sort key of %u bytes.", room);
      return false;
    }
  }
  void* grown = tqbRealloc(key_, want);
  if (grown == nullptr) {
    engine_->uncharge(charge);
    error->setNoRoom("Out of memory (sort key of %" PRIu64 " bytes).", want);
    return false;
  }
  charged_ += charge;
  key_ = static_cast<uint8_t*>(grown);
  keyRoom_ = static_cast<uint32_t>(want);
  return true;
}

bool KeyEncoder::encode(const uint8_t* row, uint32_t* length, ErrorText* error) {
  uint32_t pos = 0;
  for (uint32_t i = 0; i < count_; ++i) {
    const PartPlan& p = parts_[i];
    const uint8_t* v = row + p.offset;
    if (p.width > 0 && pos + p.width > keyRoom_ && !reserve(pos + p.width, error)) return false;
    switch (p.encoding) {
      case Encoding::Byte:
        tqkey::putByte(key_ + pos, v[0], p.descending);
        pos += 1;
        break;
      case Encoding::Date: {
        uint64_t bits = loadLE64(v);
        double d;
        std::memcpy(&d, &bits, 8);
        tqkey::putDate(key_ + pos, d, p.descending);
        pos += 8;
        break;
      }
      case Encoding::Integer: {
        tqkey::putInteger(key_ + pos, static_cast<int64_t>(loadLE64(v)), p.descending);
        pos += 8;
        break;
      }
      case Encoding::StringFixed:
        tqkey::putPaddedString(key_ + pos, v, valueLength(v, p.length), p.length, p.descending);
        pos += p.length;
        break;
      case Encoding::StringVar: {
        uint32_t n = valueLength(v, p.length);
        if (!reserve(pos + n + 1, error)) return false;
        pos += tqkey::putString(key_ + pos, v, n, p.descending);
        break;
      }
      case Encoding::Collated:
        if (!encodeCollated(i, v, &pos, error)) return false;
        break;
      case Encoding::Callback:
        if (!encodeCallback(i, v, &pos, error)) return false;
        break;
    }
  }
  *length = pos;
  return true;
}

bool KeyEncoder::encodeCollated(uint32_t i, const uint8_t* v, uint32_t* pos, ErrorText* error) {
  const PartPlan& p = parts_[i];
  int32_t n = static_cast<int32_t>(valueLength(v, p.length));
  int32_t units = 0;
  UErrorCode status = U_ZERO_ERROR;
  // Ill-formed UTF-8 is read with U+FFFD in place of each bad sequence.
  u_strFromUTF8WithSub(text_, textRoom_, &units, reinterpret_cast<const char*>(v), n, 0xfffd,
                       nullptr, &status);
  if (U_FAILURE(status)) {
    error->set("Cannot read the string of key part %u: %s.", i, u_errorName(status));
    return false;
  }
  int32_t room = static_cast<int32_t>(keyRoom_ - *pos);
  int32_t size = ucol_getSortKey(collators_[i], text_, units, key_ + *pos, room);
  if (size > room) {
    if (!reserve(*pos + static_cast<uint32_t>(size), error)) return false;
    size = ucol_getSortKey(collators_[i], text_, units, key_ + *pos,
                           static_cast<int32_t>(keyRoom_ - *pos));
  }
  if (size <= 0) {
    error->set("The collation gave no sort key for key part %u.", i);
    return false;
  }
  if (p.descending) tqkey::invert(key_ + *pos, static_cast<uint32_t>(size));
  *pos += static_cast<uint32_t>(size);
  return true;
}

bool KeyEncoder::encodeCallback(uint32_t i, const uint8_t* v, uint32_t* pos, ErrorText* error) {
  const PartPlan& p = parts_[i];
  uint32_t n = 0;
  int rc = p.function(p.block, v, p.length, nullptr, 0, p.descending ? 1 : 0, &n);
  if (rc != 0) {
    error->set("The key callback of part %u failed (%d).", i, rc);
    return false;
  }
  if (n > kMaxRecordLength) {
    error->set("The key callback of part %u asks for %u bytes.", i, n);
    return false;
  }
  // Raw bytes land behind the room that their escaped form may take, then are
  // escaped forward into place (the writing never overtakes the reading).
  uint32_t rawAt = p.last ? *pos : *pos + n + 2;
  if (!reserve(rawAt + n, error)) return false;
  uint32_t got = n;
  rc = p.function(p.block, v, p.length, key_ + rawAt, n, p.descending ? 1 : 0, &got);
  if (rc != 0 || got > n) {
    error->set("The key callback of part %u failed (%d, %u bytes of %u).", i, rc, got, n);
    return false;
  }
  if (p.last) {
    *pos += got;
    return true;
  }
  for (uint32_t k = 0; k < got; ++k) {
    uint8_t byte = key_[rawAt + k];
    key_[(*pos)++] = byte;
    if (byte == 0) key_[(*pos)++] = 0xff;
  }
  key_[(*pos)++] = 0;
  key_[(*pos)++] = 0;
  return true;
}

}  // namespace tqxsort
