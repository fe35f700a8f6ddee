/* tqxsort.h: the external sort engine.
 *
 * A caller sorts fixed-length records in four steps:
 *
 *   1. TqSortParms* p = tqSortParmsCreate();  set the parameters (below);
 *   2. TqSortEngine* s = tqSortCreate(p);     addKey per key part, in index order;
 *      checkKeys; prepare;
 *   3. TqSortInput* in = openInput(s);        getInputChunk, fill it, submitInputChunk,
 *      ... until a chunk in state TQ_SORT_CHUNK_LAST; close(in, 1);
 *   4. getOutputChunk, read it, releaseOutputChunk, ... until a chunk in state
 *      TQ_SORT_CHUNK_LAST; report; destroy(s); destroy(p).
 *
 * Every object is a record whose first word points to its table of operations; each
 * operation takes the object as its first argument.  Integer results are 0 on success;
 * on failure TQ_SORT_FAILED (1), or TQ_SORT_FAILED_NO_ROOM (2) when the memory size
 * is too small for what was asked, or TQ_SORT_FAILED_STOPPED (3) when the progress
 * callback stopped the sort; the object's getError gives a zero-terminated text that
 * the object owns (valid until its next call).  No operation throws or aborts.
 *
 * One object is used by one thread at a time.  Inside, the engine sorts on up to
 * TQ_SORT_PARM_PROCESSORS threads of its own; key callbacks are called on those
 * threads, possibly several at once, and must be safe for that.
 *
 * Record layouts.  The records below are defined by their 32-bit layout, in which
 * every field, addresses included, is 4 bytes wide.  On a 64-bit build each address
 * field is pointer-wide and naturally aligned, which moves the fields after it; the
 * 32-bit layout is kept as the *32 mirror records, whose address fields are uint32_t.
 * Both layouts are checked at compile time at the end of this header:
 *
 *   record          32-bit offsets (size)         64-bit offsets (size)
 *   key part        0 4 8 12 16 20 (24)          0 4 8 12 16 24 (32)
 *   collation       0 4 (8)                      0 8 (16)
 *   input chunk     0 4 8 (12)                   0 8 16 (24)
 *   output chunk    0 4 8 12 16 (20)             0 8 16 20 24 (32)
 *   callback blocks one address per word         one pointer per word
 *
 * Parameters (id: meaning; default).  Switches take 0 or 1; everything else refuses a
 * value out of range with a text naming the parameter.
 *
 *   1 mark groups: output chunks carry one mark byte per row, non-zero when the row's
 *     keys differ from the previous row's (the very first row is marked); off
 *   2 noCodeGen: accepted and kept; the engine always compares prebuilt byte keys and
 *     never generates comparison code, so the switch changes nothing; off
 *   3 drop duplicates: of each group of rows with equal keys only the first is
 *     delivered; off
 *   4 processors: sorting threads, 1 to 64; 1
 *   5 record length: bytes per input record, 1 to 16 MiB; must be set
 *   6 expected rows (64-bit): a hint for sizing the work; 0 (unknown)
 *   7 rows per input chunk: at least 1; by default the chunk takes a sixteenth of the
 *     memory size.  A chunk never takes more than a sixteenth of the memory size nor
 *     more than a quarter of a batch (the rows sorted together), so a larger value
 *     hands out chunks of fewer rows; the last chunk of a full batch may be smaller
 *     too.  The row count of a chunk that getInputChunk hands out is its capacity
 *   8 output record length: output rows carry the first this many bytes of each input
 *     record (keys may lie anywhere in the input record), 1 to parameter 5; default
 *     parameter 5
 *   9 memory size in bytes (64-bit): every buffer of the sort (input and output chunks,
 *     rows, keys, sort work areas, read and write buffers, its own objects) stays
 *     within it; the collation library's own tables are outside it.  At least
 *     256 KiB, and enough for a few records and keys (checked by prepare); 64 MiB
 *  10 tie-breaking key bytes: the last this many bytes of every row's key order the
 *     rows but do not tell groups apart (marks, dropped duplicates).  A stable sort
 *     whose last key part is a row number of this many bytes (a callback part, whose
 *     bytes go into the key as they come) marks groups and drops duplicates by the
 *     other parts, a collation's equality included; 0 to 16 MiB; 0
 *
 *   setDefault(id, mode): id 0 means every parameter, 1 to 10 one of them.  Mode 1
 *   keeps what was set explicitly and gives the rest their defaults (the state of a
 *   new parameters object, so it only confirms it); mode 0 returns the parameters to
 *   their defaults, forgetting what was set.
 *
 *   64-bit parameters are set with setInt64(id, low word, high word); setInt also
 *   takes them (a non-negative value), and setInt64 takes a 32-bit parameter whose
 *   value fits.
 *
 * Key parts.  The parts of a key are compared in the order they were added, each in
 * its direction; a row's key is the concatenation of its parts.
 *
 *   kind 0  one unsigned byte (length 1)
 *   kind 1  a date: an 8-byte little-endian double, ordered numerically (dates before
 *           1970 are negative); -0.0 equals 0.0; every NaN equals every other and
 *           sorts after +infinity (last ascending, first descending)
 *   kind 2  a signed 64-bit little-endian integer (length 8)
 *   kind 3  a string: the bytes up to the first zero byte within `length` bytes (all
 *           of them when there is none).  Without a collation record: byte by byte,
 *           unsigned, a string before any longer string it begins.  With one: UTF-8
 *           ordered linguistically (below); ill-formed UTF-8 is read with U+FFFD in
 *           place of each bad sequence
 *   kind 4  the bytes that the part's callback block produces from the part's
 *           `length` bytes, compared byte by byte (a shorter one first when one begins
 *           the other).  The engine calls the block's function with the block's
 *           address: first with out == NULL to learn the length, then with a buffer
 *           of that room; it passes the part's `descending` and takes the bytes as
 *           they come: the callback has applied the direction itself
 *
 *   `descending` is 0 or 1.  A key part may lie anywhere within the record length.
 *   Collation records and callback blocks must stay valid until destroy; a collation
 *   record is read by addKey only.  `flags` of addKey must be 0.
 *
 * Collation (kind 3 with a collation record).  The locale names a language known to
 * the collation library ("de", "sv_SE", "de-DE", "de@collation=phonebook"); NULL or ""
 * is the root collation.  A locale whose language is not known, or whose region is
 * not a region, is refused: the engine never falls back to the root order silently.
 * collateFlags:
 *
 *   0x00000001  digits compare as numbers ("file2" before "file10")
 *   0x00000002  lower case first           0x00000004  upper case first
 *   0x00000800  spaces and punctuation are ignorable (compared only at the last level)
 *   0x00001000  strength primary   0x2000 secondary   0x4000 tertiary (the default)
 *   0x00008000  quaternary         0x10000 identical
 *   variants, the locale's collation type:
 *   0x00000040  phonebook   0x00000080 pinyin   0x00000200 stroke
 *   0x00000400  traditional 0x00000008 big5han  0x00000020 gb2312han
 *   0x00000100  POSIX: code point order (the byte order of UTF-8), whatever the
 *               locale's own order (the locale must still be a known one)
 *   0x00000010  DIRECT: code point order too
 *
 * At most one case order, one strength and one variant may be given; a variant that
 * the locale does not have ("fr" with phonebook) is refused, as is any other bit.  The
 * two code point orders take no other flag.
 *
 * Output.  Output chunks hold rows of the output record length, contiguous, and, when
 * marking groups, one mark byte per row.  The last chunk has state TQ_SORT_CHUNK_LAST
 * and may hold no rows.  A caller may hold two output chunks at once.  Rows with
 * equal keys come out in no particular order; a caller that needs input order adds a
 * sequence part as its last key part.
 *
 * Temporary files.  When the rows do not fit in the memory size the engine writes
 * sorted runs to work files named "tqxsort_*" in the directories of the configuration
 * value "BASE/TEMP" (a ':'-separated list), each new file starting at the next one,
 * those with room for a thread's share of the expected rows (parameter 6) first, one
 * that accepts no new file skipped; else in $TMPDIR, else /tmp.  A work file is unlinked as soon as it is created and
 * closed at the latest by destroy, so none outlives the sort.
 */
#ifndef TQ_XSORT_TQXSORT_H
#define TQ_XSORT_TQXSORT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Parameter ids. */
enum {
  TQ_SORT_PARM_MARK_GROUPS = 1,
  TQ_SORT_PARM_NO_CODE_GEN = 2,
  TQ_SORT_PARM_DROP_DUPLICATES = 3,
  TQ_SORT_PARM_PROCESSORS = 4,
  TQ_SORT_PARM_RECORD_LENGTH = 5,
  TQ_SORT_PARM_EXPECTED_ROWS = 6,
  TQ_SORT_PARM_CHUNK_ROWS = 7,
  TQ_SORT_PARM_OUTPUT_LENGTH = 8,
  TQ_SORT_PARM_MEMORY = 9,
  TQ_SORT_PARM_TIE_BYTES = 10
};

/* Failure results of the operations that return an int. */
enum {
  TQ_SORT_FAILED = 1,
  TQ_SORT_FAILED_NO_ROOM = 2,
  TQ_SORT_FAILED_STOPPED = 3
};

/* Key part kinds. */
enum {
  TQ_SORT_KIND_BYTE = 0,
  TQ_SORT_KIND_DATE = 1,
  TQ_SORT_KIND_INTEGER = 2,
  TQ_SORT_KIND_STRING = 3,
  TQ_SORT_KIND_CALLBACK = 4
};

/* Chunk states. */
enum {
  TQ_SORT_CHUNK_NORMAL = 0,
  TQ_SORT_CHUNK_LAST = 1,
  TQ_SORT_CHUNK_ABANDONED = 2, /* input: discard its rows */
  TQ_SORT_CHUNK_FAILED = 2     /* output: the sort failed */
};

/* Collation flags. */
enum {
  TQ_SORT_COLLATE_NUMERIC = 0x00000001,
  TQ_SORT_COLLATE_LOWER_FIRST = 0x00000002,
  TQ_SORT_COLLATE_UPPER_FIRST = 0x00000004,
  TQ_SORT_COLLATE_BIG5HAN = 0x00000008,
  TQ_SORT_COLLATE_DIRECT = 0x00000010,
  TQ_SORT_COLLATE_GB2312HAN = 0x00000020,
  TQ_SORT_COLLATE_PHONEBOOK = 0x00000040,
  TQ_SORT_COLLATE_PINYIN = 0x00000080,
  TQ_SORT_COLLATE_POSIX = 0x00000100,
  TQ_SORT_COLLATE_STROKE = 0x00000200,
  TQ_SORT_COLLATE_TRADITIONAL = 0x00000400,
  TQ_SORT_COLLATE_IGNORE_PUNCTUATION = 0x00000800,
  TQ_SORT_COLLATE_PRIMARY = 0x00001000,
  TQ_SORT_COLLATE_SECONDARY = 0x00002000,
  TQ_SORT_COLLATE_TERTIARY = 0x00004000,
  TQ_SORT_COLLATE_QUATERNARY = 0x00008000,
  TQ_SORT_COLLATE_IDENTICAL = 0x00010000
};

/* Key callback: (block, value, value length, output or NULL, output room, descending,
 * output length).  Returns 0; anything else fails the sort. */
typedef int (*TqSortKeyCallback)(void* block, const void* value, uint32_t valueLength,
                                 void* out, uint32_t outRoom, int descending,
                                 uint32_t* outLength);
/* Receives one line of text; the block is the information block given to report. */
typedef int (*TqSortInfoCallback)(void* block, const char* text);

/* A key callback block: the function, then whatever the caller keeps behind it. */
typedef struct TqSortKeyBlock {
  TqSortKeyCallback function;
} TqSortKeyBlock;

/* Receives the sort's progress: `done` of `total` units of work (a row sorted into a
 * run is one unit, a row handed out in an output chunk another, a row written by a
 * merge before the last one more); returns 0 to go on, anything else stops the sort.
 * The block is the progress block given to setProgress. */
typedef int (*TqSortProgressCallback)(void* block, uint64_t done, uint64_t total);

/* The progress block of setProgress: (function, context). */
typedef struct TqSortProgressBlock {
  TqSortProgressCallback function;
  void* context;
} TqSortProgressBlock;

/* The information block of report: (function, context). */
typedef struct TqSortInfoBlock {
  TqSortInfoCallback function;
  void* context;
} TqSortInfoBlock;

typedef struct TqSortCollation {
  const char* locale;    /* NULL or "": the root collation */
  uint32_t collateFlags;
} TqSortCollation;

typedef struct TqSortKeyPart {
  uint32_t offset;       /* byte offset of the part inside a record */
  uint32_t length;       /* byte length of the part */
  uint32_t kind;         /* TQ_SORT_KIND_* */
  uint32_t descending;   /* 1: descending, 0: ascending */
  const TqSortCollation* collation; /* kind 3 only, or NULL */
  void* callback;        /* kind 4: a block whose first word is a TqSortKeyCallback */
} TqSortKeyPart;

typedef struct TqSortInputChunk {
  uint32_t rowCount;     /* capacity when handed out; rows written when submitted */
  void* rows;            /* rowCount records of the record length, contiguous */
  uint32_t state;        /* TQ_SORT_CHUNK_NORMAL, _LAST or _ABANDONED */
} TqSortInputChunk;

typedef struct TqSortOutputChunk {
  uint32_t rowCount;
  void* rows;            /* rowCount rows of recordLength bytes, contiguous */
  uint32_t state;        /* TQ_SORT_CHUNK_NORMAL, _LAST or _FAILED */
  uint32_t recordLength; /* the output record length */
  unsigned char* marks;  /* one byte per row when marking groups, else NULL */
} TqSortOutputChunk;

/* The 32-bit layout of the same records, for reference and for the checks below. */
typedef struct TqSortCollation32 {
  uint32_t locale;
  uint32_t collateFlags;
} TqSortCollation32;

typedef struct TqSortKeyPart32 {
  uint32_t offset;
  uint32_t length;
  uint32_t kind;
  uint32_t descending;
  uint32_t collation;
  uint32_t callback;
} TqSortKeyPart32;

typedef struct TqSortInputChunk32 {
  uint32_t rowCount;
  uint32_t rows;
  uint32_t state;
} TqSortInputChunk32;

typedef struct TqSortOutputChunk32 {
  uint32_t rowCount;
  uint32_t rows;
  uint32_t state;
  uint32_t recordLength;
  uint32_t marks;
} TqSortOutputChunk32;

typedef struct TqSortParms TqSortParms;
typedef struct TqSortEngine TqSortEngine;
typedef struct TqSortInput TqSortInput;

/* The parameters object.  Slot 4 is not used and holds NULL. */
typedef struct TqSortParmsOps {
  void (*destroy)(TqSortParms* self);                                   /* 0 */
  const char* (*getError)(TqSortParms* self);                           /* 1 */
  int (*setBool)(TqSortParms* self, int32_t id, int32_t value);         /* 2 */
  int (*setDefault)(TqSortParms* self, int32_t id, int32_t mode);       /* 3 */
  void (*unused4)(void);                                                /* 4 */
  int (*setInt)(TqSortParms* self, int32_t id, int32_t value);          /* 5 */
  int (*setInt64)(TqSortParms* self, int32_t id, uint32_t low, uint32_t high); /* 6 */
} TqSortParmsOps;

struct TqSortParms {
  const TqSortParmsOps* ops;
};

/* The sort object. */
typedef struct TqSortEngineOps {
  int (*addKey)(TqSortEngine* self, const TqSortKeyPart* part, int32_t flags);  /* 0 */
  /* Ends the sort from any state: stops its threads, frees its memory, closes its
   * work files and an input object still open, and frees the object. */
  void (*destroy)(TqSortEngine* self);                                  /* 1 */
  int (*checkKeys)(TqSortEngine* self);                                 /* 2 */
  /* The next sorted chunk.  After a failure: non-zero, *chunk set to NULL. */
  int (*getOutputChunk)(TqSortEngine* self, TqSortOutputChunk** chunk); /* 3 */
  TqSortInput* (*openInput)(TqSortEngine* self);                        /* 4 */
  const char* (*getError)(TqSortEngine* self);                          /* 5 */
  /* Sends the sort's statistics, a few lines, through the block (NULL: nowhere). */
  int (*report)(TqSortEngine* self, void* infoBlock);                   /* 6 */
  int (*prepare)(TqSortEngine* self);                                   /* 7 */
  int (*releaseOutputChunk)(TqSortEngine* self, TqSortOutputChunk* chunk); /* 8 */
  /* The block (NULL: none) whose function hears the progress on the caller's thread,
   * after the last input chunk: while getOutputChunk waits for the sorting threads and
   * merges, at least every 100 ms, and as it hands out the first chunk.  When the
   * function stops the sort, the call fails with TQ_SORT_FAILED_STOPPED, and so does
   * every later one.  The block must stay valid until destroy. */
  int (*setProgress)(TqSortEngine* self, void* progressBlock);          /* 9 */
  /* The work done and planned so far, as the progress function receives them. */
  int (*getProgress)(TqSortEngine* self, uint64_t* done, uint64_t* total); /* 10 */
} TqSortEngineOps;

struct TqSortEngine {
  const TqSortEngineOps* ops;
};

/* The input object. */
typedef struct TqSortInputOps {
  /* An empty chunk whose row count is its capacity.  One chunk is out at a time:
   * submit it before asking for the next.  Blocks while the memory size is taken and
   * the engine's threads are making room. */
  int (*getInputChunk)(TqSortInput* self, TqSortInputChunk** chunk);    /* 0 */
  /* Frees the input object and takes back a chunk that is still out, unread.  With
   * discard 1 an input that has not ended with its last chunk is abandoned (the sort
   * then fails); with 0 it ends as if an empty last chunk had come.  0, or non-zero
   * when ending the input failed (the sort object's getError tells why). */
  int (*close)(TqSortInput* self, int32_t discard);                     /* 1 */
  const char* (*getError)(TqSortInput* self);                           /* 2 */
  /* Gives a chunk back: its rows are sorted (state normal or last) or discarded
   * (abandoned).  The chunk belongs to the engine again in every case. */
  int (*submitInputChunk)(TqSortInput* self, TqSortInputChunk* chunk);  /* 3 */
} TqSortInputOps;

struct TqSortInput {
  const TqSortInputOps* ops;
};

/* A new parameters object with every parameter at its default, or NULL. */
TqSortParms* tqSortParmsCreate(void);
/* A sort object for the parameters (which the caller keeps and may reuse), or NULL:
 * the parameters object's getError tells why. */
TqSortEngine* tqSortCreate(TqSortParms* parms);

/* Layout checks. */
#ifdef __cplusplus
#define TQ_SORT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TQ_SORT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

TQ_SORT_STATIC_ASSERT(offsetof(TqSortKeyPart32, offset) == 0 &&
                          offsetof(TqSortKeyPart32, length) == 4 &&
                          offsetof(TqSortKeyPart32, kind) == 8 &&
                          offsetof(TqSortKeyPart32, descending) == 12 &&
                          offsetof(TqSortKeyPart32, collation) == 16 &&
                          offsetof(TqSortKeyPart32, callback) == 20 &&
                          sizeof(TqSortKeyPart32) == 24,
                      "32-bit key part layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortCollation32, locale) == 0 &&
                          offsetof(TqSortCollation32, collateFlags) == 4 &&
                          sizeof(TqSortCollation32) == 8,
                      "32-bit collation layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortInputChunk32, rowCount) == 0 &&
                          offsetof(TqSortInputChunk32, rows) == 4 &&
                          offsetof(TqSortInputChunk32, state) == 8 &&
                          sizeof(TqSortInputChunk32) == 12,
                      "32-bit input chunk layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortOutputChunk32, rowCount) == 0 &&
                          offsetof(TqSortOutputChunk32, rows) == 4 &&
                          offsetof(TqSortOutputChunk32, state) == 8 &&
                          offsetof(TqSortOutputChunk32, recordLength) == 12 &&
                          offsetof(TqSortOutputChunk32, marks) == 16 &&
                          sizeof(TqSortOutputChunk32) == 20,
                      "32-bit output chunk layout");

/* The native records: in the first 16 bytes of a key part only 32-bit fields, so they
 * sit at the same offsets on every build; addresses follow at pointer alignment. */
#define TQ_SORT_PTR ((size_t)sizeof(void*))
TQ_SORT_STATIC_ASSERT(offsetof(TqSortKeyPart, offset) == 0 &&
                          offsetof(TqSortKeyPart, length) == 4 &&
                          offsetof(TqSortKeyPart, kind) == 8 &&
                          offsetof(TqSortKeyPart, descending) == 12 &&
                          offsetof(TqSortKeyPart, collation) == 16 &&
                          offsetof(TqSortKeyPart, callback) == 16 + TQ_SORT_PTR &&
                          sizeof(TqSortKeyPart) == 16 + 2 * TQ_SORT_PTR,
                      "key part layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortCollation, locale) == 0 &&
                          offsetof(TqSortCollation, collateFlags) == TQ_SORT_PTR &&
                          sizeof(TqSortCollation) == 2 * TQ_SORT_PTR,
                      "collation layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortInputChunk, rowCount) == 0 &&
                          offsetof(TqSortInputChunk, rows) == TQ_SORT_PTR &&
                          offsetof(TqSortInputChunk, state) == 2 * TQ_SORT_PTR &&
                          sizeof(TqSortInputChunk) == 3 * TQ_SORT_PTR,
                      "input chunk layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortOutputChunk, rowCount) == 0 &&
                          offsetof(TqSortOutputChunk, rows) == TQ_SORT_PTR &&
                          offsetof(TqSortOutputChunk, state) == 2 * TQ_SORT_PTR &&
                          offsetof(TqSortOutputChunk, recordLength) == 2 * TQ_SORT_PTR + 4 &&
                          offsetof(TqSortOutputChunk, marks) == 2 * TQ_SORT_PTR + 8 &&
                          sizeof(TqSortOutputChunk) == 3 * TQ_SORT_PTR + 8,
                      "output chunk layout");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortInfoBlock, context) == TQ_SORT_PTR,
                      "information block layout");
/* On a 32-bit build the native records are the 32-bit ones. */
TQ_SORT_STATIC_ASSERT(sizeof(void*) != 4 || (sizeof(TqSortKeyPart) == 24 &&
                                             sizeof(TqSortCollation) == 8 &&
                                             sizeof(TqSortInputChunk) == 12 &&
                                             sizeof(TqSortOutputChunk) == 20),
                      "32-bit native layout");
/* On a 64-bit build, the offsets spelled out. */
TQ_SORT_STATIC_ASSERT(sizeof(void*) != 8 || (offsetof(TqSortKeyPart, callback) == 24 &&
                                             sizeof(TqSortKeyPart) == 32 &&
                                             offsetof(TqSortCollation, collateFlags) == 8 &&
                                             offsetof(TqSortInputChunk, state) == 16 &&
                                             offsetof(TqSortOutputChunk, recordLength) == 20 &&
                                             offsetof(TqSortOutputChunk, marks) == 24 &&
                                             sizeof(TqSortOutputChunk) == 32),
                      "64-bit native layout");
/* The tables of operations: one pointer per slot, in slot order. */
TQ_SORT_STATIC_ASSERT(offsetof(TqSortParmsOps, unused4) == 4 * TQ_SORT_PTR &&
                          offsetof(TqSortParmsOps, setInt) == 5 * TQ_SORT_PTR &&
                          offsetof(TqSortParmsOps, setInt64) == 6 * TQ_SORT_PTR,
                      "parameters slots");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortEngineOps, report) == 6 * TQ_SORT_PTR &&
                          offsetof(TqSortEngineOps, releaseOutputChunk) == 8 * TQ_SORT_PTR,
                      "sort slots");
TQ_SORT_STATIC_ASSERT(offsetof(TqSortInputOps, submitInputChunk) == 3 * TQ_SORT_PTR,
                      "input slots");

#ifdef __cplusplus
}
#endif

#endif
