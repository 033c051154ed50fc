// Crash library text helpers: the exact texts the bug report is built from,
// the library's own case table, and the traps of ranges and repeats.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "crash/zel_strings.h"
#include "crash/zel_types.h"

using namespace zelStrings;

TEST(ZelStrings, NumbersAsText) {
    struct Case {
        std::string got, expect;
    } cases[] = {
        {HexText(255u, 8, '0'), "$000000ff"},
        {HexText(255u, 8, 'a'), "$aaaaaaff"},
        {HexText(255u, 8, ' '), "      $ff"},
        {HexText(255u, -4, ' '), "$ff  "},
        {HexText(0u), "$0"},
        {HexText(-1), "$ffffffff"},
        {HexText(std::int64_t(-1)), "$ffffffffffffffff"},
        {HexText(0xDEADBEEFu, 2), "$deadbeef"},
        {DecimalText(-5, 4, '0'), "-005"},
        {DecimalText(-5, 4, ' '), "  -5"},
        {DecimalText(5, -3, ' '), "5  "},
        {DecimalText(INT64_MIN), "-9223372036854775808"},
        {DecimalText(UINT64_MAX), "18446744073709551615"},
        {DecimalText(std::uint32_t(4000000000u)), "4000000000"},
        {PadText("-5", 4, '0'), "-005"},
        {PadText("abc", 2, '*'), "abc"},
        {PadText("ab", -4, '*'), "ab**"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expect);
}

TEST(ZelStrings, SizeText) {
    struct Case {
        std::uint64_t size;
        const char* text;
    } cases[] = {
        {0, "0 Bytes"},
        {1023, "1023 Bytes"},
        {1024, "1,00 KB"},
        {1536, "1,50 KB"},
        {1048575, "1023,99 KB"},
        {1048576, "1,00 MB"},
        {1073741823, "1023,99 MB"},
        {1073741824, "1,00 GB"},
        {5ull << 30 | 1ull << 29, "5,50 GB"},
        {UINT64_MAX, "17179869183,99 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(SizeText(c.size, ','), c.text) << c.size;
    EXPECT_EQ(SizeText(1024, '.'), "1.00 KB");
}

TEST(ZelStrings, TextToNumber) {
    struct Case {
        const char* text;
        bool hex, ok;
        std::int64_t value;
    } cases[] = {
        {"ff", true, true, 255},      {"FF", true, true, 255},     {"0040a1b2", true, true, 0x40a1b2},
        {"-10", false, true, -10},    {"007", false, true, 7},     {"", false, false, 0},
        {"-", false, false, 0},       {"12x", false, false, 0},    {"ff", false, false, 0},
        {" 1", false, false, 0},      {"ffffffff", true, true, 0xffffffffll},
    };
    for (const auto& c : cases) {
        std::int64_t v = -99;
        EXPECT_EQ(TextToNumber(c.text, c.hex, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ZelStrings, CaseTableKnowsTheUmlauts) {
    EXPECT_EQ(UpperChar('\xe4'), '\xc4');
    EXPECT_EQ(UpperChar('\xf6'), '\xd6');
    EXPECT_EQ(UpperChar('\xfc'), '\xdc');
    EXPECT_EQ(LowerChar('\xdc'), '\xfc');
    EXPECT_EQ(UpperChar('\xe9'), '\xe9');  // other accented letters stay
    EXPECT_EQ(UpperText("mail\xe4z"), "MAIL\xc4Z");
    EXPECT_TRUE(SameTextNoCase("Gr\xfc\xdf", "GR\xdc\xdf"));
    EXPECT_FALSE(SameTextNoCase("abc", "abcd"));
    EXPECT_TRUE(StartsWithText("Exception", "EXC"));
    EXPECT_FALSE(StartsWithText("Ex", "EXC"));

    struct Case {
        const char *a, *b;
        int sign;
    } cases[] = {{"abc", "ABC", 0}, {"abc", "abd", -1}, {"b", "A", 1}, {"ab", "abc", -1}, {"", "", 0}};
    for (const auto& c : cases) {
        int r = CompareNoCase(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " " << c.b;
    }
    EXPECT_EQ(CompareNoCase("a", "c"), 'A' - 'C');
    EXPECT_EQ(CompareNoCase("abc", "ab"), 1);
}

TEST(ZelStrings, FindWithinRanges) {
    struct Case {
        const char *sub, *text;
        std::size_t from, to, expect;
        bool noCase;
    } cases[] = {
        {"b", "abcabc", 1, 6, 2, false},
        {"b", "abcabc", 6, 1, 5, false},     // backwards finds the last
        {"bc", "abcabc", 1, 2, 0, false},    // must lie wholly inside the range
        {"bc", "abcabc", 3, 6, 5, false},
        {"BC", "abcabc", 1, 6, 0, false},
        {"BC", "abcabc", 1, 6, 2, true},
        {"\xc4", "x\xe4y", 1, 3, 2, true},
        {"c", "abcabc", 4, 99, 6, false},    // an end beyond the text is clamped
        {"c", "abcabc", 99, 4, 6, false},
        {"", "abc", 1, 3, 0, false},
        {"abcd", "abc", 1, 3, 0, false},
        {"a", "", 1, 1, 0, false},
    };
    for (const auto& c : cases) {
        std::size_t r = c.noCase ? FindNoCase(c.sub, c.text, c.from, c.to) : FindCase(c.sub, c.text, c.from, c.to);
        EXPECT_EQ(r, c.expect) << c.sub << " in " << c.text << " " << c.from << ".." << c.to;
    }
    // Zero-terminated buffers work through their view.
    const char buffer[] = "module.dll";
    EXPECT_EQ(FindCase(".", buffer, 1, sizeof buffer), 7u);

    EXPECT_EQ(FindCharOfSet("a.b/c", "/.", 1, 5), 2u);
    EXPECT_EQ(FindCharOfSet("a.b/c", "/.", 5, 1), 4u);
    EXPECT_EQ(FindCharOfSet("a.b/c", "/.", 3, 3), 0u);
    EXPECT_EQ(FindCharOfSet("", "/", 1, 5), 0u);
}

TEST(ZelStrings, ReplaceAll) {
    struct Case {
        const char *text, *find, *by;
        bool repeat, noCase, found;
        const char* result;
    } cases[] = {
        {"a..b...c", "..", ".", false, false, true, "a.b..c"},
        {"a..b...c", "..", ".", true, false, true, "a.b.c"},      // replacements form new hits
        {"aXbxc", "x", "-", false, true, true, "a-b-c"},
        {"aXbxc", "x", "-", false, false, true, "aXb-c"},
        {"abc", "z", "y", false, false, false, "abc"},
        {"abc", "", "y", true, false, false, "abc"},
        {"aaa", "a", "aa", true, false, true, "aaaaaa"},       // would never end: works once
        {"xAx", "a", "ba", true, true, true, "xbax"},
        {"ab", "ab", "", true, false, true, ""},
    };
    for (const auto& c : cases) {
        std::string t = c.text;
        bool found = c.noCase ? ReplaceAllNoCase(t, c.find, c.by, c.repeat) : ReplaceAllCase(t, c.find, c.by, c.repeat);
        EXPECT_EQ(found, c.found) << c.text << " " << c.find;
        EXPECT_EQ(t, c.result) << c.text << " " << c.find;
    }
}

TEST(ZelStrings, SlicingTrimmingAndFields) {
    std::string t = "\t\r\n  text \x01";
    TrimBlanks(t);
    EXPECT_EQ(t, "text");
    EXPECT_EQ(TrimmedCopy("   "), "");
    t = "a-b-c";
    EXPECT_TRUE(RemoveCharSet(t, "-"));
    EXPECT_EQ(t, "abc");
    EXPECT_FALSE(RemoveCharSet(t, "-"));
    t = "abcdef";
    TextCopy(t, 2, 3);
    EXPECT_EQ(t, "bcd");
    t = "abc";
    TextCopy(t, 5, 3);
    EXPECT_EQ(t, "");
    EXPECT_EQ(DeletedCopy("abcdef", 2, 2), "adef");
    EXPECT_EQ(DeletedCopy("abc", 9, 2), "abc");
    EXPECT_EQ(RightCopy("abcdef", 2), "ef");
    EXPECT_EQ(RightCopy("ab", 5), "ab");

    t = "  a , b ,c  ,  ";
    TightenSeparators(t, ',');
    EXPECT_EQ(t, "a,b,c,");
    struct Case {
        const char* list;
        std::size_t count;
        const char* second;
    } cases[] = {{"", 0, ""}, {"a", 1, ""}, {"a;b", 2, "b"}, {"a;;c", 3, ""}, {";", 2, ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(FieldCount(c.list, ';'), c.count) << c.list;
        EXPECT_EQ(FieldAt(c.list, 2, ';'), c.second) << c.list;
    }
    EXPECT_EQ(FieldAt("a;b", 0, ';'), "");
    EXPECT_EQ(FieldAt("a;b", 3, ';'), "");
    EXPECT_TRUE(HasField("EAccessViolation;ESocketError", "esocketerror", ';'));
    EXPECT_FALSE(HasField("EAccessViolation;ESocketError", "Socket", ';'));
}

TEST(ZelStrings, SystemTextsAndNames) {
    EXPECT_EQ(ErrorText(ENOENT), "No such file or directory");
    std::string unknown = ErrorText(123456);
    EXPECT_FALSE(unknown.empty());
    EXPECT_EQ(unknown.find_first_of("\r\n"), std::string::npos);

    std::string scrambled;
    for (char c : std::string("libc.so.6")) scrambled += static_cast<char>(c ^ kNameKey);
    EXPECT_EQ(UnscrambleName(scrambled), "libc.so.6");

    EXPECT_EQ(WidenText("a\xe4"), std::u16string(u"a\u00e4"));
    EXPECT_EQ(WidenText("ab", true).size(), 3u);
    char sep = DecimalSeparator();
    EXPECT_NE(sep, '\0');

    ZelException e("Stream write error.");
    EXPECT_STREQ(e.what(), "Stream write error.");
    try {
        throw ZelException("x");
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "x");
    }
}
