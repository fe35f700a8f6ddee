// A minimal host program built against the installed library.
#include <tqdatafile/tqdatafile.h>

#include <cstdio>

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : "/tmp";
  TqbString error;
  TqDatafileManager* manager = tqDatafileManagerCreate(dir, &error);
  if (manager == nullptr) {
    std::fprintf(stderr, "host: %s\n", error.asCstr());
    return 1;
  }
  unsigned flags = 0;
  if (!tqDatafileParseCollateParms(false, "UPPER", false, "", "", &flags, &error) || flags != 4) {
    std::fprintf(stderr, "host: collation options not parsed\n");
    return 1;
  }
  manager->setColumns(2);
  manager->setColSpec(0, tqbTypeInteger, 0);
  manager->setColSpec(1, tqbTypeString, 16);
  TqDatafile* file = manager->createFile(TqDatafile::FlagMemoryFirst | TqDatafile::FlagVariableRows);
  if (file == nullptr) {
    std::fprintf(stderr, "host: %s\n", manager->getError().asCstr());
    return 1;
  }
  for (int64_t i = 0; i < 3; ++i) {
    file->getField(0)->assign(i);
    file->getField(1)->assign("row");
    if (file->addRow(nullptr) != 0) return 1;
  }
  if (file->freeze() != 0) return 1;
  int64_t sum = 0;
  while (file->next(nullptr) == 0) sum += file->getField(0)->asInt64(nullptr);
  file->release();
  manager->release();
  if (sum != 3) {
    std::fprintf(stderr, "host: rows did not come back\n");
    return 1;
  }
  std::puts("host: ok");
  return 0;
}
