#include "ZipRecords.h"

#include <algorithm>

#include "EngineError.h"
#include "EngineFile.h"
#include "dzip.h"

namespace dz {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathExtraId = 0x7075;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
// A larger directory than this (millions of entries) is taken as damage
// rather than read into memory.
constexpr uint64_t kMaxDirectorySize = 256ull << 20;

// Little-endian record builder.
class Bytes {
 public:
  Bytes& U16(uint16_t v) { return Put(v, 2); }
  Bytes& U32(uint32_t v) { return Put(v, 4); }
  Bytes& U64(uint64_t v) { return Put(v, 8); }
  Bytes& Text(const std::string& s) {
    out_ += s;
    return *this;
  }
  std::string Take() { return std::move(out_); }

 private:
  Bytes& Put(uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  std::string out_;
};

// Little-endian record reader over a buffer; reading past its end is damage.
class Reader {
 public:
  Reader(const std::string& data, size_t pos = 0) : data_(data), pos_(pos) {}
  uint16_t U16() { return static_cast<uint16_t>(Get(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Get(4)); }
  uint64_t U64() { return Get(8); }
  std::string Text(size_t n) {
    Need(n);
    std::string s = data_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  size_t Pos() const { return pos_; }
  size_t Left() const { return data_.size() - pos_; }

 private:
  void Need(size_t n) const {
    if (n > data_.size() - pos_) throw DzipError(DZ_ERR_EXISTING_ARCHIVE, "existing archive: record cut short");
  }
  uint64_t Get(int width) {
    Need(static_cast<size_t>(width));
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(data_[pos_ + i])) << (8 * i);
    pos_ += static_cast<size_t>(width);
    return v;
  }
  const std::string& data_;
  size_t pos_;
};

[[noreturn]] void Damaged(const std::string& what) {
  throw DzipError(DZ_ERR_EXISTING_ARCHIVE, "existing archive is damaged: " + what);
}

// Only values that fit a 32-bit field are written there without ZIP64.
uint32_t Field32(uint64_t v) {
  if (v > kMax32) {
    throw DzipError(DZ_ERR_INTERNAL, "a value of " + std::to_string(v) + " does not fit its record field");
  }
  return static_cast<uint32_t>(v);
}

uint32_t Clamp32(uint64_t v) { return NeedsZip64(v) ? kMax32 : static_cast<uint32_t>(v); }

uint16_t VersionNeeded(const EntryRecord& entry) {
  return EntryUsesZip64(entry) ? std::max(entry.versionNeeded, kVersionZip64) : entry.versionNeeded;
}

std::string Zip64Extra(const EntryRecord& entry, bool withOffset) {
  Bytes fields;
  if (entry.zip64Sizes) fields.U64(entry.size).U64(entry.compressedSize);
  if (withOffset) fields.U64(entry.localOffset);
  std::string body = fields.Take();
  if (body.empty()) return {};
  return Bytes().U16(kZip64ExtraId).U16(Length16(body.size())).Text(body).Take();
}

// The real values behind a header's 0xFFFFFFFF fields, in the order they sit
// in a ZIP64 extra field.
struct Zip64Values {
  uint64_t* size = nullptr;
  uint64_t* compressedSize = nullptr;
  uint64_t* localOffset = nullptr;
  bool disk = false;
};

// Reads the extra fields that matter (ZIP64, Unicode Path); the rest are dropped.
void ReadExtraFields(const std::string& extra, const Zip64Values& zip64, EntryRecord* entry) {
  Reader r(extra);
  while (r.Left() >= 4) {
    uint16_t id = r.U16();
    uint16_t length = r.U16();
    std::string body = r.Text(length);
    if (id == kZip64ExtraId) {
      Reader z(body);
      if (zip64.size != nullptr) *zip64.size = z.U64();
      if (zip64.compressedSize != nullptr) *zip64.compressedSize = z.U64();
      if (zip64.localOffset != nullptr) *zip64.localOffset = z.U64();
      if (zip64.disk && z.U32() != 0) Damaged("spans several disks");
    } else if (id == kUnicodePathExtraId && entry != nullptr) {
      // Version 1, then the CRC-32 of the raw name, then the UTF-8 name.
      if (body.size() < 5) RefuseArchive("short Unicode Path field of " + entry->name);
      entry->unicodeName = body.substr(5);
      entry->hasUnicodeName = true;
    }
  }
}

EntryRecord ReadCentralHeader(Reader& r) {
  if (r.U32() != kCentralSignature) Damaged("bad central directory header");
  EntryRecord e;
  e.madeBy = r.U16();
  e.versionNeeded = r.U16();
  e.flags = r.U16();
  e.method = r.U16();
  uint16_t time = r.U16();
  uint16_t date = r.U16();
  e.dosDateTime = static_cast<uint32_t>(date) << 16 | time;
  e.crc = r.U32();
  uint32_t compressed = r.U32();
  uint32_t size = r.U32();
  uint16_t nameLength = r.U16();
  uint16_t extraLength = r.U16();
  uint16_t commentLength = r.U16();
  uint16_t disk = r.U16();
  e.internalAttributes = r.U16();
  e.externalAttributes = r.U32();
  uint32_t offset = r.U32();
  e.name = r.Text(nameLength);
  std::string extra = r.Text(extraLength);
  e.comment = r.Text(commentLength);
  e.compressedSize = compressed;
  e.size = size;
  e.localOffset = offset;
  ReadExtraFields(extra,
                  {size == kMax32 ? &e.size : nullptr, compressed == kMax32 ? &e.compressedSize : nullptr,
                   offset == kMax32 ? &e.localOffset : nullptr, disk == kMax16},
                  &e);
  if (disk != 0 && disk != kMax16) Damaged("spans several disks");
  e.zip64Sizes = SizesNeedZip64(e.size, e.compressedSize);
  return e;
}

struct EndInfo {
  uint64_t entries = 0;
  uint64_t directoryOffset = 0;
  uint64_t directorySize = 0;
  uint64_t directoryLimit = 0;  // where the directory must end
  std::string comment;
};

EndInfo ReadEndRecords(InputFile& file, uint64_t fileSize) {
  if (fileSize < kEndSize) Damaged("too short");
  uint64_t tailSize = std::min<uint64_t>(fileSize, kEndSize + 0xFFFF);
  std::string tail(tailSize, '\0');
  file.ReadAt(fileSize - tailSize, tail.data(), tail.size());
  size_t at = tail.size() - kEndSize + 1;
  bool found = false;
  while (at-- > 0) {
    Reader r(tail, at);
    if (r.U32() != kEndSignature) continue;
    Reader c(tail, at + 20);
    if (at + kEndSize + c.U16() == tail.size()) {
      found = true;
      break;
    }
  }
  if (!found) Damaged("no end of central directory record");
  uint64_t endOffset = fileSize - tailSize + at;

  Reader r(tail, at + 4);
  uint16_t disk = r.U16();
  uint16_t directoryDisk = r.U16();
  uint16_t entriesOnDisk = r.U16();
  EndInfo info;
  info.entries = r.U16();
  info.directorySize = r.U32();
  info.directoryOffset = r.U32();
  info.comment = r.Text(r.U16());
  info.directoryLimit = endOffset;
  if (disk != 0 || directoryDisk != 0 || entriesOnDisk != info.entries) Damaged("spans several disks");

  if (endOffset < kZip64LocatorSize) return info;
  std::string locator(kZip64LocatorSize, '\0');
  file.ReadAt(endOffset - kZip64LocatorSize, locator.data(), locator.size());
  Reader l(locator);
  if (l.U32() != kZip64LocatorSignature) return info;
  uint32_t zip64Disk = l.U32();
  uint64_t zip64Offset = l.U64();
  uint32_t disks = l.U32();
  if (zip64Disk != 0 || disks > 1) Damaged("spans several disks");
  if (zip64Offset > endOffset - kZip64LocatorSize || endOffset - kZip64LocatorSize - zip64Offset < kZip64EndSize) {
    Damaged("bad ZIP64 locator");
  }
  std::string record(kZip64EndSize, '\0');
  file.ReadAt(zip64Offset, record.data(), record.size());
  Reader z(record);
  if (z.U32() != kZip64EndSignature) Damaged("bad ZIP64 end record");
  z.U64();  // size of the rest of the record
  z.U16();  // version made by
  z.U16();  // version needed
  uint32_t zDisk = z.U32();
  uint32_t zDirectoryDisk = z.U32();
  uint64_t zEntriesOnDisk = z.U64();
  info.entries = z.U64();
  info.directorySize = z.U64();
  info.directoryOffset = z.U64();
  info.directoryLimit = zip64Offset;
  if (zDisk != 0 || zDirectoryDisk != 0 || zEntriesOnDisk != info.entries) Damaged("spans several disks");
  return info;
}

// Checks that the entry's local header agrees with its central one and finds
// where its data starts.
void LocateData(InputFile& file, EntryRecord& entry, uint64_t directoryOffset) {
  if (entry.localOffset > directoryOffset || directoryOffset - entry.localOffset < kLocalHeaderSize) {
    RefuseArchive("entry outside the archive: " + entry.name);
  }
  std::string header(kLocalHeaderSize, '\0');
  file.ReadAt(entry.localOffset, header.data(), header.size());
  Reader r(header);
  if (r.U32() != kLocalSignature) Damaged("bad local header: " + entry.name);
  r.U16();  // version needed
  uint16_t flags = r.U16();
  uint16_t method = r.U16();
  r.U32();  // time and date
  uint32_t crc = r.U32();
  uint64_t compressed = r.U32();
  uint64_t size = r.U32();
  uint64_t nameLength = r.U16();
  uint64_t extraLength = r.U16();
  entry.dataOffset = entry.localOffset + kLocalHeaderSize + nameLength + extraLength;
  if (entry.dataOffset > directoryOffset || directoryOffset - entry.dataOffset < entry.compressedSize) {
    RefuseArchive("entry data outside the archive: " + entry.name);
  }
  std::string rest(nameLength + extraLength, '\0');
  file.ReadAt(entry.localOffset + kLocalHeaderSize, rest.data(), rest.size());
  if (rest.compare(0, nameLength, entry.name) != 0) {
    RefuseArchive("local header names another entry than " + entry.name);
  }
  constexpr uint16_t kCompared = kFlagEncrypted | kFlagDataDescriptor;
  if (method != entry.method || (flags & kCompared) != (entry.flags & kCompared)) {
    RefuseArchive("local header disagrees with the directory: " + entry.name);
  }
  // With a data descriptor the local header may carry zeros instead.
  if (flags & kFlagDataDescriptor) return;
  ReadExtraFields(rest.substr(nameLength),
                  {size == kMax32 ? &size : nullptr, compressed == kMax32 ? &compressed : nullptr, nullptr, false},
                  nullptr);
  if (crc != entry.crc || compressed != entry.compressedSize || size != entry.size) {
    RefuseArchive("local header sizes or CRC disagree with the directory: " + entry.name);
  }
}

// Each entry's local header and data must lie apart from every other's, so no
// byte of the archive is copied twice.
void CheckNoOverlap(const std::vector<EntryRecord>& entries) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  ranges.reserve(entries.size());
  for (const auto& e : entries) ranges.emplace_back(e.localOffset, e.dataOffset + e.compressedSize);
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) RefuseArchive("entries overlap each other");
  }
}

}  // namespace

bool EntryUsesZip64(const EntryRecord& entry) { return entry.zip64Sizes || OffsetNeedsZip64(entry.localOffset); }

uint16_t Length16(size_t length) {
  if (length > kMax16) {
    throw DzipError(DZ_ERR_INTERNAL, "a length of " + std::to_string(length) + " does not fit its record field");
  }
  return static_cast<uint16_t>(length);
}

std::string LocalHeader(const EntryRecord& entry) {
  std::string extra = Zip64Extra(entry, false);
  return Bytes()
      .U32(kLocalSignature)
      .U16(VersionNeeded(entry))
      .U16(entry.flags)
      .U16(entry.method)
      .U16(static_cast<uint16_t>(entry.dosDateTime & 0xFFFF))  // time
      .U16(static_cast<uint16_t>(entry.dosDateTime >> 16))     // date
      .U32(entry.crc)
      .U32(entry.zip64Sizes ? kMax32 : Field32(entry.compressedSize))
      .U32(entry.zip64Sizes ? kMax32 : Field32(entry.size))
      .U16(Length16(entry.name.size()))
      .U16(Length16(extra.size()))
      .Text(entry.name)
      .Text(extra)
      .Take();
}

std::string CentralHeader(const EntryRecord& entry) {
  bool offsetInExtra = OffsetNeedsZip64(entry.localOffset);
  std::string extra = Zip64Extra(entry, offsetInExtra);
  return Bytes()
      .U32(kCentralSignature)
      .U16(entry.madeBy)
      .U16(VersionNeeded(entry))
      .U16(entry.flags)
      .U16(entry.method)
      .U16(static_cast<uint16_t>(entry.dosDateTime & 0xFFFF))
      .U16(static_cast<uint16_t>(entry.dosDateTime >> 16))
      .U32(entry.crc)
      .U32(entry.zip64Sizes ? kMax32 : Field32(entry.compressedSize))
      .U32(entry.zip64Sizes ? kMax32 : Field32(entry.size))
      .U16(Length16(entry.name.size()))
      .U16(Length16(extra.size()))
      .U16(Length16(entry.comment.size()))
      .U16(0)  // disk number start
      .U16(entry.internalAttributes)
      .U32(entry.externalAttributes)
      .U32(Clamp32(entry.localOffset))
      .Text(entry.name)
      .Text(extra)
      .Text(entry.comment)
      .Take();
}

std::string DataDescriptor(const EntryRecord& entry) {
  Bytes b;
  b.U32(kDescriptorSignature).U32(entry.crc);
  if (entry.zip64Sizes) {
    b.U64(entry.compressedSize).U64(entry.size);
  } else {
    b.U32(Field32(entry.compressedSize)).U32(Field32(entry.size));
  }
  return b.Take();
}

bool NeedsZip64End(uint64_t entryCount, uint64_t directoryOffset, uint64_t directorySize) {
  return entryCount >= kMax16 || NeedsZip64(directoryOffset) || NeedsZip64(directorySize);
}

std::string EndRecords(uint64_t entryCount, uint64_t directoryOffset, uint64_t directorySize,
                       const std::string& comment, bool zip64) {
  Bytes b;
  if (zip64) {
    uint64_t zip64Offset = directoryOffset + directorySize;
    b.U32(kZip64EndSignature)
        .U64(kZip64EndSize - 12)  // size of the rest of this record
        .U16(kVersionZip64)       // version made by
        .U16(kVersionZip64)       // version needed
        .U32(0)                   // this disk
        .U32(0)                   // disk with the directory
        .U64(entryCount)          // entries on this disk
        .U64(entryCount)          // entries in all
        .U64(directorySize)
        .U64(directoryOffset);
    b.U32(kZip64LocatorSignature)
        .U32(0)  // disk with the ZIP64 end record
        .U64(zip64Offset)
        .U32(1);  // disks in all
  }
  uint16_t count = entryCount >= kMax16 ? kMax16 : static_cast<uint16_t>(entryCount);
  b.U32(kEndSignature)
      .U16(0)  // this disk
      .U16(0)  // disk with the directory
      .U16(count)
      .U16(count)
      .U32(Clamp32(directorySize))
      .U32(Clamp32(directoryOffset))
      .U16(Length16(comment.size()))
      .Text(comment);
  return b.Take();
}

ArchiveDirectory ReadArchiveDirectory(InputFile& file, uint64_t fileSize) {
  EndInfo end = ReadEndRecords(file, fileSize);
  if (end.directoryOffset > end.directoryLimit || end.directoryLimit - end.directoryOffset < end.directorySize) {
    Damaged("central directory outside the archive");
  }
  if (end.entries > kMaxKeptEntries) {
    RefuseArchive(std::to_string(end.entries) + " entries, more than " + std::to_string(kMaxKeptEntries));
  }
  if (end.directorySize > kMaxDirectorySize || end.entries > end.directorySize / kCentralHeaderSize) {
    RefuseArchive("implausible central directory");
  }
  std::string directory(end.directorySize, '\0');
  file.ReadAt(end.directoryOffset, directory.data(), directory.size());

  ArchiveDirectory result;
  result.comment = end.comment;
  Reader r(directory);
  for (uint64_t i = 0; i < end.entries; ++i) {
    EntryRecord entry = ReadCentralHeader(r);
    LocateData(file, entry, end.directoryOffset);
    result.entries.push_back(std::move(entry));
  }
  if (r.Left() != 0) RefuseArchive("the directory holds more than its " + std::to_string(end.entries) + " entries");
  CheckNoOverlap(result.entries);
  return result;
}

}  // namespace dz
