#include "connection/odbc/OdbcCommandText.h"

namespace vl::odbc {
namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// Copies the quoted part that starts at text[i] (its closing character doubled
// inside stands for itself) and returns the index after it.
std::size_t CopyQuoted(std::string_view text, std::size_t i, char close, std::string& out) {
  out += text[i++];
  while (i < text.size()) {
    out += text[i];
    if (text[i] == close) {
      if (i + 1 < text.size() && text[i + 1] == close) {
        out += text[i + 1];
        i += 2;
        continue;
      }
      return i + 1;
    }
    ++i;
  }
  return i;
}

std::size_t CopyUntil(std::string_view text, std::size_t i, std::string_view end, std::string& out) {
  const auto at = text.find(end, i);
  const std::size_t stop = at == std::string_view::npos ? text.size() : at + end.size();
  out.append(text.substr(i, stop - i));
  return stop;
}

}  // namespace

RewrittenCommand RewriteParameterMarkers(std::string_view text) {
  RewrittenCommand result;
  std::string& out = result.sql;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (c == '\'' || c == '"') {
      i = CopyQuoted(text, i, c, out);
    } else if (c == '[') {
      i = CopyQuoted(text, i, ']', out);
    } else if (c == '-' && next == '-') {
      i = CopyUntil(text, i, "\n", out);
    } else if (c == '/' && next == '*') {
      i = CopyUntil(text, i, "*/", out);
    } else if (c == ':' && next == ':') {
      out += "::";
      i += 2;
    } else if (c == ':' && IsNameStart(next) && (i == 0 || text[i - 1] != ':')) {
      std::size_t end = i + 1;
      while (end < text.size() && IsNameChar(text[end])) ++end;
      result.params.emplace_back(text.substr(i + 1, end - i - 1));
      out += '?';
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  return result;
}

}  // namespace vl::odbc
