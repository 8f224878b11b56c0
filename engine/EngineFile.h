#pragma once
// Every operating-system call of the engine lives behind this header, so another
// platform replaces EngineFile.cpp alone.
#include <cstddef>
#include <cstdint>
#include <string>

namespace dz {

struct FileInfo {
  bool exists = false;
  bool regular = false;  // a plain file itself, never a link to one
  bool link = false;     // a symbolic link
  bool folder = false;
  uint64_t size = 0;
  int64_t modified = 0;  // seconds since the epoch
  uint32_t mode = 0;     // permission bits (0777 at most)
};

// What is at path itself: a symbolic link is reported, not followed.
FileInfo StatPath(const std::string& path);
bool IsPathSeparator(char c);
// The folder part of path, "." when it has none.
std::string FolderOf(const std::string& path);
// MS-DOS date in the high 16 bits, time in the low 16, in local time,
// clamped to the range the format can hold (1980 to 2107).
uint32_t DosDateTime(int64_t modified);

// A plain file opened for reading, never through a symbolic link and without
// waiting on a FIFO or device. Anything else at path raises DzipError with
// wrongTypeCode, every other failure with failCode.
class InputFile {
 public:
  InputFile(const std::string& path, int32_t failCode, int32_t wrongTypeCode);
  InputFile(const std::string& path, int32_t failCode) : InputFile(path, failCode, failCode) {}
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  FileInfo Info() const;
  // Reads up to size bytes; fewer only at the end of the file.
  size_t Read(void* buffer, size_t size);
  // Reads exactly size bytes at offset.
  void ReadAt(uint64_t offset, void* buffer, size_t size);
  const std::string& Path() const { return path_; }

 private:
  [[noreturn]] void Fail(const char* what, int err) const;
  std::string path_;
  int32_t failCode_;
  int fd_ = -1;
};

// A new file beside a final name, removed again unless Commit succeeds. It is
// created afresh (never through a planted link) and gets exactly mode & 0777,
// whatever the umask. Creating it raises DZ_ERR_CANNOT_CREATE, every later
// failure DZ_ERR_WRITE.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& finalPath, uint32_t mode);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  void Write(const void* data, size_t size);
  void WriteAt(uint64_t offset, const void* data, size_t size);
  // Flushes to disk and renames over the final name.
  void Commit();
  const std::string& Path() const { return tempPath_; }

 private:
  [[noreturn]] void Fail(const char* what, int err) const;
  std::string finalPath_;
  std::string tempPath_;
  int fd_ = -1;
};

}  // namespace dz
