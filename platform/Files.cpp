#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/FileStatus.h"
#include "platform/SpecialFolders.h"

namespace vl::platform {
namespace fs = std::filesystem;

namespace {

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

void CopyContents(int from, int to, const std::string& source) {
  std::string buffer(1 << 20, '\0');
  for (;;) {
    ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw SystemError(Quoted(source) + " cannot be read");
    }
    if (n == 0) return;
    if (!WriteAll(to, std::string_view(buffer.data(), static_cast<size_t>(n))))
      throw SystemError("The copy of " + Quoted(source) + " cannot be written");
  }
}

std::string TemporarySibling(const std::string& target) {
  fs::path t(target);
  return (t.parent_path() / ("." + t.filename().string() + ".XXXXXX")).string();
}

// The umask can only be read by setting it; it is put back at once.
mode_t CurrentUmask() {
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return mask;
}

// Fills *why, when asked for, and gives false.
bool Failed(std::string* why, const std::string& name, const std::string& what, int error) {
  if (why != nullptr) *why = Quoted(name) + " " + what + ": " + ErrnoText(error);
  return false;
}

// The entry's status, following links; false (with why) when there is none.
bool StatusOf(const std::string& name, struct stat& st, std::string* why) {
  if (name.empty()) return Failed(why, name, "cannot be examined", ENOENT);
  if (::stat(name.c_str(), &st) != 0) return Failed(why, name, "cannot be examined", errno);
  return true;
}
}  // namespace

bool FileExists(const std::string& name, std::string* why) {
  struct stat st {};
  if (!StatusOf(name, st, why)) return false;
  return !S_ISDIR(st.st_mode) || Failed(why, name, "is no file", EISDIR);
}

bool FolderExists(const std::string& name, std::string* why) {
  struct stat st {};
  if (!StatusOf(name, st, why)) return false;
  return S_ISDIR(st.st_mode) || Failed(why, name, "is no folder", ENOTDIR);
}

bool ForceFolders(const std::string& name, std::string* why) {
  if (name.empty()) return Failed(why, name, "cannot be created", ENOENT);
  std::error_code ec;
  fs::create_directories(name, ec);
  if (ec) return Failed(why, name, "cannot be created", ec.value());
  return FolderExists(name, why);
}

bool DeleteFile(const std::string& name, std::string* why) {
  if (FolderExists(name)) return Failed(why, name, "cannot be deleted", EISDIR);
  return ::unlink(name.c_str()) == 0 || Failed(why, name, "cannot be deleted", errno);
}

std::string MakePrivateTemporaryFolder(const std::string& prefix) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  // mkdtemp makes the folder 0700 under a fresh name, so nobody else can plant
  // or read anything in it.
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw SystemError("No folder can be made in " + Quoted(base.string()));
  return pattern;
}

bool RemoveFolderTree(const std::string& name, std::string* why) {
  std::error_code ec;
  fs::remove_all(name, ec);
  return !ec || Failed(why, name, "cannot be removed", ec.value());
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == PathDelim) return folder + name;
  return folder + PathDelim + name;
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

  ReplaceFile(
      target, st.st_mode & 0777, [&](int out) { CopyContents(in.get(), out, source); }, failIfExists);
}

void ReplaceFileText(const std::string& target, std::optional<mode_t> mode, std::string_view text) {
  ReplaceFile(target, mode, [&](int fd) {
    if (!WriteAll(fd, text)) throw SystemError(Quoted(target) + " cannot be written");
  });
}

void ReplaceFile(const std::string& target, std::optional<mode_t> mode, const std::function<void(int fd)>& writer,
                 bool failIfExists) {
  std::string tempName = TemporarySibling(target);
  // Made with O_CREAT | O_EXCL and mode 0600: never through a link, never
  // readable by others while it fills.
  Fd out(::mkostemp(tempName.data(), O_CLOEXEC));
  if (!out.ok()) throw SystemError("No temporary file can be made beside " + Quoted(target));
  TemporaryFile temp(tempName);
  if (::fchmod(out.get(), mode.value_or(0666 & ~CurrentUmask())) != 0)
    throw SystemError(Quoted(tempName) + " cannot take the mode");
  writer(out.get());
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
