#pragma once
// The item list and the names the items get inside the archive.
#include <string>
#include <vector>

namespace dz {

// Items are separated by blanks (space or tab). An item that starts with a
// double quote is a quoted name: inside it "" stands for one quote, and a quote
// closes it only where a blank or the end of the text follows; any other quote
// is part of the name. So "/b/my "x" folder/VL.BAK" is one name, and a quoted
// name with every quote doubled can hold any character. A quote inside an
// unquoted item is an ordinary character. A quote left open runs to the end
// of the text. Empty items are dropped.
std::vector<std::string> ParseItemList(const char* list);

// The name an item gets in the archive: its last path component when bare,
// otherwise the path with its leading separators and every "." and ".."
// component dropped, so no entry can point outside the folder it is unpacked in.
// Separators become "/", as the zip format requires. Empty when the path names
// no file.
std::string EntryName(const std::string& path, bool bare);

}  // namespace dz
