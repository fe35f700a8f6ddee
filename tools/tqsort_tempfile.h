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
// Compression: while the run's codec is chosen (--compress, --compress-program: the
// configuration value "BASE/COMPRESS" that the library's files take too), a spill made
// then keeps its bytes in compressed frames (platform/npframe.h, the library's format and
// codec): each segment holds whole frames and its frame index, and offsets stay those
// of the bytes appended.  A spill read at offsets that move about (Reads::anywhere)
// takes lz4 where a program is chosen, as the library's files do: a program would run
// again for every frame read.  The frame not yet written waits in a buffer (and is read
// from there); seal() writes it and hands the buffer to the reads, which keep the frame
// read last in it.  A caller that seals once it has appended all holds one frame per
// spill (two while it reads between appends).  A failure of the program is reported in
// its own words ("'PROG' terminated abnormally").
//
// Descriptors: the segment being written stays open, and one more for reading (the
// last segment read); a spill of many segments costs two.  Memory: with compression one
// frame per spill, and per thread a buffer for a frame's compressed bytes.
#ifndef TQ_TOOLS_TQSORT_TEMPFILE_H
#define TQ_TOOLS_TQSORT_TEMPFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/npframe.h"
#include "tqsort_status.h"

namespace tqsort {

class TempSpill {
 public:
  // How the spill is read back: from its start on, or at offsets that move about.
  enum class Reads { inOrder, anywhere };
  // Segments "NAME.0", "NAME.1", ... in `dirs`, the first in dirs[firstDir % size], each
  // up to `segmentBytes` when there are several directories.
  TempSpill(std::vector<std::string> dirs, std::string name, size_t firstDir, uint64_t segmentBytes = kSegmentBytes,
            Reads reads = Reads::anywhere);
  ~TempSpill();
  TempSpill(const TempSpill&) = delete;
  TempSpill& operator=(const TempSpill&) = delete;

  // Appends `length` bytes at size().  On failure the spill is unusable for writing.
  Status append(const char* data, size_t length);
  // Reads `length` bytes at `offset` (below size()).
  Status read(uint64_t offset, char* to, size_t length) const;
  // Writes the bytes that wait in the frame buffer, and gives the buffer back.
  Status seal();
  // seal(), and closes the segment being written: reads open it again (a spill that is
  // only read holds one descriptor).  An append after it begins the next segment.
  Status finish();
  uint64_t size() const { return size_; }
  // The bytes in its files on disk (size() less the unwritten frame, without compression).
  uint64_t diskBytes() const;
  // The codec of its bytes (kNpCodecNone, kNpCodecLz4, kNpCodecProgram).
  int codec() const { return codec_ ? codec_->codec() : kNpCodecNone; }
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
    std::unique_ptr<NpFrameIndex> frames;  // its frames, when compressed
  };
  // Closes the segment being written and makes the next one, in the directory after the
  // last one's (and on, past directories that refuse it).
  Status nextSegment(int whyNot);
  Status writeFailed(const std::string& path, int error) const;
  // The segment that holds `offset`, and an open descriptor on it.
  Status segmentAt(uint64_t offset, size_t* index, int* fd) const;
  Status appendPacked(const char* data, size_t length);
  // Writes the unwritten frame into the segment being written (or the next ones).
  Status writeFrame();
  Status readPacked(uint64_t offset, char* to, size_t length) const;

  std::vector<std::string> dirs_;
  std::string name_;
  uint64_t segmentBytes_;
  size_t nextDir_;
  std::vector<Segment> segments_;
  int writeFd_ = -1;
  mutable int readFd_ = -1;
  mutable size_t readSegment_ = 0;
  uint64_t size_ = 0;
  // Compressed: the codec and the frame buffers (see above).
  std::unique_ptr<NpFrameCodec> codec_;
  std::unique_ptr<uint8_t[]> frame_;         // the unwritten frame
  uint32_t pending_ = 0;                     // its bytes (the spill's last)
  mutable std::unique_ptr<uint8_t[]> cache_;  // the frame read last ...
  mutable uint64_t cacheStart_ = 0;           // ... from this offset ...
  mutable uint32_t cacheLength_ = 0;          // ... of these bytes (0: none)
};

}  // namespace tqsort

#endif
