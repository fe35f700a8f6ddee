#include "tqbconfig.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

// Process-wide options: values set by the host, then a few environment variables.
class ProcessOptions final : public TqbConfigOptions {
 public:
  const char* name() const override { return ""; }
  bool has(const TqbString& key) const override {
    TqbString ignored;
    return lookup(key, ignored);
  }
  bool lookup(const TqbString& key, TqbString& value) const override {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = values_.find(key.str());
    if (it != values_.end()) {
      value.assign(it->second.c_str());
      return true;
    }
    if (key.str() == "BASE/TEMP") {
      const char* env = std::getenv("TQ_BASE_TEMP");
      if (env != nullptr) {
        value.assign(env);
        return true;
      }
    }
    return false;
  }
  void set(const char* key, const char* value) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (value == nullptr) {
      values_.erase(key);
    } else {
      values_[key] = value;
    }
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> values_;
};

ProcessOptions& options() {
  static ProcessOptions* instance = new ProcessOptions();  // lives as long as the process
  return *instance;
}

}  // namespace

TqbConfigOptions* tqbGetConfigOptions(const char* name) {
  (void)name;
  return &options();
}

void tqbSetConfigValue(const char* key, const char* value) {
  if (key != nullptr) options().set(key, value);
}
