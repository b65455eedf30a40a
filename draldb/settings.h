// The library's configuration: the front-end's file, completed from the
// launcher's shell.conf in the same directory.
#pragma once

#include <map>
#include <string>

namespace draldb {

class Settings {
public:
    // Reads the configuration of the front-end executable at path. Returns
    // false when neither the front-end's file nor shell.conf is there.
    bool load(const std::string &frontEndExecutable);

    // "" for a key no file holds.
    std::string value(const std::string &key) const;

private:
    std::map<std::string, std::string> m_values;
};

} // namespace draldb
