// The lines of a collated sort, kept beside the sort (see tqsort_collate.h).
//
// The external sort's rows have a fixed length, so a line does not go into its row: it
// is appended to the spool, and the row carries its place (a 64-bit number).  The spool
// holds lines in memory blocks, up to its memory, and the others in the file "spool" of
// the run directories (a TempSpill: spread over them, moving on from a full one),
// written through a buffer.  A line longer than a block goes to the file, and a marker
// in the blocks keeps its turn; once the blocks are full, every later line goes to the
// file.  Each line is stored behind its length (LEB128), so the
// spool can be read back in input order (replay).
//
// A place: bit 63 set for a line in the file; bits 22-62 the offset of its bytes (in
// the blocks taken as one run of bytes, or in the file); bits 0-21 its length, or all
// ones for a line of 4 MiB or more, whose place is then the offset of its length.
//
// Writing lines in another order (the sorted rows'): lines in memory are copied out
// as they come.  Lines in the file are gathered in windows (LineGather): the places of
// the next output lines, as many as the window's buffer holds, are sorted by offset and
// read front to back, nearby lines in one read, each into its slot in the buffer,
// which is then written in order.  So the file is read in order once per window rather
// than once per line.  A line longer than half the window is written straight from
// the file, in pieces.
#ifndef TQ_TOOLS_TQSORT_SPOOL_H
#define TQ_TOOLS_TQSORT_SPOOL_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tqsort_output.h"
#include "tqsort_status.h"
#include "tqsort_tempfile.h"

namespace tqsort {

class LineSpool {
 public:
  // Lines in memory up to `memoryBytes` (in blocks of at most `bufferBytes`); the file
  // "spool" in the run directories `dirs` (made with the first line that goes there;
  // see TempSpill) written through a buffer of `bufferBytes`.
  LineSpool(const std::vector<std::string>& dirs, uint64_t memoryBytes, size_t bufferBytes);
  ~LineSpool();
  LineSpool(const LineSpool&) = delete;
  LineSpool& operator=(const LineSpool&) = delete;

  // Appends a line of `length` bytes (at least one); *place says where it went.
  Status append(const char* line, size_t length, int64_t* place);
  // Writes the file's buffer out: lines in the file can be read from here on (until
  // the next append).
  Status flush();

  static bool inFile(int64_t place) { return place < 0; }
  // The line at `place`, which is in memory.
  const char* memoryLine(int64_t place, size_t* length) const {
    uint64_t p = static_cast<uint64_t>(place);
    *length = static_cast<size_t>(p & kLengthMask);
    uint64_t offset = (p >> kLengthBits) & kOffsetMask;
    return blocks_[offset >> blockShift_].get() + (offset & (blockBytes_ - 1));
  }
  // Whether every line so far is in memory.
  bool allInMemory() const { return fileLines_ == 0; }

  // Calls `take` with every line and its place, in the order they were appended.
  Status replay(const std::function<Status(const char* line, size_t length, int64_t place)>& take);

  // The line at `place`, wherever it is: *line points into memory, or into `scratch`
  // for a line in the file (the file's buffer flushed first: see flush).
  Status lineAt(int64_t place, std::string* scratch, const char** line, size_t* length) const;
  // Reads `length` bytes of the file at `offset` into `to`.
  Status readFile(uint64_t offset, char* to, size_t length) const;
  // The length and the offset of the bytes of the line in the file at `place`.
  Status fileLine(int64_t place, uint64_t* offset, uint64_t* length) const;

  // Figures for --stats.
  uint64_t lines() const { return memoryLines_ + fileLines_; }
  uint64_t memoryLines() const { return memoryLines_; }
  uint64_t memoryBytes() const { return blocksUsed_ * blockBytes_; }
  uint64_t fileBytes() const { return fileSize_; }
  uint64_t fileDiskBytes() const { return file_.diskBytes(); }

  static constexpr int kLengthBits = 22;
  static constexpr uint64_t kLengthMask = (uint64_t{1} << kLengthBits) - 1;  // also "long line"
  static constexpr uint64_t kOffsetMask = (uint64_t{1} << (63 - kLengthBits)) - 1;

 private:
  Status writeFile(const char* data, size_t length);  // appends through the buffer
  Status drain();  // appends the buffer's bytes
  Status tooLarge() const;
  // Room for `bytes` in the current block, starting a new one if needed; false when the
  // memory is used up (then the blocks are closed for good).
  bool roomInBlocks(size_t bytes);

  TempSpill file_;
  uint64_t memoryLimit_;
  size_t blockBytes_ = 0;  // a power of two
  int blockShift_ = 0;
  size_t bufferBytes_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<size_t> blockUsed_;  // bytes written in each block
  uint64_t blocksUsed_ = 0;
  bool blocksClosed_ = false;  // no more lines go to memory
  uint64_t memoryLines_ = 0;
  uint64_t fileLines_ = 0;
  uint64_t fileSize_ = 0;      // bytes appended to the file, the buffered ones included
  std::unique_ptr<char[]> buffer_;
  size_t buffered_ = 0;
};

// Writes lines of a spool in the order they are given, through a window of
// `windowBytes` (its buffer, its table of places and its read buffer).
class LineGather {
 public:
  LineGather(const LineSpool& spool, uint64_t windowBytes, OutputStream* out);
  // The next line of the output.
  Status add(int64_t place) {
    if (!LineSpool::inFile(place)) {
      size_t length = 0;
      const char* line = spool_.memoryLine(place, &length);
      if (entries_.empty()) return out_->write(line, length);  // nothing before it waits
      if (used_ + length <= bufferBytes_ && entries_.size() < entryLimit_) {
        entries_.push_back(Entry{static_cast<uint64_t>(place), used_});
        used_ += length;
        return Status();
      }
    }
    return addSlow(place);
  }
  // Writes the lines gathered so far.
  Status flush();
  // Windows written, and reads of the file, for --stats.
  uint64_t windows() const { return windows_; }
  uint64_t reads() const { return reads_; }

 private:
  struct Entry {
    uint64_t place;  // as the spool gave it (file lines sort after memory lines)
    uint64_t at;     // where the line goes in the buffer
  };
  Status addSlow(int64_t place);
  // Writes the line in the file at `offset`, `length` bytes, in pieces.
  Status writeStraight(uint64_t offset, uint64_t length);

  const LineSpool& spool_;
  OutputStream* out_;
  size_t readBytes_;
  size_t bufferBytes_;
  size_t entryLimit_;
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<char[]> read_;
  std::vector<Entry> entries_;
  size_t used_ = 0;
  uint64_t windows_ = 0;
  uint64_t reads_ = 0;
};

}  // namespace tqsort

#endif
