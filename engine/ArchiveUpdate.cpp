#include "ArchiveUpdate.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "EngineError.h"
#include "EngineFile.h"
#include "ItemList.h"
#include "KeptEntries.h"
#include "ParallelDeflate.h"
#include "ZipRecords.h"
#include "dzip.h"

namespace dz {
namespace {

constexpr size_t kOutputBuffer = 256 * 1024;
constexpr uint16_t kMadeBy = kVersionZip64;  // MS-DOS attributes (host 0), format 4.5

struct PlannedItem {
  std::string path;
  std::string entryName;
  uint32_t mode = 0;  // permission bits
};

// The temporary archive with a write buffer and the current offset.
class ArchiveOutput {
 public:
  explicit ArchiveOutput(TemporaryFile& file) : file_(file) { buffer_.reserve(kOutputBuffer); }

  void Write(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (buffer_.size() + size > kOutputBuffer) Flush();
    if (size >= kOutputBuffer) {
      file_.Write(bytes, size);
    } else {
      buffer_.insert(buffer_.end(), bytes, bytes + size);
    }
    position_ += size;
  }
  void Write(const std::string& record) { Write(record.data(), record.size()); }

  void WriteAt(uint64_t offset, const std::string& record) {
    Flush();
    file_.WriteAt(offset, record.data(), record.size());
  }

  void Flush() {
    if (buffer_.empty()) return;
    file_.Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

  uint64_t Position() const { return position_; }

 private:
  TemporaryFile& file_;
  std::vector<uint8_t> buffer_;
  uint64_t position_ = 0;
};

// Refuses what needs ZIP64 records unless large files were allowed.
void RequireZip64Allowed(bool needed, bool allowed, const std::string& what) {
  if (needed && !allowed) throw DzipError(DZ_ERR_TOO_LARGE, what + " needs ZIP64 records, which were not allowed");
}

bool IsNonAsciiUtf8(const std::string& text) {
  bool nonAscii = false;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    nonAscii = nonAscii || length > 1;
    i += length;
  }
  return nonAscii;
}

// The most a deflate stream of size bytes can take: stored blocks and the
// flush markers between pieces add well under 1/1024.
uint64_t WorstCompressedSize(uint64_t size) { return size + (size >> 10) + 4096; }

int32_t Percent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  return static_cast<int32_t>(done * 100 / total);
}

// Checks every item before anything is written; a later item of the same
// entry name replaces an earlier one.
std::vector<PlannedItem> PlanItems(const AddRequest& request) {
  if (request.items.empty()) throw DzipError(DZ_ERR_NO_ITEM, "the item list names no file");
  std::vector<PlannedItem> plan;
  for (const auto& path : request.items) {
    FileInfo info = StatPath(path);
    if (!info.exists) throw DzipError(DZ_ERR_ITEM_UNREADABLE, "no such file: " + path);
    if (info.link) throw DzipError(DZ_ERR_ITEM_UNREADABLE, "a symbolic link, not followed: " + path);
    if (!info.regular) throw DzipError(DZ_ERR_ITEM_UNREADABLE, "not a file: " + path);
    RequireZip64Allowed(SizesNeedZip64(info.size), request.largeFiles, path);
    std::string name = EntryName(path, request.bareNames);
    if (name.empty() || name.size() > kMax16) throw DzipError(DZ_ERR_ITEM_UNREADABLE, "no usable entry name: " + path);
    std::erase_if(plan, [&](const PlannedItem& p) { return p.entryName == name; });
    plan.push_back({path, name, info.mode});
  }
  return plan;
}

void CopyEntry(InputFile& source, EntryRecord entry, ArchiveOutput& out, bool largeFiles,
               std::vector<EntryRecord>& written) {
  entry.localOffset = out.Position();
  entry.zip64Sizes = SizesNeedZip64(entry.size, entry.compressedSize);
  RequireZip64Allowed(EntryUsesZip64(entry), largeFiles, entry.name);
  out.Write(LocalHeader(entry));
  CopyCheckedData(source, entry, [&](const uint8_t* data, size_t size) { out.Write(data, size); });
  if (entry.flags & kFlagDataDescriptor) out.Write(DataDescriptor(entry));
  written.push_back(std::move(entry));
}

EntryRecord PackItem(const PlannedItem& item, const AddRequest& request, ParallelDeflate& deflate, ArchiveOutput& out) {
  InputFile input(item.path, DZ_ERR_ITEM_UNREADABLE);
  FileInfo info = input.Info();
  if (!info.regular) throw DzipError(DZ_ERR_ITEM_UNREADABLE, "not a file: " + item.path);

  EntryRecord entry;
  entry.name = item.entryName;
  entry.madeBy = kMadeBy;
  entry.flags = IsNonAsciiUtf8(entry.name) ? kFlagUtf8 : 0;
  entry.method = request.level == 0 ? kMethodStored : kMethodDeflated;
  entry.dosDateTime = DosDateTime(info.modified);
  entry.size = info.size;
  entry.localOffset = out.Position();
  // The local header cannot grow later, so its size fields are chosen for the worst case.
  entry.zip64Sizes = request.largeFiles && SizesNeedZip64(info.size, WorstCompressedSize(info.size));
  RequireZip64Allowed(SizesNeedZip64(info.size) || OffsetNeedsZip64(entry.localOffset), request.largeFiles, item.path);
  const std::string placeholder = LocalHeader(entry);
  out.Write(placeholder);

  int32_t reported = -1;
  auto reportMinor = [&](uint64_t done) {
    int32_t percent = Percent(done, info.size);
    if (percent == reported || !request.minor) return;
    reported = percent;
    request.minor(item.path, percent);
  };
  reportMinor(0);
  DeflateResult result =
      deflate.Compress([&](uint8_t* buffer, size_t size) { return input.Read(buffer, size); },
                       [&](const uint8_t* data, size_t size) { out.Write(data, size); }, reportMinor);
  if (reported != 100 && request.minor) request.minor(item.path, 100);

  entry.crc = result.crc;
  entry.size = result.size;
  entry.compressedSize = result.compressedSize;
  RequireZip64Allowed(SizesNeedZip64(entry.size, entry.compressedSize), entry.zip64Sizes, item.path);
  // Same length as the placeholder: only the values change.
  out.WriteAt(entry.localOffset, LocalHeader(entry));
  if (request.diagnostic) {
    request.diagnostic(entry.name + ": " + std::to_string(entry.size) + " bytes packed into " +
                       std::to_string(entry.compressedSize));
  }
  return entry;
}

void WriteDirectory(const std::vector<EntryRecord>& entries, const std::string& comment, bool largeFiles,
                    ArchiveOutput& out) {
  uint64_t offset = out.Position();
  for (const auto& entry : entries) out.Write(CentralHeader(entry));
  uint64_t size = out.Position() - offset;
  const bool zip64 =
      NeedsZip64End(entries.size(), offset, size) || std::any_of(entries.begin(), entries.end(), EntryUsesZip64);
  RequireZip64Allowed(zip64, largeFiles, "the archive's directory");
  out.Write(EndRecords(entries.size(), offset, size, comment, zip64));
  out.Flush();
}

// The archive is no more open than the least open file it holds, and never
// takes its mode from the file it replaces.
uint32_t NarrowestMode(const std::vector<PlannedItem>& plan) {
  uint32_t mode = 0777;
  for (const auto& item : plan) mode &= item.mode;
  return mode;
}

// The entries to keep from what is already at the archive's name, checked;
// previous is left open on it for copying. Nothing there means none.
ArchiveDirectory ReadExistingArchive(const std::string& path, const std::vector<PlannedItem>& plan,
                                     std::optional<InputFile>& previous) {
  FileInfo target = StatPath(path);
  if (!target.exists) return {};
  // A folder cannot be replaced by the rename; anything else that is not a
  // plain file (a link, a FIFO, a device) is refused when opened.
  if (target.folder) throw DzipError(DZ_ERR_CANNOT_CREATE, "a folder, not an archive: " + path);
  try {
    previous.emplace(path, DZ_ERR_EXISTING_ARCHIVE, DZ_ERR_UNSAFE_ARCHIVE);
    ArchiveDirectory existing = ReadArchiveDirectory(*previous, previous->Info().size);
    std::vector<std::string> newNames;
    for (const auto& item : plan) newNames.push_back(item.entryName);
    SelectKeptEntries(existing.entries, newNames);
    return existing;
  } catch (const DzipError& e) {
    // The reason names the archive: the job's message shows it as it is.
    throw DzipError(e.Code(), path + ": " + e.what());
  }
}

}  // namespace

void AddToArchive(const AddRequest& request) {
  if (request.archivePath.empty()) throw DzipError(DZ_ERR_CANNOT_CREATE, "no archive name");
  std::vector<PlannedItem> plan = PlanItems(request);

  std::optional<InputFile> previous;
  ArchiveDirectory existing = ReadExistingArchive(request.archivePath, plan, previous);

  TemporaryFile temporary(request.archivePath, NarrowestMode(plan));
  ArchiveOutput out(temporary);
  std::vector<EntryRecord> written;
  try {
    for (const auto& entry : existing.entries) CopyEntry(*previous, entry, out, request.largeFiles, written);
  } catch (const DzipError& e) {
    if (e.Code() != DZ_ERR_UNSAFE_ARCHIVE) throw;
    throw DzipError(e.Code(), request.archivePath + ": " + e.what());
  }

  DeflateOptions options = DefaultDeflateOptions(request.level);
  if (request.diagnostic) {
    request.diagnostic("packing " + std::to_string(plan.size()) + " file(s) at level " + std::to_string(request.level) +
                       " on " + std::to_string(options.threads) + " thread(s), blocks of " +
                       std::to_string(options.blockSize / 1024) + " KiB");
  }
  ParallelDeflate deflate(options);
  uint64_t total = 0;
  for (const auto& item : plan) total += StatPath(item.path).size;
  uint64_t done = 0;
  for (const auto& item : plan) {
    if (request.major) request.major(item.path, Percent(done, total));
    written.push_back(PackItem(item, request, deflate, out));
    done += written.back().size;
  }
  if (request.major) request.major(plan.back().path, 100);

  WriteDirectory(written, existing.comment, request.largeFiles, out);
  temporary.Commit();
}

}  // namespace dz
