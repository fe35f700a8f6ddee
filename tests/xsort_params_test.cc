// Parameters, key parts and the calling order of the external sort engine: what is
// refused, with which text, and what the defaults are.
#include <gtest/gtest.h>

#include <string>

#include "xsort_support.h"

namespace {

struct Parms {
  TqSortParms* p = tqSortParmsCreate();
  ~Parms() {
    if (p != nullptr) p->ops->destroy(p);
  }
  const TqSortParmsOps& ops() const { return *p->ops; }
  std::string error() const { return p->ops->getError(p); }
};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(XsortParamsTest, BadValuesAreRefusedWithATextNamingTheParameter) {
  Parms p;
  ASSERT_NE(p.p, nullptr);
  EXPECT_EQ(p.ops().unused4, nullptr);
  const struct {
    int (*call)(TqSortParms*);
    const char* text;
  } cases[] = {
      {[](TqSortParms* q) { return q->ops->setInt(q, 7, 0); }, "Parameter 7 (rows per input chunk)"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 5, 0); }, "Parameter 5 (record length)"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 5, 1 << 30); }, "Parameter 5 (record length)"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 8, -1); }, "must not be negative"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 4, 0); }, "Parameter 4 (processors)"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 4, 65); }, "Parameter 4 (processors)"},
      {[](TqSortParms* q) { return q->ops->setInt64(q, 9, 1000, 0); }, "below the engine's minimum"},
      {[](TqSortParms* q) { return q->ops->setInt64(q, 7, 0, 1); }, "does not fit"},
      {[](TqSortParms* q) { return q->ops->setBool(q, 1, 2); }, "takes 0 or 1"},
      {[](TqSortParms* q) { return q->ops->setBool(q, 4, 1); }, "not a switch"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 3, 1); }, "set it with setBool"},
      {[](TqSortParms* q) { return q->ops->setInt(q, 11, 1); }, "Unknown sort parameter id 11"},
      {[](TqSortParms* q) { return q->ops->setBool(q, 0, 1); }, "Unknown sort parameter id 0"},
      {[](TqSortParms* q) { return q->ops->setDefault(q, 12, 1); }, "Unknown sort parameter id 12"},
      {[](TqSortParms* q) { return q->ops->setDefault(q, 0, 3); }, "setDefault takes mode"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(c.call(p.p), 0) << c.text;
    EXPECT_TRUE(has(p.error(), c.text)) << p.error();
  }
  // Success clears the text; 64-bit values and 32-bit parameters through setInt64.
  EXPECT_EQ(p.ops().setInt64(p.p, 9, 0, 1), 0);
  EXPECT_EQ(p.error(), "");
  EXPECT_EQ(p.ops().setInt64(p.p, 6, 5, 7), 0);
  EXPECT_EQ(p.ops().setInt64(p.p, 4, 4, 0), 0);
  EXPECT_EQ(p.ops().setInt(p.p, 9, 1 << 20), 0);
}

TEST(XsortParamsTest, CreationNeedsARecordLengthAndAnOutputLengthWithinIt) {
  Parms p;
  EXPECT_EQ(tqSortCreate(p.p), nullptr);
  EXPECT_TRUE(has(p.error(), "Parameter 5 (record length) is not set")) << p.error();
  ASSERT_EQ(p.ops().setInt(p.p, 5, 10), 0);
  ASSERT_EQ(p.ops().setInt(p.p, 8, 11), 0);
  EXPECT_EQ(tqSortCreate(p.p), nullptr);
  EXPECT_TRUE(has(p.error(), "exceeds parameter 5")) << p.error();
  ASSERT_EQ(p.ops().setInt(p.p, 8, 10), 0);
  TqSortEngine* s = tqSortCreate(p.p);
  ASSERT_NE(s, nullptr) << p.error();
  s->ops->destroy(s);
  EXPECT_EQ(tqSortCreate(nullptr), nullptr);
}

TEST(XsortParamsTest, SetDefaultKeepsOrForgetsWhatWasSet) {
  Parms p;
  ASSERT_EQ(p.ops().setInt(p.p, 5, 10), 0);
  ASSERT_EQ(p.ops().setInt(p.p, 8, 4), 0);
  // Mode 1 keeps explicit values: the sort comes out with 4-byte output rows.
  ASSERT_EQ(p.ops().setDefault(p.p, 0, 1), 0);
  TqSortEngine* s = tqSortCreate(p.p);
  ASSERT_NE(s, nullptr) << p.error();
  TqSortKeyPart part = keyPart(0, 1, TQ_SORT_KIND_BYTE, false);
  ASSERT_EQ(s->ops->addKey(s, &part, 0), 0);
  ASSERT_EQ(s->ops->prepare(s), 0) << s->ops->getError(s);
  TqSortInput* in = s->ops->openInput(s);
  Records r(10);
  std::memcpy(r.add(), "bcdefghijk", 10);
  std::memcpy(r.add(), "abcdefghij", 10);
  std::string error;
  ASSERT_EQ(feed(in, r, &error), "") << error;
  in->ops->close(in, 1);
  XsortResult out;
  ASSERT_EQ(drain(s, &out), "") << out.error;
  ASSERT_EQ(out.rowLength, 4u);
  EXPECT_EQ(out.row(0), "abcd");
  EXPECT_EQ(out.row(1), "bcde");
  s->ops->destroy(s);
  // Mode 0 for one parameter forgets it; for all, the record length too.
  ASSERT_EQ(p.ops().setDefault(p.p, 8, 0), 0);
  s = tqSortCreate(p.p);
  ASSERT_NE(s, nullptr);
  s->ops->destroy(s);
  ASSERT_EQ(p.ops().setDefault(p.p, 0, 0), 0);
  EXPECT_EQ(tqSortCreate(p.p), nullptr);
}

TEST(XsortParamsTest, BadKeyPartsAreRefusedWithTheirIndex) {
  Parms p;
  ASSERT_EQ(p.ops().setInt(p.p, 5, 40), 0);
  TqSortEngine* s = tqSortCreate(p.p);
  ASSERT_NE(s, nullptr);
  TqSortCollation collation{"de", 0};
  TqSortKeyBlock noFunction{nullptr};
  const struct {
    TqSortKeyPart part;
    int32_t flags;
    const char* text;
  } cases[] = {
      {keyPart(36, 8, TQ_SORT_KIND_INTEGER, false), 0, "reach beyond the record length 40"},
      {keyPart(0, 4, TQ_SORT_KIND_INTEGER, false), 0, "an integer part is 8 bytes long"},
      {keyPart(0, 4, TQ_SORT_KIND_DATE, false), 0, "a date part is 8 bytes long"},
      {keyPart(0, 2, TQ_SORT_KIND_BYTE, false), 0, "a byte part is 1 byte long"},
      {keyPart(0, 0, TQ_SORT_KIND_STRING, false), 0, "at least 1"},
      {keyPart(0, 8, 5, false), 0, "unknown kind 5"},
      {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false, &collation), 0, "only to string parts"},
      {keyPart(0, 8, TQ_SORT_KIND_CALLBACK, false), 0, "needs a callback block"},
      {keyPart(0, 8, TQ_SORT_KIND_CALLBACK, false, nullptr, &noFunction), 0, "needs a callback block"},
      {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false, nullptr, &noFunction), 0, "applies only to kind 4"},
      {keyPart(0, 8, TQ_SORT_KIND_INTEGER, false), 3, "flags 0, not 3"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(s->ops->addKey(s, &c.part, c.flags), 0) << c.text;
    std::string e = s->ops->getError(s);
    EXPECT_TRUE(has(e, c.text)) << e;
    EXPECT_TRUE(has(e, "Key part 0")) << e;
  }
  TqSortKeyPart descending2 = keyPart(0, 8, TQ_SORT_KIND_INTEGER, false);
  descending2.descending = 2;
  EXPECT_NE(s->ops->addKey(s, &descending2, 0), 0);
  EXPECT_NE(s->ops->addKey(s, nullptr, 0), 0);
  // No key at all.
  EXPECT_NE(s->ops->checkKeys(s), 0);
  EXPECT_TRUE(has(s->ops->getError(s), "No key parts")) << s->ops->getError(s);
  EXPECT_NE(s->ops->prepare(s), 0);
  EXPECT_EQ(s->ops->openInput(s), nullptr);
  EXPECT_TRUE(has(s->ops->getError(s), "needs prepare")) << s->ops->getError(s);
  TqSortKeyPart good = keyPart(0, 8, TQ_SORT_KIND_INTEGER, false);
  ASSERT_EQ(s->ops->addKey(s, &good, 0), 0);
  TqSortKeyPart second = keyPart(8, 1, TQ_SORT_KIND_BYTE, false);
  ASSERT_EQ(s->ops->addKey(s, &second, 0), 0);
  EXPECT_NE(s->ops->addKey(s, &descending2, 0), 0);
  EXPECT_TRUE(has(s->ops->getError(s), "Key part 2")) << s->ops->getError(s);
  ASSERT_EQ(s->ops->checkKeys(s), 0);
  ASSERT_EQ(s->ops->prepare(s), 0) << s->ops->getError(s);
  EXPECT_NE(s->ops->prepare(s), 0);
  EXPECT_NE(s->ops->addKey(s, &good, 0), 0);
  EXPECT_TRUE(has(s->ops->getError(s), "after prepare")) << s->ops->getError(s);
  s->ops->destroy(s);
}

TEST(XsortParamsTest, PrepareRefusesAMemorySizeTooSmallForTheRecords) {
  Parms p;
  ASSERT_EQ(p.ops().setInt(p.p, 5, 1 << 20), 0);  // 1 MiB records
  ASSERT_EQ(p.ops().setInt64(p.p, 9, 4u << 20, 0), 0);
  TqSortEngine* s = tqSortCreate(p.p);
  ASSERT_NE(s, nullptr);
  TqSortKeyPart part = keyPart(0, 8, TQ_SORT_KIND_INTEGER, false);
  ASSERT_EQ(s->ops->addKey(s, &part, 0), 0);
  EXPECT_NE(s->ops->prepare(s), 0);
  EXPECT_TRUE(has(s->ops->getError(s), "is too small for records of 1048576 bytes"))
      << s->ops->getError(s);
  s->ops->destroy(s);

  // Enough for one thread's batches, not for sixty-four.
  ASSERT_EQ(p.ops().setInt(p.p, 5, 4000), 0);
  ASSERT_EQ(p.ops().setInt64(p.p, 9, 256u << 10, 0), 0);
  ASSERT_EQ(p.ops().setInt(p.p, 4, 64), 0);
  s = tqSortCreate(p.p);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->ops->addKey(s, &part, 0), 0);
  EXPECT_NE(s->ops->prepare(s), 0);
  EXPECT_TRUE(has(s->ops->getError(s), "too small")) << s->ops->getError(s);
  s->ops->destroy(s);
}

TEST(XsortParamsTest, InputChunksTakeAtMostASixteenthOfTheMemory) {
  Parms p;
  ASSERT_EQ(p.ops().setInt(p.p, 5, 100), 0);
  ASSERT_EQ(p.ops().setInt(p.p, 7, 1000000), 0);
  ASSERT_EQ(p.ops().setInt64(p.p, 9, 1u << 20, 0), 0);
  TqSortEngine* s = tqSortCreate(p.p);
  TqSortKeyPart part = keyPart(0, 8, TQ_SORT_KIND_INTEGER, false);
  ASSERT_EQ(s->ops->addKey(s, &part, 0), 0);
  ASSERT_EQ(s->ops->prepare(s), 0);
  TqSortInput* in = s->ops->openInput(s);
  TqSortInputChunk* c = nullptr;
  ASSERT_EQ(in->ops->getInputChunk(in, &c), 0);
  EXPECT_GT(c->rowCount, 0u);
  EXPECT_LE(c->rowCount * 100u, (1u << 20) / 16);
  s->ops->destroy(s);  // the input goes with it
}
