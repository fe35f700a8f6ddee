// What the Python module's parts share: its exceptions, and how a long call of the
// library runs while the calling Python thread hears its progress.
//
// The library works without the GIL.  A long call (a sort, a run of tqsort) runs on a
// thread of its own while the calling thread waits with the GIL released; every tenth
// of a second, and when the call ends, the calling thread takes the GIL, hands the
// latest progress to the host's callable and checks for signals (Ctrl-C).  So the
// callable is always called on the thread that called the module, with the GIL held,
// and no Python code ever runs on the library's threads: they only store the latest
// fraction and read whether to stop.  A callable that returns False, raises, or a
// KeyboardInterrupt stops the call; an exception it raised is raised again once the
// library has stopped.
#ifndef TQ_PYTHON_SUPPORT_H
#define TQ_PYTHON_SUPPORT_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace tqpy {

namespace py = pybind11;

// The module's exception classes (made at import: module.cc).
struct Exceptions {
  PyObject* error = nullptr;            // tqdatafile.Error: every failure of the library
  PyObject* invalidArgument = nullptr;  // tqdatafile.InvalidArgument(Error, ValueError)
  PyObject* stopped = nullptr;          // tqdatafile.Stopped(Error): cancelled
};
Exceptions& exceptions();

// Raises `type(message)` with its `code` attribute set (None when `code` is null).
[[noreturn]] void raise(PyObject* type, const std::string& message, const char* code);

// The latest progress of a library call, written by the library's threads and handed
// to the host's callable on the calling thread.
class Relay {
 public:
  explicit Relay(py::object callable) : callable_(std::move(callable)) {}
  ~Relay() {
    py::gil_scoped_acquire gil;  // the callable and a kept exception are Python objects
    callable_ = py::object();
    raised_.reset();
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // From any thread, without the GIL: the latest step; false when the call is to stop.
  bool hear(const char* phase, double fraction) noexcept {
    phase_.store(phase, std::memory_order_relaxed);
    fraction_.store(fraction, std::memory_order_relaxed);
    fresh_.store(true, std::memory_order_release);
    return !stopping();
  }
  bool stopping() const noexcept { return stop_.load(std::memory_order_acquire); }
  void stop() noexcept { stop_.store(true, std::memory_order_release); }

  // With the GIL: calls the callable with the latest step, if there is a new one.
  void deliver() {
    if (!fresh_.exchange(false, std::memory_order_acq_rel) || callable_.is_none() || raised_) return;
    try {
      py::object answer = callable_(phase_.load(std::memory_order_relaxed), fraction_.load(std::memory_order_relaxed));
      if (answer.is(py::bool_(false))) stop_.store(true, std::memory_order_release);
    } catch (py::error_already_set& e) {
      keep(std::move(e));
    }
  }
  // With the GIL: stops the call and keeps `e` to raise when it has ended.
  void keep(py::error_already_set e) {
    if (!raised_) raised_.emplace(std::move(e));
    stop_.store(true, std::memory_order_release);
  }
  // With the GIL: raises what the callable (or a signal) raised, if anything.
  void raiseKept() {
    if (!raised_) return;
    py::error_already_set e = std::move(*raised_);
    raised_.reset();
    throw e;
  }

 private:
  py::object callable_;
  std::optional<py::error_already_set> raised_;
  std::atomic<const char*> phase_{"sorting"};
  std::atomic<double> fraction_{0.0};
  std::atomic<bool> fresh_{false};
  std::atomic<bool> stop_{false};
};

// Runs `work` (C++ only: it must not touch a Python object) on a thread of its own
// while this thread, holding the GIL on entry and on return, waits without it and
// hands `relay`'s progress on (see the file top).  Rethrows what `work` threw; raises
// what the callable or a signal raised.
template <typename Work>
void runReleased(Relay& relay, Work&& work) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr thrown;
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(mutex);
    done = true;
    ended.notify_all();
  });
  std::exception_ptr failed;  // of this thread's side, raised once the work has ended
  for (;;) {
    {
      py::gil_scoped_release release;
      std::unique_lock<std::mutex> lock(mutex);
      ended.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; });
      if (done) break;
    }
    try {
      relay.deliver();
      if (PyErr_CheckSignals() != 0) relay.keep(py::error_already_set());
    } catch (...) {
      if (!failed) failed = std::current_exception();
      relay.stop();
    }
  }
  worker.join();
  if (failed) std::rethrow_exception(failed);
  if (thrown) std::rethrow_exception(thrown);
  relay.deliver();
  relay.raiseKept();
}

void bindRows(py::module_& m);
void bindCsv(py::module_& m);

}  // namespace tqpy

#endif
