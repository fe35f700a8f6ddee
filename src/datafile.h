// TqDatafileImpl: the unsorted datafile.
//
// Rows stay in the order they were added.  They go into the row buffer of chunkSize_
// bytes while the datafile is in memory; when a row does not fit, the buffer is written
// to a "tq_" temporary file and every further row goes straight to that file (spill).
// After freeze the rows are read back in order (next), from a remembered row start
// (seek), by the datafile itself or by read-only clones that share its data.  rechunk
// changes the buffer size and can move the data between file and memory either way.
//
// Storage states (orthogonal to the mode):
//   in memory  the rows are bytes [0, endOfData_) of buffer_; memory serializers bound;
//              a temporary file may exist and is empty.
//   on disk    the rows are bytes [0, endOfData_) of the temporary file; the file
//              serializers are bound; between rows the file offset is position_.
// Modes: 0 inactive (new), 1 writing, 2 reading.  addRow switches to writing, next and
// seek to reading; only FlagReadOnly (set by freeze) refuses adding rows.
//
// Failures.  A row is stored whole or not at all: when a field cannot be written, the
// fields of that row already written (to the file's buffer or the file) are taken back,
// and addRow reports the failure; the rows before it stay, also those still in the
// file's buffer after a write of it failed (a later write, or freeze, tries them again
// and reports the failure as long as it lasts).  A failure after which the file's
// content cannot be vouched for (a row that cannot be taken back, a file that did not
// close cleanly) breaks the datafile: every later operation reports that failure, and
// only clear() starts over.  So a datafile never claims a row it cannot give back.
//
// Positions.  seek takes only positions that addRow handed back or tell returned;
// another position is never read outside the stored rows, but what it reads is not
// defined (a row's bytes read from its middle).  A seek that fails leaves the reader
// where it was (the field values may hold part of the row that failed).
//
// Ownership: a root owns buffer_ and the temporary file; a clone shares the root's
// buffer or opens its own handle on the root's file, and never removes the file.  The
// root is destroyed when its owner and every clone have released it (dataabs.h).
//
// Not thread-safe: one thread uses a datafile at a time; clones may be used by other
// threads than their root, since each has its own position, values and file handle.
#ifndef TQ_SRC_DATAFILE_H
#define TQ_SRC_DATAFILE_H

#include "platform/npfio.h"
#include "src/dataabs.h"

namespace tqlib {

class TqDatafileImpl final : public AbsTqDatafile {
 public:
  TqDatafileImpl();

  int32_t addRow(int64_t* rowStart) override;
  int32_t clear() override;
  int64_t getRowCount() override;
  int32_t next(bool* mark) override;
  int32_t rechunk(uint32_t size) override;
  void release() override;
  int32_t seek(int64_t position) override;
  TqDatafile* clone() override;
  int32_t freeze() override;
  bool init(TqDatafileManager* manager, uint32_t flags) override;

  // File serializers: the same bytes as the memory serializers, on the temporary file.
  int32_t fileReadBoolean(TqDatafileField& field);
  int32_t fileReadDate(TqDatafileField& field);
  int32_t fileReadInteger(TqDatafileField& field);
  int32_t fileReadReal(TqDatafileField& field);
  int32_t fileReadString(TqDatafileField& field);
  int32_t fileReadStringFixed(TqDatafileField& field);
  int32_t fileWriteBoolean(TqDatafileField& field);
  int32_t fileWriteDate(TqDatafileField& field);
  int32_t fileWriteInteger(TqDatafileField& field);
  int32_t fileWriteReal(TqDatafileField& field);
  int32_t fileWriteString(TqDatafileField& field);
  int32_t fileWriteStringFixed(TqDatafileField& field);

  // For tests.
  const TqbString& tempFileName() const { return tempFileName_; }
  bool inMemory() const { return inMemory_; }
  int32_t mode() const { return mode_; }

 private:
  ~TqDatafileImpl() override;
  int32_t setMode(int32_t mode);
  // Binds the memory or file serializers to match inMemory_, which the caller has just
  // set; `previousInMemory` is its former value.
  int32_t setSerializers(bool previousInMemory);
  int32_t spillToDisk();
  // Turns on the file's user-space buffer; a failure is message 1045 or 1418, status 3.
  int32_t bufferFile();
  // Message 1045 for a failed write of the temporary file (errno `syserr`).
  int32_t writeFailed(int syserr);
  // Sizes every variable-layout string field's buffer to its longest value + 1.
  bool sizeStringBuffers();
  // Ensures a fixed-layout file serializer's zeroed buffer exists.
  int32_t fixedBuffer(TqDatafileField& field);
  int32_t putBytes(const void* bytes, int32_t count);
  int32_t getBytes(void* bytes, int32_t count);
  // A whole fixed-width field: written or read, and position_ moved past it.
  int32_t putEncoded(const void* bytes, int32_t count);
  int32_t getEncoded(void* bytes, int32_t count);
  // Takes back the fields of a row whose writing failed part way (the file ends again
  // at endOfData_).  When even that fails the datafile is broken.
  void takeBackPartialRow();
  // Keeps the failure now in lastError_ as the datafile's state: every later operation
  // reports it, until clear() empties the file.  Returns `status`.
  int32_t breakWith(int32_t status);
  // The recorded failure of a broken datafile, again.
  int32_t reportBroken();

  TqbString tempFileName_;
  NpHandle file_ = 0;
  int32_t mode_ = 0;
  bool traceSeeks_ = false;
  bool ownsTempFile_ = false;  // this datafile created the file and removes it
  uint64_t rowsAdded_ = 0;     // rows stored since construction or clear
  int32_t brokenStatus_ = 0;   // non-zero: the file may not hold what was reported stored
  TqbString brokenError_;
};

}  // namespace tqlib

#endif
