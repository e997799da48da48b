#include "settings/IniFormat.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "container/TextCase.h"

namespace quarnel {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
    return c <= '9' ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A character of the Basic Multilingual Plane (all an escape can name) as UTF-8; a lone
// surrogate, which names no character, as U+FFFD.
void AppendCharacter(std::string& text, std::uint32_t code) {
    code &= 0xffff;
    if (code >= 0xd800 && code <= 0xdfff) {
        code = 0xfffd;
    }
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xc0 | code >> 6);
        text += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        text += static_cast<char>(0xe0 | code >> 12);
        text += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        text += static_cast<char>(0x80 | (code & 0x3f));
    }
}

// One line of the text: from Start to End, its end of line ("\n", "\r" or "\r\n") up to Next.
struct TextLine {
    std::size_t Start, End, Next;
};

TextLine LineAt(std::string_view text, std::size_t at) {
    const std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) {
        return {at, text.size(), text.size()};
    }
    std::size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') {
        ++next;
    }
    return {at, end, next};
}

// A key as stored: "\" for "/", "%XX" and "%UXXXX" for a character; a "%" that starts neither
// is itself.
std::string UnescapedKey(std::string_view text) {
    std::string key;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\\') {
            key += '/';
            ++i;
            continue;
        }
        const bool wide = text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'U';
        const std::size_t digits = wide ? 4 : 2, first = i + (wide ? 2 : 1);
        bool escape = text[i] == '%' && first + digits <= text.size();
        std::uint32_t code = 0;
        for (std::size_t d = first; escape && d < first + digits; ++d) {
            escape = IsHexDigit(text[d]);
            code = code << 4 | (escape ? HexValue(text[d]) : 0);
        }
        if (!escape) {
            key += text[i++];
            continue;
        }
        AppendCharacter(key, code);
        i = first + digits;
    }
    return key;
}

// What follows a backslash at text[i] in a value: appends the character it stands for, if any;
// returns where the value goes on.
std::size_t Unescape(std::string_view text, std::size_t i, std::string& value) {
    static constexpr std::string_view kFrom = "abfnrtv\"?'\\", kTo = "\a\b\f\n\r\t\v\"?'\\";
    const char c = text[i++];
    if (const auto simple = kFrom.find(c); simple != std::string_view::npos) {
        value += kTo[simple];
        return i;
    }
    const bool hex = c == 'x';
    if (!hex && !(c >= '0' && c <= '7')) {
        return i;  // an escape of nothing known stands for nothing
    }
    if (hex && (i == text.size() || !IsHexDigit(text[i]))) {
        return i;
    }
    std::uint32_t code = hex ? 0 : unsigned(c - '0');
    for (; i < text.size() && (hex ? IsHexDigit(text[i]) : text[i] >= '0' && text[i] <= '7'); ++i) {
        code =
            (hex ? code << 4 | HexValue(text[i]) : code << 3 | unsigned(text[i] - '0')) & 0xffffff;
    }
    AppendCharacter(value, code);
    return i;
}

// A value as stored (after its "="): see IniContents.
std::string UnescapedValue(std::string_view text) {
    std::string value;
    std::size_t i = 0;
    std::size_t piece = 0;  // where the current piece of a list starts in value
    std::size_t kept = 0;   // blanks before this stay: they were escaped or quoted
    bool inQuotes = false, quotedPiece = false;
    const auto skipBlanks = [&] {
        while (i < text.size() && IsBlank(text[i])) {
            ++i;
        }
        kept = value.size();
    };
    const auto endPiece = [&] {
        if (!quotedPiece) {
            while (value.size() > kept && IsBlank(value.back())) {
                value.pop_back();
            }
        }
        if (value.compare(piece, 2, "@@") == 0) {
            value.erase(piece, 1);
        }
    };
    skipBlanks();
    while (i < text.size()) {
        const char c = text[i++];
        if (c == '\\') {
            if (i < text.size()) {
                i = Unescape(text, i, value);
            }
            kept = value.size();
        } else if (c == '"') {
            quotedPiece = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
            }
        } else if (c == ',' && !inQuotes) {
            endPiece();
            value += ',';
            piece = value.size();
            quotedPiece = false;
            skipBlanks();
        } else {
            value += c;
        }
    }
    endPiece();
    return value;
}

// The end of a line's content: the first ";" outside quotes and escapes, or its end.
std::size_t ContentEnd(std::string_view line, char stop) {
    bool inQuotes = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\') {
            ++i;
        } else if (line[i] == '"') {
            inQuotes = !inQuotes;
        } else if (line[i] == stop && !inQuotes) {
            return i;
        }
    }
    return line.size();
}

struct ParsedLine {
    enum class Kind { Nothing, Section, Key, NotUnderstood } Is = Kind::Nothing;
    std::string Name;   // Section: "" for [General], else "Section/"; Key: the key
    std::string Value;  // Key: its value; NotUnderstood: why
};

ParsedLine ParseLine(std::string_view line) {
    for (const char c : line) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
            return {ParsedLine::Kind::NotUnderstood, {}, "holds a control character"};
        }
    }
    while (!line.empty() && IsBlank(line.front())) {
        line.remove_prefix(1);
    }
    const std::string_view content = line.substr(0, ContentEnd(line, ';'));
    if (content.empty()) {
        return {};  // blank, or a comment
    }
    if (content.front() == '[') {
        const auto close = content.find(']');
        if (close == std::string_view::npos) {
            return {ParsedLine::Kind::NotUnderstood, {}, "opens a section without closing it"};
        }
        const std::string_view name = Trimmed(content.substr(1, close - 1));
        if (EqualsIgnoreCase(name, "general")) {
            return {ParsedLine::Kind::Section, {}, {}};
        }
        // A section of another program named General keeps its name.
        return {ParsedLine::Kind::Section,
                (EqualsIgnoreCase(name, "%general") ? std::string(name.substr(1))
                                                    : UnescapedKey(name)) +
                    '/',
                {}};
    }
    const std::size_t equals = ContentEnd(content, '=');
    if (equals == content.size()) {
        return {
            ParsedLine::Kind::NotUnderstood, {}, "is neither [section], key=value nor a ; comment"};
    }
    return {ParsedLine::Kind::Key, UnescapedKey(Trimmed(content.substr(0, equals))),
            UnescapedValue(content.substr(equals + 1))};
}

// A key as Qt writes it: "/" as "\", any byte but letters, digits, "_", "-" and "." as "%XX".
std::string EscapedKey(std::string_view key) {
    static constexpr std::string_view kHex = "0123456789ABCDEF";
    std::string text;
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/') {
            text += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.') {
            text += c;
        } else {
            text += '%';
            text += kHex[byte >> 4];
            text += kHex[byte & 0xf];
        }
    }
    return text;
}

// A value as Qt writes it, so that Qt and this reader both read it back as it was.
std::string EscapedValue(std::string_view value) {
    static constexpr std::string_view kHex = "0123456789abcdef";
    std::string text = value.starts_with('@') ? "@" : "";
    bool quote = false;
    bool hexFollows = false;  // a hex digit after "\x.." or "\0" would join that escape
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        quote = quote || c == ';' || c == ',' || c == '=';
        if (hexFollows && IsHexDigit(c)) {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0xf];
            continue;
        }
        hexFollows = false;
        static constexpr std::string_view kFrom = "\a\b\f\n\r\t\v\"\\", kTo = "abfnrtv\"\\";
        if (c == '\0') {
            text += "\\0";
            hexFollows = true;
        } else if (const auto simple = kFrom.find(c); simple != std::string_view::npos) {
            text += '\\';
            text += kTo[simple];
        } else if (byte < 0x20) {
            text += "\\x";
            if (byte >= 0x10) {
                text += kHex[byte >> 4];
            }
            text += kHex[byte & 0xf];
            hexFollows = true;
        } else {
            text += c;
        }
    }
    if (quote || (!text.empty() && (text.front() == ' ' || text.back() == ' '))) {
        text = '"' + text + '"';
    }
    return text;
}

}  // namespace

const std::string* IniContents::Find(std::string_view key) const {
    for (const auto& [name, value] : Values) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

IniContents ReadIni(std::string_view text) {
    IniContents contents;
    std::unordered_map<std::string, std::size_t> found;  // key: its place in Values
    std::string section;
    std::size_t number = 1;
    for (std::size_t at = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
         at < text.size(); ++number) {
        const TextLine line = LineAt(text, at);
        at = line.Next;
        ParsedLine parsed = ParseLine(text.substr(line.Start, line.End - line.Start));
        switch (parsed.Is) {
            case ParsedLine::Kind::Nothing:
                break;
            case ParsedLine::Kind::Section:
                section = std::move(parsed.Name);
                break;
            case ParsedLine::Kind::Key: {
                std::string key = section + parsed.Name;
                const auto [place, added] = found.emplace(key, contents.Values.size());
                if (added) {
                    contents.Values.emplace_back(std::move(key), std::move(parsed.Value));
                } else {
                    contents.Values[place->second].second = std::move(parsed.Value);
                }
                break;
            }
            case ParsedLine::Kind::NotUnderstood:
                return {false, "line " + std::to_string(number) + ' ' + parsed.Value, {}};
        }
    }
    return contents;
}

std::string WithIniValues(std::string_view text, const IniValues& values) {
    const TextLine first = LineAt(text, 0);
    const std::string_view endOfLine =
        first.Next > first.End ? text.substr(first.End, first.Next - first.End) : "\n";
    const auto lineOf = [&](const std::pair<std::string, std::string>& entry) {
        return EscapedKey(entry.first) + '=' + EscapedValue(entry.second) + std::string(endOfLine);
    };
    std::vector<bool> written(values.size(), false);
    std::string out;
    std::size_t general = std::string::npos;  // in out: just after the last line of [General]
    bool inGeneral = true;                    // keys before any section are [General]'s
    const std::size_t start = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    out += text.substr(0, start);
    for (std::size_t at = start; at < text.size();) {
        const TextLine line = LineAt(text, at);
        at = line.Next;
        const std::string_view whole = text.substr(line.Start, line.Next - line.Start);
        const ParsedLine parsed = ParseLine(text.substr(line.Start, line.End - line.Start));
        if (parsed.Is == ParsedLine::Kind::Section) {
            inGeneral = parsed.Name.empty();
        }
        std::size_t own = values.size();
        if (parsed.Is == ParsedLine::Kind::Key && inGeneral) {
            own = 0;
            while (own < values.size() && values[own].first != parsed.Name) {
                ++own;
            }
        }
        if (own < values.size()) {
            if (!written[own]) {  // a key's later lines would undo this one: they go
                out += lineOf(values[own]);
                written[own] = true;
                general = out.size();
            }
            continue;
        }
        out += whole;
        if (inGeneral && parsed.Is != ParsedLine::Kind::Nothing) {
            general = out.size();
        }
    }
    // New keys in the order of their names, as Qt writes a new file.
    std::vector<const std::pair<std::string, std::string>*> missing;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!written[i]) {
            missing.push_back(&values[i]);
        }
    }
    std::sort(missing.begin(), missing.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string added;
    for (const auto* entry : missing) {
        added += lineOf(*entry);
    }
    if (added.empty()) {
        return out;
    }
    if (general == std::string::npos) {
        general = out.size();
        added = "[General]" + std::string(endOfLine) + added;
    }
    if (general == out.size() && !out.empty() && out.back() != '\n' && out.back() != '\r') {
        added = std::string(endOfLine) + added;
    }
    out.insert(general, added);
    return out;
}

}  // namespace quarnel
