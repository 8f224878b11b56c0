#pragma once
// A folder held open by descriptor, so that listing it and removing from it
// concern the same folder even when its name is meanwhile moved or replaced by
// a symbolic link.
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/PosixFile.h"

namespace vl::platform {

struct DirectoryEntry {
  std::string name;       // the name within the folder, without any "/"
  FileSnapshot snapshot;  // the entry itself, a symbolic link not followed
};

class Directory {
 public:
  // Opens the folder (empty: the root); a symbolic link under that name (its
  // last component, trailing "/" or not) is refused. Raises an Exception
  // starting with the quoted name and saying why.
  explicit Directory(const std::string& name);

  // The regular files directly in the folder; symbolic links, folders and
  // anything else are left out. Raises an Exception when it cannot be read.
  std::vector<DirectoryEntry> RegularFiles() const;

  // Removes the entry name if it is still the regular file listed as expected
  // (same device and inode) and has no other name. Raises an Exception starting
  // with the quoted file name and saying why nothing was removed.
  void RemoveSoleFile(const std::string& name, const FileSnapshot& expected) const;

 private:
  std::string name_;
  Fd fd_;
};

}  // namespace vl::platform
