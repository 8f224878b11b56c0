#pragma once
// Waiting for the clock the kernel stamps files with, instead of sleeping.
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <thread>

namespace vl::test {

// Returns once the file clock has passed ns, so that the next change of a file
// gets a later stamp: a rename's new status-change time cannot be set by hand.
// The wait is at most one tick of that clock.
inline void AwaitFileClockPast(std::int64_t ns) {
  for (;;) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (now.tv_sec * 1'000'000'000LL + now.tv_nsec > ns) return;
    std::this_thread::yield();
  }
}

// The same, past the file's own last status change.
inline void AwaitFileClockPastChangeOf(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return;
  AwaitFileClockPast(st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec);
}

}  // namespace vl::test
