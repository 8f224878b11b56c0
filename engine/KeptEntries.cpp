#include "KeptEntries.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>

#include "EngineError.h"
#include "EngineFile.h"
#include "dzip.h"

namespace dz {
namespace {

constexpr size_t kCopyChunk = 1 << 20;
constexpr size_t kInflateChunk = 256 * 1024;
constexpr uint16_t kHostUnix = 3;
constexpr uint32_t kUnixSpecialBits = 07000u << 16;  // setuid, setgid, sticky in the high word
// Traditional, strong and central-directory encryption.
constexpr uint16_t kAnyEncryption = kFlagEncrypted | 0x0040 | 0x2000;

std::string Folded(const std::string& name) {
  std::string folded = name;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return folded;
}

// Why a restore could not place this name safely inside its folder; empty when it can.
std::string NameFault(const std::string& name) {
  if (name.empty()) return "an empty name";
  if (name.find('\0') != std::string::npos) return "a NUL byte";
  if (name.find('\\') != std::string::npos) return "a backslash";
  if (name.front() == '/' || (name.size() >= 2 && name[1] == ':')) return "an absolute path";
  size_t start = 0;
  while (start < name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") return "a \"..\" part";
    if (part == "." || (part.empty() && end != name.size() - 1)) return "an empty or \".\" part";
    start = end + 1;
  }
  return {};
}

void CheckName(const std::string& name, const char* which) {
  std::string fault = NameFault(name);
  if (!fault.empty()) RefuseArchive(std::string(which) + " \"" + name.substr(0, name.find('\0')) + "\" has " + fault);
}

void CheckEntry(const EntryRecord& entry) {
  CheckName(entry.name, "entry name");
  if (entry.hasUnicodeName) CheckName(entry.unicodeName, "Unicode Path of entry");
  if (entry.flags & kAnyEncryption) RefuseArchive("entry " + entry.name + " is encrypted and cannot be checked");
  if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
    RefuseArchive("entry " + entry.name + " uses compression method " + std::to_string(entry.method) +
                  ", which cannot be checked");
  }
  if (entry.method == kMethodStored && entry.size != entry.compressedSize) {
    RefuseArchive("stored entry " + entry.name + " has two different sizes");
  }
}

// Raw inflate of one entry, bounded by the size the directory declares.
class BoundedInflate {
 public:
  BoundedInflate() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw DzipError(DZ_ERR_INTERNAL, "cannot start inflate");
  }
  ~BoundedInflate() { inflateEnd(&stream_); }
  BoundedInflate(const BoundedInflate&) = delete;
  BoundedInflate& operator=(const BoundedInflate&) = delete;

  // Feeds compressed bytes; output goes to the CRC and the count.
  void Feed(const EntryRecord& entry, const uint8_t* data, size_t size) {
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0) {
      if (ended_) RefuseArchive("entry " + entry.name + " has bytes after its deflate stream");
      stream_.next_out = out_.data();
      stream_.avail_out = static_cast<uInt>(out_.size());
      int status = inflate(&stream_, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) {
        RefuseArchive("entry " + entry.name + " is not a valid deflate stream");
      }
      size_t produced = out_.size() - stream_.avail_out;
      crc_ = crc32(crc_, out_.data(), static_cast<uInt>(produced));
      size_ += produced;
      if (size_ > entry.size) RefuseArchive("entry " + entry.name + " holds more than its declared size");
      ended_ = status == Z_STREAM_END;
    }
  }
  bool Ended() const { return ended_; }
  uint32_t Crc() const { return static_cast<uint32_t>(crc_); }
  uint64_t Size() const { return size_; }

 private:
  z_stream stream_{};
  std::vector<uint8_t> out_ = std::vector<uint8_t>(kInflateChunk);
  uLong crc_ = crc32(0, nullptr, 0);
  uint64_t size_ = 0;
  bool ended_ = false;
};

}  // namespace

void SelectKeptEntries(std::vector<EntryRecord>& entries, const std::vector<std::string>& newNames) {
  std::erase_if(entries, [&](const EntryRecord& e) {
    return std::find(newNames.begin(), newNames.end(), e.name) != newNames.end();
  });
  // Every name a restore might use, folded, with the entry it belongs to.
  std::map<std::string, std::string> taken;
  for (const auto& name : newNames) taken.emplace(Folded(name), "the new entry " + name);
  for (auto& entry : entries) {
    CheckEntry(entry);
    std::vector<std::string> names{Folded(entry.name)};
    if (entry.hasUnicodeName && Folded(entry.unicodeName) != names.front()) names.push_back(Folded(entry.unicodeName));
    for (const auto& name : names) {
      auto [at, fresh] = taken.emplace(name, "entry " + entry.name);
      if (!fresh) RefuseArchive("entry " + entry.name + " could be restored as " + at->second);
    }
    if ((entry.madeBy >> 8) == kHostUnix) entry.externalAttributes &= ~kUnixSpecialBits;
  }
}

void CopyCheckedData(InputFile& source, const EntryRecord& entry,
                     const std::function<void(const uint8_t* data, size_t size)>& sink) {
  std::unique_ptr<BoundedInflate> inflater;
  if (entry.method == kMethodDeflated) inflater = std::make_unique<BoundedInflate>();
  uLong crc = crc32(0, nullptr, 0);
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, entry.compressedSize)));
  uint64_t from = entry.dataOffset;
  for (uint64_t left = entry.compressedSize; left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    source.ReadAt(from, chunk.data(), n);
    if (inflater) {
      inflater->Feed(entry, chunk.data(), n);
    } else {
      crc = crc32(crc, chunk.data(), static_cast<uInt>(n));
    }
    sink(chunk.data(), n);
    from += n;
    left -= n;
  }
  if (inflater && !inflater->Ended()) RefuseArchive("entry " + entry.name + " ends before its deflate stream does");
  uint32_t actualCrc = inflater ? inflater->Crc() : static_cast<uint32_t>(crc);
  uint64_t actualSize = inflater ? inflater->Size() : entry.compressedSize;
  if (actualSize != entry.size) RefuseArchive("entry " + entry.name + " holds less than its declared size");
  if (actualCrc != entry.crc) RefuseArchive("entry " + entry.name + " fails its CRC check");
}

}  // namespace dz
