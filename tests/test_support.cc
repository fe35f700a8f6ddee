#include "test_support.h"

#include <dirent.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/tqfault.h"
#include "platform/tqlog.h"

LogCapture::LogCapture() { tqlogSetSink(&LogCapture::sink, this); }

LogCapture::~LogCapture() {
  tqlogSetSink(nullptr, nullptr);
  tqlogResetLevels();
}

void LogCapture::sink(void* context, const char* logger, int level, const char*, int,
                      const char* text) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard<std::mutex> guard(self->mutex_);
  self->records_.push_back({logger, level, text});
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return records_;
}

bool LogCapture::contains(const std::string& text) const {
  for (const LogRecord& r : records()) {
    if (r.text == text) return true;
  }
  return false;
}

std::vector<std::string> LogCapture::withPrefix(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const LogRecord& r : records()) {
    if (r.text.compare(0, prefix.size(), prefix) == 0) out.push_back(r.text);
  }
  return out;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.clear();
}

std::vector<std::string> filesWithPrefix(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    std::error_code typeError;  // a symbolic link loop is not a file, and no reason to throw
    if (entry.is_regular_file(typeError) && name.compare(0, prefix.size(), prefix) == 0) {
      out.push_back(entry.path().string());
    }
  }
  return out;
}

void TempDirTest::SetUp() {
  tqFaultReset();
  char tmpl[] = "/tmp/tqtest-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  setenv("TMPDIR", dir_.c_str(), 1);
}

void TempDirTest::TearDown() {
  tqFaultReset();
  std::vector<std::string> left = leftovers();
  EXPECT_TRUE(left.empty()) << "temporary file left behind: " << left.front();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  unsetenv("TMPDIR");
}

std::vector<std::string> TempDirTest::leftovers() const { return filesWithPrefix(dir_, "tq"); }

std::string TempDirTest::subdir(const std::string& name) {
  std::string path = dir_ + "/" + name;
  mkdir(path.c_str(), 0700);
  return path;
}

bool runOnStack(size_t bytes, const std::function<void()>& body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, bytes);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  bool made = pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&body)) == 0;
  if (made) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return made;
}
