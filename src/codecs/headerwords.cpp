// RFC 2047 encoded words: the decoder and the encoder.
#include "codecs/headerwords.h"

#include "codecs/codectables.h"

#include <algorithm>

namespace HeaderWords {

namespace {

struct EncodedWord {
    std::size_t begin = 0;  // position of "=?"
    std::size_t end = 0;    // position after "?="
    std::string_view charset;
    char encoding = 0;
    std::string_view text;
};

// Finds the next well-formed "=?charset?X?text?=" at or after from.
bool FindWord(std::string_view v, std::size_t from, EncodedWord& w) {
    for (std::size_t start = v.find("=?", from); start != std::string_view::npos; start = v.find("=?", start + 1)) {
        std::size_t q1 = v.find('?', start + 2);
        if (q1 == std::string_view::npos) return false;
        if (q1 == start + 2 || q1 + 2 >= v.size() || v[q1 + 2] != '?') continue;
        std::string_view cs = v.substr(start + 2, q1 - start - 2);
        if (cs.find_first_of(" \t") != std::string_view::npos) continue;
        std::size_t textStart = q1 + 3;
        std::size_t close = v.find("?=", textStart);
        if (close == std::string_view::npos) return false;
        w.begin = start;
        w.end = close + 2;
        // RFC 2231 lets a language follow the charset after "*".
        w.charset = cs.substr(0, cs.find('*'));
        w.encoding = v[q1 + 1];
        w.text = v.substr(textStart, close - textStart);
        return true;
    }
    return false;
}

bool AllBlank(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    return true;
}

std::string RawToUtf8(std::string_view raw) {
    if (CharsetTables::IsValidUtf8(raw)) return std::string(raw);
    return CharsetTables::ToUtf8(raw, CharsetTables::TCharset::Windows1252);
}

// Control characters (C0, DEL and C1) other than TAB become blanks, so a
// decoded value cannot carry line breaks into a header, a page or a log.
std::string BlankControls(std::string s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += ' ';
        } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
            out += ' ';
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::size_t LongestRunWithoutBlank(std::string_view s) {
    std::size_t longest = 0, run = 0;
    for (char c : s) {
        run = c == ' ' || c == '\t' ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    return longest;
}

}  // namespace

std::string DecodeHeaderText(std::string_view value) {
    std::string out;
    // Bytes of adjacent words in one charset are converted together: a
    // multi-byte character may be split across two words.
    std::string pending;
    std::string pendingCharset;
    auto flush = [&] {
        if (!pending.empty()) out += CharsetTables::ToUtf8(pending, pendingCharset);
        pending.clear();
    };
    std::size_t pos = 0;
    EncodedWord w;
    bool lastWasWord = false;
    while (FindWord(value, pos, w)) {
        std::string_view before = value.substr(pos, w.begin - pos);
        char enc = static_cast<char>(w.encoding >= 'a' && w.encoding <= 'z' ? w.encoding - 32 : w.encoding);
        bool known = enc == 'B' || enc == 'Q';
        if (!(AllBlank(before) && (lastWasWord || pos == 0) && known)) {
            flush();
            out += RawToUtf8(before);
        }
        if (!known) {
            flush();
            out += RawToUtf8(value.substr(w.begin, w.end - w.begin));
            lastWasWord = false;
        } else {
            std::string bytes;
            if (enc == 'B') {
                bytes = CodecTables::DecodeBase64(w.text);
            } else {
                std::string t(w.text);
                for (char& c : t)
                    if (c == '_') c = ' ';
                bytes = CodecTables::DecodeQuotedPrintable(t);
            }
            if (!pending.empty() && pendingCharset != w.charset) flush();
            pendingCharset.assign(w.charset);
            pending += bytes;
            lastWasWord = true;
        }
        pos = w.end;
    }
    flush();
    out += RawToUtf8(value.substr(pos));
    return BlankControls(std::move(out));
}

std::string DecodeInline(std::string_view value, CharsetTables::TCharset target) {
    std::string utf8 = DecodeHeaderText(value);
    if (target == CharsetTables::TCharset::UTF8) return utf8;
    return CharsetTables::FromUtf8(utf8, target);
}

std::string EncodeHeaderText(std::string_view text) {
    if (CharsetTables::IsAscii(text) && LongestRunWithoutBlank(text) < kMaxUnfoldedRun) return std::string(text);
    const std::string utf8 = CharsetTables::IsValidUtf8(text)
                                 ? std::string(text)
                                 : CharsetTables::ToUtf8(text, CharsetTables::TCharset::Windows1252);
    // 45 bytes make 60 Base64 characters: with "=?UTF-8?B?" and "?=" a word
    // stays within 75. Each word on a line of its own: a long subject would
    // otherwise make one line of thousands of octets.
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::size_t end = std::min(utf8.size(), i + 45);
        while (end < utf8.size() && end > i + 1 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + CodecTables::EncodeBase64(std::string_view(utf8).substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::vector<std::string> FoldHeaderLine(std::string_view line) {
    // Unfolded, and no line break of its own left.
    std::string s;
    s.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\r' && i + 2 < line.size() && line[i + 1] == '\n' && (line[i + 2] == ' ' || line[i + 2] == '\t')) {
            ++i;
            continue;
        }
        s += c == '\r' || c == '\n' ? ' ' : c;
    }
    constexpr std::size_t kWanted = 78;
    auto blank = [&](std::size_t k) { return s[k] == ' ' || s[k] == '\t'; };
    std::vector<std::string> out;
    // A line may not be cut before its first word (for the first line, the
    // first word of the value), nor leave a last line of blanks only.
    std::size_t lastWord = s.size();
    while (lastWord > 0 && blank(lastWord - 1)) --lastWord;
    std::size_t start = 0;
    std::size_t firstWord = s.find(':');
    firstWord = firstWord == std::string::npos ? 0 : firstWord + 1;
    for (;;) {
        while (firstWord < lastWord && blank(firstWord)) ++firstWord;
        // Cut at the last blank that keeps the line within kWanted, else at
        // the first one after.
        std::size_t cut = std::string::npos;
        if (s.size() - start > kWanted) {
            for (std::size_t k = std::min(start + kWanted, lastWord); k > firstWord; --k)
                if (k < lastWord && blank(k)) {
                    cut = k;
                    break;
                }
            for (std::size_t k = std::max(start + kWanted, firstWord + 1); cut == std::string::npos && k < lastWord;
                 ++k)
                if (blank(k)) cut = k;
        }
        if (cut == std::string::npos) {
            out.emplace_back(s.substr(start));
            return out;
        }
        out.emplace_back(s.substr(start, cut - start));
        start = cut;
        firstWord = cut + 1;
    }
}

std::vector<std::string> AttachmentPartHeader(std::string_view contentType, std::string_view fileName) {
    auto clean = [](std::string_view v) {
        std::string out;
        for (char c : v)
            if (c != '"' && c != '\\') out += c == '\r' || c == '\n' ? ' ' : c;
        return out;
    };
    const std::string type = clean(contentType);
    const std::string name = clean(fileName);
    std::string typeLine = "Content-Type: " + type + "; name=\"";
    std::string dispositionLine = "Content-Disposition: attachment;";
    if (CharsetTables::IsAscii(name)) {
        typeLine += name + "\"";
        dispositionLine += " filename=\"" + name + "\"";
    } else {
        const std::string utf8 = CharsetTables::IsValidUtf8(name)
                                     ? name
                                     : CharsetTables::ToUtf8(name, CharsetTables::TCharset::Windows1252);
        typeLine += EncodeHeaderText(utf8) + "\"";
        // RFC 2231: every octet but the attribute characters %-escaped, in
        // sections short enough for a line each; an escape is never cut.
        static const char kHex[] = "0123456789ABCDEF";
        std::vector<std::string> sections(1);
        for (unsigned char c : utf8) {
            std::string piece;
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos) {
                piece = static_cast<char>(c);
            } else {
                piece = {'%', kHex[c >> 4], kHex[c & 15]};
            }
            if (sections.back().size() + piece.size() > 60) sections.emplace_back();
            sections.back() += piece;
        }
        if (sections.size() == 1) {
            dispositionLine += " filename*=UTF-8''" + sections[0];
        } else {
            for (std::size_t n = 0; n < sections.size(); ++n)
                dispositionLine += std::string(n ? "; " : " ") + "filename*" + std::to_string(n) + "*=" +
                                   (n ? "" : "UTF-8''") + sections[n];
        }
    }
    std::vector<std::string> out = FoldHeaderLine(typeLine);
    out.emplace_back("Content-Transfer-Encoding: base64");
    for (auto& l : FoldHeaderLine(dispositionLine)) out.push_back(std::move(l));
    return out;
}

}  // namespace HeaderWords
