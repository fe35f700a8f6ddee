#include "tqbassert.h"

#include <atomic>
#include <mutex>
#include <string>

#include "tqlog.h"

namespace {
std::atomic<int64_t> g_count{0};
std::mutex g_mutex;
std::string g_last;
}  // namespace

void tqbAssertFailure(const char* text, const char* sourceFile, int line) {
  g_count.fetch_add(1);
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_last = text ? text : "";
  }
  static TqLogger* logger = tqlogGetLogger("TQ.Assert");
  TQ_LOG(logger, 5, "Assertion failed: %s (%s:%d)", text, sourceFile, line);
}

int64_t tqbAssertCount() { return g_count.load(); }

const char* tqbAssertLastText() {
  static thread_local std::string copy;
  std::lock_guard<std::mutex> guard(g_mutex);
  copy = g_last;
  return copy.c_str();
}
