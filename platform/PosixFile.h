#pragma once
// POSIX file helpers of the platform layer; other folders use the calls built on them.
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Error.h"
#include "platform/Text.h"

namespace vl::platform {

// Owns one POSIX file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now and reports whether the close (the last chance for a write error) worked.
  bool CloseChecked() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes a temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string name) : name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  const std::string& name() const { return name_; }
  void Keep() { name_.clear(); }

 private:
  std::string name_;
};

// The system's text for an errno value.
inline std::string ErrnoText(int error) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

// An Exception saying what failed and, from errno, why.
inline Exception SystemError(const std::string& what, int error = errno) {
  return Exception(what + ": " + ErrnoText(error));
}

// Writes everything, retrying short and interrupted writes. On false, errno
// says why; a write that takes nothing counts as a full device (ENOSPC), since
// retrying it could go on forever.
inline bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vl::platform
