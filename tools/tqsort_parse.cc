#include "tqsort_parse.h"

#include <cstdlib>
#include <cstring>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_values.h"

namespace tqsort {

Batch::Batch(size_t capacity) { reserve(capacity); }

Batch::~Batch() { std::free(data_); }

bool Batch::reserve(size_t bytes) {
  if (bytes <= capacity_) return true;
  size_t grown = capacity_ == 0 ? bytes : capacity_;
  while (grown < bytes) grown = grown > SIZE_MAX / 2 ? bytes : grown * 2;
  char* more = static_cast<char*>(std::realloc(data_, grown));
  if (more == nullptr) return false;
  data_ = more;
  capacity_ = grown;
  return true;
}

void Batch::reset(size_t capacity) {
  used = 0;
  file = nullptr;
  rows.clear();
  values.clear();
  arena.clear();
  if (capacity_ > capacity) {
    // A long record made it grow: the memory goes back.
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    reserve(capacity);
  }
}

RecordParser::RecordParser(const std::vector<KeySpec>& keys, char separator, bool lenient)
    : keys_(keys), separator_(separator), lenient_(lenient) {}

Status RecordParser::resolve(const Record* header) {
  std::vector<Field> names;
  if (header != nullptr) splitFields(*header, separator_, countFields(*header, separator_), &names);
  for (KeySpec& key : keys_) {
    if (key.index < 0) {  // a name: find it in the header
      for (size_t i = 0; i < names.size() && key.index < 0; ++i) {
        const char* data;
        size_t length;
        fieldText(names[i], &scratch_, &data, &length);
        if (key.column == std::string(data, length)) key.index = static_cast<int>(i);
      }
      if (key.index < 0) {
        return Status::error("key '" + printable(key.text) + "': no column '" + printable(key.column) + "' in the header");
      }
    }
    maxField_ = std::max(maxField_, static_cast<size_t>(key.index) + 1);
  }
  resolved_ = true;
  return Status();
}

Status RecordParser::badValue(const KeySpec& key, const InputFile& in, int64_t line, const char* data,
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

Status RecordParser::parse(Batch* batch, const InputFile& in, int64_t line, const Record& record) {
  if (!resolved_) TQSORT_TRY(resolve(nullptr));
  splitFields(record, separator_, maxField_, &fields_);
  for (const KeySpec& key : keys_) {
    const Field& field = fields_[static_cast<size_t>(key.index)];
    const char* data;
    size_t length;
    fieldText(field, &scratch_, &data, &length);
    if (key.type != KeyType::Str) trimBlanks(&data, &length);
    batch->values.emplace_back();
    KeyValue& v = batch->values.back();
    if (length == 0) continue;  // null
    bool ok = true;
    switch (key.type) {
      case KeyType::Str:
        v.kind = KeyValue::Text;
        v.length = length;
        if (field.quoted) {
          // Unquoted text is not the input's bytes: it goes to the arena.
          v.inArena = true;
          v.offset = batch->arena.size();
          batch->arena.append(data, length);
        } else {
          v.offset = static_cast<uint64_t>(data - batch->data());
        }
        break;
      case KeyType::Int:
        ok = parseInt64(data, length, &v.integer);
        v.kind = KeyValue::Int;
        break;
      case KeyType::Dec: {
        uint8_t raw[24];
        ok = parseDecimal(data, length, raw);
        if (ok) {
          v.kind = KeyValue::Dec;
          v.inArena = true;
          v.offset = batch->arena.size();
          v.length = sizeof raw;
          batch->arena.append(reinterpret_cast<const char*>(raw), sizeof raw);
        }
        break;
      }
      case KeyType::Date: {
        int y, m, d;
        ok = parseDate(data, length, &y, &m, &d);
        if (ok) v.days = TqbDate::fromYmd(y, m, d).asDouble();
        v.kind = KeyValue::Date;
        break;
      }
      case KeyType::Bool:
        ok = parseBool(data, length, &v.boolean);
        v.kind = KeyValue::Bool;
        break;
    }
    if (!ok) {
      v.kind = KeyValue::Null;
      if (!lenient_) {
        batch->values.resize(batch->rows.size() * keys_.size());  // the row is not there
        return badValue(key, in, line, data, length);
      }
    }
  }
  return Status();
}

}  // namespace tqsort
