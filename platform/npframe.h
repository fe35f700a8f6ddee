// Compressed frames: the one format and the one codec of every compressed temporary file,
// the library's (npfio_pack.h) and tqsort's own (tools/tqsort_tempfile.h).
//
// A compressed file is a run of frames.  Each holds up to kNpFrameLz4 or kNpFrameProgram
// bytes as they were written ("raw" bytes), compressed on their own, after a 16-byte
// header: u32 raw bytes, u32 compressed bytes, u64 checksum of the compressed bytes.  An
// NpFrameIndex keeps the index of one file's frames in memory (where each frame's raw bytes
// begin and where its header is on disk), so that a raw offset turns into its frame; it
// appends a frame at the file's end; the file's NpFrameCodec reads one back whole.  A frame that reads back
// short, with another checksum, or that does not decompress to its length is an I/O error
// (EIO), never other bytes.
//
// The codecs: lz4 in process, or a program run once per frame ("PROG" compresses its
// standard input to its standard output, "PROG -d" decompresses).  A program that cannot
// be started, fails, or gives other bytes than it was given leaves a sentence in the
// caller's NpFrameFailure ("couldn't execute compress program 'X': ...", "'X' [-d]
// terminated abnormally"), in the words of the command line's users.
//
// This code is compiled once into a small static library that the platform (and so the
// library) and the tqsort tool link; it keeps no state but the fault counters of tqfault
// and what its callers hand it (buffers, indexes), so that each of the two copies (inside
// the shared library, inside the program) serves its own files.  Memory comes through the
// caller's NpFrameAllocator, so that the library's allocations stay under its fault
// injection.  An NpFrameIndex is used by one thread at a time (or under its owner's lock).
#ifndef TQ_PLATFORM_NPFRAME_H
#define TQ_PLATFORM_NPFRAME_H

#include <cstddef>
#include <cstdint>

#include "npfio.h"

constexpr uint32_t kNpFrameHeader = 16;
constexpr uint32_t kNpFrameLz4 = 64 * 1024;
constexpr uint32_t kNpFrameProgram = 128 * 1024;

// The raw bytes of a frame of `codec`.
constexpr uint32_t npFrameBytes(int codec) { return codec == kNpCodecProgram ? kNpFrameProgram : kNpFrameLz4; }

// The codec that the configuration text `text` names ("lz4", "program:PROG", "none" or
// empty), and for kNpCodecProgram PROG in `program`; -1 for a text that names none.
int npFrameCodec(const char* text, char* program, size_t programSize);

struct NpFrameAllocator {
  void* (*realloc)(void* p, size_t size);  // as realloc: null on failure, p unchanged
  void (*free)(void* p);
};
// The C library's realloc and free.
extern const NpFrameAllocator kNpFrameSystemAllocator;

// The first failure of a compress program met by the calls given it ("" while none).
struct NpFrameFailure {
  char text[4400] = "";
};

// A growable buffer: a frame's compressed bytes on their way.
class NpFrameBuffer {
 public:
  explicit NpFrameBuffer(const NpFrameAllocator& allocator) : allocator_(allocator) {}
  ~NpFrameBuffer() { allocator_.free(bytes_); }
  NpFrameBuffer(const NpFrameBuffer&) = delete;
  NpFrameBuffer& operator=(const NpFrameBuffer&) = delete;
  // Room for `n` bytes; false (the bytes kept) when there is no memory.
  bool reserve(size_t n);
  uint8_t* bytes() { return bytes_; }

 private:
  NpFrameAllocator allocator_;
  uint8_t* bytes_ = nullptr;
  size_t capacity_ = 0;
};

// Where a frame is: its raw bytes and its bytes on disk (header included).
struct NpFrameExtent {
  uint64_t raw = 0;
  uint32_t rawLength = 0;
  uint64_t disk = 0;
  uint64_t diskLength = 0;
};

// A file's codec: set when the file is made, the same for all its frames.  Its calls
// change nothing in it, so that threads may read frames of one file at once.
class NpFrameCodec {
 public:
  // `program` (kNpCodecProgram) is copied.  ok() false when that needs memory it cannot get.
  NpFrameCodec(int codec, const char* program, const NpFrameAllocator& allocator);
  ~NpFrameCodec();
  NpFrameCodec(const NpFrameCodec&) = delete;
  NpFrameCodec& operator=(const NpFrameCodec&) = delete;
  bool ok() const { return codec_ != kNpCodecProgram || program_ != nullptr; }

  int codec() const { return codec_; }
  uint32_t frameBytes() const { return npFrameBytes(codec_); }
  const NpFrameAllocator& allocator() const { return allocator_; }

  // Compresses `n` raw bytes into `to` as a frame, header and all; its length, or 0 on
  // failure (*error set; the program's words in *failure).
  size_t encode(const uint8_t* raw, uint32_t n, NpFrameBuffer* to, int* error, NpFrameFailure* failure) const;
  // Reads the frame at `where` in `fd` (through `scratch`) and decompresses its raw bytes
  // into `to`.  EIO for a frame that is short, damaged or of another length.
  bool read(int fd, const NpFrameExtent& where, uint8_t* to, NpFrameBuffer* scratch, int* error,
            NpFrameFailure* failure) const;

 private:
  bool decompress(const uint8_t* from, uint32_t packed, uint8_t* to, uint32_t n, NpFrameFailure* failure) const;

  int codec_;
  char* program_ = nullptr;
  NpFrameAllocator allocator_;
};

// The index of one compressed file's frames, and the call that appends one.
class NpFrameIndex {
 public:
  explicit NpFrameIndex(const NpFrameAllocator& allocator) : allocator_(allocator) {}
  ~NpFrameIndex() { allocator_.free(frames_); }
  NpFrameIndex(const NpFrameIndex&) = delete;
  NpFrameIndex& operator=(const NpFrameIndex&) = delete;

  // Raw bytes in the frames, and the file's size on disk.
  uint64_t size() const { return size_; }
  uint64_t diskBytes() const { return diskEnd_; }
  size_t frames() const { return count_; }

  // Compresses `n` raw bytes (1 to the codec's frameBytes()) and writes them as the next
  // frame at the end of `fd`, through `scratch`.  On failure (*error set; the program's
  // words in *failure) the file ends where it did and takes no frame.
  bool append(int fd, const NpFrameCodec& codec, const uint8_t* raw, uint32_t n, NpFrameBuffer* scratch, int* error,
              NpFrameFailure* failure);
  // The frame that holds raw offset `offset` (below size()).
  size_t frameAt(uint64_t offset) const;
  NpFrameExtent extent(size_t k) const {
    NpFrameExtent e;
    e.raw = frames_[k].raw;
    e.rawLength = static_cast<uint32_t>((k + 1 < count_ ? frames_[k + 1].raw : size_) - e.raw);
    e.disk = frames_[k].disk;
    e.diskLength = (k + 1 < count_ ? frames_[k + 1].disk : diskEnd_) - e.disk;
    return e;
  }
  // Drops frame `k` and those after it: the file (the caller cuts it) ends at
  // diskBytes() again.
  void dropFrom(size_t k);

 private:
  struct Frame {
    uint64_t raw;   // the raw offset of its first byte
    uint64_t disk;  // where its header starts in the file
  };
  NpFrameAllocator allocator_;
  Frame* frames_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
  uint64_t size_ = 0;
  uint64_t diskEnd_ = 0;
};

#endif
