// Logging, locks and events, atomic counters, the thread pool and the ordered tree.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <sys/mman.h>

#include <cstring>

#include "platform/lrbtree.h"
#include "platform/tqballoc.h"
#include "platform/tqbthreadpool.h"
#include "platform/tqfault.h"
#include "platform/tqlog.h"
#include "platform/tqsync.h"
#include "test_support.h"

// --- logging ---------------------------------------------------------------------------

TEST(TqLogTest, SilentByDefault) {
  LogCapture capture;
  TqLogger* logger = tqlogGetLogger("TQ.Test.silent");
  EXPECT_EQ(logger->getLevel(), kTqLogOff);
  TQ_LOG(logger, 4, "never written");
  EXPECT_TRUE(capture.records().empty());
}

TEST(TqLogTest, LevelsApplyToALoggerAndItsChildren) {
  LogCapture capture;
  TqLogger* child = tqlogGetLogger("TQ.Test.parent.child");
  TqLogger* other = tqlogGetLogger("TQ.Test.parentless");
  tqlogSetLevel("TQ.Test.parent", 2);
  EXPECT_EQ(child->getLevel(), 2);
  EXPECT_EQ(other->getLevel(), kTqLogOff);
  TQ_LOG(child, 1, "below the threshold");
  TQ_LOG(child, 2, "value %I64i", int64_t{-5});
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].text, "value -5");
  EXPECT_EQ(capture.records()[0].logger, "TQ.Test.parent.child");
  // A more specific setting wins over a general one.
  tqlogSetLevel("TQ.Test.parent.child", 4);
  tqlogSetLevel("*", 1);
  EXPECT_EQ(child->getLevel(), 4);
  EXPECT_EQ(other->getLevel(), 1);
}

TEST(TqLogTest, DisabledLevelEvaluatesNothing) {
  LogCapture capture;
  TqLogger* logger = tqlogGetLogger("TQ.Test.cheap");
  int evaluated = 0;
  TQ_LOG(logger, 1, "%d", ++evaluated);
  EXPECT_EQ(evaluated, 0);
  tqlogSetLevel("TQ.Test.cheap", 1);
  TQ_LOG(logger, 1, "%d", ++evaluated);
  EXPECT_EQ(evaluated, 1);
}

TEST(TqLogTest, ConfigureParsesTheEnvironmentForm) {
  LogCapture capture;
  TqLogger* a = tqlogGetLogger("TQ.Test.cfg.a");
  TqLogger* b = tqlogGetLogger("TQ.Test.cfg.b");
  EXPECT_TRUE(tqlogConfigure("TQ.Test.cfg.a=1,TQ.Test.cfg.b=3"));
  EXPECT_EQ(a->getLevel(), 1);
  EXPECT_EQ(b->getLevel(), 3);
  EXPECT_FALSE(tqlogConfigure("TQ.Test.cfg.a=x,junk"));
}

// --- locks, events, counters -----------------------------------------------------------

TEST(TqSyncTest, EventTimesOutWhenNotPosted) {
  TqEvent e = tqEventCreate(0);
  ASSERT_NE(e, 0u);
  int index = 5;
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(tqEventWait(1, &e, 1, 50, 0, &index), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  tqEventDestroy(e);
}

TEST(TqSyncTest, EventWakesWaiterAndStaysSignalledUntilCleared) {
  TqEvent e = tqEventCreate(0);
  std::thread poster([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tqEventPost(e, 0);
  });
  int index = -1;
  EXPECT_EQ(tqEventWait(1, &e, 1, 2500, 0, &index), 0);
  EXPECT_EQ(index, 0);
  poster.join();
  EXPECT_EQ(tqEventWait(1, &e, 1, 0, 0, &index), 0);  // manual reset: still signalled
  tqEventClear(e);
  EXPECT_NE(tqEventWait(1, &e, 1, 0, 0, &index), 0);
  tqEventDestroy(e);
}

TEST(TqSyncTest, LockExcludesAndCountersAreAtomic) {
  TqLock lock = tqLockCreate(0, 0);
  ASSERT_NE(lock, 0u);
  TqAtom atom;
  ASSERT_EQ(tqAtomInit(&atom, 0), 0);
  int64_t plain = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        tqAtomAdd(&atom);
        tqLockGet(lock, 1, 1);
        ++plain;
        tqLockRelease(lock);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(tqAtomGet(&atom), 40000);
  EXPECT_EQ(plain, 40000);
  EXPECT_EQ(tqAtomSub(&atom), 39999);
  EXPECT_EQ(tqAtomOr(&atom, 0x40000000), 39999 | 0x40000000);
  EXPECT_EQ(tqAtomSet(&atom, 1, 0), 39999 | 0x40000000);  // not the expected value: kept
  EXPECT_EQ(tqAtomGet(&atom), 39999 | 0x40000000);
  tqAtomSet(&atom, 39999 | 0x40000000, 0);
  EXPECT_EQ(tqAtomGet(&atom), 0);
  tqLockDestroy(lock);
}

TEST(TqSyncTest, CreationFailsUnderAllocationFault) {
  tqFaultArm(TqFaultOp::Alloc, 1);
  EXPECT_EQ(tqLockCreate(0, 0), 0u);
  tqFaultArm(TqFaultOp::Alloc, 1);
  EXPECT_EQ(tqEventCreate(0), 0u);
  tqFaultArm(TqFaultOp::Alloc, 1);
  TqAtom atom;
  EXPECT_NE(tqAtomInit(&atom, 0), 0);
  tqFaultReset();
}

// --- thread pool -----------------------------------------------------------------------

namespace {

struct PoolLedger {
  std::atomic<int> worked{0};
  std::atomic<int> cancelled{0};
  std::atomic<int> failed{0};
  std::atomic<int> stopsSeen{0};
  std::vector<std::atomic<int>> perItem;
  explicit PoolLedger(size_t n) : perItem(n) {}
};

class CountingWork final : public TqbThreadPoolWork {
 public:
  CountingWork(PoolLedger* ledger, size_t id, int spinMs) : ledger_(ledger), id_(id), spinMs_(spinMs) {}
  void work(bool onMain, TqbThreadPoolWorker* worker) override {
    EXPECT_FALSE(onMain);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(spinMs_);
    while (std::chrono::steady_clock::now() < until) {
      if (worker->stopRequested()) {
        ledger_->stopsSeen++;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ledger_->worked++;
    ledger_->perItem[id_]++;
    worker->finished(true);
    delete this;
  }
  void failure(bool cancelled) override {
    (cancelled ? ledger_->cancelled : ledger_->failed)++;
    ledger_->perItem[id_]++;
    delete this;
  }
  void destroy() override { delete this; }

 private:
  PoolLedger* ledger_;
  size_t id_;
  int spinMs_;
};

}  // namespace

// Blocks of every size, small and large (the large ones mapped for themselves where no
// sanitizer keeps them): counted while held, their bytes kept across reallocation in
// both directions and across the size where mapping starts, calloc's zeroed, every
// byte given back on free, and a fault still fails them.
TEST(TqbAllocTest, BlocksOfEverySizeAreCountedKeptAndGivenBack) {
  int64_t base = 0;
  tqbAllocStats(&base, nullptr);
  for (size_t size : {size_t{1}, size_t{1000}, (size_t{256} << 10) - 1, size_t{256} << 10, size_t{3} << 20,
                      size_t{33} << 20}) {
    SCOPED_TRACE(size);
    auto* p = static_cast<unsigned char*>(tqbMalloc(size));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < size; ++i) p[i] = static_cast<unsigned char>(i * 7);
    int64_t held = 0;
    tqbAllocStats(&held, nullptr);
    EXPECT_GE(held - base, static_cast<int64_t>(size));
    for (size_t to : {size * 3 + 5, size / 2 + 1, size_t{5} << 20, size_t{40} << 20, size_t{10}}) {
      size_t keep = std::min(size, to);
      auto* q = static_cast<unsigned char*>(tqbRealloc(p, to));
      ASSERT_NE(q, nullptr);
      size_t wrong = 0;
      while (wrong < keep && q[wrong] == static_cast<unsigned char>(wrong * 7)) ++wrong;
      ASSERT_EQ(wrong, keep) << "the first byte changed, growing or shrinking to " << to;
      for (size_t i = keep; i < std::min(to, size); ++i) q[i] = static_cast<unsigned char>(i * 7);
      p = q;
      size = std::min(size, to);
    }
    tqbFree(p);
    int64_t after = 0;
    tqbAllocStats(&after, nullptr);
    EXPECT_EQ(after, base);
  }
  auto* zeroed = static_cast<unsigned char*>(tqbCalloc(size_t{1} << 20, 2));
  ASSERT_NE(zeroed, nullptr);
  for (size_t i = 0; i < (size_t{2} << 20); i += 4093) ASSERT_EQ(zeroed[i], 0);
  tqbFree(zeroed);
  EXPECT_EQ(tqbCalloc(static_cast<size_t>(-1) / 2, 4), nullptr);  // the product overflows
  tqFaultArm(TqFaultOp::Alloc, 1);
  EXPECT_EQ(tqbMalloc(size_t{4} << 20), nullptr);
  tqFaultReset();
  int64_t after = 0;
  tqbAllocStats(&after, nullptr);
  EXPECT_EQ(after, base);
}

// Under AddressSanitizer the allocator leaves every block to malloc.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TQ_TEST_ASAN 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(TQ_TEST_ASAN)
namespace {
// Whether the pages of [p, p + n) are mapped in this process.
bool mapped(void* p, size_t n) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{4095};
  const size_t length = reinterpret_cast<uintptr_t>(p) + n - start;
  std::vector<unsigned char> pages((length + 4095) / 4096);
  return ::mincore(reinterpret_cast<void*>(start), length, pages.data()) == 0;
}
}  // namespace

// A large block goes back to the system when freed, whichever thread took it, even
// after large blocks were freed before (the C library would then keep them in a
// thread's arena).
TEST(TqbAllocTest, LargeBlocksGoBackToTheSystemWhenFreed) {
  for (int round = 0; round < 3; ++round) {
    void* p = nullptr;
    std::thread([&] { p = tqbMalloc(size_t{8} << 20); }).join();
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, size_t{8} << 20);
    EXPECT_TRUE(mapped(p, size_t{8} << 20));
    tqbFree(p);
    EXPECT_FALSE(mapped(p, size_t{8} << 20)) << "round " << round;
  }
}
#endif

TEST(TqbThreadPoolTest, EveryItemRunsExactlyOnceUnderLoad) {
  constexpr size_t kItems = 5000;
  PoolLedger ledger(kItems);
  {
    TqbThreadPool pool;
    ASSERT_TRUE(pool.start(3, 3, 0));
    for (size_t i = 0; i < kItems; ++i) {
      ASSERT_TRUE(pool.enqueue(new CountingWork(&ledger, i, 0), false));
    }
    pool.quiesce(TqbThreadPool::Drain::finishAll);
    EXPECT_EQ(ledger.worked.load(), static_cast<int>(kItems));
    int64_t processed = 0;
    int32_t maxQueued = 0, maxThreads = 0;
    ASSERT_TRUE(pool.getStats(&processed, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &maxQueued, &maxThreads));
    EXPECT_EQ(processed, static_cast<int64_t>(kItems));
    EXPECT_GE(maxQueued, 1);
    EXPECT_EQ(maxThreads, 3);
    pool.reset();
  }
  for (size_t i = 0; i < kItems; ++i) ASSERT_EQ(ledger.perItem[i].load(), 1) << i;
}

TEST(TqbThreadPoolTest, QuiesceCancelsQueuedAndStopsRunningItems) {
  constexpr size_t kItems = 200;
  PoolLedger ledger(kItems);
  TqbThreadPool pool;
  ASSERT_TRUE(pool.start(2, 2, 0));
  for (size_t i = 0; i < kItems; ++i) {
    ASSERT_TRUE(pool.enqueue(new CountingWork(&ledger, i, 2000), false));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto start = std::chrono::steady_clock::now();
  pool.quiesce(TqbThreadPool::Drain::cancelAll);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(ledger.worked + ledger.cancelled, static_cast<int>(kItems));
  EXPECT_GE(ledger.stopsSeen.load(), 1);
  EXPECT_GE(ledger.cancelled.load(), static_cast<int>(kItems) - 2);
  EXPECT_EQ(ledger.failed.load(), 0);
  // After reset the pool runs work normally again.
  pool.reset();
  PoolLedger again(10);
  for (size_t i = 0; i < 10; ++i) ASSERT_TRUE(pool.enqueue(new CountingWork(&again, i, 0), false));
  pool.quiesce(TqbThreadPool::Drain::finishAll);
  EXPECT_EQ(again.worked.load(), 10);
  for (size_t i = 0; i < kItems; ++i) ASSERT_EQ(ledger.perItem[i].load(), 1);
}

TEST(TqbThreadPoolTest, DestructionCancelsWhatIsQueued) {
  PoolLedger ledger(50);
  {
    TqbThreadPool pool;
    ASSERT_TRUE(pool.start(1, 1, 0));
    for (size_t i = 0; i < 50; ++i) ASSERT_TRUE(pool.enqueue(new CountingWork(&ledger, i, 5), false));
  }
  EXPECT_EQ(ledger.worked + ledger.cancelled, 50);
}

TEST(TqbThreadPoolTest, RefusesWorkWhenNotStartedOrFaulted) {
  TqbThreadPool pool;
  PoolLedger ledger(1);
  CountingWork* item = new CountingWork(&ledger, 0, 0);
  EXPECT_FALSE(pool.enqueue(item, false));
  tqFaultArm(TqFaultOp::PoolStart, 1);
  EXPECT_FALSE(pool.start(1, 1, 0));
  tqFaultReset();
  ASSERT_TRUE(pool.start(1, 1, 0));
  tqFaultArm(TqFaultOp::PoolEnqueue, 1);
  EXPECT_FALSE(pool.enqueue(item, false));
  tqFaultReset();
  item->destroy();
}

// --- ordered tree ----------------------------------------------------------------------

namespace {

struct Item {
  LrbtNode node;
  int key;
};

int compareItems(const void* a, const void* b) {
  int x = static_cast<const Item*>(a)->key, y = static_cast<const Item*>(b)->key;
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Black height of the subtree, or -1 when a red-black rule is broken.
int blackHeight(const LrbtNode* n) {
  if (n == nullptr) return 1;
  if (n->red && ((n->left && n->left->red) || (n->right && n->right->red))) return -1;
  if ((n->left && n->left->parent != n) || (n->right && n->right->parent != n)) return -1;
  int l = blackHeight(n->left), r = blackHeight(n->right);
  if (l < 0 || r < 0 || l != r) return -1;
  return l + (n->red ? 0 : 1);
}

}  // namespace

TEST(LrbtTreeTest, KeepsOrderThroughRandomInsertsAndDeletes) {
  LrbtTree tree;
  lrbtInit(&tree, compareItems);
  std::vector<Item> items(3000);
  std::vector<bool> inTree(items.size(), false);
  std::multiset<int> reference;
  std::mt19937 rng(7);
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].key = static_cast<int>(rng() % 500);  // duplicates on purpose
    items[i].node.value = &items[i];
  }
  for (int round = 0; round < 20000; ++round) {
    size_t i = rng() % items.size();
    if (inTree[i]) {
      lrbtDeleteNode(&tree, &items[i].node);
      reference.erase(reference.find(items[i].key));
    } else {
      lrbtInsertNode(&tree, &items[i].node, 0);
      reference.insert(items[i].key);
    }
    inTree[i] = !inTree[i];
    if (round % 1000 == 0) {
      ASSERT_GE(blackHeight(tree.root), 0);
    }
  }
  ASSERT_GE(blackHeight(tree.root), 0);
  ASSERT_EQ(tree.count, static_cast<int64_t>(reference.size()));
  std::vector<int> forward, backward;
  for (LrbtNode* n = tree.first; n; n = lrbtNextNode(n)) forward.push_back(static_cast<Item*>(n->value)->key);
  for (LrbtNode* n = tree.last; n; n = lrbtPrevNode(n)) backward.push_back(static_cast<Item*>(n->value)->key);
  EXPECT_EQ(forward, std::vector<int>(reference.begin(), reference.end()));
  EXPECT_EQ(backward, std::vector<int>(reference.rbegin(), reference.rend()));
}

TEST(LrbtTreeTest, EqualKeysGoAfterThoseAlreadyPresent) {
  LrbtTree tree;
  lrbtInit(&tree, compareItems);
  Item a{{}, 1}, b{{}, 1}, c{{}, 0};
  for (Item* it : {&a, &b, &c}) {
    it->node.value = it;
    lrbtInsertNode(&tree, &it->node, 0);
  }
  EXPECT_EQ(tree.first, &c.node);
  EXPECT_EQ(lrbtNextNode(&c.node), &a.node);
  EXPECT_EQ(tree.last, &b.node);
  lrbtDeleteNode(&tree, &c.node);
  lrbtDeleteNode(&tree, &b.node);
  EXPECT_EQ(tree.first, &a.node);
  EXPECT_EQ(tree.last, &a.node);
  lrbtDeleteNode(&tree, &a.node);
  EXPECT_EQ(tree.count, 0);
  EXPECT_EQ(tree.first, nullptr);
}
