#pragma once
// Conversions between the system's 8-bit text and the UTF-16 the database
// client speaks. On this platform the 8-bit text is UTF-8; a byte that is not
// part of a valid UTF-8 sequence is read as Windows-1252, the code page of the
// product's older settings files, so no input is ever rejected or dropped.
#include <string>
#include <string_view>

namespace vl::odbc {

std::u16string Utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace vl::odbc
