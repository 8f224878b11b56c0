#pragma once
// The text rules shared by the whole system: trimming removes characters of
// code 0 to 32 at both ends; case-insensitive comparison folds only a-z.
#include <cstddef>
#include <string_view>

namespace vl {

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

inline std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  return true;
}

}  // namespace vl
