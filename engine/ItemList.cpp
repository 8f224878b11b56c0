#include "ItemList.h"

#include "EngineFile.h"

namespace dz {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool EndsQuotedName(char c) { return c == '\0' || IsBlank(c); }

// Reads one quoted name starting after its opening quote; returns where it ends.
const char* QuotedName(const char* p, std::string& name) {
  for (; *p != '\0'; ++p) {
    if (*p != '"') {
      name += *p;
    } else if (p[1] == '"') {
      name += '"';
      ++p;
    } else if (EndsQuotedName(p[1])) {
      return p + 1;
    } else {
      name += '"';
    }
  }
  return p;
}

}  // namespace

std::vector<std::string> ParseItemList(const char* list) {
  std::vector<std::string> items;
  if (list == nullptr) return items;
  const char* p = list;
  while (*p != '\0') {
    if (IsBlank(*p)) {
      ++p;
      continue;
    }
    std::string item;
    if (*p == '"') {
      p = QuotedName(p + 1, item);
    } else {
      for (; *p != '\0' && !IsBlank(*p); ++p) item += *p;
    }
    if (!item.empty()) items.push_back(std::move(item));
  }
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
