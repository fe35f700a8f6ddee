// Logging: loggers by name with a level threshold.
//
// A record of level L is written when L >= the logger's level.  Levels used by the
// library: 1 per-call traces, 2 sort engine traces, dumps and statistics, 3 notices of
// adjusted sizes, 4 rejected seeks, 5 assertion reports.  Every logger starts at
// kTqLogOff, so nothing is written unless the host asks for it:
//
//   tqlogSetLevel("TQ.Datafile", 2);       // this logger and every "TQ.Datafile.*"
//   tqlogSetSink(myCallback, myContext);   // or tqlogSetFile("/tmp/tq.log")
//
// The environment variable TQ_LOG sets levels at start-up, as a comma-separated list
// of name=level ("TQ.Datafile.tempfile=1,TQ.Datafile.Manager=2"; "*" names every
// logger).  Without a sink or file, records go to standard error.
//
// A disabled level costs one comparison: TQ_LOG tests the level before it evaluates or
// formats anything.  Loggers live as long as the process; everything here is
// thread-safe, and the sink is called by one thread at a time.
#ifndef TQ_PLATFORM_TQLOG_H
#define TQ_PLATFORM_TQLOG_H

#include <atomic>
#include <string>

#include "tqbexport.h"
#include "tqbformat.h"

constexpr int kTqLogOff = 6;

// A host's receiver of log records.
typedef void (*TqLogSink)(void* context, const char* loggerName, int level,
                          const char* sourceFile, int line, const char* text);

class TqLogger {
 public:
  explicit TqLogger(const char* name) : name_(name) {}
  int getLevel() const { return level_.load(std::memory_order_relaxed); }
  const char* name() const { return name_.c_str(); }

  // Formats and writes one record if `level` is enabled.
  template <typename... Args>
  void log(int level, const char* sourceFile, int line, const char* format, const Args&... args) {
    if (level < getLevel()) return;
    write(level, sourceFile, line, tqbFormatStd(format, args...));
  }

  void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }

 private:
  // Exported: TQ_LOG expands to a call of it in the host too.
  TQB_EXPORT void write(int level, const char* sourceFile, int line, const std::string& text);

  std::string name_;
  std::atomic<int> level_{kTqLogOff};
};

// The logger of that name, created on first use.
TQB_EXPORT TqLogger* tqlogGetLogger(const char* name);

// Sets the level of the logger `name` and of every logger below it ("A" covers "A.B").
// "*" or "" sets every logger.  Later, more specific settings win.
TQB_EXPORT void tqlogSetLevel(const char* name, int level);
// Applies a TQ_LOG-style list: "name=level,name=level".  Returns false on a bad entry
// (the good entries are applied).
TQB_EXPORT bool tqlogConfigure(const char* list);
// Forgets every level setting: all loggers back to kTqLogOff.
TQB_EXPORT void tqlogResetLevels();
// Sends records to `sink` (null: back to the file or standard error).
TQB_EXPORT void tqlogSetSink(TqLogSink sink, void* context);
// Appends records to the file at `path` (null: standard error).  False when the file
// cannot be opened.
TQB_EXPORT bool tqlogSetFile(const char* path);

#define TQ_LOG(logger, level, ...)                                 \
  do {                                                             \
    if ((level) >= (logger)->getLevel())                           \
      (logger)->log((level), __FILE__, __LINE__, __VA_ARGS__);     \
  } while (0)

#endif
