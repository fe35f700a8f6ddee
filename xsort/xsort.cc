// The external sort engine: fixed-length records in, the same records out in key
// order, within a memory size the caller chooses (tqxsort.h is the interface).
//
// KEYS.  Before a row is sorted its key is turned, once, into one byte string, its
// normalized key, whose unsigned byte order (memcmp, a shorter string first when it
// begins the other) is the order of the key parts in their directions.  Integers
// become big-endian with the sign bit flipped; dates are the double's bits made
// sortable the same way; strings keep their bytes and end in a zero byte (short fields
// are zero padded to their width instead); collated strings become the collation
// library's sort key; descending parts are complemented.  Every part's bytes delimit
// themselves, so a part never runs into the next.  After that every comparison is a
// compare of two 64-bit prefixes and, only when they are equal, a memcmp of the rest.
// (xsort_keys.cc)
//
// GATHERING ROWS.  Rows are gathered in batches: arrays of records that grow (doubling)
// up to a batch size chosen from the memory size and the number of threads.  The one
// input chunk handed out lies inside the batch being filled, at its first free row, so
// the caller writes each row where it will be sorted and submitting only counts the
// rows.  A full batch goes on the queue of the sorting threads and the caller goes on
// with a new one at once: the caller's thread never sorts; it waits only when the
// memory is full.  (xsort_input.cc)
//
// SORTING A BATCH.  A sorting thread builds the batch's entries, 16 bytes per row: the
// first 8 key bytes as a big-endian number, the row's index, and where the rest of its
// key (the tail) lies.  The entries are put in order in place by the key sort that
// every engine shares (core/keysort.h, through xsort_sort.cc): a radix on the key
// bytes, the prefix's first and then the tail's, small or tied groups by comparing
// whole keys.  Then the thread lays the batch out as a run: its records
// in order, each its key and the row's output bytes, in the very form a run takes in
// a work file, and frees the rows.  The entries and tails are the thread's,
// kept from batch to batch.  The merge then reads every run, in memory or on disk,
// front to back.
//
// MEMORY AND SPILLING.  Every buffer is charged against the memory size before it is
// allocated, at what the allocator takes for it: the batches' rows and runs, the
// threads' entries, scratch, tails, key scratch and write buffers, read buffers,
// output chunks, the merge's tables, the objects themselves.  prepare charges the
// threads' buffers for the largest batch and sizes batches so that the threads'
// batches, one being filled and one waiting fit beside them; a batch charges its rows
// and a reserve for its run when it starts and each time it grows.  Sorted batches
// stay in memory while there is room.  When the caller needs room that is not there,
// it first waits for batches being sorted (each gives back its rows), then asks for
// the sorted batches to be written: a sorting thread merges them into one run in a
// work file and frees them.  From then on ("spill mode") the sorted batches are
// written whenever they fill two thirds of the memory left to batches, so that the
// caller and the sorting go on with the rest while a thread writes.  A thread whose
// key tails (of keys that vary in length) outgrow their charge and find no more room
// writes the rows it has keyed so far as a run of their own and goes on, and a batch
// that finds no room for its run is written straight from its entries, so that no
// thread ever waits for memory held by another.
//
// MERGING.  After the last chunk the caller's first getOutputChunk waits until every
// batch is sorted and every write done, frees the threads' buffers and plans the
// merge: each run in a work file gets a read buffer (16 KiB to 1 MiB, from the memory
// left after the runs in memory and two output chunks), and the runs in memory join
// the merge as they are.  If the buffers do not fit, the runs in memory are written
// first; if they still do not fit (more runs than the memory can read at once), the
// shortest runs are merged in groups into longer ones first, an extra pass, until they
// do: level by level, the runs a level makes written one after another into one work
// file of its own, so that few files stay open and no merge reads the file it writes.
// The same passes run while rows come in, when the list of runs in files fills its
// share of the memory (a sixteenth, for 64 to 4096 runs): the input waits until the
// sorting threads are idle, their sort buffers go back to the budget, and the shortest
// runs are merged until half the share is left; so no input is too large for the
// memory, however small its runs.  The merge is a tournament: a tree of losers over the
// k sources, log2(k) comparisons per row, each source read through its buffer, so that
// data many times the memory size is merged in one pass.  Output chunks are filled from
// the winners; a row whose key equals the previous row's is marked as such or dropped
// here, keys compared without their last tie-breaking bytes (parameter 10) so that a
// stable sort's row number parts no group; rows whose whole keys are equal are dropped
// already when a run is laid out or written.  (xsort_runs.cc, xsort_merge.cc)
//
// PROGRESS AND FAILURES.  Once the input has ended, the caller's progress function
// (setProgress) hears the work done and planned (rows sorted, rows handed out, rows
// written by merges before the last) at least every 100 ms while the caller waits or
// merges, and as output begins; when it answers "stop", the sort fails with
// TQ_SORT_FAILED_STOPPED.  A failure for want of memory is TQ_SORT_FAILED_NO_ROOM, so
// that a caller can tell it from a broken file.
//
// THREADS.  `processors` sorting threads start in prepare and wait on the queue; they
// key, sort, lay out and write batches and record failures.  One lock, the engine's mutex_,
// guards the queue, the sorted batches, the runs and files, the budget, the failure
// and the statistics shared with them; keys, sorting and writing run outside it.  The
// caller's thread alone touches the input and output chunks, the batch being filled
// and, once the input has ended and the threads are idle for good, the merge.  A failure on a
// thread is recorded once (the first wins) and makes the caller's next call fail.
//
// FILES.  Work files are made in the directories of "BASE/TEMP" in turns, each new one
// starting at the next directory, those with room for a thread's share of the expected
// rows first, skipping one that takes no new file (else $TMPDIR or /tmp), and unlinked
// at once: they live only as open handles, so none is left behind, whatever happens to
// the process.  Each sorting thread appends its runs to its own file; merges before the
// last write to new ones, and a file is closed when its runs have all been merged away.
// Many runs share a handle: a reader seeks before each refill, a writer before each run.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/tqballoc.h"
#include "platform/tqbconfig.h"
#include "platform/tqfault.h"
#include "xsort/xsort_internal.h"

namespace tqxsort {

// --- error texts -----------------------------------------------------------------------

void ErrorText::setv(const char* format, va_list args) {
  std::vsnprintf(text_, sizeof(text_), format, args);
}

void ErrorText::set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  setv(format, args);
  va_end(args);
  code_ = TQ_SORT_FAILED;
}

void ErrorText::setNoRoom(const char* format, ...) {
  va_list args;
  va_start(args, format);
  setv(format, args);
  va_end(args);
  code_ = TQ_SORT_FAILED_NO_ROOM;
}

void ErrorText::copy(const char* text) {
  std::snprintf(text_, sizeof(text_), "%s", text != nullptr ? text : "");
  code_ = TQ_SORT_FAILED;
}

void ErrorText::copy(const ErrorText& other) {
  std::snprintf(text_, sizeof(text_), "%s", other.text_);
  code_ = other.code_;
}

const char* systemErrorText(int error, char* buffer, size_t size) {
  // The GNU strerror_r returns the text, which may or may not be in `buffer`.
  return strerror_r(error, buffer, size);
}

namespace {

// --- the parameters object -------------------------------------------------------------

constexpr uint32_t kParmMagic = 0x70726d73;

struct ParmsObject {
  TqSortParms pub;
  uint32_t magic;
  Params params;
  uint32_t explicitSet;  // bit id: set by the caller
  ErrorText error;
};

ParmsObject* parmsOf(TqSortParms* p) { return reinterpret_cast<ParmsObject*>(p); }

const char* parmName(int32_t id) {
  switch (id) {
    case 1: return "mark groups";
    case 2: return "noCodeGen";
    case 3: return "drop duplicates";
    case 4: return "processors";
    case 5: return "record length";
    case 6: return "expected rows";
    case 7: return "rows per input chunk";
    case 8: return "output record length";
    case 9: return "memory size";
    case 10: return "tie-breaking key bytes";
    default: return "?";
  }
}

bool isSwitch(int32_t id) { return id >= 1 && id <= 3; }

void restoreDefault(Params* p, int32_t id) {
  Params d;
  switch (id) {
    case 1: p->markGroups = d.markGroups; break;
    case 2: p->noCodeGen = d.noCodeGen; break;
    case 3: p->dropDuplicates = d.dropDuplicates; break;
    case 4: p->processors = d.processors; break;
    case 5: p->recordLength = d.recordLength; break;
    case 6: p->expectedRows = d.expectedRows; break;
    case 7: p->chunkRows = d.chunkRows; break;
    case 8: p->outputLength = d.outputLength; break;
    case 9: p->memory = d.memory; break;
    case 10: p->tieBytes = d.tieBytes; break;
    default: break;
  }
}

// Sets a numeric parameter after checking its range.
int setNumber(ParmsObject* o, int32_t id, uint64_t value) {
  Params& p = o->params;
  switch (id) {
    case 4:
      if (value < 1 || value > kMaxProcessors) {
        o->error.set("Parameter 4 (processors) must be 1 to %u, not %" PRIu64 ".",
                     kMaxProcessors, value);
        return 1;
      }
      p.processors = static_cast<uint32_t>(value);
      break;
    case 5:
    case 8:
      if (value < 1 || value > kMaxRecordLength) {
        o->error.set("Parameter %d (%s) must be 1 to %u bytes, not %" PRIu64 ".", id,
                     parmName(id), kMaxRecordLength, value);
        return 1;
      }
      (id == 5 ? p.recordLength : p.outputLength) = static_cast<uint32_t>(value);
      break;
    case 6:
      p.expectedRows = value;
      break;
    case 7:
      if (value < 1 || value > kMaxBatchRows) {
        o->error.set("Parameter 7 (rows per input chunk) must be 1 to %u, not %" PRIu64 ".",
                     kMaxBatchRows, value);
        return 1;
      }
      p.chunkRows = static_cast<uint32_t>(value);
      break;
    case 9:
      if (value < kMinMemory) {
        o->error.set("Parameter 9 (memory size) of %" PRIu64
                     " bytes is below the engine's minimum of %" PRIu64 " bytes.",
                     value, kMinMemory);
        return 1;
      }
      p.memory = value;
      break;
    case 10:
      if (value > kMaxRecordLength) {
        o->error.set("Parameter 10 (tie-breaking key bytes) must be 0 to %u, not %" PRIu64 ".",
                     kMaxRecordLength, value);
        return 1;
      }
      p.tieBytes = static_cast<uint32_t>(value);
      break;
    default:
      break;
  }
  o->explicitSet |= 1u << id;
  o->error.clear();
  return 0;
}

bool knownId(ParmsObject* o, int32_t id) {
  if (id >= 1 && id <= 10) return true;
  o->error.set("Unknown sort parameter id %d (the ids are 1 to 10).", id);
  return false;
}

extern "C" {

static void parmsDestroy(TqSortParms* self) {
  ParmsObject* o = parmsOf(self);
  o->magic = 0;
  tqbDelete(o);
}

static const char* parmsGetError(TqSortParms* self) { return parmsOf(self)->error.get(); }

static int parmsSetBool(TqSortParms* self, int32_t id, int32_t value) {
  ParmsObject* o = parmsOf(self);
  if (!knownId(o, id)) return 1;
  if (!isSwitch(id)) {
    o->error.set("Parameter %d (%s) is a number, not a switch.", id, parmName(id));
    return 1;
  }
  if (value != 0 && value != 1) {
    o->error.set("Parameter %d (%s) takes 0 or 1, not %d.", id, parmName(id), value);
    return 1;
  }
  bool v = value == 1;
  (id == 1 ? o->params.markGroups : id == 2 ? o->params.noCodeGen : o->params.dropDuplicates) = v;
  o->explicitSet |= 1u << id;
  o->error.clear();
  return 0;
}

static int parmsSetDefault(TqSortParms* self, int32_t id, int32_t mode) {
  ParmsObject* o = parmsOf(self);
  if (id != 0 && !knownId(o, id)) return 1;
  if (mode != 0 && mode != 1) {
    o->error.set("setDefault takes mode 1 (defaults for what was not set) or 0 (every "
                 "value back to its default), not %d.", mode);
    return 1;
  }
  for (int32_t i = 1; i <= 10; ++i) {
    if (id != 0 && i != id) continue;
    bool wasSet = (o->explicitSet & (1u << i)) != 0;
    if (mode == 0 || !wasSet) {
      restoreDefault(&o->params, i);
      o->explicitSet &= ~(1u << i);
    }
  }
  o->error.clear();
  return 0;
}

static int parmsSetInt(TqSortParms* self, int32_t id, int32_t value) {
  ParmsObject* o = parmsOf(self);
  if (!knownId(o, id)) return 1;
  if (isSwitch(id)) {
    o->error.set("Parameter %d (%s) is a switch: set it with setBool.", id, parmName(id));
    return 1;
  }
  if (value < 0) {
    o->error.set("Parameter %d (%s) must not be negative (%d).", id, parmName(id), value);
    return 1;
  }
  return setNumber(o, id, static_cast<uint64_t>(value));
}

static int parmsSetInt64(TqSortParms* self, int32_t id, uint32_t low, uint32_t high) {
  ParmsObject* o = parmsOf(self);
  if (!knownId(o, id)) return 1;
  if (isSwitch(id)) {
    o->error.set("Parameter %d (%s) is a switch: set it with setBool.", id, parmName(id));
    return 1;
  }
  uint64_t value = (static_cast<uint64_t>(high) << 32) | low;
  if (id != 6 && id != 9 && value > 0x7fffffffu) {
    o->error.set("Parameter %d (%s) is a 32-bit value; %" PRIu64 " does not fit.", id,
                 parmName(id), value);
    return 1;
  }
  return setNumber(o, id, value);
}

}  // extern "C"

const TqSortParmsOps kParmsOps = {parmsDestroy, parmsGetError, parmsSetBool, parmsSetDefault,
                                  nullptr,      parmsSetInt,   parmsSetInt64};

// --- the sort and input objects' tables --------------------------------------------------

Engine* inputEngine(TqSortInput* in) { return reinterpret_cast<Engine::InputHandle*>(in)->self; }

extern "C" {

static int engAddKey(TqSortEngine* s, const TqSortKeyPart* part, int32_t flags) {
  return Engine::of(s)->result(Engine::of(s)->addKey(part, flags));
}
static void engDestroy(TqSortEngine* s) { Engine::of(s)->destroy(); }
static int engCheckKeys(TqSortEngine* s) { return Engine::of(s)->result(Engine::of(s)->checkKeys()); }
static int engGetOutputChunk(TqSortEngine* s, TqSortOutputChunk** chunk) {
  return Engine::of(s)->result(Engine::of(s)->getOutputChunk(chunk));
}
static TqSortInput* engOpenInput(TqSortEngine* s) { return Engine::of(s)->openInput(); }
static const char* engGetError(TqSortEngine* s) { return Engine::of(s)->errorText(); }
static int engReport(TqSortEngine* s, void* block) { return Engine::of(s)->report(block); }
static int engPrepare(TqSortEngine* s) { return Engine::of(s)->result(Engine::of(s)->prepare()); }
static int engReleaseOutputChunk(TqSortEngine* s, TqSortOutputChunk* chunk) {
  return Engine::of(s)->releaseOutputChunk(chunk);
}
static int engSetProgress(TqSortEngine* s, void* block) { return Engine::of(s)->setProgress(block); }
static int engGetProgress(TqSortEngine* s, uint64_t* done, uint64_t* total) {
  return Engine::of(s)->getProgress(done, total);
}

static int inputResult(TqSortInput* in, int r) {
  return r == 0 ? 0 : reinterpret_cast<Engine::InputHandle*>(in)->error.code();
}
static int inGetInputChunk(TqSortInput* in, TqSortInputChunk** chunk) {
  return inputResult(in, inputEngine(in)->getInputChunk(chunk));
}
static int inClose(TqSortInput* in, int32_t discard) {
  Engine* engine = inputEngine(in);
  return engine->result(engine->closeInput(discard));  // the input object is gone
}
static const char* inGetError(TqSortInput* in) {
  return reinterpret_cast<Engine::InputHandle*>(in)->error.get();
}
static int inSubmitInputChunk(TqSortInput* in, TqSortInputChunk* chunk) {
  return inputResult(in, inputEngine(in)->submitInputChunk(chunk));
}

}  // extern "C"

const TqSortEngineOps kEngineOps = {engAddKey,         engDestroy,   engCheckKeys,
                                    engGetOutputChunk, engOpenInput, engGetError,
                                    engReport,         engPrepare,   engReleaseOutputChunk,
                                    engSetProgress,    engGetProgress};
const TqSortInputOps kInputOps = {inGetInputChunk, inClose, inGetError, inSubmitInputChunk};



}  // namespace

// --- creation and keys -----------------------------------------------------------------

Engine* Engine::create(const Params& params, ErrorText* error) {
  void* memory = tqbMalloc(sizeof(Engine));
  if (memory == nullptr) {
    error->setNoRoom("Out of memory (sort object, %zu bytes).", sizeof(Engine));
    return nullptr;
  }
  Engine* e = new (memory) Engine();
  e->handle_.pub.ops = &kEngineOps;
  e->handle_.self = e;
  e->params_ = params;
  if (e->params_.outputLength == 0) e->params_.outputLength = e->params_.recordLength;
  e->limit_ = params.memory;
  {
    TqStdLock guard(e->mutex_);  // no thread yet; the analysis wants it all the same
    e->used_ = e->peak_ = chargeFor(sizeof(Engine));
  }
  return e;
}

int Engine::addKey(const TqSortKeyPart* part, int32_t flags) {
  uint32_t index = partCount_;
  if (prepared_) {
    callerError_.set("Key parts cannot be added after prepare.");
    return 1;
  }
  if (part == nullptr) {
    callerError_.set("Key part %u: no key part record was given.", index);
    return 1;
  }
  if (flags != 0) {
    callerError_.set("Key part %u: addKey takes flags 0, not %d.", index, flags);
    return 1;
  }
  if (!checkPart(part, index)) return 1;
  PartPlan plan;
  plan.offset = part->offset;
  plan.length = part->length;
  plan.descending = part->descending == 1;
  if (!planEncoding(part, index, &plan)) return 1;
  if (!makeRoomForPart()) {
    closeCollator(plan.collator);
    return 1;
  }
  parts_[partCount_++] = plan;
  keysChecked_ = false;
  callerError_.clear();
  return 0;
}

bool Engine::checkPart(const TqSortKeyPart* part, uint32_t index) {
  uint64_t end = static_cast<uint64_t>(part->offset) + part->length;
  if (end > params_.recordLength) {
    callerError_.set("Key part %u: offset %u and length %u reach beyond the record length %u.",
                     index, part->offset, part->length, params_.recordLength);
    return false;
  }
  if (part->descending > 1) {
    callerError_.set("Key part %u: descending must be 0 or 1, not %u.", index,
                     part->descending);
    return false;
  }
  if (part->kind > TQ_SORT_KIND_CALLBACK) {
    callerError_.set("Key part %u: unknown kind %u (the kinds are 0 to 4).", index, part->kind);
    return false;
  }
  if (part->collation != nullptr && part->kind != TQ_SORT_KIND_STRING) {
    callerError_.set("Key part %u: a collation record applies only to string parts (kind 3), "
                     "not to kind %u.", index, part->kind);
    return false;
  }
  if (part->callback != nullptr && part->kind != TQ_SORT_KIND_CALLBACK) {
    callerError_.set("Key part %u: a callback block applies only to kind 4, not to kind %u.",
                     index, part->kind);
    return false;
  }
  return true;
}

bool Engine::planEncoding(const TqSortKeyPart* part, uint32_t index, PartPlan* plan) {
  switch (part->kind) {
    case TQ_SORT_KIND_BYTE:
      if (part->length != 1) {
        callerError_.set("Key part %u: a byte part is 1 byte long, not %u.", index, part->length);
        return false;
      }
      plan->encoding = Encoding::Byte;
      plan->width = 1;
      break;
    case TQ_SORT_KIND_DATE:
    case TQ_SORT_KIND_INTEGER:
      if (part->length != 8) {
        callerError_.set("Key part %u: %s part is 8 bytes long, not %u.", index,
                         part->kind == TQ_SORT_KIND_DATE ? "a date" : "an integer", part->length);
        return false;
      }
      plan->encoding = part->kind == TQ_SORT_KIND_DATE ? Encoding::Date : Encoding::Integer;
      plan->width = 8;
      break;
    case TQ_SORT_KIND_STRING: {
      if (part->length == 0) {
        callerError_.set("Key part %u: a string part needs a length of at least 1.", index);
        return false;
      }
      bool codePoint = true;
      if (part->collation != nullptr &&
          !openCollator(part->collation, index, &plan->collator, &codePoint, &callerError_)) {
        return false;
      }
      if (!codePoint) {
        plan->encoding = Encoding::Collated;
      } else if (part->length <= 32) {
        // Short fields: zero padded to their width, which keeps keys of one length.
        plan->encoding = Encoding::StringFixed;
        plan->width = part->length;
      } else {
        plan->encoding = Encoding::StringVar;
      }
      break;
    }
    default: {
      const TqSortKeyBlock* block = static_cast<const TqSortKeyBlock*>(part->callback);
      if (block == nullptr || block->function == nullptr) {
        callerError_.set("Key part %u: a callback part (kind 4) needs a callback block.", index);
        return false;
      }
      plan->encoding = Encoding::Callback;
      plan->function = block->function;
      plan->block = part->callback;
      break;
    }
  }
  return true;
}

bool Engine::makeRoomForPart() {
  if (partCount_ == partRoom_) {
    uint32_t room = partRoom_ == 0 ? 8 : partRoom_ * 2;
    uint64_t charge = chargeFor(uint64_t{room} * sizeof(PartPlan)) -
                      (partRoom_ == 0 ? 0 : chargeFor(uint64_t{partRoom_} * sizeof(PartPlan)));
    void* grown = nullptr;
    if (tryCharge(charge)) {
      grown = tqbRealloc(parts_, size_t{room} * sizeof(PartPlan));
      if (grown == nullptr) uncharge(charge);
    }
    if (grown == nullptr) {
      callerError_.setNoRoom("Out of memory (sort key parts, %u of them).", room);
      return false;
    }
    parts_ = static_cast<PartPlan*>(grown);
    partRoom_ = room;
  }
  return true;
}

int Engine::checkKeys() {
  if (partCount_ == 0) {
    callerError_.set("No key parts were added: a sort needs at least one.");
    return 1;
  }
  shape_ = KeyShape();
  uint64_t fixedLength = 0;
  for (uint32_t i = 0; i < partCount_; ++i) {
    parts_[i].last = i + 1 == partCount_;
    if (parts_[i].width == 0) shape_.fixed = false;
    fixedLength += parts_[i].width;
  }
  if (fixedLength > kMaxRecordLength) {
    callerError_.set("The key parts add up to %" PRIu64 " bytes of key; at most %u are possible.",
                     fixedLength, kMaxRecordLength);
    return 1;
  }
  shape_.fixedLength = shape_.fixed ? static_cast<uint32_t>(fixedLength) : 0;
  // Bytes per row kept for a varying key's tail: the fixed parts exactly, the others
  // by a guess; a batch whose keys need more asks for more (xsort_input.cc, sortBatch).
  uint64_t guess = fixedLength;
  for (uint32_t i = 0; i < partCount_; ++i) {
    const PartPlan& p = parts_[i];
    if (p.encoding == Encoding::StringVar) guess += std::min<uint64_t>(p.length + 1, 48);
    if (p.encoding == Encoding::Collated) guess += std::min<uint64_t>(2ull * p.length + 8, 96);
    if (p.encoding == Encoding::Callback) guess += std::min<uint64_t>(2ull * p.length + 2, 64);
  }
  varTailEstimate_ = shape_.fixed ? 0 : static_cast<uint32_t>((guess > 8 ? guess - 8 : 0) + 4);
  keysChecked_ = true;
  callerError_.clear();
  return 0;
}

// --- prepare: sizes, threads -------------------------------------------------------------

int Engine::prepare() {
  if (prepared_) {
    callerError_.set("prepare was called already.");
    return 1;
  }
  if (!keysChecked_ && checkKeys() != 0) return 1;
  // A prepare that failed past this point may have charged memory and made workers:
  // the sort cannot be prepared again, only destroyed.
  if (prepareFailed_) {
    callerError_.set("prepare failed before; destroy this sort and make a new one.");
    return 1;
  }
  prepareFailed_ = true;  // until it succeeds
  int status = planChunks();
  if (status == 0) status = planBatches();
  if (status == 0) status = copyTempDirs();
  if (status == 0) status = makeRunList();
  if (status != 0) return status;
  if (!startWorkers()) return 1;
  prepared_ = true;
  prepareFailed_ = false;
  callerError_.clear();
  return 0;
}

int Engine::planChunks() {
  const uint64_t memory = params_.memory;
  const uint32_t recordLength = params_.recordLength;
  const uint32_t threads = params_.processors;
  // Input chunks take at most a sixteenth of the memory.
  const uint64_t byMemory = memory / 16 / recordLength;
  if (byMemory == 0) {
    callerError_.setNoRoom("The memory size (%" PRIu64 " bytes) is too small for records of %u "
                     "bytes: at least %" PRIu64 " bytes are needed.",
                     memory, recordLength, 16 * uint64_t{recordLength});
    return 1;
  }
  chunkRows_ = static_cast<uint32_t>(std::min<uint64_t>(byMemory, kMaxBatchRows));
  if (params_.chunkRows != 0) chunkRows_ = std::min(chunkRows_, params_.chunkRows);

  // Output chunks: two may be out at once, each at most a thirty-second of the memory.
  const uint64_t outRow = uint64_t{params_.outputLength} + (params_.markGroups ? 1 : 0);
  outputRows_ = static_cast<uint32_t>(
      std::max<uint64_t>(1, std::min<uint64_t>(chunkRows_, memory / 32 / outRow)));

  // Write buffers of the sorting threads (charged for good by planBatches).
  writerSize_ = static_cast<uint32_t>(std::clamp<uint64_t>(
      memory / (16ull * threads) / 4096 * 4096, kMinIoBuffer, kMaxIoBuffer));
  return 0;
}

int Engine::planBatches() {
  const uint64_t memory = params_.memory;
  const uint32_t recordLength = params_.recordLength;
  const uint32_t threads = params_.processors;
  const uint64_t writersCharge =
      uint64_t{threads} * (chargeFor(writerSize_) + kWorkFileCharge);
  // What is left goes to batches and to the threads' sort buffers.  A batch holds per
  // row its record and, once sorted, its run's record; it may not be sorted before
  // the next two are gathered, so that the threads' batches, one being filled and one
  // waiting must fit at once.  A thread's sort buffers take per row of the largest
  // batch an entry and a key tail.
  uint64_t encoderCharge = chargeFor(std::max<uint32_t>(shape_.fixedLength, 256));
  for (uint32_t i = 0; i < partCount_; ++i) {
    if (parts_[i].encoding == Encoding::Collated) {
      encoderCharge += chargeFor(2ull * parts_[i].length) + chargeFor(8ull * partCount_);
    }
  }
  // Headroom for structures that grow while the buffers fill the memory.
  headroom_ = std::min<uint64_t>(std::max<uint64_t>(memory / 32, 4096), 64u << 10);
  uint64_t usedNow = 0;
  {
    TqStdLock guard(mutex_);
    usedNow = used_;
  }
  const uint64_t fixedCosts = usedNow + writersCharge + threads * encoderCharge +
                              chargeFor(sizeof(Worker) * threads) + 8192 + headroom_;
  const uint64_t forBatches = memory > fixedCosts ? memory - fixedCosts : 0;
  const uint64_t batchRow = uint64_t{recordLength} + recordPerRow();
  const uint64_t sortRow = sizeof(Entry) + tailPerRow();
  // Less what the allocator may add to each batch's and each thread's blocks.
  const uint64_t slack = (threads + 2) * 3 * 4128 + threads * 3 * 4128;
  uint64_t rows = forBatches > slack ? (forBatches - slack) / ((threads + 2) * batchRow +
                                                              threads * sortRow) : 0;
  rows = std::min<uint64_t>(rows, kMaxBatchBytes / recordLength);
  if (params_.expectedRows > 0) {
    // Known row count: batches small enough that every thread gets some.
    uint64_t share = (params_.expectedRows + 2ull * threads - 1) / (2ull * threads);
    rows = std::min(rows, std::max<uint64_t>(share, 4096));
  }
  if (rows < 2) {
    callerError_.setNoRoom("The memory size (%" PRIu64 " bytes) is too small to sort records of %u "
                     "bytes with keys of this size on %u threads.",
                     memory, recordLength, threads);
    return 1;
  }
  // A chunk lies inside a batch: at most a quarter of it, so that a chunk handed out
  // at a batch's end, smaller than the others, is rare.
  chunkRows_ = static_cast<uint32_t>(std::min<uint64_t>(chunkRows_, std::max<uint64_t>(rows / 4, 1)));
  batchRows_ = static_cast<uint32_t>(std::min<uint64_t>(rows, kMaxBatchRows));
  firstBatchRows_ = std::min(batchRows_, std::max<uint32_t>(chunkRows_, 4096));
  sortCharge_ = chargeFor(uint64_t{batchRows_} * sizeof(Entry));
  tailCharge_ = chargeFor(std::max<uint64_t>(uint64_t{batchRows_} * tailPerRow(), 64));
  // Once the rows do not fit, sorted batches are written when they fill two thirds of
  // the memory left to batches, so that the caller and the sorting threads go on with
  // the rest while a thread writes them as one run.
  const uint64_t sortBuffers = threads * (sortCharge_ + tailCharge_);
  spillThreshold_ = forBatches > sortBuffers ? (forBatches - sortBuffers) / 3 * 2 : 0;

  if (!tryCharge(writersCharge + sortBuffers)) {
    callerError_.setNoRoom("The memory size (%" PRIu64 " bytes) is too small for %u threads.",
                     memory, threads);
    return 1;
  }
  return 0;
}

int Engine::copyTempDirs() {
  // The temporary directories, from the configuration.
  TqbConfigOptions* options = tqbGetConfigOptions("");
  TqbString dirs;
  if (options != nullptr && options->lookup(TqbString("BASE/TEMP"), dirs) && dirs.length() > 0) {
    size_t n = static_cast<size_t>(dirs.length()) + 1;
    if (!tryCharge(chargeFor(n))) {
      callerError_.setNoRoom("The memory size leaves no room for the temporary directory list.");
      return 1;
    }
    tempDirs_ = static_cast<char*>(tqbMalloc(n));
    if (tempDirs_ == nullptr) {
      uncharge(chargeFor(n));
      callerError_.setNoRoom("Out of memory (temporary directory list).");
      return 1;
    }
    std::memcpy(tempDirs_, dirs.asCstr(), n);
  }
  return 0;
}

int Engine::makeRunList() {
  const uint64_t memory = params_.memory;
  // The list of runs in work files has a share of the memory, a sixteenth (for 64 to
  // 4096 runs): when it is full, the input waits while runs are merged into longer ones
  // (compactRuns).  It is made now at its full size, and a quarter more for the runs
  // the sorting threads write meanwhile, so that it never grows in tight memory.
  runListShare_ = static_cast<uint32_t>(std::clamp<uint64_t>(memory / 16 / sizeof(FileRun), 64, 4096));
  const uint32_t runRoom = runListShare_ + runListShare_ / 4;
  if (!tryCharge(chargeFor(uint64_t{runRoom} * sizeof(FileRun)))) {
    callerError_.setNoRoom("The memory size (%" PRIu64 " bytes) is too small for the list of runs.", memory);
    return TQ_SORT_FAILED_NO_ROOM;
  }
  fileRuns_ = static_cast<FileRun*>(tqbMalloc(size_t{runRoom} * sizeof(FileRun)));
  if (fileRuns_ == nullptr) {
    uncharge(chargeFor(uint64_t{runRoom} * sizeof(FileRun)));
    callerError_.setNoRoom("Out of memory (list of %u sorted runs).", runRoom);
    return TQ_SORT_FAILED_NO_ROOM;
  }
  fileRunRoom_ = runRoom;
  return 0;
}

bool Engine::startWorkers() {
  const uint32_t threads = params_.processors;
  uint64_t charge = chargeFor(sizeof(Worker) * threads);
  if (!tryCharge(charge)) {
    callerError_.setNoRoom("The memory size is too small for %u sorting threads.", threads);
    return false;
  }
  workers_ = tqbNewArray<Worker>(threads);
  if (workers_ == nullptr) {
    uncharge(charge);
    callerError_.setNoRoom("Out of memory (%u sorting threads).", threads);
    return false;
  }
  for (uint32_t i = 0; i < threads; ++i) {
    workers_[i].engine = this;
    workers_[i].index = i;
    // Its writer's and sort buffers' budget was charged by prepare.
    workers_[i].writer.setup(this, writerSize_, chargeFor(writerSize_), true);
    workers_[i].sortCharged = sortCharge_;
    workers_[i].tailCharged = tailCharge_;
    if (!workers_[i].encoder.init(parts_, partCount_, this, &callerError_)) {
      workerCount_ = threads;  // so that destroy releases every encoder
      return false;
    }
  }
  workerCount_ = threads;
  if (tqFaultCheck(TqFaultOp::PoolStart) != TqFaultMode::None) {
    callerError_.set("Cannot start the sorting threads.");
    return false;
  }
  for (uint32_t i = 0; i < threads; ++i) {
    try {
      workers_[i].thread = std::thread(&Engine::workerLoop, this, &workers_[i]);
    } catch (const std::exception& e) {
      callerError_.set("Cannot start sorting thread %u: %s.", i + 1, e.what());
      return false;
    }
  }
  return true;
}

void Engine::stopWorkers() {
  {
    TqStdLock guard(mutex_);
    state_ = WorkState::Stopping;
  }
  workCv_.notify_all();
  for (uint32_t i = 0; i < workerCount_; ++i) {
    if (workers_[i].thread.joinable()) workers_[i].thread.join();
  }
}

// --- the input object ----------------------------------------------------------------------

TqSortInput* Engine::openInput() {
  if (!prepared_) {
    callerError_.set("openInput needs prepare first.");
    return nullptr;
  }
  if (input_ != nullptr || inputEnded_ || inputAbandoned_) {
    callerError_.set("The input was opened already; a sort has one input.");
    return nullptr;
  }
  if (failed()) {
    callerFailure();
    return nullptr;
  }
  const uint64_t charge = chargeFor(sizeof(InputHandle));
  if (!tryCharge(charge)) {
    callerError_.setNoRoom("The memory size leaves no room for the input object.");
    return nullptr;
  }
  input_ = tqbNew<InputHandle>();
  if (input_ == nullptr) {
    uncharge(charge);
    callerError_.setNoRoom("Out of memory (sort input object).");
    return nullptr;
  }
  input_->pub.ops = &kInputOps;
  input_->self = this;
  callerError_.clear();
  return &input_->pub;
}

// --- report and destroy ------------------------------------------------------------------

int Engine::report(void* infoBlock) {
  if (infoBlock == nullptr) return 0;
  TqSortInfoBlock* block = static_cast<TqSortInfoBlock*>(infoBlock);
  if (block->function == nullptr) return 0;
  Stats s;
  uint64_t peak, limit;
  {
    TqStdLock guard(mutex_);
    s = stats_;
    peak = peak_;
    limit = limit_;
  }
  // One figure after each label, so that the lines read and parse easily.  The report
  // comes when the sort ends and the output starts: rows handed out and duplicates
  // dropped count what the output has reached so far.
  char line[512];
  std::snprintf(line, sizeof(line),
                "sort rows: in %" PRIu64 ", out so far %" PRIu64 ", duplicates dropped so far %" PRIu64
                ", threads %u", rowsIn_, rowsOut_, duplicates_, params_.processors);
  block->function(infoBlock, line);
  std::snprintf(line, sizeof(line),
                "sort runs: batches sorted %" PRIu64 ", runs written %" PRIu64
                ", merged from memory %" PRIu64 ", merge passes %" PRIu64
                ", intermediate runs %" PRIu64 ", merged while rows came in %" PRIu64,
                s.batches, s.runsWritten, s.memoryRunsMerged, s.mergePasses, s.intermediateRuns,
                s.inputCompactions);
  block->function(infoBlock, line);
  std::snprintf(line, sizeof(line),
                "sort memory: allowed %" PRIu64 ", peak %" PRIu64 ", bytes written %" PRIu64
                ", bytes read %" PRIu64, limit, peak, s.bytesWritten, s.bytesRead);
  block->function(infoBlock, line);
  return 0;
}

void Engine::destroy() {
  stopWorkers();
  freeAll();
  this->~Engine();
  tqbFree(this);
}

void Engine::freeAll() {
  if (input_ != nullptr) closeInput(1);
  freeBatch(filling_);
  filling_ = nullptr;
  Batch* queued = nullptr;
  {
    TqStdLock guard(mutex_);
    queued = queueHead_;
    queueHead_ = queueTail_ = nullptr;
  }
  while (queued != nullptr) {
    Batch* b = queued;
    queued = b->next;
    freeBatch(b);
  }
  while (sorted_ != nullptr) {
    Batch* b = sorted_;
    sorted_ = b->next;
    freeBatch(b);
  }
  tree_.release();
  for (uint32_t i = 0; i < readerCount_; ++i) readers_[i].~RunReader();
  tqbFree(readers_);
  tqbFree(sources_);
  while (outChunks_ != nullptr) {
    OutChunk* c = outChunks_;
    outChunks_ = c->next;
    tqbFree(c);
  }
  tqbFree(lastKey_);
  for (uint32_t i = 0; i < workerCount_; ++i) {
    workers_[i].writer.release();
    workers_[i].encoder.release();
    workers_[i].releaseSort();
  }
  if (workers_ != nullptr) tqbDeleteArray(workers_, params_.processors);
  while (files_ != nullptr) {
    WorkFile* f = files_;
    files_ = f->next;
    if (f->handle != 0) np_fio_close(f->handle);
    if (!f->unlinked) np_fio_unlink(f->name);
    tqbDelete(f);
  }
  tqbFree(fileRuns_);
  for (uint32_t i = 0; i < partCount_; ++i) closeCollator(parts_[i].collator);
  tqbFree(parts_);
  tqbFree(tempDirs_);
}

}  // namespace tqxsort

using tqxsort::Engine;
using tqxsort::ErrorText;
using tqxsort::Params;

extern "C" TqSortParms* tqSortParmsCreate(void) {
  auto* o = tqbNew<tqxsort::ParmsObject>();
  if (o == nullptr) return nullptr;
  o->pub.ops = &tqxsort::kParmsOps;
  o->magic = tqxsort::kParmMagic;
  o->explicitSet = 0;
  return &o->pub;
}

extern "C" TqSortEngine* tqSortCreate(TqSortParms* parms) {
  if (parms == nullptr) return nullptr;
  tqxsort::ParmsObject* o = tqxsort::parmsOf(parms);
  const Params& p = o->params;
  if (p.recordLength == 0) {
    o->error.set("Parameter 5 (record length) is not set.");
    return nullptr;
  }
  if (p.outputLength > p.recordLength) {
    o->error.set("Parameter 8 (output record length, %u) exceeds parameter 5 (record length, "
                 "%u).", p.outputLength, p.recordLength);
    return nullptr;
  }
  Engine* e = Engine::create(p, &o->error);
  if (e == nullptr) return nullptr;
  o->error.clear();
  return e->object();
}
