// Charset names, their identifiers and conversion between charsets. The
// conversion itself is glibc's iconv; the one code page glibc lacks
// (Kamenicky, 895) has its own table here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace CharsetTables {

// Identifiers by ordinal; stored values and callers rely on the numbers.
enum class TCharset : int {
    ISO_8859_1 = 0,
    ISO_8859_2 = 1,
    ISO_8859_3 = 2,
    ISO_8859_4 = 3,
    ISO_8859_5 = 4,
    ISO_8859_6 = 5,
    ISO_8859_7 = 6,
    ISO_8859_8 = 7,
    ISO_8859_9 = 8,
    ISO_8859_10 = 9,
    ISO_8859_13 = 10,
    ISO_8859_14 = 11,
    ISO_8859_15 = 12,
    Windows1250 = 13,
    Windows1251 = 14,
    Windows1252 = 15,
    Windows1253 = 16,
    Windows1254 = 17,
    Windows1255 = 18,
    Windows1256 = 19,
    Windows1257 = 20,
    Windows1258 = 21,
    KOI8_R = 22,
    Kamenicky = 23,
    Latin2CP852 = 24,
    UCS2 = 25,
    UCS4 = 26,
    UTF8 = 27,
    UTF7 = 28,
};

// Charset selected by a name (any case). A name that matches nothing
// selects ISO-8859-1; matched says whether the table knew it.
TCharset CharsetOfName(std::string_view name, bool* matched = nullptr);

// The name glibc knows the charset by ("" for Kamenicky, converted here).
const char* IconvName(TCharset cs);

// Text in cs to UTF-8. Bytes that are not valid in cs become U+FFFD.
std::string ToUtf8(std::string_view text, TCharset cs);

// Text in the named charset to UTF-8: the table above first; a name the
// table does not know is tried with glibc under its own name, and read as
// ISO-8859-1 when glibc does not know it either.
std::string ToUtf8(std::string_view text, std::string_view charsetName);

// UTF-8 to cs; a character cs has no code for becomes "?".
std::string FromUtf8(std::string_view utf8, TCharset cs);

// Text in one charset to another.
std::string ConvertText(std::string_view text, TCharset from, TCharset to);

bool IsValidUtf8(std::string_view text);
// No byte above 127.
bool IsAscii(std::string_view text);

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, std::uint32_t cp);

}  // namespace CharsetTables
