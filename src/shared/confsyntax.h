// Line syntax shared by shell.conf, the front-end's configuration file and the
// client library. Qt-free on purpose: draldb reads the same files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace confsyntax {

struct Entry {
    std::string key;
    std::string value;
};

// A line ends at CR LF, CR or LF: the files come from Windows tills and from
// editors on this system alike.
std::vector<std::string> splitLines(std::string_view content);

// Only the space character is trimmed; tabs stay and make a different key.
std::string_view trimSpaces(std::string_view s);

// Comments ("#" after leading spaces) and lines without "=" give nothing.
// The first "=" splits, so values may hold further "=".
std::optional<Entry> parseLine(std::string_view line);

// Every entry of a file's content, in file order, repeats included.
std::vector<Entry> parse(std::string_view content);

// "key = value" CR LF, the value written as held.
std::string formatLine(std::string_view key, std::string_view value);

} // namespace confsyntax
