// Text and number helpers of the crash library. They work on 8-bit texts,
// count positions from 1 and use their own case table, so the crash
// reporter gives the same texts whatever state the rest of the program and
// the locale are in when it runs.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelStrings {

// Characters 0 to 32: what TrimBlanks and TightenSeparators treat as blank.
bool IsBlank(char c);

void TrimBlanks(std::string& text);
std::string TrimmedCopy(std::string_view text);

// Removes every character that occurs in `chars`; true when one was removed.
bool RemoveCharSet(std::string& text, std::string_view chars);

// Replace every occurrence of `find`; true when one was found. With `repeat`
// the search resumes at the start of each replacement, so occurrences formed
// by a replacement are replaced too. A repeat whose replacement contains the
// search text would never end; it then works as without `repeat`.
bool ReplaceAllCase(std::string& text, std::string_view find, std::string_view replacement,
                    bool repeat = false);
bool ReplaceAllNoCase(std::string& text, std::string_view find, std::string_view replacement,
                      bool repeat = false);

// Keeps `count` characters from `pos` in place.
void TextCopy(std::string& text, std::size_t pos, std::size_t count);
// A copy with `count` characters from `pos` deleted.
std::string DeletedCopy(std::string_view text, std::size_t pos, std::size_t count);
// The last `count` characters (the whole text when it is shorter).
std::string RightCopy(std::string_view text, std::size_t count);

char UpperChar(char c);
char LowerChar(char c);
std::string UpperText(std::string_view text);

bool SameTextNoCase(std::string_view a, std::string_view b);
// Difference of the first differing case-mapped characters, else of the lengths.
int CompareNoCase(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view text, std::string_view prefix);

// Position of `sub` lying wholly within positions [from, to] of `text`,
// searching backwards (the last occurrence) when from > to; 0 when none.
// Positions beyond the text are clamped to it.
std::size_t FindCase(std::string_view sub, std::string_view text, std::size_t from,
                     std::size_t to);
std::size_t FindNoCase(std::string_view sub, std::string_view text, std::size_t from,
                       std::size_t to);
// Position of the first character of `chars` in [from, to], or of the last
// one in [to, from] when from > to; 0 when none.
std::size_t FindCharOfSet(std::string_view text, std::string_view chars, std::size_t from,
                          std::size_t to);

// Fills `text` to `width` characters with `fill`: on the left for a positive
// width, on the right for a negative one. A minus sign stays in front of
// filling zeros.
std::string PadText(std::string_view text, int width, char fill = ' ');

std::string SignedDecimalText(std::int64_t value, int width = 0, char fill = ' ');
std::string UnsignedDecimalText(std::uint64_t value, int width = 0, char fill = ' ');
// "$" and lower-case digits; `width` counts the digits. The "$" goes before
// the fill characters when the fill is a hexadecimal digit, else after them.
std::string UnsignedHexText(std::uint64_t value, int width = 0, char fill = '0');

// Any integer type; a negative value shows in hexadecimal as the bits of its
// own size (-1 as a 32-bit int is "$ffffffff").
template <std::integral T>
std::string DecimalText(T value, int width = 0, char fill = ' ') {
    if constexpr (std::is_signed_v<T>) return SignedDecimalText(value, width, fill);
    else return UnsignedDecimalText(value, width, fill);
}
template <std::integral T>
std::string HexText(T value, int width = 0, char fill = '0') {
    return UnsignedHexText(static_cast<std::make_unsigned_t<T>>(value), width, fill);
}

// Decimal or hexadecimal digits with an optional leading "-"; false when the
// text is empty or holds anything else. Values beyond 64 bits wrap.
bool TextToNumber(std::string_view text, bool hex, std::int64_t& value);

// Removes blanks around every `separator` and at both ends.
void TightenSeparators(std::string& text, char separator);
// Fields between separators, counted from 1; an empty text has none.
std::size_t FieldCount(std::string_view text, char separator);
std::string FieldAt(std::string_view text, std::size_t index, char separator);
// Whether `field` is one whole field of `list` (case-insensitive).
bool HasField(std::string_view list, std::string_view field, char separator);

// The locale's decimal separator, "," when it gives none.
char DecimalSeparator();
// "1023 Bytes", "1,00 KB", "1,50 MB", "2,00 GB" (hundredths, cut not rounded).
std::string SizeText(std::uint64_t size);
std::string SizeText(std::uint64_t size, char separator);

// The system's text for an error number, on one line.
std::string ErrorText(int code);

// The one-byte key that scrambled names are stored under.
inline constexpr unsigned char kNameKey = 0x5A;
std::string UnscrambleName(std::string_view scrambled);

std::u16string WidenText(std::string_view text, bool terminatingZero = false);

}  // namespace zelStrings
