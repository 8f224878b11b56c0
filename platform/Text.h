#pragma once
// The text rules shared by the whole system: trimming removes characters of
// code 0 to 32 at both ends; case-insensitive comparison folds only a-z.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// A name as messages quote it: in double quotes.
inline std::string Quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// True for empty text and for text of blanks only.
inline bool IsBlankText(std::string_view s) {
  for (char c : s)
    if (!IsBlank(c)) return false;
  return true;
}

inline std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  return true;
}

inline bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

inline bool EndsWithText(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

// A whole decimal number from min to max: an optional "+" or "-", then only
// the digits 0 to 9 (no blanks, no other base). Nothing for anything else,
// including a value that would not fit 64 bits.
inline std::optional<std::int64_t> ParseDecimal(std::string_view text, std::int64_t min, std::int64_t max) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Added up as a magnitude so that the lowest 64-bit value still fits.
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  const std::int64_t value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < min || value > max) return std::nullopt;
  return value;
}

// A TCP or UDP port number, 1 to 65535, in decimal digits only.
inline std::optional<int> ParsePortNumber(std::string_view text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  const auto port = ParseDecimal(text, 1, 65535);
  return port ? std::optional<int>(static_cast<int>(*port)) : std::nullopt;
}

}  // namespace vl
