// Where tqsort's output goes, and how it gets there.
//
// Standard output is written as it is.  `-o PATH` writes to what PATH names:
//   - a regular file (through symbolic links: the file they lead to, the links kept),
//     or a name that does not exist yet: written to a temporary file beside it and
//     renamed over it when everything succeeded, so a failed run leaves it untouched;
//   - a regular file with more than one hard link: rewritten in place (same inode)
//     once all input has been read;
//   - anything else (a device, a FIFO, /dev/stdout and the other /proc/self/fd links):
//     opened and written, once all input has been read, like standard output.
#ifndef TQ_TOOLS_TQSORT_OUTPUT_H
#define TQ_TOOLS_TQSORT_OUTPUT_H

#include <string>
#include <vector>

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
  // Called once all input has been read, before the first byte.
  Status begin();
  Status write(const char* data, size_t length);
  // Writes what is buffered; for Replace, syncs and renames over the target.
  Status commit();

 private:
  Status flush();
  Status writeError(int error);

  Kind kind_ = Kind::StandardOutput;
  std::string path_;    // as given
  std::string target_;  // what is written
  std::string shown_;   // the name in messages
  int fd_ = -1;
  bool ownsFd_ = false;
  std::vector<char> buffer_;
};

// Follows the symbolic links of `path` to what they lead to.  Stops at a link into
// /proc (its targets are the kernel's names for open files, not paths) and sets
// *procLink.  Failed after 40 links.
Status resolveLinks(const std::string& path, std::string* resolved, bool* procLink);

}  // namespace tqsort

#endif
