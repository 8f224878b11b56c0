#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/PosixFile.h"
#include "platform/SpecialFolders.h"
#include "platform/Text.h"

namespace vl::platform {
namespace {

// One line of the file: its text and the line break that ended it ("" at the end).
struct Line {
  std::string_view text;
  std::string_view eol;
};

// Splits at CR LF, LF or a lone CR, keeping each break so the file can be put
// back together byte for byte.
std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back({content.substr(start), {}});
      break;
    }
    std::size_t eolLength = (content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n') ? 2 : 1;
    lines.push_back({content.substr(start, end - start), content.substr(end, eolLength)});
    start = end + eolLength;
  }
  return lines;
}

// The name of the section a line opens, or nothing when the line opens none.
std::optional<std::string_view> SectionName(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

struct Entry {
  std::string_view key;
  std::string_view value;
};

// A line of the form key=value; a line without "=" is no entry.
std::optional<Entry> EntryOf(std::string_view line) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Entry{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

// Reads a regular file whole. Devices, FIFOs and folders count as unreadable so
// that a settings name pointing at one can neither block nor read forever.
// st receives the file's status.
std::optional<std::string> ReadRegularFile(const std::string& name, int openFlags, struct stat& st) {
  Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | openFlags));
  if (!fd.ok()) return std::nullopt;
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return std::nullopt;
  }
  std::string content;
  content.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string CleanValue(std::string_view raw) {
  // The C interface ends a text at its first NUL.
  std::string_view v = Trim(raw.substr(0, raw.find('\0')));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, MaxProfileValueLength));
}

std::string CleanDefault(std::string_view d) {
  while (!d.empty() && IsBlank(d.back())) d.remove_suffix(1);
  return std::string(d.substr(0, MaxProfileValueLength));
}

std::optional<std::string> FindValue(std::string_view content, std::string_view section, std::string_view key) {
  bool inSection = false;
  for (const Line& line : SplitLines(content)) {
    if (auto name = SectionName(line.text)) {
      inSection = SameText(*name, section);
      continue;
    }
    if (!inSection) continue;
    if (auto entry = EntryOf(line.text); entry && SameText(entry->key, key)) return CleanValue(entry->value);
  }
  return std::nullopt;
}

bool Storable(const std::string& section, const std::string& key, const std::string& value) {
  auto hasBreak = [](const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; };
  if (hasBreak(section) || hasBreak(key) || hasBreak(value)) return false;
  if (Trim(section).empty() || Trim(key).empty()) return false;
  if (section.find(']') != std::string::npos) return false;
  if (key.find('=') != std::string::npos || Trim(key).front() == '[') return false;
  return true;
}

std::string_view LineBreakOf(const std::vector<Line>& lines) {
  for (const Line& line : lines)
    if (!line.eol.empty()) return line.eol;
  return "\n";
}

// The file's content with the entry set; every other line unchanged.
std::string WithEntry(std::string_view content, const std::string& section, const std::string& key,
                      const std::string& value) {
  const std::vector<Line> lines = SplitLines(content);
  const std::string_view eol = LineBreakOf(lines);
  const std::string entryText = key + "=" + value;

  std::optional<std::size_t> keyLine;          // the first matching entry
  std::optional<std::size_t> lastSectionLine;  // last non-blank line of the first matching section
  bool inSection = false;
  bool firstSectionDone = false;
  for (std::size_t i = 0; i < lines.size() && !keyLine; ++i) {
    if (auto name = SectionName(lines[i].text)) {
      if (inSection) firstSectionDone = true;
      inSection = SameText(*name, section);
      if (inSection && !firstSectionDone && !lastSectionLine) lastSectionLine = i;
      continue;
    }
    if (!inSection) continue;
    if (auto entry = EntryOf(lines[i].text); entry && SameText(entry->key, key)) keyLine = i;
    if (!firstSectionDone && !Trim(lines[i].text).empty()) lastSectionLine = i;
  }

  std::string out;
  out.reserve(content.size() + entryText.size() + section.size() + 8);
  auto appendLine = [&](const Line& line) {
    out.append(line.text);
    out.append(line.eol);
  };

  if (keyLine) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i != *keyLine) {
        appendLine(lines[i]);
        continue;
      }
      // The key keeps its spelling in the file.
      out.append(EntryOf(lines[i].text)->key).append("=").append(value).append(lines[i].eol);
    }
    return out;
  }
  if (lastSectionLine) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      appendLine(lines[i]);
      if (i != *lastSectionLine) continue;
      if (lines[i].eol.empty()) out.append(eol);
      out.append(entryText).append(eol);
    }
    return out;
  }
  out.append(content);
  if (!lines.empty()) {
    if (lines.back().eol.empty()) out.append(eol);
    if (!Trim(lines.back().text).empty()) out.append(eol);  // a blank line between sections
  }
  out.append("[").append(section).append("]").append(eol);
  out.append(entryText).append(eol);
  return out;
}

// Writes content over target through a temporary sibling, so the old file
// stays whole until the new one is complete on disk. An existing file keeps its
// mode and, where root writes it, its owner.
void WriteWhole(const std::string& target, std::string_view content, const struct stat* existing) {
  std::optional<mode_t> mode;
  if (existing != nullptr) mode = existing->st_mode & 07777;
  ReplaceFile(target, mode, [&](int fd) {
    // Best effort: only root may hand the file back to its owner.
    if (existing != nullptr && ::geteuid() == 0) {
      [[maybe_unused]] const int ignored = ::fchown(fd, existing->st_uid, existing->st_gid);
    }
    if (!WriteAll(fd, content)) throw SystemError(Quoted(target) + " cannot be written");
  });
}

// A symbolic link under the name is refused, never followed: in a folder others
// can write to, it could point the write at any file. Raises an Exception
// saying why nothing was written.
void WriteEntry(const std::string& section, const std::string& key, const std::string& value,
                const std::string& fileName) {
  const std::string target = ResolveProfileFileName(fileName);

  const std::string cleanSection(Trim(section));
  const std::string cleanKey(Trim(key));
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) throw SystemError(Quoted(target) + " cannot be examined");
    WriteWhole(target, WithEntry("", cleanSection, cleanKey, value), nullptr);
    return;
  }
  if (S_ISLNK(st.st_mode)) throw Exception(Quoted(target) + " is a symbolic link");
  if (!S_ISREG(st.st_mode)) throw Exception(Quoted(target) + " is not a regular file");
  // Root may write anything, but a file without any write permission bit was
  // made read-only on purpose; Windows refuses to write such a file, and so do we.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) throw Exception(Quoted(target) + " is read-only");
  if (::access(target.c_str(), W_OK) != 0) throw SystemError(Quoted(target) + " cannot be written");
  // Opened without following a link that took the file's place meanwhile.
  std::optional<std::string> old = ReadRegularFile(target, O_NOFOLLOW, st);
  if (!old) throw SystemError(Quoted(target) + " cannot be read");
  WriteWhole(target, WithEntry(*old, cleanSection, cleanKey, value), &st);
}

}  // namespace

std::string ResolveProfileFileName(const std::string& fileName) {
  if (fileName.find(PathDelim) != std::string::npos) return fileName;
  return JoinPath(SystemSettingsDirectory(), fileName);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName) {
  try {
    struct stat st {};
    std::optional<std::string> content = ReadRegularFile(ResolveProfileFileName(fileName), 0, st);
    if (content) {
      // Names are looked up trimmed, as they are written.
      if (auto value = FindValue(*content, Trim(section), Trim(key))) return *value;
    }
  } catch (const std::exception&) {
    // A file too large to hold in memory counts as unreadable.
  }
  return CleanDefault(defaultValue);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName, std::string* why) {
  try {
    if (!Storable(section, key, value))
      throw Exception("The section, key or value cannot be stored as one line of a settings file");
    WriteEntry(section, key, value, fileName);
    return true;
  } catch (const std::exception& e) {  // also out of memory for the file's new content
    if (why != nullptr) *why = e.what();
    return false;
  }
}

}  // namespace vl::platform
