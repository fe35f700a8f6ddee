#include "tqlog.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Registry {
  std::mutex mutex;                                       // guards everything below
  std::map<std::string, std::unique_ptr<TqLogger>> loggers;
  std::vector<std::pair<std::string, int>> rules;         // in the order set
  TqLogSink sink = nullptr;
  void* sinkContext = nullptr;
  FILE* file = nullptr;

  Registry() {
    const char* env = std::getenv("TQ_LOG");
    if (env != nullptr) parse(env);
  }

  static bool covers(const std::string& rule, const std::string& name) {
    if (rule.empty() || rule == "*") return true;
    if (name.compare(0, rule.size(), rule) != 0) return false;
    return name.size() == rule.size() || name[rule.size()] == '.';
  }

  // The level of `name`: the most specific rule, the later one among equals.
  int levelFor(const std::string& name) const {
    int level = kTqLogOff;
    size_t best = 0;
    bool found = false;
    for (const auto& [rule, lvl] : rules) {
      if (!covers(rule, name)) continue;
      size_t len = rule == "*" ? 0 : rule.size();
      if (!found || len >= best) {
        best = len;
        level = lvl;
        found = true;
      }
    }
    return level;
  }

  void apply() {
    for (auto& [name, logger] : loggers) logger->setLevel(levelFor(name));
  }

  bool parse(const char* list) {
    bool ok = true;
    std::string s(list);
    size_t start = 0;
    while (start <= s.size()) {
      size_t end = s.find(',', start);
      if (end == std::string::npos) end = s.size();
      std::string entry = s.substr(start, end - start);
      start = end + 1;
      if (entry.empty()) continue;
      size_t eq = entry.find('=');
      if (eq == std::string::npos) {
        ok = false;
        continue;
      }
      char* tail = nullptr;
      long lvl = std::strtol(entry.c_str() + eq + 1, &tail, 10);
      if (tail == entry.c_str() + eq + 1 || *tail != '\0') {
        ok = false;
        continue;
      }
      rules.emplace_back(entry.substr(0, eq), static_cast<int>(lvl));
    }
    return ok;
  }
};

Registry& registry() {
  static Registry* r = new Registry();  // lives as long as the process
  return *r;
}

}  // namespace

void TqLogger::write(int level, const char* sourceFile, int line, const std::string& text) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  if (r.sink != nullptr) {
    r.sink(r.sinkContext, name_.c_str(), level, sourceFile, line, text.c_str());
    return;
  }
  FILE* out = r.file ? r.file : stderr;
  std::fprintf(out, "%s [%d] %s\n", name_.c_str(), level, text.c_str());
  std::fflush(out);
}

TqLogger* tqlogGetLogger(const char* name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  auto it = r.loggers.find(name);
  if (it != r.loggers.end()) return it->second.get();
  auto logger = std::make_unique<TqLogger>(name);
  logger->setLevel(r.levelFor(name));
  TqLogger* raw = logger.get();
  r.loggers.emplace(name, std::move(logger));
  return raw;
}

void tqlogSetLevel(const char* name, int level) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.rules.emplace_back(name ? name : "", level);
  r.apply();
}

bool tqlogConfigure(const char* list) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  bool ok = r.parse(list ? list : "");
  r.apply();
  return ok;
}

void tqlogResetLevels() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.rules.clear();
  r.apply();
}

void tqlogSetSink(TqLogSink sink, void* context) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.sink = sink;
  r.sinkContext = context;
}

bool tqlogSetFile(const char* path) {
  Registry& r = registry();
  FILE* f = nullptr;
  if (path != nullptr) {
    f = std::fopen(path, "a");
    if (f == nullptr) return false;
  }
  std::lock_guard<std::mutex> guard(r.mutex);
  if (r.file != nullptr) std::fclose(r.file);
  r.file = f;
  return true;
}
