#include "tqfault.h"

#include <atomic>

namespace {

struct OpState {
  std::atomic<int64_t> calls{0};
  std::atomic<int64_t> nth{0};  // 0: disarmed
  std::atomic<int> mode{0};
  std::atomic<bool> sticky{false};
};

OpState g_ops[static_cast<int>(TqFaultOp::Count_)];
std::atomic<bool> g_armed{false};
std::atomic<int64_t> g_delivered{0};

}  // namespace

void tqFaultArm(TqFaultOp op, int64_t nth, TqFaultMode mode, bool sticky) {
  OpState& s = g_ops[static_cast<int>(op)];
  s.calls.store(0);
  s.mode.store(static_cast<int>(mode));
  s.sticky.store(sticky);
  s.nth.store(nth);
  g_armed.store(true);
}

void tqFaultReset() {
  g_armed.store(false);
  for (OpState& s : g_ops) {
    s.nth.store(0);
    s.calls.store(0);
    s.mode.store(0);
    s.sticky.store(false);
  }
  g_delivered.store(0);
}

int64_t tqFaultCalls(TqFaultOp op) { return g_ops[static_cast<int>(op)].calls.load(); }

int64_t tqFaultsDelivered() { return g_delivered.load(); }

TqFaultMode tqFaultCheck(TqFaultOp op) {
  OpState& s = g_ops[static_cast<int>(op)];
  int64_t call = s.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!g_armed.load(std::memory_order_relaxed)) return TqFaultMode::None;
  int64_t nth = s.nth.load();
  if (nth <= 0) return TqFaultMode::None;
  if (call == nth || (s.sticky.load() && call > nth)) {
    g_delivered.fetch_add(1);
    return static_cast<TqFaultMode>(s.mode.load());
  }
  return TqFaultMode::None;
}
