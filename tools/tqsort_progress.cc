#include "tqsort_progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tqsort_cleanup.h"

namespace tqsort {

void ProgressBar::show(const char* phase, double fraction) {
  if (listener_ != nullptr) {
    if (!listener_->heard(phase, fraction)) stopped_.store(true, std::memory_order_relaxed);
    return;
  }
  if (!on_ || cleanup().dying()) return;  // the line is being ended for a signal
  auto now = std::chrono::steady_clock::now();
  if (fraction < 1.0 && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  if (fraction > 1.0) fraction = 1.0;
  int filled = static_cast<int>(fraction * 30);
  char bar[31];
  for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : ' ';
  bar[30] = '\0';
  std::fprintf(stderr, "\rtqsort: %-8s [%s] %3d%%", phase, bar, static_cast<int>(fraction * 100));
  shown_.store(true, std::memory_order_relaxed);
}

void ProgressBar::done() {
  if (shown_.load(std::memory_order_relaxed)) std::fprintf(stderr, "\r%60s\r", "");
  shown_.store(false, std::memory_order_relaxed);
}

bool ProgressBar::progress(double fraction) {
  show("merging", fraction);
  return !stopped();
}

TqSortInfo* StatsReport::sort(size_t index, size_t count) {
  if (sorts_.size() < count) sorts_.resize(count);
  if (!sorts_[index]) sorts_[index] = std::make_unique<Kept>();
  return sorts_[index].get();
}

namespace {

// The number after `label` in `line` (0 when the line has no such label).
uint64_t figureAfter(const std::string& line, const char* label) {
  size_t at = line.find(label);
  if (at == std::string::npos) return 0;
  return std::strtoull(line.c_str() + at + std::strlen(label), nullptr, 10);
}

std::string mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

}  // namespace

uint64_t StatsReport::libraryBytesWritten() const {
  // The chunk sorts say "Bytes written to disk: N", the external engine "bytes written N".
  uint64_t total = 0;
  for (const auto& kept : sorts_) {
    for (size_t i = 0; kept && i < kept->lines.size(); ++i) {
      total += figureAfter(kept->lines[i], "Bytes written to disk: ") + figureAfter(kept->lines[i], "bytes written ");
    }
  }
  return total;
}

void StatsReport::print(const Summary& s, std::FILE* out) const {
  uint64_t written = s.tempBytes + libraryBytesWritten();
  std::fprintf(out, "tqsort: %llu lines (%s) sorted in %.3f s with %s of memory in %zu sort%s; %s written to "
               "temporary files\n", static_cast<unsigned long long>(s.lines), mebibytes(s.bytes).c_str(), s.seconds,
               mebibytes(s.memory).c_str(), s.sorts, s.sorts == 1 ? "" : "s", mebibytes(written).c_str());
  for (const std::string& line : notes_) std::fprintf(out, "tqsort: %s\n", line.c_str());
  for (size_t i = 0; i < sorts_.size(); ++i) {
    if (!sorts_[i]) continue;
    if (sorts_.size() == 1) {
      std::fprintf(out, "tqsort: the library's statistics:\n");
    } else {
      std::fprintf(out, "tqsort: the library's statistics, sort %zu of %zu:\n", i + 1, sorts_.size());
    }
    for (const std::string& line : sorts_[i]->lines) std::fprintf(out, "tqsort:   %s\n", line.c_str());
  }
}

}  // namespace tqsort
