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
  // The first step of each phase is kept until it is delivered, so that the callable
  // hears every phase in order even when one ends between two deliveries.
  // A new phase also wakes the waiting thread at once: a callable that stops the call
  // hears of it before the work runs on.
  bool hear(const char* phase, double fraction) noexcept {
    bool started = false;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (phase != lastHeard_ && kept_ < kKeptStarts) {
        lastHeard_ = phase;
        starts_[kept_++] = Step{phase, fraction};
        started = true;
      }
      latest_ = Step{phase, fraction};
      fresh_ = true;
    }
    if (started) changed_.notify_all();
    return !stopping();
  }
  // From the working thread, as it ends.
  void finish() noexcept {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      done_ = true;
    }
    changed_.notify_all();
  }
  // Without the GIL: waits up to a tenth of a second, less when a phase begins or the
  // work ends; whether it has ended.
  bool waitForStep() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return done_ || kept_ > 0; });
    return done_;
  }
  bool stopping() const noexcept { return stop_.load(std::memory_order_acquire); }
  void stop() noexcept { stop_.store(true, std::memory_order_release); }

  // With the GIL: calls the callable with the phases begun since the last call and
  // the latest step, if there is a new one.
  void deliver() {
    Step steps[kKeptStarts + 1];
    size_t count = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (!fresh_) return;
      for (size_t i = 0; i < kept_; ++i) steps[count++] = starts_[i];
      if (count == 0 || steps[count - 1].phase != latest_.phase || steps[count - 1].fraction != latest_.fraction) {
        steps[count++] = latest_;
      }
      kept_ = 0;
      fresh_ = false;
    }
    for (size_t i = 0; i < count && !callable_.is_none() && !raised_ && !stopping(); ++i) {
      try {
        py::object answer = callable_(steps[i].phase, steps[i].fraction);
        if (answer.is(py::bool_(false))) stop_.store(true, std::memory_order_release);
      } catch (py::error_already_set& e) {
        keep(std::move(e));
      }
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
  struct Step {
    const char* phase = "sorting";
    double fraction = 0.0;
  };
  static constexpr size_t kKeptStarts = 8;
  std::mutex mutex_;
  Step starts_[kKeptStarts];  // first steps of phases not yet delivered; mutex_
  size_t kept_ = 0;           // mutex_
  const char* lastHeard_ = nullptr;  // mutex_
  Step latest_;               // mutex_
  bool fresh_ = false;        // mutex_
  bool done_ = false;         // mutex_
  std::condition_variable changed_;
  std::atomic<bool> stop_{false};
};

// Runs `work` (C++ only: it must not touch a Python object) on a thread of its own
// while this thread, holding the GIL on entry and on return, waits without it and
// hands `relay`'s progress on (see the file top).  Rethrows what `work` threw; raises
// what the callable or a signal raised.
template <typename Work>
void runReleased(Relay& relay, Work&& work) {
  std::exception_ptr thrown;
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
    relay.finish();
  });
  std::exception_ptr failed;  // of this thread's side, raised once the work has ended
  for (;;) {
    {
      py::gil_scoped_release release;
      if (relay.waitForStep()) break;
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
