// Sorts names in German phone-book order, where "ä", "ö" and "ü" sort as "ae", "oe" and
// "ue": Ähre before Ahre, Müller right after Mueller.  Names from the arguments, or a
// few of its own.
//   phonebook [NAME]...
#include <tqdatafile/tqdatafile.h>

#include <cstdio>
#include <string>
#include <vector>

static int fail(const tq::Status& s) {
  std::fprintf(stderr, "phonebook: %s\n", s.toString().c_str());
  return 1;
}

int main(int argc, char** argv) {
  std::vector<std::string> names(argv + 1, argv + argc);
  if (names.empty()) names = {"Zoë", "Ähre", "zoo", "Ahre", "Müller", "Muller", "Mueller", "Möller", "Moeller"};
  auto manager = tq::Manager::create({.tempDirs = "/tmp"});
  if (!manager) return fail(manager.status());
  tq::Collation german{.locale = "de_DE", .variant = tq::Variant::phonebook};
  auto sorter = manager->sorter({
      .columns = {tq::Column::string(64)},
      .keys = {{.field = 0, .collation = german}},
      .stable = true,  // names the collation calls equal keep their order
  });
  if (!sorter) return fail(sorter.status());
  for (const std::string& name : names) {
    if (tq::Status s = sorter->add(name); !s.ok()) return fail(s);
  }
  auto sorted = std::move(*sorter).sort();
  if (!sorted) return fail(sorted.status());
  for (const tq::Row& row : *sorted) std::printf("%s\n", row.get<const char*>(0));
  return sorted->status().ok() ? 0 : fail(sorted->status());
}
