#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarnel {

// Keys and their values, in order.
using IniValues = std::vector<std::pair<std::string, std::string>>;

// What the text of a settings file holds. The format is the INI form the window program has
// always written through Qt (QSettings), read and written here alike on every system:
//
// - Lines end at a line feed or carriage return, also within quotes or after a backslash (Qt
//   would read on into the next line there, and a key on it would be lost); blanks before a line
//   are passed over. A UTF-8 byte order mark at the start is passed over.
// - "; comment", "[Section]" (text after its "]" is passed over) and "key = value" lines; a ";"
//   outside quotes ends a line's content, so a comment may follow a value. Any other line, an
//   unclosed "[", and control characters but tab are not understood.
// - Keys of "[General]" (of any case) or of no section are the plain key, those of another
//   section "Section/key". In a key, "%XX" and "%UXXXX" stand for a character and "\" for "/".
// - A value is read as Qt reads it: unquoted commas make it a list, whose pieces lose their
//   surrounding blanks and are joined by "," again ("25, 465 ,587" is "25,465,587"); double
//   quotes keep what they enclose (commas, blanks, ";"); C escapes ("\"", "\\", "\n", "\x41",
//   "\101") stand for their character; a leading "@@" stands for "@".
struct IniContents {
    bool Understood = true;
    // When not understood: which line and why, as "line 3 is neither ...".
    std::string Problem;
    // Each key once, with the value its last line gives, in the order the keys first appear.
    IniValues Values;

    // The value of key; none when the file does not hold it.
    const std::string* Find(std::string_view key) const;
};

IniContents ReadIni(std::string_view text);

// text (understood, or empty) with the keys of [General] set to values: a key's line is
// rewritten where it stands (a repeated key's later lines dropped); keys not there yet are added
// after the last line of [General] (made at the end when there is none), in the order of their
// names. Every other line, comments and other keys and sections, stays as it was. Values are
// written as Qt writes them: quoted when they hold a comma, ";" or "=" or start or end in a blank,
// escaped where needed.
std::string WithIniValues(std::string_view text, const IniValues& values);

}  // namespace quarnel
