// POSIX implementation of the engine's file operations.
#include "EngineFile.h"

#include <fcntl.h>     // open, O_* flags
#include <sys/stat.h>  // stat, fstat, fchmod
#include <unistd.h>    // read, pread, write, pwrite, fsync, close, unlink, getpid

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>  // rename
#include <cstring>
#include <ctime>  // localtime_r

#include "EngineError.h"
#include "dzip.h"

namespace dz {
namespace {

std::string ErrorText(int err) {
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text;
}

FileInfo FromStat(const struct stat& st) {
  FileInfo info;
  info.exists = true;
  info.regular = S_ISREG(st.st_mode);
  info.link = S_ISLNK(st.st_mode);
  info.folder = S_ISDIR(st.st_mode);
  info.size = static_cast<uint64_t>(st.st_size);
  info.modified = static_cast<int64_t>(st.st_mtime);
  // No setuid, setgid or sticky bit is ever passed on to a file written.
  info.mode = static_cast<uint32_t>(st.st_mode & 0777);
  return info;
}

std::string BaseName(const std::string& path) {
  size_t end = path.size();
  size_t start = end;
  while (start > 0 && !IsPathSeparator(path[start - 1])) --start;
  return path.substr(start, end - start);
}

// Unique enough among concurrent runs; O_EXCL settles any clash.
std::string TemporaryName(const std::string& finalPath, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%d.%llx%u%u.dztmp", static_cast<int>(::getpid()), ticks & 0xFFFFFFull,
                counter++, attempt);
  std::string folder = FolderOf(finalPath);
  return folder + "/." + BaseName(finalPath) + suffix;
}

}  // namespace

bool IsPathSeparator(char c) { return c == '/'; }

std::string FolderOf(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !IsPathSeparator(path[end - 1])) --end;
  if (end == 0) return ".";
  while (end > 1 && IsPathSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

FileInfo StatPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return FileInfo{};
  return FromStat(st);
}

uint32_t DosDateTime(int64_t modified) {
  std::time_t t = static_cast<std::time_t>(modified);
  std::tm local{};
  if (::localtime_r(&t, &local) == nullptr || local.tm_year < 80) {
    return (0u << 9 | 1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
  }
  if (local.tm_year > 207) {
    return ((127u << 9) | (12u << 5) | 31u) << 16 | (23u << 11) | (59u << 5) | 29u;
  }
  uint32_t date = static_cast<uint32_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  uint32_t time = static_cast<uint32_t>(local.tm_hour << 11 | local.tm_min << 5 | (std::min(local.tm_sec, 59) / 2));
  return date << 16 | time;
}

// ---- InputFile

InputFile::InputFile(const std::string& path, int32_t failCode, int32_t wrongTypeCode)
    : path_(path), failCode_(failCode) {
  // O_NONBLOCK: a FIFO swapped in opens at once instead of waiting for a writer;
  // the type check on the descriptor then refuses it.
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0 && errno == ELOOP) throw DzipError(wrongTypeCode, path + " is a symbolic link");
  if (fd_ < 0) Fail("cannot open", errno);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) Fail("cannot examine", errno);
  if (!S_ISREG(st.st_mode)) throw DzipError(wrongTypeCode, path + " is not a regular file");
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

void InputFile::Fail(const char* what, int err) const {
  throw DzipError(failCode_, std::string(what) + " " + path_ + ": " + ErrorText(err));
}

FileInfo InputFile::Info() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) Fail("cannot examine", errno);
  return FromStat(st);
}

size_t InputFile::Read(void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd_, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read", errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void InputFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read", errno);
    }
    if (n == 0) throw DzipError(failCode_, "unexpected end of " + path_);
    done += static_cast<size_t>(n);
  }
}

// ---- TemporaryFile

TemporaryFile::TemporaryFile(const std::string& finalPath, uint32_t mode) : finalPath_(finalPath) {
  for (unsigned attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    std::string name = TemporaryName(finalPath, attempt);
    // Owner-only until fchmod sets the final bits, so no umask can widen it.
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0) tempPath_ = name;
    if (fd_ < 0 && errno != EEXIST && errno != EINTR) {
      throw DzipError(DZ_ERR_CANNOT_CREATE, "cannot create " + name + ": " + ErrorText(errno));
    }
  }
  if (fd_ < 0) throw DzipError(DZ_ERR_CANNOT_CREATE, "no free temporary name beside " + finalPath);
  if (::fchmod(fd_, static_cast<mode_t>(mode & 0777)) != 0) {
    int err = errno;
    ::close(fd_);
    fd_ = -1;
    ::unlink(tempPath_.c_str());
    throw DzipError(DZ_ERR_CANNOT_CREATE, "cannot set the mode of " + tempPath_ + ": " + ErrorText(err));
  }
}

TemporaryFile::~TemporaryFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
}

void TemporaryFile::Fail(const char* what, int err) const {
  throw DzipError(DZ_ERR_WRITE, std::string(what) + " " + tempPath_ + ": " + ErrorText(err));
}

void TemporaryFile::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd_, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write", errno);
    }
    if (n == 0) Fail("cannot write", ENOSPC);
    bytes += n;
    size -= static_cast<size_t>(n);
  }
}

void TemporaryFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write", errno);
    }
    if (n == 0) Fail("cannot write", ENOSPC);
    bytes += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
}

void TemporaryFile::Commit() {
  if (::fsync(fd_) != 0) Fail("cannot flush", errno);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("cannot close", errno);
  if (std::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    throw DzipError(DZ_ERR_WRITE, "cannot rename " + tempPath_ + " to " + finalPath_ + ": " + ErrorText(errno));
  }
  tempPath_.clear();
  // The rename itself reaches the disk with the folder; a failure here loses nothing.
  int folder = ::open(FolderOf(finalPath_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)::fsync(folder);
    ::close(folder);
  }
}

}  // namespace dz
