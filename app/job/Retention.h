#pragma once
// Keeping only the newest time-stamped backups of a folder. Only names the
// program's own stamp makes count: "vl_" + ddmmyy_HHnn_ss + ".zip" or ".bak",
// exactly, in that case, with digits that form a real date and time. vl.zip,
// VL.BAK, the lock file, symbolic links, folders and files with other names
// (hard links) are never touched.
//
// Age is read from the stamp, not from the file's times, which a copy or a
// restore changes. The two-digit year is taken as 2000 + yy, so a stamp of 1999
// would sort as 2099; the program writes no such stamp before that century wraps.
#include <optional>
#include <string>
#include <vector>

#include "platform/Directory.h"

namespace vl {

struct RetentionResult {
  std::vector<std::string> removed;   // full names of the files deleted, oldest last
  std::vector<std::string> failures;  // one text per file left in place against the plan, saying why
};

// The "KeepBackups" value: decimal digits only after trimming, 0 to 10000.
// Anything else is nullopt, which the caller treats as keeping all.
std::optional<unsigned> ParseKeepBackups(const std::string& text);

// Of the entries, the names to delete so that keep stamped files of the
// extension remain: justMade (a name in the folder, with or without the folder
// before it) and the keep - 1 newest others. Keep 0 deletes nothing. Only
// files with a single name are counted or chosen. Raises an Exception when
// justMade is not among them: old backups go only once the new one is in place.
std::vector<const platform::DirectoryEntry*> StampedToRemove(const std::vector<platform::DirectoryEntry>& entries,
                                                             const std::string& extension, unsigned keep,
                                                             const std::string& justMade);

// Deletes the chosen entries through the open folder; a file that cannot be
// deleted goes into failures and the rest are still tried.
RetentionResult RemoveEntries(const platform::Directory& folder, const std::string& folderName,
                              const std::vector<const platform::DirectoryEntry*>& chosen);

// Keeps the newest keep stamped files of extension (".zip" or ".bak") in
// folder (as the job names it; empty is the root), justMade among them. Raises
// an Exception when the folder cannot be opened or read or justMade is not in
// it; nothing is deleted then.
RetentionResult PruneStampedBackups(const std::string& folder, const std::string& extension, unsigned keep,
                                    const std::string& justMade);

}  // namespace vl
