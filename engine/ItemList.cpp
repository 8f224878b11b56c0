#include "ItemList.h"

#include "EngineFile.h"

namespace dz {

std::vector<std::string> ParseItemList(const char* list) {
  std::vector<std::string> items;
  if (list == nullptr) return items;
  std::string current;
  bool quoted = false;
  for (const char* p = list; *p != '\0'; ++p) {
    char c = *p;
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (!current.empty()) items.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) items.push_back(current);
  return items;
}

std::string EntryName(const std::string& path, bool bare) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      // Dropped rather than resolved: the name must stay inside the archive's root.
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char c : path) {
    if (IsPathSeparator(c)) {
      flush();
    } else {
      part += c;
    }
  }
  bool endsInSeparator = !path.empty() && IsPathSeparator(path.back());
  flush();
  if (parts.empty() || endsInSeparator) return {};
  if (bare) return parts.back();
  std::string name;
  for (const auto& p : parts) {
    if (!name.empty()) name += '/';
    name += p;
  }
  return name;
}

}  // namespace dz
