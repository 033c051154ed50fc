// Quoted-printable and Base64 codecs of the MIME library.
#include "codecs/codectables.h"

#include <algorithm>
#include <array>

namespace CodecTables {

namespace {

constexpr int kPad = 64;
constexpr int kSkip = 65;

constexpr std::array<unsigned char, 256> MakeReverse() {
    std::array<unsigned char, 256> t{};
    for (auto& v : t) v = kSkip;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<unsigned char>(i);
    t['='] = kPad;
    return t;
}

constexpr std::array<unsigned char, 256> kReverse = MakeReverse();

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int Base64Value(unsigned char c) {
    int v = kReverse[c];
    return v == kSkip ? kPad : v;
}

std::string DecodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c != '=') {
            out += c;
            continue;
        }
        if (i + 1 >= n) break;  // a lone "=" at the very end
        if (text[i + 1] == '\n') {
            ++i;
            continue;
        }
        if (text[i + 1] == '\r' && i + 2 < n && text[i + 2] == '\n') {
            i += 2;
            continue;
        }
        if (i + 2 < n) {
            int hi = HexValue(text[i + 1]);
            int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        // Not an escape: senders that never encoded their "=" get it back.
        out += c;
    }
    return out;
}

bool LinesFitMail(const std::vector<std::string>& lines) {
    return std::none_of(lines.begin(), lines.end(),
                        [](const std::string& l) { return l.size() > kMaxMailLineLength; });
}

std::vector<std::string> EncodeQuotedPrintableLines(const std::vector<std::string>& lines) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    // An encoded line holds 75 characters and its soft break.
    constexpr std::size_t kRoom = 75;
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        std::string cur;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            const bool blank = c == ' ' || c == '\t';
            const bool plain = (c >= 33 && c <= 126 && c != '=') || (blank && i + 1 < line.size());
            auto token = [&](bool lineStart) {
                if (plain && !(lineStart && c == '.')) return std::string(1, static_cast<char>(c));
                return std::string{'=', kHex[c >> 4], kHex[c & 15]};
            };
            std::string t = token(cur.empty());
            if (cur.size() + t.size() > kRoom) {
                out.push_back(cur + "=");
                cur.clear();
                t = token(true);
            }
            cur += t;
        }
        out.push_back(std::move(cur));
    }
    return out;
}

std::string EncodeBase64(std::string_view bytes, std::size_t lineLength) {
    std::string out;
    std::size_t groups = (bytes.size() + 2) / 3;
    out.reserve(groups * 4 + (lineLength ? groups * 8 / lineLength + 2 : 0));
    std::size_t column = 0;
    auto put = [&](char ch) {
        if (lineLength && column == lineLength) {
            out += "\r\n";
            column = 0;
        }
        out += ch;
        ++column;
    };
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned b0 = static_cast<unsigned char>(bytes[i]);
        unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
        unsigned b2 = static_cast<unsigned char>(bytes[i + 2]);
        put(kBase64Alphabet[b0 >> 2]);
        put(kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)]);
        put(kBase64Alphabet[((b1 & 15) << 2) | (b2 >> 6)]);
        put(kBase64Alphabet[b2 & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        unsigned b0 = static_cast<unsigned char>(bytes[i]);
        put(kBase64Alphabet[b0 >> 2]);
        put(kBase64Alphabet[(b0 & 3) << 4]);
        put('=');
        put('=');
    } else if (rest == 2) {
        unsigned b0 = static_cast<unsigned char>(bytes[i]);
        unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
        put(kBase64Alphabet[b0 >> 2]);
        put(kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)]);
        put(kBase64Alphabet[(b1 & 15) << 2]);
        put('=');
    }
    return out;
}

void TBase64Decoder::EmitGroup(std::string& out) {
    const int* g = group_;
    if (g[0] == kPad || g[1] == kPad) return;
    out += static_cast<char>((g[0] << 2) | (g[1] >> 4));
    if (g[2] == kPad) return;
    out += static_cast<char>(((g[1] & 15) << 4) | (g[2] >> 2));
    if (g[3] == kPad) return;
    out += static_cast<char>(((g[2] & 3) << 6) | g[3]);
}

void TBase64Decoder::Feed(std::string_view text, std::string& out) {
    for (unsigned char c : text) {
        int v = kReverse[c];
        if (v == kSkip) continue;
        group_[count_++] = v;
        if (count_ == 4) {
            EmitGroup(out);
            count_ = 0;
        }
    }
}

void TBase64Decoder::Finish(std::string& out) {
    if (count_ >= 2) {
        for (int i = count_; i < 4; ++i) group_[i] = kPad;
        EmitGroup(out);
    }
    count_ = 0;
}

std::string DecodeBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    TBase64Decoder d;
    d.Feed(text, out);
    d.Finish(out);
    return out;
}

}  // namespace CodecTables
