// Cutting tqsort's input into key ranges, for a sort spread over several machines (the
// Python module's cluster sort, python/tqdatafile/cluster.py, drives these steps).
//
// The input is cut into shares: byte ranges of its files.  Keys sampled from the
// shares choose the ranges' boundaries; each share is split into one piece file per
// range; each range's pieces, sorted by tqsort -s in share order, make one part of the
// output; the parts in range order are the sort of the whole input.
//
// Keys are compared as the library orders them: the bytes of appendSortKey, so that a
// range assignment agrees with tqsort's own order.  A range holds the keys above the
// boundary before it and up to its own, so equal keys share a range: the ranges do not
// overlap, ties keep their input order (a range's pieces come in share order, and a
// piece keeps its share's order), and -u keeps the same first row of a group.
//
// A share takes the records that begin within it: from the first line start at or
// after its first byte (a file's start: after a byte-order mark, and its header with
// --header) to the last record that begins before its end, read on to that record's
// end.  A line break inside a quoted field can make a share's first line start wrong;
// so a share reports where its first record began (ShareSplit::first) and where the
// record after its last begins (ShareSplit::next).  The caller checks that each share
// began where the one before it ended; when not, the rest of the file is one share,
// read from where the last good one ended.
#ifndef TQ_TOOLS_TQSORT_RANGES_H
#define TQ_TOOLS_TQSORT_RANGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_input.h"
#include "tqsort_options.h"
#include "tqsort_parse.h"
#include "tqsort_status.h"
#include "tqsort_tempfile.h"

namespace tqsort {

// A byte range of one input file.
struct Share {
  std::string path;
  int64_t begin = 0;
  int64_t end = 0;  // records beginning before this offset are the share's
  // With --header and begin 0: the header every input must have (its content, without
  // the line end), and the file it was first seen in, for the message when it differs.
  std::string header;
  std::string headerFile;
  // A file of an earlier -m pass: read through it (its bytes may be compressed).
  const TempSpill* spill = nullptr;
};

// Reads the records of one share in blocks, each record with its key parsed and made
// into the library's key bytes (the cluster sort's steps, and -m's inputs).
class ShareReader {
 public:
  // Reads in blocks of `blockBytes`, a record of up to `longest` bytes; the share's
  // first record is on line `firstLine`.  A share of path "-" is standard input, read
  // from where it stands to its end.
  ShareReader(const Options& options, const Share& share, int64_t firstLine, size_t blockBytes, size_t longest);
  ~ShareReader();
  ShareReader(const ShareReader&) = delete;
  ShareReader& operator=(const ShareReader&) = delete;

  // Opens the file and finds the share's first record.
  Status open();
  // The next record of the share (bytes(), key()); *got false after its last.
  Status next(bool* got);

  std::string_view bytes() const { return record_; }
  const std::string& key() const { return key_; }
  int64_t first() const { return first_; }
  // Where the record after the last one read begins.
  int64_t offset() const { return base_ + static_cast<int64_t>(pos_) - static_cast<int64_t>(added_); }
  int64_t lines() const { return lines_; }
  // The header record passed over (--header, the file's start), with its line end.
  const std::string& header() const { return header_; }

 private:
  // Reads more bytes after those held, dropping those before pos_.
  Status fill();
  // Skips to the first line start at or after the share's first byte.
  Status findLineStart();
  Status checkHeader(const Record& record);
  Status makeKey(const Batch& batch);

  const Options& o_;
  const Share& share_;
  InputFile in_;
  RecordParser parser_;
  Batch batch_;
  size_t longest_;         // the longest record read
  int fd_ = -1;
  int64_t base_ = 0;       // the file offset of the batch's first byte
  size_t pos_ = 0;         // where the next record begins in the batch
  bool atEnd_ = false;
  bool headerNext_ = false;
  int64_t first_ = 0;
  int64_t lines_ = 0;
  int64_t line_;           // the line of the next record
  const char* lineEnd_ = "\n";  // given to an unterminated last record, as tqsort does
  size_t added_ = 0;            // the bytes of that line end (the file ends there)
  std::string_view record_;
  std::string key_;
  std::string header_;
  TqbDatavar value_;
};

// What splitting a share found.
struct ShareSplit {
  int64_t first = 0;  // where its first record begins (its next when it has none)
  int64_t next = 0;   // where the record after its last begins (the file's size at its end)
  int64_t lines = 0;  // line ends from the file's start (begin 0) or `first` up to `next`
  // Per range: rows and bytes written to its piece, and whether the piece begins with
  // a byte-order mark put there because its first record begins with those bytes
  // (tqsort takes an input's mark off; this one is not the record's).
  std::vector<int64_t> rows;
  std::vector<int64_t> bytes;
  std::vector<bool> markAdded;
};

// The first record of `path` after a byte-order mark (*bom), with its line end; empty
// when the file has no record.
Status firstRecord(const std::string& path, char separator, bool* bom, std::string* record);

// Sets the column of each key named by a column of `header` (a record as firstRecord
// gives it).
Status resolveKeys(Options* options, const std::string& header);

// Resolves keys named by a column of `header` (a record as firstRecord gives it) to
// column numbers, and writes each key as tqsort's -k takes it ("3:int:r").
Status resolvedKeys(const Options& options, const std::string& header, std::vector<std::string>* keys);

// Up to `count` keys of the share's records, from evenly spread offsets (a record
// that does not parse, or is longer than `memory` allows, is passed over).
Status sampleKeys(const Options& options, const Share& share, size_t count, size_t memory,
                  std::vector<std::string>* keys);

// Splits the share: a record whose key is at most boundaries[r] (and above the one
// before) goes to the piece file `piecePrefix` + r, made when its first record comes.
// The split holds about `memory` bytes: half for the pieces' buffers, half for the
// record being read (a longer record fails: a line start guessed inside a quoted field
// must not read the rest of the file into memory).  With an empty `piecePrefix` nothing is
// written: the share is only read (to report a failure with the line numbers that
// `firstLine`, the line of the share's first record, gives).  A key that does not
// parse fails as in tqsort, naming the file and line.
Status splitShare(const Options& options, const Share& share, int64_t firstLine,
                  const std::vector<std::string>& boundaries, const std::string& piecePrefix,
                  size_t memory, ShareSplit* split);

}  // namespace tqsort

#endif
