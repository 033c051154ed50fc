// Charset names, conversion and the encoded-word decoder.
#include <gtest/gtest.h>

#include "codecs/charsettables.h"
#include "codecs/headerwords.h"

namespace {

using CharsetTables::TCharset;

TEST(CharsetTables, NamesSelectByTheMatchingRules) {
    struct {
        const char* name;
        int ordinal;
        bool matched;
    } cases[] = {
        {"iso-8859-2", 1, true},     {"ISO-8859-9", 8, true},       {"iso-8859-10", 9, true},
        {"ISO-8859-15", 12, true},   {"windows-1250", 13, true},    {"x-cp1251", 14, true},
        {"WINDOWS-1258", 21, true},  {"koi8-r", 22, true},          {"kamenicky", 23, true},
        {"cp895", 23, true},         {"ibm852", 24, true},          {"Latin-2", 24, true},
        {"utf-7", 28, true},         {"x-utf-8", 27, true},         {"ISO-10646-UCS-4", 26, true},
        {"unicode-1-1", 25, true},   {"iso-8859-1", 0, false},      {"us-ascii", 0, false},
        {"", 0, false},
    };
    for (const auto& c : cases) {
        bool matched = !c.matched;
        EXPECT_EQ(static_cast<int>(CharsetTables::CharsetOfName(c.name, &matched)), c.ordinal) << c.name;
        EXPECT_EQ(matched, c.matched) << c.name;
    }
}

TEST(CharsetTables, ConvertsToAndFromUtf8) {
    struct {
        std::string bytes;
        TCharset cs;
        std::string utf8;
    } cases[] = {
        {"caf\xE9", TCharset::ISO_8859_1, "caf\xC3\xA9"},
        {"\x80", TCharset::Windows1252, "\xE2\x82\xAC"},
        {"\xA4", TCharset::ISO_8859_15, "\xE2\x82\xAC"},
        {"\xE8", TCharset::Windows1250, "\xC4\x8D"},            // c with caron
        {"\x80\xA0", TCharset::Kamenicky, "\xC4\x8C\xC3\xA1"},  // C with caron, a acute
        {"\xB0", TCharset::Kamenicky, "\xE2\x96\x91"},          // box drawing as in 437
        {"\x9F", TCharset::Latin2CP852, "\xC4\x8D"},
        {std::string("A\0\xAC\x20", 4), TCharset::UCS2, "A\xE2\x82\xAC"},
        {"+AKM-1", TCharset::UTF7, "\xC2\xA3" "1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CharsetTables::ToUtf8(c.bytes, c.cs), c.utf8) << static_cast<int>(c.cs);
        EXPECT_EQ(CharsetTables::FromUtf8(c.utf8, c.cs), c.bytes) << static_cast<int>(c.cs);
    }
    // A character the target has no code for becomes "?"; invalid input U+FFFD.
    EXPECT_EQ(CharsetTables::FromUtf8("a\xE2\x82\xAC" "b", TCharset::ISO_8859_1), "a?b");
    EXPECT_EQ(CharsetTables::ToUtf8("a\xFF" "b", TCharset::UTF8), "a\xEF\xBF\xBD" "b");
    // Code points UTF-8 does not allow never come out of a conversion.
    EXPECT_TRUE(CharsetTables::IsValidUtf8(CharsetTables::ToUtf8(std::string("\xFF\xFF\xFF\x7F", 4), TCharset::UCS4)));
    EXPECT_TRUE(CharsetTables::IsValidUtf8(CharsetTables::ToUtf8(std::string("\x00\xD8\x41\x00", 4), TCharset::UCS2)));
    EXPECT_EQ(CharsetTables::ConvertText("\xE9", TCharset::ISO_8859_1, TCharset::Latin2CP852), "\x82");
    // Names outside the table go to glibc; names it does not know read as Latin-1.
    EXPECT_EQ(CharsetTables::ToUtf8("\x93\xfa", "shift_jis"), "\xE6\x97\xA5");
    EXPECT_EQ(CharsetTables::ToUtf8("\xE9", "x-no-such-charset"), "\xC3\xA9");
    EXPECT_EQ(CharsetTables::ToUtf8("\xE9", "UTF-8//TRANSLIT"), "\xEF\xBF\xBD");
}

TEST(HeaderWords, DecodesToUtf8) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"=?iso-8859-1?q?caf=E9?= =?iso-8859-1?q?_au_lait?=", "caf\xC3\xA9 au lait"},
        {"=?utf-8?Q?=41?=", "A"},
        {"=?utf-8?q?a_b?=", "a b"},
        {"=?utf-8?q?a=5Fb?=", "a_b"},
        {"=?utf-8?b?w6k=?=", "\xC3\xA9"},
        {"=?utf-8*en?q?lang?=", "lang"},
        {"=?utf-8?x?abc?= d", "=?utf-8?x?abc?= d"},            // unknown encoding: as written
        {"Hello =?utf-8?q?unterminated", "Hello =?utf-8?q?unterminated"},
        {"=?", "=?"},
        {"=??q?x?=", "=??q?x?="},
        {"=?utf-8?q?line=0D=0Abreak?=", "line  break"},       // controls become blanks
        {"=?utf-8?q?tab=09kept?=", "tab\tkept"},
        {"=?utf-8?q?c1=C2=85?=", "c1 "},
        {"raw caf\xE9", "raw caf\xC3\xA9"},                   // not UTF-8: read as Windows-1252
        {"raw caf\xC3\xA9", "raw caf\xC3\xA9"},
        {"852 =?iso-8859-2?q?=E8?=", "852 \xC4\x8D"},          // the value's own digits change nothing
        {"=?utf-8?q?=E2=82?= =?utf-8?q?=AC?=", "\xE2\x82\xAC"},  // a character split across words
    };
    for (const auto& c : cases) EXPECT_EQ(HeaderWords::DecodeHeaderText(c.in), c.out) << c.in;
}

TEST(HeaderWords, InlineDecoderWritesTheTargetCharset) {
    EXPECT_EQ(HeaderWords::DecodeInline("=?utf-8?q?=C3=A9?=", TCharset::ISO_8859_1), "\xE9");
    EXPECT_EQ(HeaderWords::DecodeInline("=?utf-8?q?=C3=A9?=", TCharset::Latin2CP852), "\x82");
}

}  // namespace
