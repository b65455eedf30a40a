#include "platform/process.h"

namespace kv::platform {

std::vector<std::string> splitCommandLine(std::string_view commandLine)
{
    std::vector<std::string> args;
    std::string current;
    // An argument exists once a quote or any other non-blank has been seen,
    // so that "" stands for an empty argument.
    bool inArgument = false;
    bool quoted = false;
    for (const char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) {
                args.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inArgument)
        args.push_back(std::move(current));
    return args;
}

} // namespace kv::platform
