// The spool of a collated sort: lines kept in memory, copied to its file, or left in
// the regular inputs they came from, and read back by place, in input order and in
// any other order, the same whichever way each went.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "tqsort_input.h"
#include "tqsort_output.h"
#include "tqsort_spool.h"

namespace {

using tqsort::InputFile;
using tqsort::LineSpool;
using tqsort::Status;

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Line {
  std::string bytes;
  const InputFile* from;  // null: not in any input (standard input, an added line end)
  int64_t offset;
  int64_t place = 0;
};

class TqsortLineSpoolTest : public TempDirTest {
 protected:
  // An input file of `lines` lines of 1 to `longest` bytes; its lines go to *lines
  // (every `skip`th one left out, as a header or a line of another sort would be).
  InputFile& makeInput(const std::string& name, size_t lines, size_t longest, size_t skip) {
    std::string text;
    std::vector<Line> made;
    for (size_t i = 0; i < lines; ++i) {
      std::string line(rng_() % longest + 1, '\0');
      for (char& c : line) c = static_cast<char>('a' + rng_() % 26);
      line.back() = '\n';
      made.push_back(Line{line, nullptr, static_cast<int64_t>(text.size())});
      text += line;
    }
    inputs_.push_back(std::make_unique<InputFile>());
    InputFile& in = *inputs_.back();
    in.name = dir_ + "/" + name;
    in.shown = name;
    writeWholeFile(in.name, text);
    struct stat st;
    EXPECT_EQ(::stat(in.name.c_str(), &st), 0);
    tqsort::noteRegularFile(&in, st);
    for (size_t i = 0; i < made.size(); ++i) {
      if (skip != 0 && i % skip == 0) continue;
      made[i].from = &in;
      lines_.push_back(made[i]);
    }
    return in;
  }
  // Lines that stand in no input.
  void addLoose(size_t count) {
    for (size_t i = 0; i < count; ++i) lines_.push_back(Line{std::string(rng_() % 90 + 1, 'q') + "\n", nullptr, -1});
  }
  // The lines, in the order of `order`, through a gathering window, as an output has them.
  std::string gathered(const LineSpool& spool, const std::vector<size_t>& order) {
    std::string path = dir_ + "/out";
    tqsort::OutputTarget target;
    EXPECT_TRUE(target.prepare(path).ok());
    EXPECT_TRUE(target.begin().ok());
    {
      tqsort::OutputStream out(&target, 4096, false);
      tqsort::LineGather gather(spool, 16384, &out);
      for (size_t i : order) EXPECT_TRUE(gather.add(lines_[i].place).ok());
      EXPECT_TRUE(gather.flush().ok());
      EXPECT_TRUE(out.flush().ok());
    }
    EXPECT_TRUE(target.commit().ok());
    return readWholeFile(path);
  }

  std::mt19937_64 rng_{11};
  std::vector<std::unique_ptr<InputFile>> inputs_;
  std::vector<Line> lines_;
};

// Lines of several inputs, with gaps between them, loose lines and lines longer than a
// block among them, read back the same by place, in input order and shuffled; only
// the copied ones take the file's room; the output's own file and the inputs past the
// most held open are copied.
TEST_F(TqsortLineSpoolTest, LinesLeftInTheInputsReadBackAsCopiedOnes) {
  makeInput("a", 400, 120, 0);
  addLoose(30);
  makeInput("b", 300, 9000, 7);  // lines longer than a block, and gaps
  InputFile& output = makeInput("c", 50, 40, 0);
  for (size_t i = 0; i < LineSpool::kMostInputs; ++i) makeInput("d" + std::to_string(i), 20, 60, 3);
  LineSpool spool({dir_}, 16384, 4096);
  spool.readInputsAgain(output.device, output.inode);
  uint64_t bytes = 0;
  for (Line& line : lines_) {
    ASSERT_TRUE(spool.append(line.bytes.data(), line.bytes.size(), &line.place, line.from, line.offset).ok());
    bytes += line.bytes.size();
  }
  ASSERT_TRUE(spool.flush().ok());
  EXPECT_FALSE(spool.allInMemory());
  EXPECT_GT(spool.memoryLines(), 0u);
  // Left in a, b and the first inputs d (the inputs took the slots in turn, c too):
  // every line outside memory but the loose ones, c's and the last d's.
  size_t left = 0;
  for (const Line& line : lines_) {
    bool heldOpen = false;
    for (size_t i = 0; i < LineSpool::kMostInputs; ++i) heldOpen |= line.from == inputs_[i].get();
    left += heldOpen && line.from != &output && LineSpool::inFile(line.place);
  }
  EXPECT_GT(left, 400u);
  EXPECT_EQ(spool.inputLines(), left);
  EXPECT_LT(spool.fileBytes(), bytes / 4);
  std::string expected;
  std::string scratch;
  for (const Line& line : lines_) {
    const char* p = nullptr;
    size_t n = 0;
    ASSERT_TRUE(spool.lineAt(line.place, &scratch, &p, &n).ok());
    ASSERT_EQ(std::string(p, n), line.bytes);
    expected += line.bytes;
  }
  size_t at = 0;
  ASSERT_TRUE(spool.replay([&](const char* p, size_t n, int64_t place) -> Status {
    EXPECT_LT(at, lines_.size());
    if (at >= lines_.size()) return Status::error("too many lines");
    EXPECT_EQ(std::string(p, n), lines_[at].bytes) << "line " << at;
    EXPECT_EQ(place, lines_[at].place) << "line " << at;
    ++at;
    return Status();
  }).ok());
  EXPECT_EQ(at, lines_.size());
  std::vector<size_t> order(lines_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  EXPECT_TRUE(gathered(spool, order) == expected);
  std::shuffle(order.begin(), order.end(), rng_);
  std::string shuffled;
  for (size_t i : order) shuffled += lines_[i].bytes;
  EXPECT_TRUE(gathered(spool, order) == shuffled);
  EXPECT_TRUE(spool.checkInputs().ok());
}

// An input that changes after its lines were left in it fails the run (checkInputs,
// before the output and before it is kept) rather than give other bytes; one that
// changed before the spool opened it is not read again at all.
TEST_F(TqsortLineSpoolTest, AnInputThatChangesIsNotReadAsItsLines) {
  InputFile& a = makeInput("a", 300, 100, 0);
  InputFile& b = makeInput("b", 300, 100, 0);
  LineSpool spool({dir_}, 4096, 4096);
  spool.readInputsAgain(0, 0);
  // b changes (same size, same second) before the spool meets it: copied.
  std::string text = readWholeFile(b.name);
  text[0] = text[0] == 'x' ? 'y' : 'x';
  writeWholeFile(b.name, text);
  struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(b.changedNs / 1000000000), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, b.name.c_str(), times, 0), 0);
  for (Line& line : lines_) {
    ASSERT_TRUE(spool.append(line.bytes.data(), line.bytes.size(), &line.place, line.from, line.offset).ok());
  }
  ASSERT_TRUE(spool.flush().ok());
  EXPECT_GT(spool.inputLines(), 150u);
  EXPECT_LE(spool.inputLines(), 300u);  // a's only
  EXPECT_TRUE(spool.checkInputs().ok());
  // a is cut short and written again: its lines cannot be read, and the check says so.
  ASSERT_EQ(::truncate(a.name.c_str(), 100), 0);
  Status s = spool.checkInputs();
  EXPECT_EQ(s.message(), "'a' changed while it was sorted: the sorted lines cannot be written");
  std::string scratch;
  const char* p = nullptr;
  size_t n = 0;
  s = spool.lineAt(lines_[250].place, &scratch, &p, &n);
  EXPECT_EQ(s.message(), "'a' changed while it was sorted: it ended early");
}

}  // namespace
