#include "shared/confsyntax.h"

namespace confsyntax {

std::vector<std::string> splitLines(std::string_view content)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content[i] != '\r' && content[i] != '\n')
            continue;
        lines.emplace_back(content.substr(start, i - start));
        if (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < content.size())
        lines.emplace_back(content.substr(start));
    return lines;
}

std::string_view trimSpaces(std::string_view s)
{
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

std::optional<Entry> parseLine(std::string_view line)
{
    const auto trimmed = trimSpaces(line);
    if (!trimmed.empty() && trimmed.front() == '#')
        return std::nullopt;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return Entry{std::string(trimSpaces(line.substr(0, eq))),
                 std::string(trimSpaces(line.substr(eq + 1)))};
}

std::vector<Entry> parse(std::string_view content)
{
    std::vector<Entry> entries;
    for (const auto &line : splitLines(content)) {
        if (auto e = parseLine(line))
            entries.push_back(std::move(*e));
    }
    return entries;
}

std::string formatLine(std::string_view key, std::string_view value)
{
    std::string out;
    out.reserve(key.size() + value.size() + 5);
    out.append(key).append(" = ").append(value).append("\r\n");
    return out;
}

} // namespace confsyntax
