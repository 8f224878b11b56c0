#pragma once
// The zip format's records (PKWARE APPNOTE): writing local and central headers,
// data descriptors and end records, and reading the central directory of an
// archive that is already there.
#include <cstdint>
#include <string>
#include <vector>

namespace dz {

class InputFile;

inline constexpr uint32_t kMax32 = 0xFFFFFFFFu;
inline constexpr uint16_t kMax16 = 0xFFFFu;
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;
inline constexpr uint16_t kVersionDefault = 20;
inline constexpr uint16_t kVersionZip64 = 45;

// One entry as the central directory describes it.
struct EntryRecord {
  std::string name;  // raw bytes, "/" separators
  // A read archive's Info-ZIP Unicode Path field (0x7075), the name some readers
  // restore instead of the raw one. No other extra field is kept: unknown ones
  // are dropped, and ZIP64 is rebuilt on writing.
  std::string unicodeName;
  bool hasUnicodeName = false;
  std::string comment;
  uint16_t madeBy = kVersionDefault;
  uint16_t versionNeeded = kVersionDefault;
  uint16_t flags = 0;
  uint16_t method = kMethodDeflated;
  uint32_t dosDateTime = 0;  // date high, time low
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  uint16_t internalAttributes = 0;
  uint32_t externalAttributes = 0;
  uint64_t localOffset = 0;
  // Sizes go in a ZIP64 extra field of both headers. Decided before the local
  // header is written, since that header cannot grow afterwards.
  bool zip64Sizes = false;
  uint64_t dataOffset = 0;  // where the compressed data starts (read archives only)
};

// Whether a value needs a ZIP64 field: the classic 32-bit field holds less.
inline bool NeedsZip64(uint64_t value) { return value >= kMax32; }
// Whether an entry of these sizes needs ZIP64 size fields; a compressed size
// not known yet is 0.
inline bool SizesNeedZip64(uint64_t size, uint64_t compressedSize = 0) {
  return NeedsZip64(size) || NeedsZip64(compressedSize);
}
// Whether a local header at this offset needs a ZIP64 field in the central header.
inline bool OffsetNeedsZip64(uint64_t localOffset) { return NeedsZip64(localOffset); }

std::string LocalHeader(const EntryRecord& entry);
std::string CentralHeader(const EntryRecord& entry);
std::string DataDescriptor(const EntryRecord& entry);
// The end of central directory record, preceded by the ZIP64 end record and its
// locator when zip64 is set. The caller decides zip64 (see NeedsZip64End).
std::string EndRecords(uint64_t entryCount, uint64_t directoryOffset, uint64_t directorySize,
                       const std::string& comment, bool zip64);
bool NeedsZip64End(uint64_t entryCount, uint64_t directoryOffset, uint64_t directorySize);
// Whether an entry's central header needs a ZIP64 field (sizes or offset).
bool EntryUsesZip64(const EntryRecord& entry);

struct ArchiveDirectory {
  std::vector<EntryRecord> entries;
  std::string comment;
};

// The most entries an existing archive may have, the classic format's limit;
// more is refused rather than held in memory.
inline constexpr uint64_t kMaxKeptEntries = 65535;

// Reads and checks the central directory and every entry's local header.
// A file that cannot be read as an archive raises DZ_ERR_EXISTING_ARCHIVE; one
// whose records disagree with each other, overlap or claim too much raises
// DZ_ERR_UNSAFE_ARCHIVE.
ArchiveDirectory ReadArchiveDirectory(InputFile& file, uint64_t fileSize);

// The length of a name, extra field or comment as its 16-bit record field;
// raises rather than writing a length that does not fit.
uint16_t Length16(size_t length);

}  // namespace dz
