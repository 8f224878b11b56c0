#pragma once
// The snapshot of a file from its POSIX status; shared by the file calls of the platform layer.
#include <sys/stat.h>
#include <cstdint>

#include "platform/Files.h"

namespace vl::platform {

inline std::int64_t Nanoseconds(const timespec& t) { return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

inline FileSnapshot SnapshotOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_nlink, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

}  // namespace vl::platform
