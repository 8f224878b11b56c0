#pragma once
// File and folder operations with the outcomes the Windows calls report.
// File names on Linux are compared with regard to case; callers that relied on
// Windows folding case name the file exactly as it was written.
#include <string>

namespace vl::platform {

bool FileExists(const std::string& name);    // an existing entry that is not a folder
bool FolderExists(const std::string& name);
bool ForceFolders(const std::string& name);  // creates missing parents; true when the folder exists afterwards
bool DeleteFile(const std::string& name);    // false when nothing was deleted
// Copies source over target (replacing it unless failIfExists). The copy is
// written under a temporary name in the target's folder and renamed when whole,
// so a failure never leaves a partial file under the target's name.
bool CopyFile(const std::string& source, const std::string& target, bool failIfExists);

}  // namespace vl::platform
