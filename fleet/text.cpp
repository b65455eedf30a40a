// Text from a till's row, for the office: JSON read and written whatever it
// holds, and shown on a terminal without being acted on.
#include "text.h"

#include "shared/cp1252.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace fleet {

namespace {

// ---- UTF-8 ----

// The code point at text[i] and its length; 0 for a byte that starts no
// valid sequence (overlong forms and surrogates included).
std::size_t decode(std::string_view text, std::size_t i, char32_t &cp)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    std::size_t n;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}


// Characters a terminal would act on or not show: controls (C0, DEL, C1),
// the soft hyphen, zero-width and direction marks, line and paragraph
// separators, bidirectional overrides, the byte-order mark, noncharacters, tags.
bool invisible(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF ||
           (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp & 0xFFFE) == 0xFFFE || (cp >= 0xE0000 && cp <= 0xE007F);
}

std::string hex(const char *format, unsigned value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}


// ---- JSON ----

struct Parser {
    std::string_view in;
    std::size_t at = 0;
    int depth = 0;

    void space()
    {
        while (at < in.size() && (in[at] == ' ' || in[at] == '\t' || in[at] == '\n' || in[at] == '\r'))
            ++at;
    }
    bool literal(std::string_view word)
    {
        if (in.substr(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }
    bool hex4(char32_t &v)
    {
        if (at + 4 > in.size())
            return false;
        unsigned u = 0;
        if (std::from_chars(in.data() + at, in.data() + at + 4, u, 16).ptr != in.data() + at + 4)
            return false;
        at += 4;
        v = u;
        return true;
    }
    bool string(std::string &out)
    {
        if (at >= in.size() || in[at] != '"')
            return false;
        ++at;
        while (at < in.size() && in[at] != '"') {
            const char c = in[at++];
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= in.size())
                return false;
            const char e = in[at++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                char32_t cp;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && in.substr(at, 2) == "\\u") {
                    const std::size_t back = at;
                    at += 2;
                    char32_t low;
                    if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        at = back;
                }
                // A lone surrogate is no character.
                cp1252::appendUtf8(out, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
                break;
            }
            default: return false;
            }
        }
        if (at >= in.size())
            return false;
        ++at;
        return true;
    }
    bool value(Json &v)
    {
        // A hostile row must not run the stack out.
        if (++depth > 64)
            return false;
        space();
        bool ok = false;
        if (at >= in.size()) {
            ok = false;
        } else if (in[at] == '{') {
            v.type = Json::Object;
            ++at;
            space();
            ok = at < in.size() && in[at] == '}' && (++at, true);
            while (!ok) {
                std::pair<std::string, Json> m;
                space();
                if (!string(m.first))
                    break;
                space();
                if (at >= in.size() || in[at++] != ':' || !value(m.second))
                    break;
                v.members.push_back(std::move(m));
                space();
                if (at < in.size() && in[at] == ',') {
                    ++at;
                } else {
                    ok = at < in.size() && in[at] == '}';
                    ++at;
                    break;
                }
            }
        } else if (in[at] == '[') {
            v.type = Json::Array;
            ++at;
            space();
            ok = at < in.size() && in[at] == ']' && (++at, true);
            while (!ok) {
                Json item;
                if (!value(item))
                    break;
                v.items.push_back(std::move(item));
                space();
                if (at < in.size() && in[at] == ',') {
                    ++at;
                } else {
                    ok = at < in.size() && in[at] == ']';
                    ++at;
                    break;
                }
            }
        } else if (in[at] == '"') {
            v.type = Json::String;
            ok = string(v.text);
        } else if (literal("true")) {
            v.type = Json::Bool;
            v.boolean = ok = true;
        } else if (literal("false")) {
            v.type = Json::Bool;
            ok = true;
        } else if (literal("null")) {
            ok = true;
        } else if (in[at] == '-' || (in[at] >= '0' && in[at] <= '9')) {
            // A number past a double's range is kept as written (the office
            // sees it), and is no count of ours.
            v.type = Json::Number;
            const auto r = std::from_chars(in.data() + at, in.data() + in.size(), v.number);
            ok = r.ptr != in.data() + at && (r.ec == std::errc() || r.ec == std::errc::result_out_of_range);
            if (r.ec != std::errc())
                v.number = HUGE_VAL;
            v.text.assign(in.data() + at, r.ptr);
            at = std::size_t(r.ptr - in.data());
        }
        --depth;
        return ok;
    }
};

} // namespace

std::size_t columns(std::string_view text)
{
    return std::size_t(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string jsonText(std::string_view s)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t n = decode(s, i, cp);
        if (n == 0)
            cp = 0xFFFD, n = 1;
        i += n;
        if (cp == '"' || cp == '\\')
            out += '\\', out += char(cp);
        else if (cp == '\n')
            out += "\\n";
        else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029)
            out += hex("\\u%04x", unsigned(cp));
        else
            cp1252::appendUtf8(out, cp);
    }
    return out + "\"";
}


const Json *Json::find(std::string_view key) const
{
    for (const auto &[k, v] : members)
        if (k == key)
            return &v;
    return nullptr;
}

std::optional<Json> parseJson(std::string_view text)
{
    Parser p{text};
    Json v;
    if (!p.value(v))
        return std::nullopt;
    p.space();
    if (p.at != text.size())
        return std::nullopt;
    return v;
}

std::string toJson(const Json &v)
{
    switch (v.type) {
    case Json::Null: return "null";
    case Json::Bool: return v.boolean ? "true" : "false";
    case Json::Number: return v.text;
    case Json::String: return jsonText(v.text);
    case Json::Array: {
        std::string out = "[";
        for (std::size_t i = 0; i < v.items.size(); ++i)
            out += (i ? ", " : "") + toJson(v.items[i]);
        return out + "]";
    }
    case Json::Object: {
        std::string out = "{";
        for (std::size_t i = 0; i < v.members.size(); ++i)
            out += (i ? ", " : "") + jsonText(v.members[i].first) + ": " + toJson(v.members[i].second);
        return out + "}";
    }
    }
    return "null";
}


std::string visible(std::string_view text, std::size_t width, std::string_view alsoEscape)
{
    std::string out;
    std::size_t used = 0;
    // Where "…" goes if the text turns out longer than `width`.
    std::size_t cutAt = std::string::npos;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        const std::size_t n = decode(text, i, cp);
        std::string piece;
        if (n == 0)
            piece = hex("\\x%02x", static_cast<unsigned char>(text[i]));
        else if (cp == '\\')
            piece = "\\\\";
        else if (cp < 0x80 && (invisible(cp) || alsoEscape.find(char(cp)) != std::string_view::npos))
            piece = hex("\\x%02x", unsigned(cp));
        else if (invisible(cp))
            piece = hex("\\u%04x", unsigned(cp));
        else
            piece.assign(text.substr(i, n));
        i += n ? n : 1;
        const std::size_t w = columns(piece);
        if (cutAt == std::string::npos && used + w + 1 > width)
            cutAt = out.size();
        if (used + w > width) {
            out.resize(cutAt);
            return width ? out + "…" : out;
        }
        out += piece;
        used += w;
    }
    return out;
}


} // namespace fleet
