// Text and number helpers of the crash library.
#include "zel_strings.h"

#include <array>
#include <clocale>
#include <cstring>

namespace zelStrings {

namespace {

// Our own case table: ASCII letters plus the three Latin-1 umlauts. The
// crash reporter must not depend on the process locale, which may be the
// very thing that is broken.
struct CaseTable {
    std::array<unsigned char, 256> upper{};
    std::array<unsigned char, 256> lower{};
    CaseTable() {
        for (int i = 0; i < 256; ++i) upper[i] = lower[i] = static_cast<unsigned char>(i);
        for (int c = 'a'; c <= 'z'; ++c) {
            upper[c] = static_cast<unsigned char>(c - 32);
            lower[c - 32] = static_cast<unsigned char>(c);
        }
        const unsigned char pairs[][2] = {{228, 196}, {246, 214}, {252, 220}};
        for (const auto& p : pairs) {
            upper[p[0]] = p[1];
            lower[p[1]] = p[0];
        }
    }
};

const CaseTable& Cases() {
    static const CaseTable table;
    return table;
}

unsigned char Up(char c) { return Cases().upper[static_cast<unsigned char>(c)]; }

bool SameAt(std::string_view text, std::size_t at, std::string_view sub, bool noCase) {
    if (!noCase) return text.compare(at, sub.size(), sub) == 0;
    for (std::size_t i = 0; i < sub.size(); ++i)
        if (Up(text[at + i]) != Up(sub[i])) return false;
    return true;
}

bool ReplaceAll(std::string& text, std::string_view find, std::string_view replacement,
                bool repeat, bool noCase) {
    if (find.empty() || text.size() < find.size()) return false;
    if (repeat && find.size() <= replacement.size()) {
        for (std::size_t i = 0; i + find.size() <= replacement.size(); ++i)
            if (SameAt(replacement, i, find, noCase)) {
                repeat = false;
                break;
            }
    }
    bool found = false;
    if (!repeat) {
        std::string out;
        std::size_t copied = 0, at = 0;
        while (at + find.size() <= text.size()) {
            if (!SameAt(text, at, find, noCase)) {
                ++at;
                continue;
            }
            found = true;
            out.append(text, copied, at - copied);
            out.append(replacement);
            at += find.size();
            copied = at;
        }
        if (found) text = out + text.substr(copied);
        return found;
    }
    // Repeating: the search resumes at the start of each replacement.
    std::size_t at = 0;
    while (at + find.size() <= text.size()) {
        if (!SameAt(text, at, find, noCase)) {
            ++at;
            continue;
        }
        found = true;
        text.replace(at, find.size(), replacement);
    }
    return found;
}

std::size_t Find(std::string_view sub, std::string_view text, std::size_t from,
                 std::size_t to, bool noCase) {
    if (text.empty() || sub.empty()) return 0;
    bool backwards = from > to;
    std::size_t lo = backwards ? to : from, hi = backwards ? from : to;
    if (lo < 1) lo = 1;
    if (hi > text.size()) hi = text.size();
    if (lo > hi || hi - lo + 1 < sub.size()) return 0;
    std::size_t first = lo, last = hi - sub.size() + 1;  // candidate start positions
    if (!backwards) {
        for (std::size_t p = first; p <= last; ++p)
            if (SameAt(text, p - 1, sub, noCase)) return p;
    } else {
        for (std::size_t p = last; p >= first; --p)
            if (SameAt(text, p - 1, sub, noCase)) return p;
    }
    return 0;
}

}  // namespace

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

void TrimBlanks(std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    text = text.substr(b, e - b);
}

std::string TrimmedCopy(std::string_view text) {
    std::string s(text);
    TrimBlanks(s);
    return s;
}

bool RemoveCharSet(std::string& text, std::string_view chars) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (chars.find(c) == std::string_view::npos) out += c;
    bool removed = out.size() != text.size();
    text.swap(out);
    return removed;
}

bool ReplaceAllCase(std::string& text, std::string_view find, std::string_view replacement,
                    bool repeat) {
    return ReplaceAll(text, find, replacement, repeat, false);
}

bool ReplaceAllNoCase(std::string& text, std::string_view find, std::string_view replacement,
                      bool repeat) {
    return ReplaceAll(text, find, replacement, repeat, true);
}

void TextCopy(std::string& text, std::size_t pos, std::size_t count) {
    if (pos < 1) pos = 1;
    if (pos > text.size()) {
        text.clear();
        return;
    }
    text = text.substr(pos - 1, count);
}

std::string DeletedCopy(std::string_view text, std::size_t pos, std::size_t count) {
    std::string s(text);
    if (pos >= 1 && pos <= s.size()) s.erase(pos - 1, count);
    return s;
}

std::string RightCopy(std::string_view text, std::size_t count) {
    if (count >= text.size()) return std::string(text);
    return std::string(text.substr(text.size() - count));
}

char UpperChar(char c) { return static_cast<char>(Up(c)); }
char LowerChar(char c) { return static_cast<char>(Cases().lower[static_cast<unsigned char>(c)]); }

std::string UpperText(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = UpperChar(c);
    return s;
}

bool SameTextNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && SameAt(a, 0, b, true);
}

int CompareNoCase(std::string_view a, std::string_view b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        int d = int(Up(a[i])) - int(Up(b[i]));
        if (d != 0) return d;
    }
    return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

bool StartsWithText(std::string_view text, std::string_view prefix) {
    return prefix.size() <= text.size() && SameAt(text, 0, prefix, true);
}

std::size_t FindCase(std::string_view sub, std::string_view text, std::size_t from,
                     std::size_t to) {
    return Find(sub, text, from, to, false);
}

std::size_t FindNoCase(std::string_view sub, std::string_view text, std::size_t from,
                       std::size_t to) {
    return Find(sub, text, from, to, true);
}

std::size_t FindCharOfSet(std::string_view text, std::string_view chars, std::size_t from,
                          std::size_t to) {
    if (text.empty()) return 0;
    bool backwards = from > to;
    std::size_t lo = backwards ? to : from, hi = backwards ? from : to;
    if (lo < 1) lo = 1;
    if (hi > text.size()) hi = text.size();
    if (lo > hi) return 0;
    if (!backwards) {
        for (std::size_t p = lo; p <= hi; ++p)
            if (chars.find(text[p - 1]) != std::string_view::npos) return p;
    } else {
        for (std::size_t p = hi; p >= lo; --p)
            if (chars.find(text[p - 1]) != std::string_view::npos) return p;
    }
    return 0;
}

std::string PadText(std::string_view text, int width, char fill) {
    std::size_t w = static_cast<std::size_t>(width < 0 ? -static_cast<long>(width) : width);
    if (text.size() >= w) return std::string(text);
    std::string pad(w - text.size(), fill);
    if (width < 0) return std::string(text) + pad;
    if (fill == '0' && !text.empty() && text[0] == '-')
        return "-" + pad + std::string(text.substr(1));
    return pad + std::string(text);
}

std::string SignedDecimalText(std::int64_t value, int width, char fill) {
    std::string digits = value < 0 ? UnsignedDecimalText(0 - static_cast<std::uint64_t>(value))
                                   : UnsignedDecimalText(static_cast<std::uint64_t>(value));
    return PadText(value < 0 ? "-" + digits : digits, width, fill);
}

std::string UnsignedDecimalText(std::uint64_t value, int width, char fill) {
    char buf[24];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return PadText(std::string_view(p, static_cast<std::size_t>(buf + sizeof buf - p)), width, fill);
}

std::string UnsignedHexText(std::uint64_t value, int width, char fill) {
    static const char digits[] = "0123456789abcdef";
    char buf[20];
    char* p = buf + sizeof buf;
    do {
        *--p = digits[value & 15];
        value >>= 4;
    } while (value != 0);
    std::string_view hex(p, static_cast<std::size_t>(buf + sizeof buf - p));
    std::string padded = PadText(hex, width, fill);
    bool hexFill = std::strchr("0123456789abcdefABCDEF", fill) != nullptr && fill != '\0';
    if (hexFill || width < 0) return "$" + padded;
    // Blank-like fill: the "$" sits right before the first digit.
    return padded.substr(0, padded.size() - hex.size()) + "$" + std::string(hex);
}

bool TextToNumber(std::string_view text, bool hex, std::int64_t& value) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        unsigned d;
        if (c >= '0' && c <= '9') d = unsigned(c - '0');
        else if (hex && c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
        else return false;
        v = v * (hex ? 16 : 10) + d;
    }
    value = static_cast<std::int64_t>(negative ? 0 - v : v);
    return true;
}

void TightenSeparators(std::string& text, char separator) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == separator) {
            while (!out.empty() && out.back() == ' ') out.pop_back();
            out += c;
        } else if (c == ' ' && (out.empty() || out.back() == separator)) {
            // a blank after a separator or at the start goes
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    text.swap(out);
}

std::size_t FieldCount(std::string_view text, char separator) {
    if (text.empty()) return 0;
    std::size_t n = 1;
    for (char c : text)
        if (c == separator) ++n;
    return n;
}

std::string FieldAt(std::string_view text, std::size_t index, char separator) {
    if (index < 1) return {};
    std::size_t start = 0;
    for (std::size_t i = 1; i < index; ++i) {
        std::size_t p = text.find(separator, start);
        if (p == std::string_view::npos) return {};
        start = p + 1;
    }
    std::size_t end = text.find(separator, start);
    return std::string(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
}

bool HasField(std::string_view list, std::string_view field, char separator) {
    std::size_t n = FieldCount(list, separator);
    for (std::size_t i = 1; i <= n; ++i)
        if (SameTextNoCase(FieldAt(list, i, separator), field)) return true;
    return false;
}

char DecimalSeparator() {
    const std::lconv* conv = std::localeconv();
    if (conv && conv->decimal_point && conv->decimal_point[0]) return conv->decimal_point[0];
    return ',';
}

std::string SizeText(std::uint64_t size) { return SizeText(size, DecimalSeparator()); }

std::string SizeText(std::uint64_t size, char separator) {
    if (size < 1024) return UnsignedDecimalText(size) + " Bytes";
    const char* unit;
    std::uint64_t scale;
    if (size < (1ull << 20)) unit = " KB", scale = 1ull << 10;
    else if (size < (1ull << 30)) unit = " MB", scale = 1ull << 20;
    else unit = " GB", scale = 1ull << 30;
    // Hundredths of the unit; whole units and hundredths apart so that huge
    // sizes cannot overflow.
    std::uint64_t whole = size / scale;
    std::uint64_t hundredths = (size % scale) * 100 / scale;
    return UnsignedDecimalText(whole) + separator + UnsignedDecimalText(hundredths, 2, '0') + unit;
}

std::string ErrorText(int code) {
    char buf[256];
    buf[0] = '\0';
    // The GNU form may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string out;
    for (const char* p = text; p && *p; ++p) {
        if (*p == '\r') out += ' ';
        else if (*p != '\n') out += *p;
    }
    return out;
}

std::string UnscrambleName(std::string_view scrambled) {
    std::string out(scrambled);
    for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) ^ kNameKey);
    return out;
}

std::u16string WidenText(std::string_view text, bool terminatingZero) {
    std::u16string out;
    out.reserve(text.size() + 1);
    for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    if (terminatingZero) out += u'\0';
    return out;
}

}  // namespace zelStrings
