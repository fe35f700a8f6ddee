// The lines of a collated sort, kept beside the sort (see tqsort_collate.h).
//
// The external sort's rows have a fixed length, so a line does not go into its row: it
// is appended to the spool, and the row carries its place (a 64-bit number).  The spool
// holds lines in memory blocks, up to its memory, and the others in the file "spool" of
// the run directories (a TempSpill: spread over them, moving on from a full one),
// written through a buffer.  A line longer than a block goes to the file, and a marker
// in the blocks keeps its turn; once the blocks are full, every later line goes to the
// file.  Each line is stored behind its length (LEB128), so the spool can be read
// back in input order (replay).
//
// A line that stands as it is in a regular input file need not be copied to the file
// (readInputsAgain): its place is then in the input, and the file holds only its
// length, so that the spool is still read back in input order.  An input is read so
// only while it is the file it was when the run began, unchanged (checkInputs), and
// never when it is the output written in place; at most kMostInputs inputs are held
// open for it, the lines of any others are copied.
//
// The file's records: a line copied, LEB128(length * 2) and its bytes; a line in an
// input, LEB128(length * 2 + 1), its bytes following the line in the input before it;
// LEB128(0) and LEB128(offset) say where in the inputs the next such line starts.
//
// A place: bit 63 set for a line outside memory; bits 22-62 the offset of its bytes
// (in the blocks taken as one run of bytes, in the file, or kInputSpace and above in
// the inputs taken as one run of bytes, one after the other); bits 0-21 its length, or
// all ones for a line of 4 MiB or more (always copied), whose place is then the offset
// of its record in the file.
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

struct InputFile;

class LineSpool {
 public:
  // Lines in memory up to `memoryBytes` (in blocks of at most `bufferBytes`); the file
  // "spool" in the run directories `dirs` (made with the first line that goes there;
  // see TempSpill) written through a buffer of `bufferBytes`.
  LineSpool(const std::vector<std::string>& dirs, uint64_t memoryBytes, size_t bufferBytes);
  ~LineSpool();
  LineSpool(const LineSpool&) = delete;
  LineSpool& operator=(const LineSpool&) = delete;

  // Lines that stand as they are in a regular input may from now on stay there (their
  // places in the input) instead of going to the file; never those of the file with
  // device `outDevice` and inode `outInode` (the output, when it is written in place).
  void readInputsAgain(uint64_t outDevice, uint64_t outInode);
  // Appends a line of `length` bytes (at least one); *place says where it went.  `from`
  // and `offset`: the line also stands at `offset` in the input `from` (null: it does
  // not).
  Status append(const char* line, size_t length, int64_t* place, const InputFile* from = nullptr,
                int64_t offset = -1);
  // Whether the inputs that lines were left in are still as they were when the run
  // began (checked before the output and before it is committed): a run whose input
  // changed under it fails rather than write other bytes.
  Status checkInputs() const;
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
  uint64_t inputLines() const { return inputLines_; }

  static constexpr int kLengthBits = 22;
  static constexpr uint64_t kLengthMask = (uint64_t{1} << kLengthBits) - 1;  // also "long line"
  static constexpr uint64_t kOffsetMask = (uint64_t{1} << (63 - kLengthBits)) - 1;
  static constexpr uint64_t kInputSpace = uint64_t{1} << 40;  // places in the inputs from here
  static constexpr size_t kMostInputs = 8;

 private:
  // An input file that lines are left in: `fd` -1 when it may not be (then it takes no
  // room in the inputs' run of bytes, which it starts at `base` otherwise).
  struct Input {
    const InputFile* file;
    int fd;
    uint64_t base;
  };
  class Replay;

  Status writeFile(const char* data, size_t length);  // appends through the buffer
  Status drain();  // appends the buffer's bytes
  Status tooLarge() const;
  // The input that a line of `from` may be left in; null when it may not be.
  const Input* inputFor(const InputFile* from);
  Input openInput(const InputFile* from) const;
  Status readInputs(uint64_t offset, char* to, size_t length) const;
  // Appends the record of a line left at `offset` of `input`.
  Status leaveInInput(const Input& input, uint64_t offset, size_t length, int64_t* place);
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
  bool inputsAllowed_ = false;
  uint64_t outDevice_ = 0;
  uint64_t outInode_ = 0;
  std::vector<Input> inputs_;
  uint64_t inputBytes_ = 0;            // the inputs' run of bytes so far
  uint64_t inputCursor_ = UINT64_MAX;  // where a line after the last one left would start
  uint64_t inputLines_ = 0;
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
