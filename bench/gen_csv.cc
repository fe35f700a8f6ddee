// Writes a deterministic CSV of N rows to standard output: an int64 id, a name, a
// decimal amount, a date, a category and a note (about 75 bytes a row).
//
//   gen_csv ROWS [SEED]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gen_csv ROWS [SEED]\n");
    return 2;
  }
  long long rows = std::atoll(argv[1]);
  std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 42);
  static const char* kFirst[] = {"Ada", "Alan", "Barbara", "Claude", "Donald", "Edsger", "Frances", "Grace",
                                 "Hedy", "Ivan", "John", "Ken", "Leslie", "Margaret", "Niklaus", "Radia"};
  static const char* kLast[] = {"Lovelace", "Turing", "Liskov", "Shannon", "Knuth", "Dijkstra", "Allen",
                                "Hopper", "Lamarr", "Sutherland", "Backus", "Thompson", "Lamport",
                                "Hamilton", "Wirth", "Perlman"};
  static const char* kCategory[] = {"books", "music", "garden", "tools", "toys", "food", "wine", "shoes",
                                    "sports", "office", "kitchen", "health", "beauty", "auto", "pets",
                                    "games", "movies", "travel", "baby", "art"};
  static const char kWords[] = "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor";
  std::string line;
  char buf[64];
  for (long long r = 0; r < rows; ++r) {
    line.clear();
    line += std::to_string(static_cast<long long>(rng() % 1000000000000ull));
    line += ',';
    line += kFirst[rng() % 16];
    line += ' ';
    line += kLast[rng() % 16];
    std::snprintf(buf, sizeof(buf), ",%llu.%02llu,", static_cast<unsigned long long>(rng() % 100000),
                  static_cast<unsigned long long>(rng() % 100));
    line += buf;
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d,", 1950 + static_cast<int>(rng() % 80),
                  1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 28));
    line += buf;
    line += kCategory[rng() % 20];
    line += ',';
    size_t start = rng() % 30, length = 10 + rng() % 30;
    line.append(kWords + start, std::min(length, sizeof(kWords) - 1 - start));
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return 0;
}
