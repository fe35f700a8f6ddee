// Running the tqsort program from a test: a command line in the test's own directory,
// its standard input from a string, its output, errors and exit status captured.
#ifndef TQ_TESTS_TQSORT_SUPPORT_H
#define TQ_TESTS_TQSORT_SUPPORT_H

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "test_support.h"

#ifndef TQSORT_BIN
#error "TQSORT_BIN must name the tqsort program"
#endif

struct TqsortResult {
  int status;
  std::string out;
  std::string err;
};

inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

class TqsortRunTest : public TempDirTest {
 protected:
  // Runs a command line in the test's directory (LC_ALL=C); `input` goes to standard input.
  TqsortResult shell(const std::string& command, const std::string& input = "") {
    writeWholeFile(dir_ + "/stdin", input);
    std::string line = "cd " + shellQuote(dir_) + " && LC_ALL=C " + command + " < stdin > stdout 2> stderr";
    int raw = std::system(line.c_str());
    TqsortResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readWholeFile(dir_ + "/stdout");
    r.err = readWholeFile(dir_ + "/stderr");
    return r;
  }
  // tqsort without a progress bar, its temporary files in the test's directory.
  TqsortResult tqsort(const std::string& args, const std::string& input = "") {
    return shell(shellQuote(TQSORT_BIN) + " --no-progress -T " + shellQuote(dir_) + " " + args, input);
  }
};

#endif
