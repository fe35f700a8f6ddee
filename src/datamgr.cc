// The datafile manager and the library's exported functions: the factory
// tqDatafileManagerCreate, the longest row a sort takes (tqDatafileSortRowLimit) and the
// collation option parser tqDatafileParseCollateParms.
#include "src/datamgr.h"

#include <iterator>

#include "platform/npfio.h"
#include "platform/tqballoc.h"
#include "platform/tqbconfig.h"
#include "platform/tqbmessage.h"
#include "src/datafile.h"
#include "src/sortvorn.h"
#include "src/sortquor.h"
#include "src/sortvornfixed.h"
#include "src/trace.h"

namespace tqlib {

namespace {

// The datafile classes that createFile can build for a request.
enum class DatafileClass { Unsorted, SortVariable, SortFixed, SortExternal };

DatafileClass classFor(uint32_t flags) {
  if ((flags & TqDatafile::FlagSorted) && (flags & TqDatafile::FlagExternalSort)) {
    return DatafileClass::SortExternal;
  }
  if (flags & TqDatafile::FlagSorted) {
    return (flags & TqDatafile::FlagVariableRows) ? DatafileClass::SortVariable
                                                  : DatafileClass::SortFixed;
  }
  return DatafileClass::Unsorted;
}

// Allocates a datafile of the class; null when the allocation fails.
TqDatafile* newDatafile(DatafileClass c) {
  switch (c) {
    case DatafileClass::Unsorted: return tqbNew<TqDatafileImpl>();
    case DatafileClass::SortVariable: return tqbNew<TqSortVornImpl>();
    case DatafileClass::SortFixed: return tqbNew<TqSortVornFixedImpl>();
    case DatafileClass::SortExternal: return tqbNew<TqSortQuorImpl>();
  }
  return nullptr;
}

}  // namespace

// --- construction ----------------------------------------------------------------------

TqDatafileManagerImpl::TqDatafileManagerImpl()
    : logger_(tqlogGetLogger("TQ.Datafile.Manager")) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->TqDatafileManagerImpl()", this);
}

TqDatafileManagerImpl::~TqDatafileManagerImpl() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->~TqDatafileManagerImpl()", this);
  freeColumns();
  tqbDeleteArray(tempDirs_, static_cast<size_t>(tempDirCount_));
}

void TqDatafileManagerImpl::freeColumns() {
  if (columns_ != nullptr) tqbDeleteArray(columns_, static_cast<size_t>(columnCount_));
  columns_ = nullptr;
}

bool TqDatafileManagerImpl::init(const TqbString& tempDirList) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->init(%s)", this, tempDirList);
  tempDirList_ = tempDirList;
  if (tempDirList.length() > 0) {
    const char sep[2] = {np_dir_listsep[0], '\0'};
    TqbString list(tempDirList);
    list.trim(true, true);
    // Count the non-empty segments: adjacent, leading and trailing separators add none.
    int count = 0;
    for (int pos = 0; pos < list.length();) {
      int at = list.find(sep, pos);
      if (at < 0) at = list.length();
      if (at > pos) ++count;
      pos = at + 1;
    }
    if (count > 0) {
      tempDirs_ = tqbNewArray<TqbString>(static_cast<size_t>(count));
      if (tempDirs_ == nullptr) {
        lastError_ = TQ_MESSAGE(29, "(Temporary directories)");
        return false;
      }
      tempDirCount_ = count;
      int index = 0;
      for (int pos = 0; pos < list.length();) {
        int at = list.find(sep, pos);
        if (at < 0) at = list.length();
        if (at > pos) tempDirs_[index++] = list.mid(pos, at - pos);
        pos = at + 1;
      }
    }
  }
  if (tempDirCount_ == 0) {
    TQ_LOG(logger_, 2, "Datafile Manager created without a temporary directory.");
  } else if (tempDirCount_ == 1) {
    TQ_LOG(logger_, 2, "Datafile Manager created with 1 temporary directory.");
  } else {
    TQ_LOG(logger_, 2, "Datafile Manager created with %d temporary directories.", tempDirCount_);
  }
  for (int i = 0; i < tempDirCount_; ++i) {
    TQ_LOG(logger_, 2, "   Temporary directory[%d]: '%s'", i, tempDirs_[i]);
    NpHandle dir = 0;
    int status = np_dir_open(tempDirs_[i].asCstr(), 0, &dir);
    if (status != 0) {
      lastError_ = TQ_MESSAGE(467, tempDirs_[i], status);
      return false;
    }
    np_dir_close(dir);
  }
  return true;
}

// --- virtual operations ----------------------------------------------------------------

TqDatafile* TqDatafileManagerImpl::clone(TqDatafile* source) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->clone(0x%p)", this, source);
  if (source == nullptr) {
    lastError_ = TQ_MESSAGE(1419, "(Inactive)");
    return nullptr;
  }
  if (!setColumns(source->getFieldCount())) return nullptr;
  for (int32_t i = 0; i < columnCount_; ++i) {
    bool raw = false;
    tqbType type = source->getFieldType(i, &raw);
    int32_t length = raw ? -1 : source->getFieldLength(i);
    setColSpec(i, type, length);
  }
  if (source->freeze() != 0) {
    lastError_ = source->getError();
    return nullptr;
  }
  TqDatafile* copy = source->clone();
  if (copy == nullptr) {
    lastError_ = source->getError();
    return nullptr;
  }
  lastError_.truncate(0);
  return copy;
}

TqDatafile* TqDatafileManagerImpl::createFile(uint32_t flags) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->createFile(0x%x)", this, flags);
  if (columnCount_ <= 0 || columns_ == nullptr) {
    lastError_ = TQ_MESSAGE(420);
    return nullptr;
  }
  for (int32_t i = 0; i < columnCount_; ++i) {
    if (columns_[i].type == tqbTypeNone) {
      lastError_ = TQ_MESSAGE(167, i);
      return nullptr;
    }
  }
  DatafileClass kind = classFor(flags);
  TqDatafile* file = newDatafile(kind);
  if (file == nullptr) {
    lastError_ = TQ_MESSAGE(29, kind == DatafileClass::Unsorted ? "(Datafile)" : "(Datafile Sorting)");
    return nullptr;
  }
  if (file->init(this, flags)) return file;
  lastError_ = file->getError();
  file->release();
  return nullptr;
}

TqDatafile* TqDatafileManagerImpl::freeze(TqDatafile* file) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->freeze(0x%p)", this, file);
  if (file == nullptr) {
    lastError_ = TQ_MESSAGE(1419, "(Inactive)");
    return nullptr;
  }
  if (file->freeze() == 0) return file;
  lastError_ = file->getError();
  return nullptr;
}

void TqDatafileManagerImpl::release() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->release()", this);
  tqbDelete(this);
}

bool TqDatafileManagerImpl::setChunkSize(uint32_t size) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setChunkSize(%I64i)", this, static_cast<int64_t>(size));
  if (size == 0 || size > kTqMaxChunkSize) {
    lastError_ = TQ_MESSAGE(1814, static_cast<int64_t>(size), "chunkSize", int64_t{1},
                            static_cast<int64_t>(kTqMaxChunkSize));
    return false;
  }
  chunkSize_ = size;
  return true;
}

bool TqDatafileManagerImpl::setColSpec(int32_t index, tqbType type, int32_t length) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setColSpec(%d, %s, %d)", this, index,
                tqbTypeToString(type), length);
  if (columnCount_ <= 0 || columns_ == nullptr) {
    lastError_ = TQ_MESSAGE(420);
    return false;
  }
  if (index < 0 || index >= columnCount_) {
    lastError_ = TQ_MESSAGE(167, index);
    return false;
  }
  // Checked first: a refused setting leaves the column as it was.
  switch (type) {
    case tqbTypeBoolean:
    case tqbTypeInteger:
    case tqbTypeReal:
    case tqbTypeDate:
      break;
    case tqbTypeString:
      if (length <= 0) {
        lastError_ = TQ_MESSAGE(740);
        return false;
      }
      if (length > kTqMaxStringLength) {
        lastError_ = TQ_MESSAGE(1814, static_cast<int64_t>(length), "a string column's maximum length",
                                int64_t{1}, static_cast<int64_t>(kTqMaxStringLength));
        return false;
      }
      break;
    default:  // none, object, or not a type at all
      lastError_ = TQ_MESSAGE(167, index);
      return false;
  }
  // The column is exactly the new spec.
  TqDatafileField& column = columns_[index];
  column.type = type;
  column.rawInteger = type == tqbTypeInteger && length < 0;
  column.maxLength = type == tqbTypeString ? length : 0;
  return true;
}

bool TqDatafileManagerImpl::setColumns(int32_t count) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setColumns(%d)", this, count);
  freeColumns();
  columnCount_ = count;
  if (count <= 0) {
    lastError_ = TQ_MESSAGE(420);
    return false;
  }
  columns_ = tqbNewArray<TqDatafileField>(static_cast<size_t>(count));
  if (columns_ == nullptr) {
    columnCount_ = 0;  // no records: the count must not promise any
    lastError_ = TQ_MESSAGE(29, "(Datafile Manager Columns)");
    return false;
  }
  return true;
}

bool TqDatafileManagerImpl::setSortMarkByGroups(bool on) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortMarkByGroups(%d)", this, on ? 1 : 0);
  sortMarkByGroups_ = on;
  return true;
}

bool TqDatafileManagerImpl::setSortNoCodeGen(bool on) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortNoCodeGen(%d)", this, on ? 1 : 0);
  sortNoCodeGen_ = on;
  return true;
}

bool TqDatafileManagerImpl::setSortNoDups(bool on) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortNoDups(%d)", this, on ? 1 : 0);
  sortNoDups_ = on;
  return true;
}

bool TqDatafileManagerImpl::setSortProcessors(int32_t processors) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortProcessors(%d)", this, processors);
  if (processors < 0 || processors > kTqMaxSortProcessors) {
    lastError_ = TQ_MESSAGE(1814, static_cast<int64_t>(processors), "sort processors", int64_t{0},
                            static_cast<int64_t>(kTqMaxSortProcessors));
    return false;
  }
  sortProcessors_ = processors;
  return true;
}

bool TqDatafileManagerImpl::setSortRecords(int64_t records) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortRecords(%I64i)", this, records);
  if (records < 0) {
    lastError_ = TQ_MESSAGE(1814, records, "sort records", int64_t{0}, INT64_MAX);
    return false;
  }
  sortRecords_ = records;
  return true;
}

bool TqDatafileManagerImpl::setSortSize(uint32_t bytes) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortSize(%I64i)", this, static_cast<int64_t>(bytes));
  sortSize_ = bytes;
  return true;
}

bool TqDatafileManagerImpl::setSortStable(bool on) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->setSortStable(%d)", this, on ? 1 : 0);
  sortStable_ = on;
  return true;
}

// --- getters ---------------------------------------------------------------------------

uint32_t TqDatafileManagerImpl::getChunkSize() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getChunkSize()", this);
  return chunkSize_;
}

int32_t TqDatafileManagerImpl::getColumns(TqDatafileField** descriptors) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getColumns(%p)", this, descriptors);
  if (descriptors != nullptr) *descriptors = columns_;
  return columns_ == nullptr ? 0 : columnCount_;
}

bool TqDatafileManagerImpl::getSortMarkByGroups() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortMarkByGroups()", this);
  return sortMarkByGroups_;
}

bool TqDatafileManagerImpl::getSortNoCodeGen() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortNoCodeGen()", this);
  return sortNoCodeGen_;
}

bool TqDatafileManagerImpl::getSortNoDups() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortNoDups()", this);
  return sortNoDups_;
}

bool TqDatafileManagerImpl::getSortStable() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortStable()", this);
  return sortStable_;
}

int32_t TqDatafileManagerImpl::getSortProcessors() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortProcessors()", this);
  return sortProcessors_;
}

int64_t TqDatafileManagerImpl::getSortRecords() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortRecords()", this);
  return sortRecords_;
}

uint32_t TqDatafileManagerImpl::getSortSize() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getSortSize()", this);
  return sortSize_;
}

TqbString TqDatafileManagerImpl::getTempDirs() {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getTempDirs()", this);
  return tempDirList_;
}

int32_t TqDatafileManagerImpl::getTempDirs(TqbString** dirs) {
  TQ_TRACE_CALL("TqDatafileManagerImpl(0x%p)->getTempDirs(%p)", this, dirs);
  if (dirs != nullptr) *dirs = tempDirs_;
  return tempDirCount_;
}

}  // namespace tqlib

// --- exported functions ----------------------------------------------------------------

TqDatafileManager* tqDatafileManagerCreate(const TqbString& tempDirList, TqbString* errorText) {
  TqbString scratch;
  if (errorText == nullptr) errorText = &scratch;
  tqlib::TqDatafileManagerImpl* manager = tqbNew<tqlib::TqDatafileManagerImpl>();
  if (manager == nullptr) {
    *errorText = TQ_MESSAGE(29, "(Datafile Manager)");
    return nullptr;
  }
  TqbString list(tempDirList);
  if (list.length() == 0) {
    TqbConfigOptions* options = tqbGetConfigOptions("");
    if (options == nullptr || !options->lookup("BASE/TEMP", list) || list.length() == 0) {
      *errorText = TQ_MESSAGE(1244);
      manager->release();
      return nullptr;
    }
  }
  if (!manager->init(list)) {
    *errorText = manager->getError();
    manager->release();
    return nullptr;
  }
  errorText->setNull();
  return manager;
}

uint64_t tqDatafileSortRowLimit(uint32_t sortSize, uint32_t chunkSize) {
  uint64_t chunk = chunkSize < 16 ? 16 : chunkSize;
  using tqlib::TqSortVornImpl;
  TqSortVornImpl::SizePlan plan = TqSortVornImpl::planSizes(sortSize, chunk, 16, 3, 0);
  return TqSortVornImpl::longRowLimitOf(plan);
}

bool tqDatafileParseCollateParms(bool firstSwitch, const TqbString& caseOrder, bool secondSwitch,
                                 const TqbString& strength, const TqbString& variant,
                                 unsigned* collateFlags, TqbString* errorText) {
  struct Keyword {
    const char* word;
    const char* digit;  // the one-digit form, or null
    unsigned bit;
  };
  static const Keyword kStrengths[] = {
      {"PRIMARY", "1", 0x00001000},    {"SECONDARY", "2", 0x00002000},
      {"TERTIARY", "3", 0x00004000},   {"QUATERNARY", "4", 0x00008000},
      {"IDENTICAL", "5", 0x00010000},
  };
  static const Keyword kVariants[] = {
      {"BIG5HAN", nullptr, 0x00000008},   {"DIRECT", nullptr, 0x00000010},
      {"GB2312HAN", nullptr, 0x00000020}, {"PHONEBOOK", nullptr, 0x00000040},
      {"PINYIN", nullptr, 0x00000080},    {"POSIX", nullptr, 0x00000100},
      {"STROKE", nullptr, 0x00000200},    {"TRADITIONAL", nullptr, 0x00000400},
  };
  TqbString scratch;
  if (errorText == nullptr) errorText = &scratch;
  auto match = [](const TqbString& text, const Keyword* list, size_t n, unsigned* bit) {
    for (size_t i = 0; i < n; ++i) {
      if (text.compare(list[i].word, false) == 0 ||
          (list[i].digit != nullptr && text.compare(list[i].digit, true) == 0)) {
        *bit = list[i].bit;
        return true;
      }
    }
    return false;
  };

  unsigned flags = firstSwitch ? 0x1u : 0u;
  if (caseOrder.length() > 0) {
    if (caseOrder.compare("UPPER", false) == 0) {
      flags |= 0x4;
    } else if (caseOrder.compare("LOWER", false) == 0) {
      flags |= 0x2;
    } else {
      *errorText = TQ_MESSAGE(1762, caseOrder);
      return false;
    }
  }
  if (secondSwitch) flags |= 0x800;
  unsigned bit = 0;
  if (strength.length() > 0) {
    if (!match(strength, kStrengths, std::size(kStrengths), &bit)) {
      *errorText = TQ_MESSAGE(1762, strength);
      return false;
    }
    flags |= bit;
  }
  if (variant.length() > 0) {
    if (!match(variant, kVariants, std::size(kVariants), &bit)) {
      *errorText = TQ_MESSAGE(1762, variant);
      return false;
    }
    flags |= bit;
  }
  if (collateFlags != nullptr) *collateFlags = flags;
  errorText->truncate(0);
  return true;
}
