#pragma once
// File and folder operations with the outcomes the Windows calls report.
// File names on Linux are compared with regard to case; callers that relied on
// Windows folding case name the file exactly as it was written.
#include <cstdint>
#include <string>

#include "platform/PosixFile.h"

namespace vl::platform {

bool FileExists(const std::string& name);    // an existing entry that is not a folder
bool FolderExists(const std::string& name);
bool ForceFolders(const std::string& name);  // creates missing parents; true when the folder exists afterwards
bool DeleteFile(const std::string& name);    // false when nothing was deleted

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
