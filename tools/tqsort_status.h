// The outcome of one step of tqsort, and the text helpers its messages share.
//
// Every step returns a Status: ok, or failed with the one line the user sees.  A step
// that met a closed pipe on the output fails with the signal (SIGPIPE) that the
// program then dies of, after it has cleaned up, as a shell expects of a filter.
#ifndef TQ_TOOLS_TQSORT_STATUS_H
#define TQ_TOOLS_TQSORT_STATUS_H

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tqsort {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status error(std::string message) {
    Status s;
    s.failed_ = true;
    s.message_ = std::move(message);
    return s;
  }
  // The program must end by this signal (a write to a closed pipe).
  static Status signal(int signalNumber, std::string message) {
    Status s = error(std::move(message));
    s.signal_ = signalNumber;
    return s;
  }
  // The run's answer is no rather than a failure: the program exits with `exitStatus`
  // (1: the input is not in order), showing `message` unless it is empty.
  static Status answer(int exitStatus, std::string message) {
    Status s = error(std::move(message));
    s.exitStatus_ = exitStatus;
    return s;
  }
  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }
  int signalNumber() const { return signal_; }
  // The program's exit status: 0 when ok, 2 for a failure, or the answer's.
  int exitStatus() const { return failed_ ? exitStatus_ : 0; }

 private:
  bool failed_ = false;
  int signal_ = 0;
  int exitStatus_ = 2;
  std::string message_;
};

// Runs `step` and turns an allocation that failed inside it (std::bad_alloc, or a size
// past what a container takes) into a failed Status, so that it ends the run as any
// other failure: one line, status 2, the temporary files removed.  Every thread's body
// runs inside one, and so does the main thread's run; the library reports its own
// allocation failures as results.  Making the failure allocates nothing: the text fits
// in the string itself.
template <class Step>
Status outOfMemoryAsFailure(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Status::error("out of memory");
}

#define TQSORT_TRY(expression)                 \
  do {                                         \
    ::tqsort::Status tqsortStatus_ = (expression); \
    if (!tqsortStatus_.ok()) return tqsortStatus_; \
  } while (0)

// `text` with control bytes, DEL, backslashes and bytes that are not UTF-8 escaped (\n,
// \t, \x01, \\, \xe9), cut to `limit` bytes of input with "..." after, so that an
// echoed value is one visible line of valid UTF-8.
std::string printable(std::string_view text, size_t limit = 200);

// The length of the well-formed UTF-8 sequence that starts `text` (1 to 4), or 0 when
// it does not start with one (a stray or missing continuation byte, an overlong form,
// a surrogate, a code point past U+10FFFF, a sequence cut short).
size_t utf8SequenceLength(std::string_view text);

// Where the first byte that is not part of well-formed UTF-8 is, or npos.
size_t firstInvalidUtf8(std::string_view text);

// The system's text for errno value `error` ("No space left on device").
std::string systemError(int error);

}  // namespace tqsort

#endif
