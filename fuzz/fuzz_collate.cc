// The collation option parser on arbitrary words.
//
// The input is split at zero bytes into the case order, strength and variant words;
// the first byte's low bits are the two switches.  Checked: a refusal names the
// refused option; an acceptance leaves no error text; the same words give the same
// answer twice.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tqdatafile/tqdatafile.h"

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  bool first = bytes[0] & 1;
  bool second = bytes[0] & 2;
  std::string words[3];
  size_t w = 0;
  for (size_t i = 1; i < size && w < 3; ++i) {
    if (bytes[i] == 0) {
      ++w;
    } else {
      words[w].push_back(static_cast<char>(bytes[i]));
    }
  }
  TqbString caseOrder(words[0].c_str()), strength(words[1].c_str()), variant(words[2].c_str());
  unsigned flags = 0xDEADBEEF, again = 0;
  TqbString error, error2;
  bool ok = tqDatafileParseCollateParms(first, caseOrder, second, strength, variant, &flags, &error);
  bool ok2 = tqDatafileParseCollateParms(first, caseOrder, second, strength, variant, &again, &error2);
  CHECK(ok == ok2);
  if (ok) {
    CHECK(flags == again);
  } else {
    CHECK(error.length() > 0);
    CHECK(std::string(error.asCstr()) == error2.asCstr());
  }
  return 0;
}
