// Runs a command and reports its wall time, CPU time and peak resident memory.
// A small C++ program rather than the Python runner forks the command, so the
// child's peak does not start from the parent's own size.
//
// usage: bench_measure [--stdout FILE] COMMAND [ARG...]
// Prints "wall_s cpu_s maxrss_kib" on standard error; exit code: the command's.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  int first = 1;
  const char* stdoutFile = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "--stdout") == 0) {
    stdoutFile = argv[2];
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: %s [--stdout FILE] COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t child = ::fork();
  if (child < 0) return 2;
  if (child == 0) {
    if (stdoutFile != nullptr) {
      int fd = ::open(stdoutFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, 1) < 0) ::_exit(127);
      ::close(fd);
    }
    ::execvp(argv[first], argv + first);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child) return 2;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::fprintf(stderr, "%.3f %.3f %ld\n", wall, cpu, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
