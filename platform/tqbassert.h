// Assertion hook for checks on the caller's values.
//
// tqbAssertFailure reports the failed check (on the logger "TQ.Assert" at level 5 and
// to an optional test hook) and returns: the operation goes on.  Tests count reports.
#ifndef TQ_PLATFORM_TQBASSERT_H
#define TQ_PLATFORM_TQBASSERT_H

#include <cstdint>

void tqbAssertFailure(const char* text, const char* sourceFile, int line);

// Reports made since the process started (all threads).
int64_t tqbAssertCount();
// Text of the most recent report ("" when none); for tests.
const char* tqbAssertLastText();

#define TQB_ASSERT_FAIL(text) tqbAssertFailure((text), __FILE__, __LINE__)

#endif
