// Windows-1252, the code page of the Windows tills this system came from:
// their configuration files and the receipt printers speak it.
#pragma once

#include <string>
#include <string_view>

namespace cp1252 {

// The character a byte stands for. The five bytes the code page leaves
// unused (81, 8D, 8F, 90, 9D) stand for the control characters of the same
// number, so that every byte survives a round trip.
char32_t toUnicode(unsigned char byte);

// The byte for a character, or -1 when the code page has none. Characters
// 0-255 other than those the code page puts elsewhere are their own byte.
int fromUnicode(char32_t cp);

// Appends a character (U+0000 to U+10FFFF) as UTF-8.
void appendUtf8(std::string &out, char32_t cp);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Text from a file: UTF-8 when it is valid UTF-8, else read as Windows-1252.
// The result is UTF-8 either way.
std::string decodeToUtf8(std::string_view bytes);

} // namespace cp1252
