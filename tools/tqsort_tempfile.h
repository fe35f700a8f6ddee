// tqsort's own temporary files (a sort's line file, the --collate spool), spread over the
// run's temporary directories.
//
// A TempSpill is one run of bytes, appended to and read back by offset, kept in
// segments: files "NAME.N" in the run directories.  With several directories a segment
// that has reached kSegmentBytes is followed by one in the next directory, so that a
// large spill takes its share of each; a segment whose directory is full (no space, or
// its quota) is followed at once by one in the next directory that takes the bytes, the
// write going on where it stopped.  Only when every directory is full does an append
// fail, naming the file it could not write.  Offsets run on across segments, so readers
// never see them.
//
// Descriptors: the segment being written stays open, and one more for reading (the
// last segment read); a spill of many segments costs two.
#ifndef TQ_TOOLS_TQSORT_TEMPFILE_H
#define TQ_TOOLS_TQSORT_TEMPFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tqsort_status.h"

namespace tqsort {

class TempSpill {
 public:
  // Segments "NAME.0", "NAME.1", ... in `dirs`, the first in dirs[firstDir % size], each
  // up to `segmentBytes` when there are several directories.
  TempSpill(std::vector<std::string> dirs, std::string name, size_t firstDir, uint64_t segmentBytes = kSegmentBytes);
  ~TempSpill();
  TempSpill(const TempSpill&) = delete;
  TempSpill& operator=(const TempSpill&) = delete;

  // Appends `length` bytes at size().  On failure the spill is unusable for writing.
  Status append(const char* data, size_t length);
  // Reads `length` bytes at `offset` (below size()).
  Status read(uint64_t offset, char* to, size_t length) const;
  uint64_t size() const { return size_; }
  // The segments made so far, and their paths, in the order they were made.
  size_t segments() const { return segments_.size(); }
  const std::string& segmentPath(size_t index) const { return segments_[index].path; }
  // The path of the segment written last ("" before the first), for messages.
  std::string path() const { return segments_.empty() ? std::string() : segments_.back().path; }

  // A segment is followed by one in the next directory once it holds this much (only
  // with several directories): large enough that a segment costs few opens.
  static constexpr uint64_t kSegmentBytes = uint64_t{64} << 20;

 private:
  struct Segment {
    std::string path;
    uint64_t start;   // its first byte's offset in the spill
    uint64_t length;  // bytes in it
  };
  // Closes the segment being written and makes the next one, in the directory after the
  // last one's (and on, past directories that refuse it).
  Status nextSegment(int whyNot);
  Status writeFailed(const std::string& path, int error) const;

  std::vector<std::string> dirs_;
  std::string name_;
  uint64_t segmentBytes_;
  size_t nextDir_;
  std::vector<Segment> segments_;
  int writeFd_ = -1;
  mutable int readFd_ = -1;
  mutable size_t readSegment_ = 0;
  uint64_t size_ = 0;
};

}  // namespace tqsort

#endif
