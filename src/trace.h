// The library's traces: one record per call on an object's own logger (`logger_` in
// scope), silent unless the host raises that logger's level (platform/tqlog.h).
//
//   TQ_TRACE_CALL   level 1: an entry point of a datafile, sort or manager was called
//   TQ_TRACE_SORT   level 2: a step of a sort engine (keys, chunks, runs, merges, work)
//
// Both test the level before they evaluate their arguments, as TQ_LOG does.
#ifndef TQ_SRC_TRACE_H
#define TQ_SRC_TRACE_H

#include "platform/tqlog.h"

#define TQ_TRACE_CALL(...) TQ_LOG(logger_, 1, __VA_ARGS__)
#define TQ_TRACE_SORT(...) TQ_LOG(logger_, 2, __VA_ARGS__)

#endif
