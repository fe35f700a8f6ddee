// Runs a command and reports what it cost: its wall time, the bytes it caused to be
// written to storage, and its peak resident set.
//
//   runstat OUT COMMAND [ARG]...
//
// Writes one line to the file OUT:  WALL_SECONDS WRITE_BYTES MAXRSS_KIB EXIT_STATUS
// (EXIT_STATUS is 128 + N for a command ended by signal N) and exits with the command's
// status.  WRITE_BYTES is write_bytes of /proc/PID/io: what the command's threads sent
// towards storage, its temporary files and its output alike, also when the files were
// removed before they reached the disk.  It is read once the command has ended but
// before it is reaped (waitid with WNOWAIT), when the counters are final and the
// process is still there; then wait4 reaps it and gives ru_maxrss.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// write_bytes of /proc/PID/io, or -1 when it cannot be read.
long long writeBytes(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(pid));
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long long bytes = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "write_bytes: %lld", &bytes) == 1) break;
  }
  std::fclose(f);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: runstat OUT COMMAND [ARG]...\n");
    return 2;
  }
  double start = now();
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("runstat: fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "runstat: %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) {
      std::perror("runstat: waitid");
      return 2;
    }
  }
  double wall = now() - start;
  long long written = writeBytes(pid);
  int status = 0;
  rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("runstat: wait4");
      return 2;
    }
  }
  int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror("runstat: OUT");
    return 2;
  }
  std::fprintf(out, "%.3f %lld %ld %d\n", wall, written, usage.ru_maxrss, exitStatus);
  if (std::fclose(out) != 0) {
    std::perror("runstat: OUT");
    return 2;
  }
  return exitStatus;
}
