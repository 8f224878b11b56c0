#pragma once
// Named parameter markers (":path") in a command text become ODBC's "?".
#include <string>
#include <string_view>
#include <vector>

namespace vl::odbc {

struct RewrittenCommand {
  std::string sql;                  // the text with each marker replaced by "?"
  std::vector<std::string> params;  // the marker names, in order of appearance
};

// A marker is ":" followed by a letter or "_" and then letters, digits or "_".
// Colons inside quoted literals ('...', "...", [...]) and comments, and a colon
// next to another colon ("::"), are left alone.
RewrittenCommand RewriteParameterMarkers(std::string_view text);

}  // namespace vl::odbc
