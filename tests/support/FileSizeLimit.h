#pragma once
// A file-size limit in a child process: a full disk without a file system of its own.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vl::test {

// Runs body in a child process whose files cannot grow past bytes (a write
// beyond fails with EFBIG instead of killing it) and returns body's result, or
// -1 when the child did not end normally.
inline int UnderFileSizeLimit(rlim_t bytes, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vl::test
