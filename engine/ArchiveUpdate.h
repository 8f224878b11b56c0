#pragma once
// Action 4: the listed files packed into an archive, new or already there.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dz {

struct AddRequest {
  std::string archivePath;
  std::vector<std::string> items;  // paths, in list order
  int level = 6;                   // 0 to 9; 0 stores
  bool bareNames = false;          // entries named by the file name alone
  bool largeFiles = false;         // ZIP64 records allowed
  // Status reports; a report raises to stop the run.
  std::function<void(const std::string& item, int32_t percent)> major;
  std::function<void(const std::string& item, int32_t percent)> minor;
  std::function<void(const std::string& text)> diagnostic;
};

// Writes the whole archive beside its final name and renames it into place
// only when complete; on any failure the temporary file is gone and what was
// at the archive's name is untouched. Raises DzipError with the result code.
void AddToArchive(const AddRequest& request);

}  // namespace dz
