// Symbol visibility of the library's exported functions.
#ifndef TQDATAFILE_EXPORT_H
#define TQDATAFILE_EXPORT_H

#define TQ_EXPORT __attribute__((visibility("default")))

#endif
