#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/PosixFile.h"

namespace vl::platform {
namespace fs = std::filesystem;

namespace {
bool CopyContents(int from, int to) {
  std::string buffer(1 << 20, '\0');
  for (;;) {
    ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!WriteAll(to, std::string_view(buffer.data(), static_cast<size_t>(n)))) return false;
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

bool CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  if (failIfExists && FileExists(target)) return false;
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return false;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;

  std::string temp = TemporarySibling(target);
  Fd out(::mkstemp(temp.data()));
  if (!out.ok()) return false;
  bool ok = CopyContents(in.get(), out.get()) && ::fchmod(out.get(), st.st_mode & 07777) == 0 &&
            ::fsync(out.get()) == 0;
  ok = out.CloseChecked() && ok;
  if (ok && failIfExists) {
    ok = ::link(temp.c_str(), target.c_str()) == 0;  // refuses an existing target atomically
    ::unlink(temp.c_str());
    return ok;
  }
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace vl::platform
