#include "tqbmessage.h"

#include <cstring>

namespace {

struct Message {
  int id;
  const char* text;
};

// Every message the library raises, with the arguments its callers pass.
const Message kMessages[] = {
    {29, "Out of memory: cannot allocate %s. Free memory or lower the chunk and sort sizes."},
    {167, "Column %d has no valid type. Give every column a boolean, integer, real, string "
          "or date type with setColSpec before creating a datafile."},
    {297, "Invalid datafile mode requested; only writing (1) and reading (2) exist."},
    {336, "A sorted datafile can only seek to position 0 (the start of the rows in hand) or "
          "to its current position."},
    {420, "The datafile manager has no columns. Call setColumns with a count above 0 first."},
    {467, "The temporary directory '%s' cannot be opened (status %d). Check that it exists "
          "and is readable."},
    {548, "The sort was cancelled by the progress callback."},
    {654, "A seek in the temporary file failed: %s."},
    {683, "No sort keys are defined. Call resetSort with the key count and setSort for each "
          "key before adding rows."},
    {728, "The datafile has no open temporary file to seek in."},
    {740, "A string column needs a maximum length above 0."},
    {1007, "Reading a temporary file failed: %s."},
    {1043, "The temporary file '%s' could not be truncated."},
    {1045, "Writing the temporary file '%s' failed: %s.%s"},
    {1075, "A memory-only datafile must also keep its rows in memory first "
           "(FlagMemoryOnly needs FlagMemoryFirst)."},
    {1181, "The thread pool gave up a sort work item before it ran."},
    {1244, "No temporary directory list was given and the configuration value BASE/TEMP is "
           "not set. Pass a directory list or set BASE/TEMP (or TQ_BASE_TEMP)."},
    {1353, "The temporary file '%s' could not be reopened: %s."},
    {1417, "A temporary file could not be created in '%s': %s.%s"},
    {1418, "Changing the buffering of the temporary file failed: %s (status %d)."},
    {1419, "The operation is not allowed in the datafile's current state (%s)."},
    {1422, "A row of %I64u bytes with its sort key does not fit in a sort chunk (%I64u bytes), "
           "and the sort's memory (%I64u bytes) cannot hold it twice: give the sort more memory "
           "(setSortSize), or store less in the row."},
    {1423, "Sort key %d is out of range: resetSort was given %d keys."},
    {1424, "Field %d cannot be a sort key: the datafile has %d fields."},
    {1426, "The sorted rows before this position have been read and released: a sorted "
           "datafile goes back only to its first row, and only before it reads on. Clone it "
           "right after sort() to read its rows more than once."},
    {1427, "A sorted datafile can be cloned only before it is read past its first row (its "
           "rows are released as they are read). Clone it right after sort(), then read."},
    {1440, "A temporary file could not be created in '%s': %s. The process has as many files "
           "open as it may: raise its limit of open files (ulimit -n)."},
    {1441, "The temporary file '%s' could not be reopened: %s. The process has as many files "
           "open as it may: raise its limit of open files (ulimit -n)."},
    {1421, "End of data: there is no row at this position, or a memory-only datafile is full."},
    {1428, "The value of column %d is %I64i bytes long, above the column's maximum length of %d "
           "bytes, and a row of fixed length cannot hold it: the row was not stored. Raise the "
           "column's maximum length (setColSpec)."},
    {1603, "The operation %s is not supported by this kind of datafile; create it as a "
           "sorting datafile (FlagSorted)."},
    {1607, "A collation applies only to a string key: field %d is not a string."},
    {1762, "Invalid collation option '%s'."},
    {1813, "Invalid value for %s: it must be greater than 0."},
    {1814, "Invalid value %I64i for %s: it must be between %I64i and %I64i."},
    {1827, "The sort's thread pool could not start or did not accept work."},
};

}  // namespace

const char* tqbMessageFormat(const char* catalogue, int id) {
  if (catalogue == nullptr || std::strcmp(catalogue, kTqCatalogue) != 0) return nullptr;
  for (const Message& m : kMessages) {
    if (m.id == id) return m.text;
  }
  return nullptr;
}
