// The message catalogue.
//
// tqb_get_message(file, line, catalogue, id, args...) returns the text of message `id`
// of `catalogue` with its arguments filled in (typed formatting, tqbformat.h).  The
// library's messages are in the catalogue "Temporary File Library"; an unknown
// catalogue or id gives a text that names both, so no failure is ever silent.
#ifndef TQ_PLATFORM_TQBMESSAGE_H
#define TQ_PLATFORM_TQBMESSAGE_H

#include "tqbformat.h"
#include "tqbstring.h"

constexpr const char* kTqCatalogue = "Temporary File Library";

// The format of a message, or null when the catalogue has no such id.
const char* tqbMessageFormat(const char* catalogue, int id);

template <typename... Args>
TqbString tqb_get_message(const char* sourceFile, int line, const char* catalogue, int id,
                          const Args&... args) {
  (void)sourceFile;
  (void)line;
  const char* format = tqbMessageFormat(catalogue, id);
  if (format == nullptr) {
    return tqbStringFormat("Message %d of catalogue '%s' is not defined.", id,
                           catalogue ? catalogue : "(null)");
  }
  return tqbStringFormat(format, args...);
}

// Shorthand used throughout the library: a message of "Temporary File Library".
#define TQ_MESSAGE(id, ...) \
  tqb_get_message(__FILE__, __LINE__, kTqCatalogue, (id) __VA_OPT__(, ) __VA_ARGS__)

#endif
