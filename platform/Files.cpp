#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileStatus.h"

namespace vl::platform {
namespace fs = std::filesystem;

namespace {
std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// Opens name for reading without following a symbolic link there.
Fd OpenNoFollow(const std::string& name, int flags) {
  Fd fd(::open(name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600));
  if (fd.ok()) return fd;
  if (errno == ELOOP) throw Exception(Quoted(name) + " is a symbolic link");
  throw SystemError(Quoted(name) + " cannot be opened");
}

struct stat RegularFileStatus(int fd, const std::string& name) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw SystemError(Quoted(name) + " cannot be examined");
  if (!S_ISREG(st.st_mode)) throw Exception(Quoted(name) + " is not a regular file");
  return st;
}

void CopyContents(int from, int to, const std::string& source, const std::string& temp) {
  std::string buffer(1 << 20, '\0');
  for (;;) {
    ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw SystemError(Quoted(source) + " cannot be read");
    }
    if (n == 0) return;
    if (!WriteAll(to, std::string_view(buffer.data(), static_cast<size_t>(n))))
      throw SystemError(Quoted(temp) + " cannot be written");
  }
}

std::string TemporarySibling(const std::string& target) {
  fs::path t(target);
  return (t.parent_path() / ("." + t.filename().string() + ".XXXXXX")).string();
}
}  // namespace

bool FileExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceFolders(const std::string& name) {
  if (name.empty()) return false;
  std::error_code ec;
  fs::create_directories(name, ec);
  return FolderExists(name);
}

bool DeleteFile(const std::string& name) {
  return !FolderExists(name) && ::unlink(name.c_str()) == 0;
}

FileSnapshot SoleRegularFile(const std::string& name) {
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) throw SystemError(Quoted(name) + " cannot be examined");
  if (S_ISLNK(st.st_mode)) throw Exception(Quoted(name) + " is a symbolic link");
  if (!S_ISREG(st.st_mode)) throw Exception(Quoted(name) + " is not a regular file");
  if (st.st_nlink != 1)
    throw Exception(Quoted(name) + " has other names (" + std::to_string(st.st_nlink) + " hard links)");
  return SnapshotOf(st);
}

void CopyFile(const std::string& source, const std::string& target, bool failIfExists,
              const FileSnapshot* expectedSource) {
  if (failIfExists && FileExists(target)) throw Exception(Quoted(target) + " exists");
  Fd in = OpenNoFollow(source, O_RDONLY);
  const struct stat st = RegularFileStatus(in.get(), source);
  if (expectedSource != nullptr && !SnapshotOf(st).SameFile(*expectedSource))
    throw Exception(Quoted(source) + " is not the file it was");

  std::string tempName = TemporarySibling(target);
  Fd out(::mkstemp(tempName.data()));  // mode 0600 until it gets the source's bits
  if (!out.ok()) throw SystemError("No temporary file can be made beside " + Quoted(target));
  TemporaryFile temp(tempName);
  if (::fchmod(out.get(), st.st_mode & 0777) != 0) throw SystemError(Quoted(tempName) + " cannot take the mode");
  CopyContents(in.get(), out.get(), source, tempName);
  if (::fsync(out.get()) != 0 || !out.CloseChecked()) throw SystemError(Quoted(tempName) + " cannot be written");
  if (failIfExists) {
    // link() refuses an existing target atomically; the temporary name goes either way.
    if (::link(tempName.c_str(), target.c_str()) != 0) throw SystemError(Quoted(target) + " cannot be made");
    return;
  }
  if (::rename(tempName.c_str(), target.c_str()) != 0) throw SystemError(Quoted(target) + " cannot be replaced");
  temp.Keep();
}

FileLock::FileLock(const std::string& name) : fd_(OpenNoFollow(name, O_RDONLY | O_CREAT)) {
  RegularFileStatus(fd_.get(), name);
}

bool FileLock::TryLock() {
  while (!held_) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
    } else if (errno == EWOULDBLOCK) {
      return false;
    } else if (errno != EINTR) {
      throw SystemError("The lock cannot be taken");
    }
  }
  return true;
}

}  // namespace vl::platform
