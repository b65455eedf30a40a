// Text from a till's row, for the office: JSON read and written whatever it
// holds, and shown on a terminal without being acted on.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fleet {

// A JSON value, as row_to_json gives a row.
struct Json {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    // A member of an object; nullptr when missing or not an object.
    const Json *find(std::string_view key) const;
};
// nullopt when the text is not one JSON value (or nests too deep).
std::optional<Json> parseJson(std::string_view text);
// Valid JSON whatever the strings hold.
std::string toJson(const Json &value);

// A JSON string of any bytes: what is not UTF-8 becomes U+FFFD.
std::string jsonText(std::string_view s);

// `text` as a terminal shows it harmlessly: control characters, invisible
// and invalid UTF-8 as escapes (\x1b, \u202e), a backslash doubled, each
// character of `alsoEscape` as \xNN; cut to `width` characters with "…".
std::string visible(std::string_view text, std::size_t width = std::numeric_limits<std::size_t>::max(),
                    std::string_view alsoEscape = {});

// Characters a terminal gives a text that visible() cleaned.
std::size_t columns(std::string_view text);

} // namespace fleet
