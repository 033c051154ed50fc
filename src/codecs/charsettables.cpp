// Charset look-up by name and conversion through glibc iconv.
#include "codecs/charsettables.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace CharsetTables {

namespace {

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

bool Begins(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }
bool Contains(const std::string& s, std::string_view p) { return s.find(p) != std::string::npos; }

const char* const kIconvNames[] = {
    "ISO-8859-1",  "ISO-8859-2",  "ISO-8859-3",  "ISO-8859-4",  "ISO-8859-5",  "ISO-8859-6",
    "ISO-8859-7",  "ISO-8859-8",  "ISO-8859-9",  "ISO-8859-10", "ISO-8859-13", "ISO-8859-14",
    "ISO-8859-15", "CP1250",      "CP1251",      "CP1252",      "CP1253",      "CP1254",
    "CP1255",      "CP1256",      "CP1257",      "CP1258",      "KOI8-R",      "",
    "CP852",
    // Two- and four-byte Unicode in the byte order the stored mail was
    // written with.
    "UCS-2LE",     "UCS-4LE",     "UTF-8",       "UTF-7",
};

// Kamenicky (code page 895): Czech and Slovak letters in 0x80..0xAF, the
// rest of the upper half as code page 437.
constexpr std::array<std::uint16_t, 48> kKamenickyLow = {
    0x010C, 0x00FC, 0x00E9, 0x010F, 0x00E4, 0x010E, 0x0164, 0x010D,
    0x011B, 0x011A, 0x0139, 0x00CD, 0x013E, 0x013A, 0x00C4, 0x00C1,
    0x00C9, 0x017E, 0x017D, 0x00F4, 0x00F6, 0x00D3, 0x016F, 0x00DA,
    0x00FD, 0x00D6, 0x00DC, 0x0160, 0x013D, 0x00DD, 0x0158, 0x0165,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0148, 0x0147, 0x016E, 0x00D4,
    0x0161, 0x0159, 0x0155, 0x0154, 0x00BC, 0x00A7, 0x00AB, 0x00BB,
};


constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at s[i], 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t len;
    std::uint32_t min;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    std::uint32_t cp = c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Runs text through an iconv descriptor. An input sequence the converter
// rejects is replaced by `replacement` and skipped by `skip` (bytes).
template <typename Skip>
std::string RunIconv(iconv_t cd, std::string_view text, std::string_view replacement, Skip skip) {
    std::string out;
    out.reserve(text.size() * 2 + 16);
    char buf[4096];
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    while (inLeft > 0) {
        char* o = buf;
        std::size_t oLeft = sizeof buf;
        std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<std::size_t>(o - buf));
        if (r != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (a truncated sequence at the end)
        out += replacement;
        std::size_t n = skip(std::string_view(in, inLeft));
        if (n == 0 || n > inLeft) n = 1;
        in += n;
        inLeft -= n;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state (UTF-7).
    char* o = buf;
    std::size_t oLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    out.append(buf, static_cast<std::size_t>(o - buf));
    return out;
}

std::string RepairUtf8(std::string_view text);

bool IconvToUtf8(std::string_view text, const char* from, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out = RunIconv(cd, text, kReplacement, [](std::string_view) { return std::size_t{1}; });
    iconv_close(cd);
    // glibc passes some code points through that UTF-8 does not allow
    // (surrogates, values past U+10FFFF from four-byte input).
    if (!IsValidUtf8(out)) out = RepairUtf8(out);
    return true;
}

const std::array<std::uint16_t, 128>& KamenickyTable() {
    static const std::array<std::uint16_t, 128> table = [] {
        std::array<std::uint16_t, 128> t{};
        for (std::size_t i = 0; i < kKamenickyLow.size(); ++i) t[i] = kKamenickyLow[i];
        iconv_t cd = iconv_open("UCS-2LE", "CP437");
        for (std::size_t i = kKamenickyLow.size(); i < 128; ++i) {
            char in = static_cast<char>(0x80 + i);
            unsigned char outb[4] = {0, 0, 0, 0};
            char* ip = &in;
            char* op = reinterpret_cast<char*>(outb);
            std::size_t il = 1, ol = sizeof outb;
            std::uint16_t cp = 0xFFFD;
            if (cd != reinterpret_cast<iconv_t>(-1) && iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1))
                cp = static_cast<std::uint16_t>(outb[0] | (outb[1] << 8));
            t[i] = cp;
        }
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
        return t;
    }();
    return table;
}

std::string KamenickyToUtf8(std::string_view text) {
    const auto& t = KamenickyTable();
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) AppendUtf8(out, c < 0x80 ? c : t[c - 0x80]);
    return out;
}

std::string Utf8ToKamenicky(std::string_view utf8) {
    const auto& t = KamenickyTable();
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t len = Utf8SequenceLength(utf8, i);
        if (len == 0) {
            out += '?';
            ++i;
            continue;
        }
        std::uint32_t cp = static_cast<unsigned char>(utf8[i]);
        if (len > 1) {
            cp &= 0x7F >> len;
            for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += len;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        char mapped = '?';
        for (std::size_t k = 0; k < 128; ++k)
            if (t[k] == cp) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        out += mapped;
    }
    return out;
}

std::string RepairUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = Utf8SequenceLength(text, i);
        if (len == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

// Only plain charset names reach iconv_open: glibc reads suffixes such as
// "//TRANSLIT" out of the name, and the name comes from the mail.
bool IsPlainCharsetName(std::string_view name) {
    if (name.empty() || name.size() > 40) return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_' || c == '.' || c == ':';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

TCharset CharsetOfName(std::string_view name, bool* matched) {
    const std::string u = Upper(name);
    auto hit = [&](TCharset cs) {
        if (matched) *matched = true;
        return cs;
    };
    if (Begins(u, "ISO-8859-10")) return hit(TCharset::ISO_8859_10);
    if (Begins(u, "ISO-8859-13")) return hit(TCharset::ISO_8859_13);
    if (Begins(u, "ISO-8859-14")) return hit(TCharset::ISO_8859_14);
    if (Begins(u, "ISO-8859-15")) return hit(TCharset::ISO_8859_15);
    for (int k = 2; k <= 9; ++k)
        if (Begins(u, "ISO-8859-" + std::to_string(k))) return hit(static_cast<TCharset>(k - 1));
    for (int k = 0; k <= 8; ++k) {
        std::string code = std::to_string(1250 + k);
        if (Begins(u, "WINDOWS-" + code) || Begins(u, "X-CP" + code)) return hit(static_cast<TCharset>(13 + k));
    }
    if (Begins(u, "KOI8-R")) return hit(TCharset::KOI8_R);
    if (Contains(u, "KAMENICKY") || Contains(u, "895")) return hit(TCharset::Kamenicky);
    if (Contains(u, "LATIN-2") || Contains(u, "852")) return hit(TCharset::Latin2CP852);
    if (Begins(u, "UTF-7")) return hit(TCharset::UTF7);
    if (Contains(u, "UTF-8")) return hit(TCharset::UTF8);
    if (Contains(u, "UCS-4")) return hit(TCharset::UCS4);
    if (Contains(u, "UCS-2") || Begins(u, "UNICODE")) return hit(TCharset::UCS2);
    if (matched) *matched = false;
    return TCharset::ISO_8859_1;
}

const char* IconvName(TCharset cs) {
    int i = static_cast<int>(cs);
    if (i < 0 || i > static_cast<int>(TCharset::UTF7)) return "ISO-8859-1";
    return kIconvNames[i];
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = Utf8SequenceLength(text, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string ToUtf8(std::string_view text, TCharset cs) {
    if (cs == TCharset::Kamenicky) return KamenickyToUtf8(text);
    if (cs == TCharset::UTF8) return RepairUtf8(text);
    std::string out;
    if (IconvToUtf8(text, IconvName(cs), out)) return out;
    // glibc without the converter module: read the bytes as Latin-1.
    out.clear();
    for (unsigned char c : text) AppendUtf8(out, c);
    return out;
}

std::string ToUtf8(std::string_view text, std::string_view charsetName) {
    bool matched = false;
    TCharset cs = CharsetOfName(charsetName, &matched);
    if (!matched && IsPlainCharsetName(charsetName)) {
        std::string out;
        if (IconvToUtf8(text, std::string(charsetName).c_str(), out)) return out;
    }
    return ToUtf8(text, cs);
}

std::string FromUtf8(std::string_view utf8, TCharset cs) {
    if (cs == TCharset::UTF8) return RepairUtf8(utf8);
    if (cs == TCharset::Kamenicky) return Utf8ToKamenicky(utf8);
    iconv_t cd = iconv_open(IconvName(cs), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::string out = RunIconv(cd, utf8, "?", [](std::string_view rest) {
        std::size_t len = Utf8SequenceLength(rest, 0);
        return len ? len : std::size_t{1};
    });
    iconv_close(cd);
    return out;
}

std::string ConvertText(std::string_view text, TCharset from, TCharset to) {
    if (from == to) return std::string(text);
    return FromUtf8(ToUtf8(text, from), to);
}

}  // namespace CharsetTables
