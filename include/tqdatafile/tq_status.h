// tq::Status and tq::Result<T>: how the C++ layer (tq.h) reports the outcome of a call.
//
// Every call of the layer that can fail returns a Status, or a Result<T> that holds
// either the T it made or the Status of the failure.  A Status carries the code and the
// message together; a later call never changes a Status already returned.  Both are
// [[nodiscard]]: a result cannot be dropped without a word.
//
//   tq::Status s = sorter.add("Ada", 36);
//   if (!s.ok()) std::fprintf(stderr, "%s\n", s.toString().c_str());
//
// A Result that failed still holds a T: an empty one (default-constructed), whose
// every operation answers Code::notAllowed.  So `result.value()` on a failure never
// touches freed memory; it only gives an object that refuses everything.
//
// Thread safety: values; a Status or Result is used by one thread at a time.
#ifndef TQDATAFILE_TQ_STATUS_H
#define TQDATAFILE_TQ_STATUS_H

#include <cstdint>
#include <string>
#include <utility>

namespace tq {

// The first codes are the library's own (TqDatafile::Status...); the layer adds two.
enum class Code : int32_t {
  ok = 0,
  noRoom = 1,       // a row does not fit in its chunk, or memory ran out
  openFailed = 2,   // a temporary file could not be opened, or the sort engine refused
                    // its keys (an unknown locale) or could not start
  ioError = 3,      // a file operation failed
  endOfData = 4,    // no row there: next() after the last row
  notAllowed = 5,   // not allowed in this state; or the object is empty (moved from,
                    // consumed, or never made)
  stopped = 6,      // the sort was cancelled by its progress callback or stopped by an error
  noKeys = 7,       // a sort without keys
  systemError = 12, // a sort's chunk file could not be read or written
  invalidArgument = 100,  // the layer refused a value, a field index or an option
  createFailed = 101,     // the library could not make a manager or a datafile
};

// The code's name as written here ("ok", "invalidArgument").
inline const char* codeName(Code code) {
  switch (code) {
    case Code::ok: return "ok";
    case Code::noRoom: return "noRoom";
    case Code::openFailed: return "openFailed";
    case Code::ioError: return "ioError";
    case Code::endOfData: return "endOfData";
    case Code::notAllowed: return "notAllowed";
    case Code::stopped: return "stopped";
    case Code::noKeys: return "noKeys";
    case Code::systemError: return "systemError";
    case Code::invalidArgument: return "invalidArgument";
    case Code::createFailed: return "createFailed";
  }
  return "unknown";
}

class [[nodiscard]] Status {
 public:
  Status() noexcept = default;  // ok
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  bool ok() const noexcept { return code_ == Code::ok; }
  Code code() const noexcept { return code_; }
  // What went wrong, in a sentence; empty when ok.
  const std::string& message() const noexcept { return message_; }
  // "ok", or the code's name, a colon and the message.
  std::string toString() const {
    if (ok()) return "ok";
    return std::string(codeName(code_)) + ": " + message_;
  }

 private:
  Code code_ = Code::ok;
  std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a T is a successful Result
  // A failure.  REQUIRES: !status.ok() (an ok Status without a value is turned into a
  // failure, so that ok() always means that value() is a made object).
  Result(Status status) : status_(std::move(status)) {  // NOLINT: so is a Status
    if (status_.ok()) status_ = Status(Code::notAllowed, "A result was made without its value.");
  }

  bool ok() const noexcept { return status_.ok(); }
  explicit operator bool() const noexcept { return ok(); }
  const Status& status() const noexcept { return status_; }

  // The made object; an empty one when !ok().
  T& value() & noexcept { return value_; }
  const T& value() const& noexcept { return value_; }
  T&& value() && noexcept { return std::move(value_); }
  T& operator*() & noexcept { return value_; }
  const T& operator*() const& noexcept { return value_; }
  T&& operator*() && noexcept { return std::move(value_); }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }

 private:
  T value_{};
  Status status_;
};

}  // namespace tq

#endif
