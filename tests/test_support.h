// Shared helpers of the test suite: a private temporary directory per test, captured
// log records, and fault injection reset around every test.
#ifndef TQ_TESTS_TEST_SUPPORT_H
#define TQ_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct LogRecord {
  std::string logger;
  int level;
  std::string text;
};

// Runs `body` on a thread of its own with a stack of `bytes` (a sort that nests too
// deeply overflows it and the test dies); false when the thread cannot be made.
bool runOnStack(size_t bytes, const std::function<void()>& body);

// Captures every log record while alive (levels are set by the test).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<LogRecord> records() const;
  bool contains(const std::string& text) const;
  // Records whose text starts with `prefix`.
  std::vector<std::string> withPrefix(const std::string& prefix) const;
  void clear();

 private:
  static void sink(void* context, const char* logger, int level, const char* file, int line,
                   const char* text);
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

// Base fixture: makes a fresh directory, points TMPDIR at it (so files made without a
// directory land there too), resets fault injection, and at the end checks that no
// temporary file of the library was left behind.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Names of the files left in the directory that start with "tq".
  std::vector<std::string> leftovers() const;
  // A second directory inside the first, created on demand.
  std::string subdir(const std::string& name);

  std::string dir_;
};

// Files in `dir` whose names start with `prefix`.
std::vector<std::string> filesWithPrefix(const std::string& dir, const std::string& prefix);

#endif
