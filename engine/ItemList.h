#pragma once
// The item list and the names the items get inside the archive.
#include <string>
#include <vector>

namespace dz {

// Items are separated by blanks (space or tab) outside double quotes; quotes
// group a name with blanks and are not part of it. A quote left open runs to the
// end of the text. Empty items are dropped.
std::vector<std::string> ParseItemList(const char* list);

// The name an item gets in the archive: its last path component when bare,
// otherwise the path with its leading separators and every "." and ".."
// component dropped, so no entry can point outside the folder it is unpacked in.
// Separators become "/", as the zip format requires. Empty when the path names
// no file.
std::string EntryName(const std::string& path, bool bare);

}  // namespace dz
