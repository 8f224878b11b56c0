#include "app/job/Retention.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "app/job/BackupNames.h"
#include "platform/Text.h"

namespace vl {
namespace {
constexpr unsigned kMostKept = 10000;
constexpr std::string_view kPrefix = "vl_";
constexpr std::size_t kStampLength = 14;  // ddmmyy_HHnn_ss

// Year, month, day, hour, minute, second: compared in that order, newest greatest.
using StampTime = std::array<int, 6>;

bool TwoDigitsAt(std::string_view text, std::size_t at, int& value) {
  if (text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9') return false;
  value = (text[at] - '0') * 10 + (text[at + 1] - '0');
  return true;
}

int DaysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return (month == 2 && leap) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

std::optional<StampTime> ParseStamp(std::string_view stamp) {
  if (stamp.size() != kStampLength || stamp[6] != '_' || stamp[11] != '_') return std::nullopt;
  int day, month, year, hour, minute, second;
  if (!TwoDigitsAt(stamp, 0, day) || !TwoDigitsAt(stamp, 2, month) || !TwoDigitsAt(stamp, 4, year) ||
      !TwoDigitsAt(stamp, 7, hour) || !TwoDigitsAt(stamp, 9, minute) || !TwoDigitsAt(stamp, 12, second))
    return std::nullopt;
  year += 2000;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return StampTime{year, month, day, hour, minute, second};
}

std::optional<StampTime> StampTimeOf(std::string_view name, std::string_view extension) {
  if (name.size() != kPrefix.size() + kStampLength + extension.size()) return std::nullopt;
  if (!name.starts_with(kPrefix) || !name.ends_with(extension)) return std::nullopt;
  return ParseStamp(name.substr(kPrefix.size(), kStampLength));
}

std::string BaseName(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

struct Candidate {
  StampTime time;
  const platform::DirectoryEntry* entry;
};

// Newest first; equal stamps (impossible in one folder, but cheap to settle)
// by name, so the choice does not depend on the order the folder lists them.
bool NewerFirst(const Candidate& a, const Candidate& b) {
  if (a.time != b.time) return a.time > b.time;
  return a.entry->name > b.entry->name;
}
}  // namespace

std::optional<unsigned> ParseKeepBackups(const std::string& text) {
  std::string_view digits = Trim(text);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  unsigned value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value > kMostKept) return std::nullopt;
  return value;
}

std::vector<const platform::DirectoryEntry*> StampedToRemove(const std::vector<platform::DirectoryEntry>& entries,
                                                             const std::string& extension, unsigned keep,
                                                             const std::string& justMade) {
  if (keep == 0) return {};
  const std::string newName = BaseName(justMade);
  std::vector<Candidate> others;
  bool newFound = false;
  for (const platform::DirectoryEntry& entry : entries) {
    std::optional<StampTime> time = StampTimeOf(entry.name, extension);
    if (!time || entry.snapshot.links != 1) continue;
    if (entry.name == newName)
      newFound = true;
    else
      others.push_back({*time, &entry});
  }
  if (!newFound)
    throw Exception(Quoted(newName) + " is not in the backup folder as a time-stamped file with a single name, " +
                    "so no older backup was deleted");
  std::sort(others.begin(), others.end(), NewerFirst);
  std::vector<const platform::DirectoryEntry*> chosen;
  for (std::size_t i = keep - 1; i < others.size(); ++i) chosen.push_back(others[i].entry);
  return chosen;
}

RetentionResult RemoveEntries(const platform::Directory& folder, const std::string& folderName,
                              const std::vector<const platform::DirectoryEntry*>& chosen) {
  RetentionResult result;
  for (const platform::DirectoryEntry* entry : chosen) {
    try {
      folder.RemoveSoleFile(entry->name, entry->snapshot);
      result.removed.push_back(WithSeparator(folderName) + entry->name);
    } catch (const Exception& e) {
      result.failures.push_back(e.Message());
    }
  }
  return result;
}

RetentionResult PruneStampedBackups(const std::string& folder, const std::string& extension, unsigned keep,
                                    const std::string& justMade) {
  if (keep == 0) return {};
  platform::Directory directory(folder);
  std::vector<platform::DirectoryEntry> entries = directory.RegularFiles();
  return RemoveEntries(directory, folder, StampedToRemove(entries, extension, keep, justMade));
}

}  // namespace vl
