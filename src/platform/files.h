// Files the launcher writes in its directory: shell.conf, which holds the
// database password, and run.sh, which a front-end started earlier may still
// be reading.
#pragma once

#include <string>
#include <string_view>

namespace kv::platform {

// Replaces a file whole. The new content goes into a temporary file beside
// it, which takes the old file's place by rename only once it is complete:
// a crash leaves the old file or the new one, never half of one, and a shell
// still reading the old script keeps reading the old script.
class FileReplacement {
public:
    FileReplacement() = default;
    ~FileReplacement(); // removes a temporary file that was not committed
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    // Creates the temporary file with `mode`. False, with the system's
    // reason, when the file cannot be written there (a directory of that
    // name, no rights in the directory).
    bool begin(const std::string &path, unsigned mode, std::string *error);
    bool write(std::string_view bytes, std::string *error);
    // Flushes the content, hands it to the old file's owner when there was
    // one (a run with more rights must not lock the till's own user out), and
    // renames it over the path.
    bool commit(std::string *error);

private:
    std::string m_path;
    std::string m_temp;
    int m_fd = -1;
};

// begin, write and commit in one.
bool replaceFile(const std::string &path, std::string_view bytes, unsigned mode, std::string *error);

// Appends `line` (with its own line end) to `path` (created when missing,
// mode 0600) and makes it mode 0600 where the launcher may. When the file's
// last line has no line end, a CR LF goes first: glued to that line, the new
// one would be lost to it.
bool appendLinePrivately(const std::string &path, std::string_view line, std::string *error);

// Removes what a replacement of `path` killed half-way left beside it: the
// regular files named like its temporary files. Returns how many went.
int removeLeftoverTemporaries(const std::string &path);

// Takes the rights of group and others away from a regular file the
// launcher's user owns (mode 0600). Another user's file keeps its mode.
// True when the file was changed.
bool makePrivateIfOwned(const std::string &path);

} // namespace kv::platform
