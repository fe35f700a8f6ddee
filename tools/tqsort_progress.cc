#include "tqsort_progress.h"

#include <cstdio>

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

int StatsSink::line(const char* text) {
  std::fprintf(stderr, "tqsort: %s\n", text);
  return 0;
}

}  // namespace tqsort
