// Where tqsort's output goes, and how it gets there.
//
// Standard output is written as it is.  `-o PATH` writes to what PATH names:
//   - a regular file (through symbolic links: the file they lead to, the links kept),
//     or a name that does not exist yet: written to a temporary file beside it and
//     renamed over it when everything succeeded, so a failed run leaves it untouched.
//     An existing file is replaced only by one who may write it, and only by a file
//     with its owner, group and mode;
//   - a regular file that cannot be replaced so (more than one hard link; no file can be
//     made beside it, as in a read-only directory or another user's sticky one; or it is
//     another user's): rewritten in place (same inode) once all input has been read;
//   - anything else (a device, a FIFO, /dev/stdout and the other /proc/self/fd links):
//     opened and written, once all input has been read, like standard output.
// Which of these it is, and whether the user may write it at all, is settled before the
// input is read.
#ifndef TQ_TOOLS_TQSORT_OUTPUT_H
#define TQ_TOOLS_TQSORT_OUTPUT_H

#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/tqsync.h"
#include "tqsort_status.h"

namespace tqsort {

class OutputTarget {
 public:
  enum class Kind { StandardOutput, Replace, InPlace, Open };

  ~OutputTarget();
  // Decides how to write `path` ("" is standard output) and checks what can be checked
  // before the input is read: a replaced file's temporary is made here.
  Status prepare(const std::string& path);
  Kind kind() const { return kind_; }
  // The file that will be written (a symbolic link's target for Replace).
  const std::string& target() const { return target_; }
  // The file this output writes while its inputs may still be read again: one
  // written in place, opened, or standard output (*device and *inode; 0 and 0 for a
  // replaced file, written as a new one).  False when that cannot be told.
  bool fileWritten(uint64_t* device, uint64_t* inode) const;
  // Called once all input has been read, before the first byte.
  Status begin();
  // Writes all of `data` (unbuffered: OutputStream buffers).
  Status write(const char* data, size_t length);
  // Ends the output: for Replace, syncs and renames over the target.
  Status commit();

 private:
  Status writeError(int error);
  // Replace: counts `length` more bytes written and starts the write-back of each 8 MiB.
  void startWriteBack(size_t length);
  Status cannotWrite(int error) const;
  // An existing regular file (`st`): replaced, or rewritten in place.
  Status prepareExisting(const struct stat& st);
  // Makes the temporary file beside the target that will replace it, with the owner,
  // group and mode of `old` (null: a new file).  Its descriptor goes to *made, or (made
  // null) becomes the output's.  Succeeds without making one (*made stays -1) when an
  // existing file must be written in place instead.
  Status makeReplacement(const struct stat* old, int* made = nullptr);

  Kind kind_ = Kind::StandardOutput;
  std::string path_;    // as given
  std::string target_;  // what is written
  std::string shown_;   // the name in messages
  int fd_ = -1;
  bool ownsFd_ = false;
  // Replace: bytes written, and those handed to the system's write-back so far.
  uint64_t written_ = 0;
  uint64_t flushedTo_ = 0;
};

// Buffered writes to an OutputTarget.  With a writer thread, a full buffer is written
// there while the caller fills the other one, so reading the sorted rows overlaps with
// write(2); without, the caller writes it.  Either way at most two buffers of
// `bufferBytes` exist.  A failed write is reported by the next call (a closed pipe as
// the signal to die of, as when the caller writes).
class OutputStream {
 public:
  OutputStream(OutputTarget* target, size_t bufferBytes, bool threaded);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  Status write(const char* data, size_t length) {
    if (length <= static_cast<size_t>(end_ - at_)) {
      std::memcpy(at_, data, length);
      at_ += length;
      return Status();
    }
    return writeSlow(data, length);
  }
  // Room for `length` bytes written in place (they count as written), or null when
  // the buffer has not that much room left (then write them with write).
  char* reserve(size_t length) {
    if (length > static_cast<size_t>(end_ - at_)) return nullptr;
    char* p = at_;
    at_ += length;
    return p;
  }
  // Writes what is buffered and waits for the writer: every byte is out, or the failure.
  Status flush();

 private:
  Status writeSlow(const char* data, size_t length);
  // Hands the filled part of the current buffer on (or writes it) and starts the other.
  Status handOff();
  void writerLoop();

  OutputTarget* target_;
  size_t bufferBytes_;
  std::unique_ptr<char[]> buffers_[2];
  // The buffer the caller fills: changed by the caller alone, under mutex_, so that the
  // writer reads it under mutex_ and the caller may read it without.
  int current_ = 0;
  char* at_ = nullptr;
  char* end_ = nullptr;
  bool threaded_;
  std::thread writer_;
  TqStdMutex mutex_;
  std::condition_variable changed_;
  // Bytes of the other buffer that the writer is to write (0: idle).
  size_t pending_ TQ_GUARDED_BY(mutex_) = 0;
  bool quit_ TQ_GUARDED_BY(mutex_) = false;
  Status failed_ TQ_GUARDED_BY(mutex_);  // the writer's first failure
};

// Follows the symbolic links of `path` to what they lead to.  Stops at a link into
// /proc (its targets are the kernel's names for open files, not paths) and sets
// *procLink.  Failed after 40 links.
Status resolveLinks(const std::string& path, std::string* resolved, bool* procLink);

}  // namespace tqsort

#endif
