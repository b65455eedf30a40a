#include "settings.h"

#include "shared/conffile.h"
#include "shared/confsyntax.h"
#include "shared/stationid.h"

#include <optional>

namespace draldb {

namespace {

// Only a regular file of sensible size counts: a directory, a FIFO or a
// device of that name is no configuration.
std::optional<std::string> readFile(const std::string &path)
{
    conffile::Content c = conffile::read(path);
    if (!c.ok())
        return std::nullopt;
    return std::move(c.text);
}

// A repeated key keeps its last value, as the launcher reads shell.conf. A
// station id the launcher would refuse counts as none: the id selects the
// station's receipts and goes into SQL as written.
std::map<std::string, std::string> entries(const std::string &content)
{
    std::map<std::string, std::string> values;
    for (auto &entry : confsyntax::parse(content))
        values[entry.key] = std::move(entry.value);
    const auto id = values.find("stationid");
    if (id != values.end() && !stationid::isValid(id->second))
        values.erase(id);
    return values;
}

} // namespace

bool Settings::load(const std::string &frontEndExecutable)
{
    m_values.clear();
    // No path is no configuration, not the files of the working directory.
    if (frontEndExecutable.empty())
        return false;
    const auto slash = frontEndExecutable.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : frontEndExecutable.substr(0, slash + 1);

    auto frontEnd = readFile(dir + "dralfrontend.conf");
    if (!frontEnd)
        frontEnd = readFile(dir + "korvantis.conf");
    const auto shell = readFile(dir + "shell.conf");
    if (!frontEnd && !shell)
        return false;

    if (frontEnd)
        m_values = entries(*frontEnd);
    // The launcher appends the station id it assigned to shell.conf only; an
    // empty value in the front-end's file is as good as missing.
    if (shell) {
        for (auto &[key, value] : entries(*shell)) {
            auto &mine = m_values[key];
            if (mine.empty())
                mine = std::move(value);
        }
    }
    return true;
}

std::string Settings::value(const std::string &key) const
{
    const auto it = m_values.find(key);
    return it == m_values.end() ? std::string() : it->second;
}

} // namespace draldb
