#include "platform/Directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "platform/PosixFile.h"

namespace vl::platform {
namespace {
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// A stream over a descriptor of its own, so that reading neither moves nor
// closes the descriptor the removals go through.
DirStream OpenStream(int folderFd, const std::string& folder) {
  int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw SystemError(Quoted(folder) + " cannot be read");
  DirStream stream(::fdopendir(fd));
  if (!stream) {
    int error = errno;
    ::close(fd);
    throw SystemError(Quoted(folder) + " cannot be read", error);
  }
  return stream;
}

// A trailing "/" would make the system follow a symbolic link in the last
// component despite O_NOFOLLOW; the root stays "/".
std::string WithoutTrailingSlashes(std::string name) {
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  return name.empty() ? "/" : name;
}

bool IsDotOrDotDot(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }
}  // namespace

Directory::Directory(const std::string& name)
    : name_(name), fd_(::open(WithoutTrailingSlashes(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
  if (fd_.ok()) return;
  int error = errno;
  struct stat st {};
  // O_DIRECTORY is checked first, so a link to a folder is refused as "not a directory".
  if (error == ELOOP || (::lstat(WithoutTrailingSlashes(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode)))
    throw Exception(Quoted(name) + " is a symbolic link");
  throw SystemError(Quoted(name) + " cannot be opened as a folder", error);
}

std::vector<DirectoryEntry> Directory::RegularFiles() const {
  DirStream stream = OpenStream(fd_.get(), name_);
  std::vector<DirectoryEntry> files;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) throw SystemError(Quoted(name_) + " cannot be read");
      return files;
    }
    if (IsDotOrDotDot(entry->d_name)) continue;
    struct stat st {};
    // An entry gone since it was read is simply not listed.
    if (::fstatat(fd_.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode)) files.push_back({entry->d_name, SnapshotOf(st)});
  }
}

void Directory::RemoveSoleFile(const std::string& name, const FileSnapshot& expected) const {
  const std::string shown = Quoted(JoinPath(name_, name));
  if (name.empty() || name.find('/') != std::string::npos || IsDotOrDotDot(name.c_str()))
    throw Exception(shown + " is not a name within the folder");
  struct stat st {};
  if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    throw SystemError(shown + " cannot be examined");
  if (!S_ISREG(st.st_mode)) throw Exception(shown + " is no longer a regular file");
  if (!SnapshotOf(st).SameFile(expected)) throw Exception(shown + " was replaced since the folder was read");
  if (st.st_nlink != 1) throw Exception(shown + " has other names (hard links)");
  if (::unlinkat(fd_.get(), name.c_str(), 0) != 0) throw SystemError(shown + " cannot be deleted");
}

}  // namespace vl::platform
