#pragma once
// The entries of an archive already there that an update keeps: which ones may
// stay beside the new entries, and their data copied with its contents checked.
// An archive in the backup folder may have been planted, so nothing in it is
// trusted; every refusal raises DZ_ERR_UNSAFE_ARCHIVE with the reason.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ZipRecords.h"

namespace dz {

class InputFile;

// Drops the entries that new entries of the same name replace and checks the
// rest: no encryption, a method the engine can check (stored or deflated),
// names that stay inside the unpack folder, and no name a restore could take
// for a new entry or for another kept one (letter case aside, Unicode Path
// field included). Clears setuid, setgid and sticky bits from Unix attributes.
void SelectKeptEntries(std::vector<EntryRecord>& entries, const std::vector<std::string>& newNames);

// Reads the entry's compressed data, hands it to sink as it goes and checks
// it on the way: a deflated entry is inflated (never beyond its declared size)
// and its CRC-32 and sizes must match the directory's.
void CopyCheckedData(InputFile& source, const EntryRecord& entry,
                     const std::function<void(const uint8_t* data, size_t size)>& sink);

}  // namespace dz
