#include "tqsort_parse.h"

#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_values.h"

namespace tqsort {

Batch::Batch(size_t capacity) { reserve(capacity); }

Batch::~Batch() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

namespace {

// `bytes` rounded up to whole pages (0 when that does not fit in a size_t).
size_t wholePages(size_t bytes) {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  if (bytes > SIZE_MAX - page) return 0;
  return (bytes + page - 1) / page * page;
}

}  // namespace

bool Batch::reserve(size_t bytes) {
  if (bytes <= capacity_) return true;
  // Pages of their own, so that a batch grown for a long record holds only what it was
  // given (untouched pages cost nothing), grows without a copy, and gives its memory
  // back when it shrinks, whatever the allocator would keep.
  size_t grown = capacity_ == 0 ? bytes : capacity_;
  while (grown < bytes) grown = grown > SIZE_MAX / 2 ? bytes : grown * 2;
  grown = wholePages(grown);
  if (grown == 0) return false;
  void* more = data_ == nullptr ? ::mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                : ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE);
  if (more == MAP_FAILED) return false;
  data_ = static_cast<char*>(more);
  capacity_ = grown;
  return true;
}

bool Batch::grownPast(size_t capacity) const { return capacity_ > wholePages(capacity); }

void Batch::reset(size_t capacity) {
  used = 0;
  file = nullptr;
  fileOffset = -1;
  stored = nullptr;
  rows.clear();
  values.clear();
  arena.clear();
  if (grownPast(capacity)) {
    // A long record made it grow: the memory goes back.
    ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
    reserve(capacity);
  }
  if (arena.capacity() > 4 * capacity) std::string().swap(arena);  // a long quoted value's
}

namespace {

// Lines longer than this are stored as they are when they are stored at all (the sort
// mostly keeps them in its line file), so that the reader does not copy them.
constexpr size_t kLongestStoredCopy = size_t{1} << 20;

// Whether an integer's text is as keyText writes it: no sign but a minus, no zero
// before other digits, no minus zero.
bool canonicalInteger(const char* data, size_t length) {
  size_t i = data[0] == '-' ? 1 : 0;
  if (data[0] == '+' || i == length) return false;
  return data[i] != '0' || (i == 0 && length == 1);
}

}  // namespace

StoredLine::StoredLine(const std::vector<KeyOption>& keys) {
  // A key of the whole line holds every byte of it but the line end: it is the one slot.
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].wholeLine && keys[i].type == KeyType::Str && !keys[i].fold && !keys[i].skipBlanks) {
      slots_.push_back(i);
      return;
    }
  }
  for (size_t i = 0; i < keys.size() && slots_.size() < kMostSlots; ++i) {
    const KeyOption& key = keys[i];
    if (key.type != KeyType::Str && key.type != KeyType::Int && key.type != KeyType::Date) continue;
    if (key.wholeLine || key.fold || key.skipBlanks) continue;
    bool taken = false;
    for (size_t s : slots_) taken = taken || keys[s].index == key.index;
    if (!taken) slots_.push_back(i);
  }
}

void StoredLine::make(const char* record, uint64_t recordOffset, size_t length, const KeyValue* values,
                      std::string* out) const {
  struct Cut {
    uint64_t at;
    uint64_t length;
  };
  Cut cuts[kMostSlots];
  size_t count = 0;
  size_t start = out->size();
  out->resize(start + slots_.size() * tqvarint::kMost64 + length);
  char* p = out->data() + start;
  for (size_t key : slots_) {
    const KeyValue& v = values[key];
    uint64_t mark = 0;
    if (v.exact && v.fieldLength > 0) {
      uint64_t at = v.field - recordOffset;
      mark = at + 1;
      size_t i = count++;
      while (i > 0 && cuts[i - 1].at > at) {
        cuts[i] = cuts[i - 1];
        --i;
      }
      cuts[i] = Cut{at, v.fieldLength};
    }
    p += tqvarint::put(p, mark);
  }
  uint64_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t piece = static_cast<size_t>(cuts[i].at - at);
    std::memcpy(p, record + at, piece);
    p += piece;
    at = cuts[i].at + cuts[i].length;
  }
  std::memcpy(p, record + at, length - static_cast<size_t>(at));
  p += length - static_cast<size_t>(at);
  out->resize(static_cast<size_t>(p - out->data()));
}

void StoredLine::join(const Parts& parts, char* out) {
  uint64_t at = 0;
  size_t from = 0;
  for (size_t i = 0; i < parts.count; ++i) {
    size_t piece = static_cast<size_t>(parts.cuts[i].at - at);
    std::memcpy(out, parts.content + from, piece);
    out += piece;
    from += piece;
    std::memcpy(out, parts.cuts[i].text, parts.cuts[i].length);
    out += parts.cuts[i].length;
    at = parts.cuts[i].at + parts.cuts[i].length;
  }
  std::memcpy(out, parts.content + from, parts.contentLength - from);
}

const char* keyText(KeyType type, const TqbDatavar& value, char* scratch, size_t* length) {
  *length = 0;
  if (value.isNull()) return scratch;
  switch (type) {
    case KeyType::Str: {
      size_t n = 0;
      const char* bytes = static_cast<const char*>(value.getRaw(&n));
      *length = n > 0 ? n - 1 : 0;
      return bytes;
    }
    case KeyType::Int: {
      bool error = false;
      auto done = std::to_chars(scratch, scratch + kKeyTextScratch, value.asInt64(&error));
      *length = static_cast<size_t>(done.ptr - scratch);
      return scratch;
    }
    case KeyType::Date: {
      int y = 0, m = 0, d = 0;
      bool error = false;
      TqbDate(value.asDouble(&error)).toYmd(&y, &m, &d);
      const char text[10] = {static_cast<char>('0' + y / 1000 % 10), static_cast<char>('0' + y / 100 % 10),
                             static_cast<char>('0' + y / 10 % 10), static_cast<char>('0' + y % 10), '-',
                             static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), '-',
                             static_cast<char>('0' + d / 10), static_cast<char>('0' + d % 10)};
      std::memcpy(scratch, text, sizeof text);
      *length = sizeof text;
      return scratch;
    }
    default:
      return scratch;
  }
}

RecordParser::RecordParser(const std::vector<KeyOption>& keys, char separator, bool lenient, bool storeLines)
    : keys_(keys), separator_(separator), lenient_(lenient), storeLines_(storeLines) {}

Status RecordParser::findColumn(const std::vector<Field>& names, KeyOption* key) {
  // Every column of that name: a name that two columns bear names neither.
  std::vector<size_t> found;
  for (size_t i = 0; i < names.size(); ++i) {
    const char* data;
    size_t length;
    fieldText(names[i], &scratch_, &data, &length);
    if (key->column == std::string_view(data, length)) found.push_back(i);
  }
  std::string shown = "key '" + printable(key->text) + "': ";
  if (found.empty()) return Status::error(shown + "no column '" + printable(key->column) + "' in the header");
  if (found.size() > 1) {
    std::string numbers;
    for (size_t i : found) numbers += (numbers.empty() ? "" : ", ") + std::to_string(i + 1);
    return Status::error(shown + "the header names " + std::to_string(found.size()) + " columns '" +
                         printable(key->column) + "' (" + numbers + "): give the column's number");
  }
  key->index = static_cast<int>(found.front());
  return Status();
}

Status RecordParser::resolve(const Record* header) {
  std::vector<Field> names;
  if (header != nullptr) splitFields(*header, separator_, countFields(*header, separator_), &names);
  for (KeyOption& key : keys_) {
    if (key.wholeLine) continue;
    if (key.index < 0) TQSORT_TRY(findColumn(names, &key));
    maxField_ = std::max(maxField_, static_cast<size_t>(key.index) + 1);
  }
  if (storeLines_) stored_ = StoredLine(keys_);
  resolved_ = true;
  return Status();
}

Status RecordParser::badValue(const KeyOption& key, const InputFile& in, int64_t line, const char* data,
                              size_t length) {
  const char* what = "";
  switch (key.type) {
    case KeyType::Str: break;
    case KeyType::Int: what = "a 64-bit integer"; break;
    case KeyType::Dec: what = "an exact decimal (at most 52 digits; no NaN or infinity)"; break;
    case KeyType::Date: what = "a date (YYYY-MM-DD, years 0001 to 9999)"; break;
    case KeyType::Bool: what = "a boolean (true/false, yes/no, 1/0)"; break;
  }
  return Status::error(in.shown + ":" + std::to_string(line) + ": column " + printable(key.column) + " (" +
                       typeName(key.type) + "): '" + printable(std::string_view(data, length)) + "' is not " + what);
}

namespace {

// Whether `length` bytes at `data` hold a letter from a to z (which -f folds).
bool hasLower(const char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (data[i] >= 'a' && data[i] <= 'z') return true;
  }
  return false;
}

}  // namespace

bool RecordParser::textValue(Batch* batch, const KeyOption& key, const char* data, size_t length, bool quoted,
                             KeyValue* v) {
  v->kind = KeyValue::Text;
  v->length = length;
  // A string value ending in a zero byte loses it (its terminator).
  v->exact = v->exact && data[length - 1] != '\0';
  bool folded = key.fold && hasLower(data, length);
  if (!quoted && !folded) {
    v->offset = static_cast<uint64_t>(data - batch->data());
    return true;
  }
  // Unquoted or folded text is not the input's bytes: it goes to the arena.
  v->exact = v->exact && !folded;
  v->inArena = true;
  v->offset = batch->arena.size();
  batch->arena.append(data, length);
  if (folded) {
    char* p = batch->arena.data() + v->offset;
    for (size_t i = 0; i < length; ++i) {
      if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - 'a' + 'A');
    }
  }
  return true;
}

bool RecordParser::decimalValue(Batch* batch, const KeyOption& key, const char* data, size_t length, KeyValue* v) {
  v->exact = false;
  if (key.number == NumberRead::Leading) {
    leadingNumber(data, length, &number_);
  } else if (key.number == NumberRead::General) {
    if (!generalNumber(data, length, &number_)) return true;  // no number: a null, first
  } else {
    number_.assign(data, length);
  }
  uint8_t bytes[24];
  if (!parseDecimal(number_.data(), number_.size(), bytes)) {
    v->kind = KeyValue::Null;
    return false;
  }
  v->kind = KeyValue::Dec;
  v->inArena = true;
  v->offset = batch->arena.size();
  v->length = sizeof bytes;
  batch->arena.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
  return true;
}

bool RecordParser::typedValue(Batch* batch, const KeyOption& key, const char* data, size_t length, KeyValue* v) {
  bool ok = true;
  switch (key.type) {
    case KeyType::Str: break;  // textValue
    case KeyType::Int:
      ok = parseInt64(data, length, &v->integer);
      v->kind = KeyValue::Int;
      v->exact = v->exact && ok && canonicalInteger(data, length);
      break;
    case KeyType::Dec: ok = decimalValue(batch, key, data, length, v); break;
    case KeyType::Date: {
      int y, m, d;
      ok = parseDate(data, length, &y, &m, &d);
      if (ok) v->days = TqbDate::fromYmd(y, m, d).asDouble();
      v->kind = KeyValue::Date;
      v->exact = v->exact && ok;
      break;
    }
    case KeyType::Bool:
      ok = parseBool(data, length, &v->boolean);
      v->kind = KeyValue::Bool;
      v->exact = false;
      break;
  }
  return ok;
}

Status RecordParser::parse(Batch* batch, const InputFile& in, int64_t line, const Record& record,
                           uint64_t recordLength) {
  if (!resolved_) TQSORT_TRY(resolve(nullptr));
  splitFields(record, separator_, maxField_, &fields_);
  size_t first = batch->values.size();
  for (const KeyOption& key : keys_) {
    Field field;
    if (key.wholeLine) {
      // As a line-based sort sees the line: all its bytes but the final "\n".
      field = Field{record.begin, record.terminated ? record.length - 1 : record.contentLength, false};
    } else {
      // Member by member: splitFields stored them so, and a wider load of two stores
      // waits for both to retire.
      const Field& split = fields_[static_cast<size_t>(key.index)];
      field.data = split.data;
      field.length = split.length;
      field.quoted = split.quoted;
    }
    const char* data;
    size_t length;
    fieldText(field, &scratch_, &data, &length);
    size_t raw = length;
    if (key.type != KeyType::Str && key.number == NumberRead::Whole) {
      trimBlanks(&data, &length);
    } else if (key.skipBlanks) {
      size_t at = 0;
      while (at < length && (data[at] == ' ' || data[at] == '\t')) ++at;
      data += at;
      length -= at;
    }
    batch->values.emplace_back();
    KeyValue& v = batch->values.back();
    // Whether the field's bytes are the text that keyText makes of the value.
    v.exact = !field.quoted && raw == length && field.length < (uint64_t{1} << 32);
    v.field = static_cast<uint64_t>(field.data - batch->data());
    v.fieldLength = static_cast<uint32_t>(field.length);
    if (length == 0 && key.number != NumberRead::Leading) {  // null (-n reads an empty field as 0)
      v.exact = v.exact && key.type != KeyType::Dec && key.type != KeyType::Bool;
      continue;
    }
    bool ok = key.type == KeyType::Str ? textValue(batch, key, data, length, field.quoted, &v)
                                       : typedValue(batch, key, data, length, &v);
    if (!ok) {
      v.kind = KeyValue::Null;
      v.exact = false;
      if (!lenient_) {
        batch->values.resize(first);  // the row is not there
        return badValue(key, in, line, data, length);
      }
    }
  }
  // The row is made in its place: one built aside and copied would be read back wider
  // than it was written, which stalls until the stores retire.
  Row& row = batch->rows.emplace_back();
  row.offset = static_cast<uint64_t>(record.begin - batch->data());
  row.length = recordLength;
  row.line = line;
  row.addedEnd = static_cast<uint8_t>(recordLength - record.length);
  if (!stored_.empty() && !storedBySorts_ && recordLength <= kLongestStoredCopy) {
    row.stored = batch->arena.size();
    stored_.make(record.begin, row.offset, static_cast<size_t>(recordLength), &batch->values[first], &batch->arena);
    row.storedLength = batch->arena.size() - row.stored;
  }
  batch->stored = &stored_;
  return Status();
}

}  // namespace tqsort
