// tqsort as a shell runs it: output through symbolic links, hard links, FIFOs and
// devices; signals and closed pipes in the middle of a sort; a killed run; a low limit
// of open files; a temporary directory it may not write.  Each case starts the built
// program in a child process and then looks at what is left in the test's directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tqsort_status.h"

#ifndef TQSORT_BIN
#error "TQSORT_BIN must name the tqsort program"
#endif

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// "id,payload" rows with shuffled unique ids, about `bytes` long.
std::string makeRows(size_t bytes, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string text;
  for (int64_t i = 0; text.size() < bytes; ++i) {
    text += std::to_string(static_cast<int64_t>(rng() % 1000000000)) + ",row " + std::to_string(i) + " " +
            std::string(rng() % 60, 'x') + "\n";
  }
  return text;
}

// The lines of `text` sorted by their first field as an integer (stable).
std::string sortedByFirstField(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl + 1 - at));
    at = nl + 1;
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return std::stoll(a) < std::stoll(b);
  });
  std::string out;
  for (const std::string& l : lines) out += l;
  return out;
}

struct Spawn {
  Spawn(std::vector<std::string> a, std::string in, std::string out, std::function<void()> f = {})
      : args(std::move(a)), stdinFile(std::move(in)), stdoutFile(std::move(out)), inChild(std::move(f)) {}
  std::vector<std::string> args;
  std::string stdinFile;   // empty: a pipe (Child::input)
  std::string stdoutFile;  // empty: a pipe (Child::output)
  std::function<void()> inChild;  // runs in the child before exec (limits, signals, user)
};

struct Child {
  pid_t pid = -1;
  int input = -1;   // write end of the child's standard input, when a pipe
  int output = -1;  // read end of the child's standard output, when a pipe
};

// The shell's view of how a child ended: its exit status, or 128 + the signal.
int shellStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

class TqsortShellTest : public TempDirTest {
 protected:
  Child start(const Spawn& how) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (how.stdinFile.empty()) {
      EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    }
    if (how.stdoutFile.empty()) {
      EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    }
    std::vector<std::string> args = {TQSORT_BIN, "--no-progress"};
    args.insert(args.end(), how.args.begin(), how.args.end());
    std::string errPath = dir_ + "/stderr";
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(120);
      int fd0 = how.stdinFile.empty() ? in[0] : open(how.stdinFile.c_str(), O_RDONLY);
      int fd1 = how.stdoutFile.empty() ? out[1] : open(how.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int fd2 = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd0 < 0 || fd1 < 0 || fd2 < 0 || dup2(fd0, 0) < 0 || dup2(fd1, 1) < 0 || dup2(fd2, 2) < 0) _exit(121);
      struct rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would leave a core file
      signal(SIGPIPE, SIG_DFL);          // as a shell starts a program
      if (how.inChild) how.inChild();
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(122);
    }
    if (in[0] >= 0) close(in[0]);
    if (out[1] >= 0) close(out[1]);
    c.input = in[1];
    c.output = out[0];
    return c;
  }

  int wait(Child& c) {
    if (c.input >= 0) close(c.input);
    if (c.output >= 0) close(c.output);
    c.input = c.output = -1;
    int raw = 0;
    EXPECT_EQ(waitpid(c.pid, &raw, 0), c.pid);
    return shellStatus(raw);
  }

  int run(const Spawn& how) {
    Child c = start(how);
    return wait(c);
  }

  // Runs the child and gives its peak resident memory in KiB.
  long peakMemory(const Spawn& how, int* status) {
    Child c = start(how);
    if (c.input >= 0) close(c.input);
    if (c.output >= 0) close(c.output);
    int raw = 0;
    struct rusage usage = {};
    EXPECT_EQ(wait4(c.pid, &raw, 0, &usage), c.pid);
    *status = shellStatus(raw);
    return usage.ru_maxrss;
  }

  std::string err() { return readFile(dir_ + "/stderr"); }

  // Waits until the sort has spilled chunk files (the middle of a sort).
  bool waitForChunkFiles() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      if (!filesWithPrefix(dir_, "tqsort_").empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Names in the test directory other than `expected`.
  std::vector<std::string> strayNames(std::vector<std::string> expected) {
    expected.push_back("stderr");
    std::vector<std::string> stray;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      std::string name = e.path().filename().string();
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) stray.push_back(name);
    }
    return stray;
  }

  // Feeds `text` to a child's standard input, all of it, unless the child stops reading.
  static void feed(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  void SetUp() override {
    TempDirTest::SetUp();
    // The child's own SIGPIPE is its business: the test must not die of it.
    signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override {
    signal(SIGPIPE, SIG_DFL);
    TempDirTest::TearDown();
  }
};

// --- where the output goes ---------------------------------------------------------------

TEST_F(TqsortShellTest, OutputThroughASymbolicLinkReplacesItsTargetAndKeepsTheLink) {
  writeFile(dir_ + "/in.csv", "3,c\n1,a\n2,b\n");
  subdir("data");
  writeFile(dir_ + "/data/real.csv", "old\n");
  ASSERT_EQ(symlink("data/real.csv", (dir_ + "/link.csv").c_str()), 0);
  ASSERT_EQ(run(Spawn({"-k", "1:int", "-o", "link.csv", "in.csv"}, "/dev/null", "/dev/null")), 0) << err();
  struct stat st;
  ASSERT_EQ(lstat((dir_ + "/link.csv").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
  EXPECT_EQ(readFile(dir_ + "/data/real.csv"), "1,a\n2,b\n3,c\n");
  // A link to a file that does not exist yet creates that file.
  ASSERT_EQ(symlink("data/new.csv", (dir_ + "/dangling.csv").c_str()), 0);
  ASSERT_EQ(run(Spawn({"-k", "1:int", "-o", "dangling.csv", "in.csv"}, "/dev/null", "/dev/null")), 0) << err();
  ASSERT_EQ(lstat((dir_ + "/dangling.csv").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(readFile(dir_ + "/data/new.csv"), "1,a\n2,b\n3,c\n");
  // The input through a link is the output: sorted in place of itself.
  ASSERT_EQ(run(Spawn({"-k", "1:int:r", "-o", "link.csv", "link.csv"}, "/dev/null", "/dev/null")), 0) << err();
  EXPECT_EQ(readFile(dir_ + "/data/real.csv"), "3,c\n2,b\n1,a\n");
  EXPECT_TRUE(filesWithPrefix(dir_, ".tqsort-").empty());
}

TEST_F(TqsortShellTest, AFileWithHardLinksKeepsItsInode) {
  writeFile(dir_ + "/a.csv", "3,c\n1,a\n2,b\n");
  ASSERT_EQ(link((dir_ + "/a.csv").c_str(), (dir_ + "/b.csv").c_str()), 0);
  struct stat before, after;
  ASSERT_EQ(stat((dir_ + "/a.csv").c_str(), &before), 0);
  ASSERT_EQ(run(Spawn({"-k", "1:int", "-o", "a.csv", "a.csv"}, "/dev/null", "/dev/null")), 0) << err();
  ASSERT_EQ(stat((dir_ + "/a.csv").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(readFile(dir_ + "/b.csv"), "1,a\n2,b\n3,c\n");
  // A longer input into a shorter file: nothing of the old bytes remains.
  writeFile(dir_ + "/long.csv", "9,zzzzzzzzzzzzzzzzzzzzzz\n");
  ASSERT_EQ(run(Spawn({"-k", "1:int", "-o", "b.csv", "long.csv"}, "/dev/null", "/dev/null")), 0) << err();
  EXPECT_EQ(readFile(dir_ + "/a.csv"), "9,zzzzzzzzzzzzzzzzzzzzzz\n");
}

TEST_F(TqsortShellTest, AFifoIsWrittenToAndStaysAFifo) {
  writeFile(dir_ + "/in.csv", "2,b\n1,a\n");
  std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The reader is a process of its own: if the FIFO were replaced it would wait for
  // a writer for ever, and is killed.
  pid_t reader = fork();
  if (reader == 0) {
    int in = open(fifo.c_str(), O_RDONLY);
    int out = open((dir_ + "/got").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[4096];
    ssize_t n;
    while (in >= 0 && (n = read(in, buffer, sizeof buffer)) > 0) {
      if (write(out, buffer, static_cast<size_t>(n)) != n) _exit(1);
    }
    _exit(0);
  }
  int status = run(Spawn({"-k", "1:int", "-o", "pipe", "in.csv"}, "/dev/null", "/dev/null"));
  EXPECT_EQ(status, 0) << err();
  int raw = 0;
  for (int i = 0; i < 500 && waitpid(reader, &raw, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (kill(reader, SIGKILL) == 0) waitpid(reader, &raw, 0);
  EXPECT_EQ(readFile(dir_ + "/got"), "1,a\n2,b\n");
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(TqsortShellTest, DevicesAndOpenFileLinksAreWrittenTo) {
  writeFile(dir_ + "/in.csv", "2,b\n1,a\n");
  // Device nodes of our own (null and full), where the system lets us make them: a
  // regression must not replace the system's /dev entries.
  std::string null = dir_ + "/null", full = dir_ + "/full";
  if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
      mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
    ASSERT_EQ(run(Spawn({"-k", "1:int", "-o", "null", "in.csv"}, "/dev/null", "/dev/null")), 0) << err();
    struct stat st;
    ASSERT_EQ(lstat(null.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node became a regular file";
    // A full device: the system's words, status 2.
    EXPECT_EQ(run(Spawn({"-k", "1:int", "-o", "full", "in.csv"}, "/dev/null", "/dev/null")), 2);
    EXPECT_EQ(err(), "tqsort: cannot write 'full': No space left on device\n");
    ASSERT_EQ(lstat(full.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  unlink(null.c_str());
  unlink(full.c_str());
  // A link into /proc, as /dev/stdout is: the output goes to standard output.
  ASSERT_EQ(symlink("/proc/self/fd/1", (dir_ + "/mystdout").c_str()), 0);
  ASSERT_EQ(run(Spawn({"-k", "1:int", "-o", "mystdout", "in.csv"}, "/dev/null", dir_ + "/captured")), 0) << err();
  EXPECT_EQ(readFile(dir_ + "/captured"), "1,a\n2,b\n");
  struct stat st;
  ASSERT_EQ(lstat((dir_ + "/mystdout").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_TRUE(strayNames({"in.csv", "captured", "mystdout"}).empty());
}

// --- another user's output ----------------------------------------------------------------

namespace {

// Runs the child as nobody (the caller is root).
void becomeNobody() {
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(123);
}

struct FileState {
  ino_t inode;
  uid_t owner;
  gid_t group;
  mode_t mode;
};

FileState stateOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return FileState{st.st_ino, st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

// A file of `mode` owned by root with `text`.
void rootFile(const std::string& path, const std::string& text, mode_t mode) {
  writeFile(path, text);
  ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

}  // namespace

class TqsortOtherUserTest : public TqsortShellTest {
 protected:
  void SetUp() override {
    TqsortShellTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run tqsort as another user";
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    writeFile(dir_ + "/in.csv", "3,c\n1,a\n2,b\n");
    ASSERT_EQ(chmod((dir_ + "/in.csv").c_str(), 0644), 0);
  }
  // Sorts in.csv into `output` as nobody; the run directories go to /tmp.
  int sortAsNobody(const std::string& output) {
    return run(Spawn({"-T", "/tmp", "-k", "1:int", "-o", output, "in.csv"}, "/dev/null", "/dev/null", becomeNobody));
  }
  const std::string sorted_ = "1,a\n2,b\n3,c\n";
};

// Replacing a file by a rename must not let anyone do what writing it would not: a file
// the user may not write stays as it was, owner and mode too, and the run says why
// before it reads anything.
TEST_F(TqsortOtherUserTest, AFileTheUserMayNotWriteIsRefused) {
  std::string ww = subdir("ww");
  ASSERT_EQ(chmod(ww.c_str(), 0777), 0);
  rootFile(ww + "/ro.csv", "old\n", 0444);
  FileState before = stateOf(ww + "/ro.csv");
  EXPECT_EQ(sortAsNobody("ww/ro.csv"), 2);
  EXPECT_EQ(err(), "tqsort: cannot write 'ww/ro.csv': Permission denied\n");
  EXPECT_EQ(readFile(ww + "/ro.csv"), "old\n");
  FileState after = stateOf(ww + "/ro.csv");
  EXPECT_EQ(after.inode, before.inode);
  EXPECT_EQ(after.owner, 0u);
  EXPECT_EQ(after.mode, 0444u);
  EXPECT_TRUE(filesWithPrefix(ww, ".tqsort-").empty());
}

// A file the user may write but whose owner the new file could not take is written in
// place: its owner, group and mode stay.  One the user's own (or root's run) replaces
// keeps them too.
TEST_F(TqsortOtherUserTest, AReplacedOrRewrittenFileKeepsItsOwnerGroupAndMode) {
  std::string ww = subdir("ww");
  ASSERT_EQ(chmod(ww.c_str(), 0777), 0);
  rootFile(ww + "/rw.csv", "old old old old\n", 0666);
  FileState before = stateOf(ww + "/rw.csv");
  ASSERT_EQ(sortAsNobody("ww/rw.csv"), 0) << err();
  EXPECT_EQ(readFile(ww + "/rw.csv"), sorted_);
  FileState after = stateOf(ww + "/rw.csv");
  EXPECT_EQ(after.inode, before.inode);
  EXPECT_EQ(after.owner, 0u);
  EXPECT_EQ(after.group, 0u);
  EXPECT_EQ(after.mode, 0666u);
  // Root replaces nobody's file: the new file is nobody's, with the old mode.
  writeFile(ww + "/theirs.csv", "old\n");
  ASSERT_EQ(chown((ww + "/theirs.csv").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod((ww + "/theirs.csv").c_str(), 0604), 0);
  ASSERT_EQ(run(Spawn({"-T", ".", "-k", "1:int", "-o", "ww/theirs.csv", "in.csv"}, "/dev/null", "/dev/null")), 0)
      << err();
  EXPECT_EQ(readFile(ww + "/theirs.csv"), sorted_);
  after = stateOf(ww + "/theirs.csv");
  EXPECT_EQ(after.owner, 65534u);
  EXPECT_EQ(after.group, 65534u);
  EXPECT_EQ(after.mode, 0604u);
  EXPECT_TRUE(filesWithPrefix(ww, ".tqsort-").empty());
}

// Where no file can be made beside the output (another user's sticky directory, a
// read-only one), a file the user may write is written in place; a new one cannot be
// made and the run says so before it reads anything.
TEST_F(TqsortOtherUserTest, WhereNoFileCanBeMadeBesideItTheOutputIsWrittenInPlace) {
  std::string sticky = subdir("sticky");
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  rootFile(sticky + "/out.csv", "old\n", 0666);
  ASSERT_EQ(sortAsNobody("sticky/out.csv"), 0) << err();
  EXPECT_EQ(readFile(sticky + "/out.csv"), sorted_);
  EXPECT_EQ(stateOf(sticky + "/out.csv").owner, 0u);
  std::string ro = subdir("ro");
  rootFile(ro + "/out.csv", "old\n", 0666);
  ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
  ASSERT_EQ(sortAsNobody("ro/out.csv"), 0) << err();
  EXPECT_EQ(readFile(ro + "/out.csv"), sorted_);
  EXPECT_EQ(sortAsNobody("ro/new.csv"), 2);
  EXPECT_EQ(err(), "tqsort: cannot write 'ro/new.csv': Permission denied\n");
  EXPECT_TRUE(filesWithPrefix(ro, ".tqsort-").empty());
  EXPECT_TRUE(filesWithPrefix(sticky, ".tqsort-").empty());
}

// --- signals and closed pipes ------------------------------------------------------------

TEST_F(TqsortShellTest, ASignalMidSortLeavesNothingAndEndsTheRunBySignal) {
  std::string rows = makeRows(6u << 20, 1);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(sig));
    // Input from a pipe kept open: the sort has spilled and waits for more.
    Child c = start(Spawn({"-S", "1M", "-T", ".", "--progress", "-o", "out.csv", "-k", "1:int"}, "", "/dev/null"));
    feed(c.input, rows);
    ASSERT_TRUE(waitForChunkFiles());
    EXPECT_FALSE(filesWithPrefix(dir_, ".tqsort-").empty());  // the output's temporary
    ASSERT_EQ(kill(c.pid, sig), 0);
    EXPECT_EQ(wait(c), 128 + sig);
    EXPECT_TRUE(strayNames({}).empty()) << strayNames({}).front();
    // Nothing but the bar (when the sort had drawn it), its line ended or cleared.
    std::string e = err();
    const std::string cleared = std::string(60, ' ') + "\r";
    bool tidy = e.empty() || e.back() == '\n' ||
                (e.size() >= cleared.size() && e.compare(e.size() - cleared.size(), cleared.size(), cleared) == 0);
    EXPECT_TRUE(tidy) << "the progress bar's line was left open: " << tqsort::printable(e);
    EXPECT_EQ(e.find("tqsort: cannot"), std::string::npos) << e;
  }
}

TEST_F(TqsortShellTest, AClosedPipeEndsTheRunLike141AndLeavesNothing) {
  writeFile(dir_ + "/in.csv", makeRows(6u << 20, 2));
  // The caller writes the output itself (one processor) or a writer thread does.
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    // `tqsort ... | head -c 100`: the reader takes a little and goes away.
    Child c = start(Spawn({parallel, "-S", "1M", "-T", ".", "-k", "1:int", "in.csv"}, "/dev/null", ""));
    char some[100];
    EXPECT_GT(read(c.output, some, sizeof some), 0);
    EXPECT_EQ(wait(c), 128 + SIGPIPE);
    EXPECT_TRUE(strayNames({"in.csv"}).empty()) << strayNames({"in.csv"}).front();
    // A caller that ignores SIGPIPE gets the error as a message instead.
    c = start(Spawn({parallel, "-S", "1M", "-T", ".", "-k", "1:int", "in.csv"}, "/dev/null", "",
                    [] { signal(SIGPIPE, SIG_IGN); }));
    close(c.output);
    c.output = -1;
    EXPECT_EQ(wait(c), 2);
    EXPECT_EQ(err(), "tqsort: cannot write '(standard output)': Broken pipe\n");
    EXPECT_TRUE(strayNames({"in.csv"}).empty()) << strayNames({"in.csv"}).front();
  }
}

// The sort fails while its input is a pipe that stays open: the run ends at once, with
// the failure, whether the reading runs on its own thread or not.
TEST_F(TqsortShellTest, AFailedSortDoesNotWaitForAnOpenInput) {
  // The refused row comes last: the reader has read everything and waits for more.
  std::string input = makeRows(1u << 20, 5) + "7," + std::string(3000000, 'k') + "\n";
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    Child c = start(Spawn({parallel, "-S", "2M", "-T", ".", "-k", "2"}, "", "/dev/null"));
    // Feeds what the child takes, and keeps the pipe open; the child must end by itself.
    ASSERT_EQ(fcntl(c.input, F_SETFL, O_NONBLOCK), 0);
    size_t fed = 0;
    int raw = 0;
    pid_t done = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((done = waitpid(c.pid, &raw, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until) {
      ssize_t n = fed < input.size() ? ::write(c.input, input.data() + fed, input.size() - fed) : 0;
      if (n > 0) {
        fed += static_cast<size_t>(n);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    if (done == 0) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &raw, 0);
      ADD_FAILURE() << "tqsort waited for more input after its sort had failed";
    }
    close(c.input);
    c.input = -1;
    EXPECT_EQ(shellStatus(raw), 2);
    EXPECT_NE(err().find("bytes needs -S of at least"), std::string::npos) << err();
    EXPECT_TRUE(strayNames({}).empty()) << strayNames({}).front();
  }
}

TEST_F(TqsortShellTest, AKilledRunsFilesAreRemovedByTheNextRun) {
  Child c = start(Spawn({"-S", "1M", "-T", ".", "-o", "out.csv", "-k", "1:int"}, "", "/dev/null"));
  feed(c.input, makeRows(4u << 20, 3));
  ASSERT_TRUE(waitForChunkFiles());
  ASSERT_EQ(kill(c.pid, SIGKILL), 0);
  EXPECT_EQ(wait(c), 128 + SIGKILL);
  std::string runDir = "tqsort-" + std::to_string(c.pid) + "-";
  std::vector<std::string> left = strayNames({});
  ASSERT_EQ(left.size(), 2u);  // the run directory and the output's temporary, findable by pid
  for (const std::string& name : left) {
    EXPECT_TRUE(name.rfind(runDir, 0) == 0 || name.rfind("." + runDir, 0) == 0) << name;
  }
  writeFile(dir_ + "/in.csv", "1,a\n");
  ASSERT_EQ(run(Spawn({"-T", ".", "-o", "out.csv", "-k", "1:int", "in.csv"}, "/dev/null", "/dev/null")), 0) << err();
  EXPECT_TRUE(strayNames({"in.csv", "out.csv"}).empty()) << strayNames({"in.csv", "out.csv"}).front();
}

// --- limits and permissions --------------------------------------------------------------

TEST_F(TqsortShellTest, AThousandInputsUnderALimitOf64OpenFiles) {
  std::vector<std::string> args = {"-T", ".", "-k", "1:int"};
  std::string all;
  for (int i = 0; i < 1000; ++i) {
    std::string row = std::to_string((i * 7919) % 1000) + ",f" + std::to_string(i) + "\n";
    all += row;
    std::string name = "in" + std::to_string(i) + ".csv";
    writeFile(dir_ + "/" + name, row);
    args.push_back(name);
  }
  int status = run(Spawn(args, "/dev/null", dir_ + "/out", [] {
                      struct rlimit files = {64, 64};
                      setrlimit(RLIMIT_NOFILE, &files);
                    }));
  ASSERT_EQ(status, 0) << err();
  EXPECT_EQ(readFile(dir_ + "/out"), sortedByFirstField(all));
}

// With few file descriptors a sort larger than its memory merges its runs in passes,
// holding no more run files open at once than the process may still open, and says so
// in its statistics.  (It used to open every run at once and fail in the merge: "could
// not be reopened: Too many open files".)
TEST_F(TqsortShellTest, ASortBeyondItsMemoryMergesInPassesUnderFewOpenFiles) {
  std::string rows;  // 4 MB, unique keys (7919 is prime to 100003)
  for (int64_t k = 0; k < 90000; ++k) {
    rows += std::to_string(k * 7919 % 100003) + ",row " + std::to_string(k) + " " + std::string(k % 60, 'x') + "\n";
  }
  writeFile(dir_ + "/in.csv", rows);
  const std::string sorted = sortedByFirstField(rows);
  for (rlim_t limit : {16, 32, 64}) {
    SCOPED_TRACE(limit);
    int status = run(Spawn({"-S", "1M", "-T", ".", "-k", "1:int", "--stats", "in.csv"}, "/dev/null", dir_ + "/out",
                           [limit] {
                             struct rlimit files = {limit, limit};
                             setrlimit(RLIMIT_NOFILE, &files);
                           }));
    ASSERT_EQ(status, 0) << err();
    EXPECT_TRUE(readFile(dir_ + "/out") == sorted);
    // "Run files open at most: N of M" for every sort, N <= M < the limit.
    std::string e = err();
    size_t at = 0;
    int sorts = 0;
    while ((at = e.find("Run files open at most: ", at)) != std::string::npos) {
      at += std::strlen("Run files open at most: ");
      size_t used = std::stoul(e.substr(at));
      size_t most = std::stoul(e.substr(e.find(" of ", at) + 4));
      EXPECT_LE(used, most);
      EXPECT_LT(most, limit);
      EXPECT_GT(used, 0u);
      ++sorts;
    }
    EXPECT_GT(sorts, 0) << e;
    EXPECT_TRUE(strayNames({"in.csv", "out", "stderr"}).empty()) << strayNames({"in.csv", "out", "stderr"}).front();
  }
}

TEST_F(TqsortShellTest, TwoThousandInputsAtFourMegabytesUnderALimitOf64OpenFiles) {
  std::vector<std::string> args = {"-S", "4M", "-T", ".", "-k", "1:int"};
  std::vector<std::pair<int64_t, std::string>> lines;
  for (int i = 0; i < 2000; ++i) {
    std::string rows;  // 200 rows with unique keys (7919 is prime to 400009): 18 MB in all
    for (int64_t j = 0; j < 200; ++j) {
      int64_t k = i * 200 + j;
      std::string line = std::to_string(k * 7919 % 400009) + ",file " + std::to_string(i) + " row " +
                         std::to_string(j) + " " + std::string(static_cast<size_t>(k % 40), 'x') + "\n";
      lines.emplace_back(k * 7919 % 400009, line);
      rows += line;
    }
    std::string name = "in" + std::to_string(i) + ".csv";
    writeFile(dir_ + "/" + name, rows);
    args.push_back(name);
  }
  int status = run(Spawn(args, "/dev/null", dir_ + "/out", [] {
                      struct rlimit files = {64, 64};
                      setrlimit(RLIMIT_NOFILE, &files);
                    }));
  ASSERT_EQ(status, 0) << err();
  std::sort(lines.begin(), lines.end());
  std::string sorted;
  for (const auto& line : lines) sorted += line.second;
  EXPECT_TRUE(readFile(dir_ + "/out") == sorted);
}

namespace {

// Sanitizers reserve more address space than any limit below allows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

// Under limits of the address space from too small to start to ample, a run that meets a
// failed allocation on any thread (the reader's parsing a long quoted key, a sort's, the
// writer's, the caller's) ends with one line and status 2, and leaves nothing.
TEST_F(TqsortShellTest, AnAllocationThatFailsOnAnyThreadEndsTheRunCleanly) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs more address space";
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += std::to_string(i) + ",w" + std::to_string((i * 7919) % 20011) + "\n";
    if (i == 10000) text += "0,\"" + std::string(24u << 20, 'q') + "\"\n";  // quoted: its value is copied
  }
  writeFile(dir_ + "/in.csv", text);
  text.clear();
  int outOfMemory = 0;
  for (const char* options : {"--parallel=1", "--parallel=2", "--parallel=2 --collate=en"}) {
    for (rlim_t mib = 60; mib <= 300; mib += 40) {
      SCOPED_TRACE(std::string(options) + " within " + std::to_string(mib) + " MiB");
      std::vector<std::string> args = {"-T", ".", "-S", "4M", "-k", "2", "-o", "out.csv", "in.csv"};
      std::istringstream words(options);
      for (std::string w; words >> w;) args.push_back(w);
      int status = run(Spawn(args, "/dev/null", "/dev/null", [mib] {
        struct rlimit space = {mib << 20, mib << 20};
        setrlimit(RLIMIT_AS, &space);
      }));
      std::string e = err();
      if (status == 127 && e.find("error while loading shared libraries") != std::string::npos) continue;
      ASSERT_EQ(status, 2) << e;
      EXPECT_EQ(e.rfind("tqsort: ", 0), 0u) << e;
      EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
      outOfMemory += e == "tqsort: out of memory\n";
      EXPECT_TRUE(strayNames({"in.csv"}).empty()) << strayNames({"in.csv"}).front();
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(outOfMemory, 0) << "no limit was tight enough for tqsort's own allocations";
}

// Lines far longer than -S, close together: each is held whole once while it is read,
// one at a time whatever the processors, and nothing else grows with it.
TEST_F(TqsortShellTest, LongLinesCostTheirLengthOnceBeyondTheMemory) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory counts as resident";
  // The files are written a line at a time: a child's peak counts what this process
  // held when it forked.
  const size_t longest = 8u << 20;
  {
    std::mt19937_64 rng(6);
    std::ofstream shortFile(dir_ + "/short.csv", std::ios::binary), longFile(dir_ + "/long.csv", std::ios::binary);
    for (int i = 0; i < 30000; ++i) {
      std::string line = std::to_string(rng() % 1000000) + ",row " + std::to_string(i) + "\n";
      shortFile << line;
      longFile << line;
      if (i % 100 == 0 && i < 800) longFile << std::to_string(rng() % 1000000) << "," << std::string(longest, 'L') << "\n";
    }
  }
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    int status = 0;
    long base = peakMemory(Spawn({parallel, "-S", "1M", "-T", ".", "-s", "-k", "1:int", "short.csv"}, "/dev/null",
                                 "/dev/null"), &status);
    ASSERT_EQ(status, 0) << err();
    long peak = peakMemory(Spawn({parallel, "-S", "1M", "-T", ".", "-s", "-k", "1:int", "-o", "out.csv", "long.csv"},
                                 "/dev/null", "/dev/null"), &status);
    ASSERT_EQ(status, 0) << err();
    EXPECT_LE(peak - base, static_cast<long>(longest / 1024 * 5 / 4)) << peak << " KiB against " << base;
  }
  ASSERT_EQ(std::system(("cd " + dir_ + " && LC_ALL=C sort -s -t, -k1,1n long.csv | cmp -s - out.csv").c_str()), 0)
      << "the output is not the input in order";
}

// Several -T: run files go to all of them in turns (seen in a run killed mid-sort).
TEST_F(TqsortShellTest, RunFilesSpreadOverTheTemporaryDirectories) {
  subdir("a");
  subdir("b");
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    Child c = start(Spawn({parallel, "-S", "1M", "-T", "a", "-T", "b", "-k", "1:int"}, "", "/dev/null"));
    feed(c.input, makeRows(8u << 20, 7));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    size_t inA = 0, inB = 0;
    while (inA + inB < 6 && std::chrono::steady_clock::now() < until) {
      inA = filesWithPrefix(dir_ + "/a", "tqsort_").size();  // in the run directory inside
      inB = filesWithPrefix(dir_ + "/b", "tqsort_").size();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(c.pid, SIGTERM);
    wait(c);
    EXPECT_GE(inA, 1u);
    EXPECT_GE(inB, 1u) << "the second temporary directory took no run file";
    EXPECT_TRUE(filesWithPrefix(dir_ + "/a", "tqsort").empty());
    EXPECT_TRUE(filesWithPrefix(dir_ + "/b", "tqsort").empty());
  }
}

// A full temporary directory: the run goes on in the others, with every sort, and when
// none has room the message names the file it could not write.
TEST_F(TqsortShellTest, AFullTemporaryDirectoryIsLeftForTheOthers) {
  std::string full = subdir("full");
  if (geteuid() != 0 || mount("tmpfs", full.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "needs to mount a small file system";
  }
  subdir("roomy");
  std::string rows = makeRows(12u << 20, 8);
  writeFile(dir_ + "/in.csv", rows);
  const std::string expected = sortedByFirstField(rows);
  for (const char* options : {"--parallel=1", "--parallel=2", "--collate=en"}) {
    SCOPED_TRACE(options);
    bool collated = std::string(options) == "--collate=en";
    std::vector<std::string> args = {options, "-S", "1M", "-T", "full", "-T", "roomy", "-o", "out.csv", "in.csv",
                                     "-s", "-k", collated ? "2" : "1:int"};
    EXPECT_EQ(run(Spawn(args, "/dev/null", "/dev/null")), 0) << err();
    if (!collated) {
      EXPECT_TRUE(readFile(dir_ + "/out.csv") == expected);
    }
    EXPECT_EQ(readFile(dir_ + "/out.csv").size(), rows.size());
    args[4] = "full";
    args[6] = "full";
    EXPECT_EQ(run(Spawn(args, "/dev/null", "/dev/null")), 2);
    std::string e = err();
    EXPECT_NE(e.find("'full/tqsort-"), std::string::npos) << e;
    EXPECT_NE(e.find("No space left on device"), std::string::npos) << e;
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
  }
  EXPECT_TRUE(filesWithPrefix(full, "tqsort").empty());
  umount2(full.c_str(), MNT_DETACH);
}

// What tqsort itself keeps open while it reads, beyond its standard streams and what the
// library opens: a lock on each run directory, the output, and one descriptor to wake
// its reader.  Every descriptor it holds is one the library's merge cannot have.
TEST_F(TqsortShellTest, TqsortHoldsFewDescriptorsOfItsOwn) {
  subdir("a");
  subdir("b");
  subdir("c");
  for (const char* parallel : {"--parallel=1", "--parallel=2"}) {
    SCOPED_TRACE(parallel);
    Child c = start(Spawn({parallel, "-T", "a", "-T", "b", "-T", "c", "-k", "1:int", "-o", "out.csv"}, "", "/dev/null"));
    feed(c.input, "3,c\n1,a\n2,b\n");
    // Once the run directories are made the reader waits for more input.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (filesWithPrefix(dir_, ".tqsort-").empty() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The child's descriptors but its standard streams (and their copies) and what it
    // inherited from this process.
    auto targets = [](const std::string& dir) {
      std::vector<std::string> out;
      for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::error_code ec;
        out.push_back(std::filesystem::read_symlink(entry.path(), ec).string());
      }
      return out;
    };
    std::string proc = "/proc/" + std::to_string(c.pid) + "/fd";
    std::vector<std::string> mine = targets("/proc/self/fd"), own;
    for (int fd = 0; fd <= 2; ++fd) {
      std::error_code ec;
      mine.push_back(std::filesystem::read_symlink(proc + "/" + std::to_string(fd), ec).string());
    }
    for (const std::string& target : targets(proc)) {
      if (std::find(mine.begin(), mine.end(), target) == mine.end()) own.push_back(target);
    }
    EXPECT_EQ(wait(c), 0) << err();
    EXPECT_LE(own.size(), 5u) << "three run directories, the output, one to wake the reader: " << testing::PrintToString(own);
    EXPECT_EQ(readFile(dir_ + "/out.csv"), "1,a\n2,b\n3,c\n");
  }
}

TEST_F(TqsortShellTest, AnUnwritableTemporaryDirectoryIsReportedAtTheStart) {
  writeFile(dir_ + "/in.csv", "1,a\n");
  std::string ro = subdir("ro");
  ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  chmod((dir_ + "/in.csv").c_str(), 0644);
  // Root writes anywhere: the child runs as nobody then.
  int status = run(Spawn({"-T", "ro", "-k", "1", "in.csv"}, "/dev/null", "/dev/null", [] {
                      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(123);
                    }));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(err(), "tqsort: cannot use the temporary directory 'ro': Permission denied\n");
}

// A run directory that a killed run left, with a directory inside it (tqsort makes
// none; something else may have), is removed by the next run, which says nothing.
TEST_F(TqsortShellTest, AStaleRunDirectoryWithSubdirectoriesIsRemovedQuietly) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  std::string stale = "tqsort-" + std::to_string(gone) + "-AbCdEf";
  std::string deep = dir_ + "/" + stale + "/sub/deeper";
  std::filesystem::create_directories(deep);
  writeFile(deep + "/file", "x");
  writeFile(dir_ + "/" + stale + "/sub/file", "y");
  ASSERT_EQ(symlink("/etc", (dir_ + "/" + stale + "/sub/link").c_str()), 0);
  writeFile(dir_ + "/in.csv", "2\n1\n");
  ASSERT_EQ(run(Spawn({"-T", ".", "-k", "1", "-o", "out.csv", "in.csv"}, "/dev/null", "/dev/null")), 0) << err();
  EXPECT_EQ(err(), "");
  EXPECT_TRUE(strayNames({"in.csv", "out.csv"}).empty()) << strayNames({"in.csv", "out.csv"}).front();
  EXPECT_EQ(readFile(dir_ + "/out.csv"), "1\n2\n");
}

TEST_F(TqsortShellTest, TemporaryFileErrorsReadAsTheSystemsWords) {
  writeFile(dir_ + "/in.csv", makeRows(3u << 20, 4));
  // Files may not grow past 16 KiB: the first chunk file fails.
  int status = run(Spawn({"-S", "1M", "-T", ".", "-k", "1:int", "in.csv"}, "/dev/null", "/dev/null", [] {
                      signal(SIGXFSZ, SIG_IGN);
                      struct rlimit size = {16 << 10, 16 << 10};
                      setrlimit(RLIMIT_FSIZE, &size);
                    }));
  EXPECT_EQ(status, 2);
  std::string e = err();
  EXPECT_NE(e.find("File too large"), std::string::npos) << e;
  EXPECT_EQ(e.find("system error"), std::string::npos) << e;
  EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
  EXPECT_TRUE(strayNames({"in.csv"}).empty()) << strayNames({"in.csv"}).front();
}
