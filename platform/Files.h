#pragma once
// File and folder operations with the outcomes the Windows calls report.
// File names on Linux are compared with regard to case; callers that relied on
// Windows folding case name the file exactly as it was written.
#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/PosixFile.h"

namespace vl::platform {

// The calls below that answer with a Boolean treat a failure as an ordinary
// outcome (a file that is missing, a folder that cannot be made and has a
// fallback). A caller that wants to show why passes why: on a false result it
// receives the quoted name, what failed and the system's reason, as in
// "\"/x/a\" cannot be created: Not a directory"; it is left alone otherwise.

bool FileExists(const std::string& name, std::string* why = nullptr);  // an existing entry that is not a folder
bool FolderExists(const std::string& name, std::string* why = nullptr);
// Creates missing parents; true when the folder exists afterwards.
bool ForceFolders(const std::string& name, std::string* why = nullptr);
bool DeleteFile(const std::string& name, std::string* why = nullptr);  // false when nothing was deleted

// A new folder under a fresh name that starts with prefix, in the system's
// folder for temporary files, open to this user only (mode 0700). Raises an
// Exception saying why when none can be made.
std::string MakePrivateTemporaryFolder(const std::string& prefix);
// Removes the folder and everything in it; a link inside is removed, never
// followed. True when nothing is left under the name.
bool RemoveFolderTree(const std::string& name, std::string* why = nullptr);

// folder and name joined by one separator ("/"), unless folder is empty or
// already ends with one.
std::string JoinPath(const std::string& folder, const std::string& name);

// What identifies a file on this machine, and what tells whether it changed.
struct FileSnapshot {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t links = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;  // status change: also moved by a rename, a new link or a chmod

  bool SameFile(const FileSnapshot& other) const { return device == other.device && inode == other.inode; }
  bool operator==(const FileSnapshot&) const = default;
};

// The entry under name itself (a symbolic link is not followed). Raises an
// Exception starting with the quoted name and saying why unless it is a regular
// file that has no other name (one hard link).
FileSnapshot SoleRegularFile(const std::string& name);

// Copies source over target (replacing it unless failIfExists). The copy is
// written under a temporary name in the target's folder and renamed when whole,
// so a failure never leaves a partial file under the target's name. Only a
// regular file is copied, never through a symbolic link; with expectedSource
// the file opened must be that file. The copy gets the source's permission bits
// (without set-id or sticky bits), never wider, whatever the umask. Raises an
// Exception saying why when nothing was copied.
void CopyFile(const std::string& source, const std::string& target, bool failIfExists,
              const FileSnapshot* expectedSource = nullptr);

// Writes a file whole or not at all: writer fills a new temporary file beside
// target (created exclusively with mode 0600, never through a link), which
// then gets mode (by default 0666 less the umask), is flushed to disk and
// renamed over target; with failIfExists it is linked to target instead, which
// fails when target exists. The temporary file is gone afterwards, whatever
// happened. writer raises Exception to give up. Raises an Exception saying what
// failed and why; target is then untouched.
void ReplaceFile(const std::string& target, std::optional<mode_t> mode, const std::function<void(int fd)>& writer,
                 bool failIfExists = false);
// ReplaceFile with text as the whole new content.
void ReplaceFileText(const std::string& target, std::optional<mode_t> mode, std::string_view text);

// An exclusive lock (flock) on a lock file, released when the object goes and
// by the kernel when the process ends, however it ends.
class FileLock {
 public:
  // Opens the lock file, creating it with mode 0600 when missing; a symbolic
  // link or anything but a regular file under that name is refused. Raises an
  // Exception saying why when it cannot be opened. The file is never removed:
  // another process may be waiting on it.
  explicit FileLock(const std::string& name);
  // Takes the lock unless another holder has it; true when held afterwards.
  bool TryLock();

 private:
  Fd fd_;
  bool held_ = false;
};

}  // namespace vl::platform
