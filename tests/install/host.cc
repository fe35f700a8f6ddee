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
  manager->setColumns(1);
  manager->setColSpec(0, tqbTypeInteger, 0);
  manager->release();
  std::puts("host: ok");
  return 0;
}
