// Helpers of the MIME message library.
#include "codecs/qev_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>

#include "codecs/charsettables.h"
#include "codecs/headerwords.h"

namespace qev_util {

namespace {

char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Low(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsUpper(std::string_view line, std::string_view upperName) {
    if (line.size() < upperName.size()) return false;
    for (std::size_t i = 0; i < upperName.size(); ++i)
        if (Up(line[i]) != upperName[i]) return false;
    return true;
}

// One random generator for the process, seeded once: two messages built
// within one clock tick still get different ids and boundaries.
std::mt19937& Generator(std::unique_lock<std::mutex>& lock) {
    static std::mutex mutex;
    static std::mt19937 gen{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), static_cast<unsigned>(std::time(nullptr))};
        return std::mt19937(seq);
    }()};
    lock = std::unique_lock<std::mutex>(mutex);
    return gen;
}

std::string RandomLetters(int count, int range) {
    std::unique_lock<std::mutex> lock;
    std::mt19937& gen = Generator(lock);
    std::uniform_int_distribution<int> dist(0, range - 1);
    std::string s;
    for (int i = 0; i < count; ++i) s += static_cast<char>('a' + dist(gen));
    return s;
}

struct RawParameter {
    std::string name;  // lower case
    std::string value;
};

std::vector<RawParameter> ParseParameters(std::string_view v) {
    std::vector<RawParameter> out;
    std::size_t i = 0;
    const std::size_t n = v.size();
    // Skip the type itself.
    while (i < n && v[i] != ';') {
        if (v[i] == '"') {
            ++i;
            while (i < n && v[i] != '"') i += (v[i] == '\\' && i + 1 < n) ? 2 : 1;
        }
        if (i < n) ++i;
    }
    while (i < n) {
        ++i;  // the ";"
        while (i < n && IsBlank(v[i])) ++i;
        std::size_t nameStart = i;
        while (i < n && v[i] != '=' && v[i] != ';') ++i;
        RawParameter p;
        p.name = LowerCase(Trim(v.substr(nameStart, i - nameStart)));
        if (i < n && v[i] == '=') {
            ++i;
            while (i < n && IsBlank(v[i])) ++i;
            if (i < n && v[i] == '"') {
                ++i;
                while (i < n && v[i] != '"') {
                    if (v[i] == '\\' && i + 1 < n) ++i;
                    p.value += v[i++];
                }
                if (i < n) ++i;
                while (i < n && v[i] != ';') ++i;
            } else {
                std::size_t valueStart = i;
                while (i < n && v[i] != ';') ++i;
                p.value = Trim(v.substr(valueStart, i - valueStart));
            }
        }
        if (!p.name.empty()) out.push_back(std::move(p));
    }
    return out;
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        c = Up(c);
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// s without the parts from an open character to the next close character
// (an unclosed part runs to the end).
std::string DropEnclosed(std::string_view s, char open, char close) {
    std::string out;
    out.reserve(s.size());
    bool inside = false;
    for (char c : s) {
        if (inside) {
            if (c == close) inside = false;
        } else if (c == open) {
            inside = true;
        } else {
            out += c;
        }
    }
    return out;
}

const std::map<std::string, std::string>& SystemMimeTypes() {
    static const std::map<std::string, std::string> types = [] {
        std::map<std::string, std::string> m;
        std::ifstream in("/etc/mime.types");
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::size_t p = 0;
            auto next = [&]() {
                while (p < line.size() && IsBlank(line[p])) ++p;
                std::size_t s = p;
                while (p < line.size() && !IsBlank(line[p])) ++p;
                return line.substr(s, p - s);
            };
            std::string type = next();
            if (type.empty()) continue;
            for (std::string ext = next(); !ext.empty(); ext = next()) {
                std::string key(1, '.');
                key += LowerCase(ext);
                m.emplace(std::move(key), type);
            }
        }
        return m;
    }();
    return types;
}

}  // namespace

TStrings SplitLines(std::string_view text) {
    TStrings lines;
    lines.reserve(text.size() / 40 + 1);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::size_t stop = (end > start && text[end - 1] == '\r') ? end - 1 : end;
        lines.emplace_back(text.substr(start, stop - start));
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    return lines;
}

std::string JoinLines(TLines lines, bool finalBreak) {
    std::size_t total = 0;
    for (const auto& l : lines) total += l.size() + 2;
    std::string out;
    out.reserve(total);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (finalBreak || i + 1 < lines.size()) out += "\r\n";
    }
    return out;
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = Up(c);
    return u;
}

std::string LowerCase(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = Low(c);
    return u;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Low(a[i]) != Low(b[i])) return false;
    return true;
}

std::size_t HeaderBlockEnd(TLines lines) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].empty()) return i;
    return lines.size();
}

std::size_t BodyStart(TLines lines) {
    std::size_t end = HeaderBlockEnd(lines);
    return end < lines.size() ? end + 1 : end;
}

std::string FindHeader(TLines lines, std::string_view upperName) {
    std::size_t end = HeaderBlockEnd(lines);
    for (std::size_t i = 0; i < end; ++i) {
        if (!StartsUpper(lines[i], upperName)) continue;
        std::string line = lines[i];
        for (std::size_t k = i + 1; k < end && !lines[k].empty() && (lines[k][0] == ' ' || lines[k][0] == '\t'); ++k)
            line += lines[k];
        return line;
    }
    return {};
}

std::string HeaderValue(std::string_view line, std::string_view upperName, bool cutAtSemicolon) {
    if (!StartsUpper(line, upperName)) return {};
    std::string_view v = line.substr(upperName.size());
    if (cutAtSemicolon) v = v.substr(0, v.find(';'));
    return Trim(v);
}

std::string GetParameter(std::string_view headerValue, std::string_view name) {
    const std::string want = LowerCase(name);
    std::string plain;
    bool havePlain = false;
    std::string extended;
    bool haveExtended = false;
    std::map<int, std::pair<std::string, bool>> sections;
    for (auto& p : ParseParameters(headerValue)) {
        if (p.name == want) {
            if (!havePlain) plain = p.value;
            havePlain = true;
        } else if (p.name == want + "*") {
            if (!haveExtended) extended = p.value;
            haveExtended = true;
        } else if (p.name.size() > want.size() + 1 && p.name.compare(0, want.size() + 1, want + "*") == 0) {
            std::string rest = p.name.substr(want.size() + 1);
            bool encoded = !rest.empty() && rest.back() == '*';
            if (encoded) rest.pop_back();
            if (rest.empty() || rest.size() > 3 || !std::all_of(rest.begin(), rest.end(), [](char c) {
                    return c >= '0' && c <= '9';
                }))
                continue;
            sections.emplace(std::stoi(rest), std::make_pair(p.value, encoded));
        }
    }
    auto decodeExtended = [](std::string_view value, bool withCharset, std::string& charset) {
        if (withCharset) {
            std::size_t q1 = value.find('\'');
            std::size_t q2 = q1 == std::string_view::npos ? q1 : value.find('\'', q1 + 1);
            if (q2 != std::string_view::npos) {
                charset = std::string(value.substr(0, q1));
                value = value.substr(q2 + 1);
            }
        }
        return PercentDecode(value);
    };
    std::string charset;
    if (haveExtended) {
        std::string bytes = decodeExtended(extended, true, charset);
        return charset.empty() ? bytes : CharsetTables::ToUtf8(bytes, charset);
    }
    if (!sections.empty() && sections.begin()->first == 0) {
        std::string bytes;
        int expect = 0;
        for (auto& [index, sec] : sections) {
            if (index != expect++) break;
            bytes += sec.second ? decodeExtended(sec.first, index == 0, charset) : sec.first;
        }
        return charset.empty() ? bytes : CharsetTables::ToUtf8(bytes, charset);
    }
    return plain;
}

bool HasParameter(std::string_view headerValue, std::string_view name) {
    const std::string want = LowerCase(name);
    for (auto& p : ParseParameters(headerValue))
        if (p.name == want || p.name.compare(0, want.size() + 1, want + "*") == 0) return true;
    return false;
}

std::string FindBoundary(std::string_view contentTypeLine) {
    std::size_t colon = contentTypeLine.find(':');
    std::size_t semi = contentTypeLine.find(';');
    if (colon != std::string_view::npos && colon < semi) contentTypeLine = contentTypeLine.substr(colon + 1);
    std::string b = GetParameter(contentTypeLine, "boundary");
    // Trailing blanks are not part of a boundary (RFC 2046).
    while (!b.empty() && (b.back() == ' ' || b.back() == '\t')) b.pop_back();
    if (b.empty()) return {};
    return "--" + b;
}

std::size_t NextMailbox(std::string_view list, std::size_t from, Mailbox& entry) {
    entry = Mailbox();
    std::string bare, angle, phrase;
    bool quoted = false, inAngle = false, angleDone = false;
    int depth = 0;  // nesting of comments
    const std::size_t start = std::min(from, list.size());
    std::size_t i = start;
    for (; i < list.size(); ++i) {
        const char c = list[i];
        const bool inPhrase = !inAngle && !angleDone;
        if (depth > 0) {
            if (c == '\\') ++i;
            else if (c == '(') ++depth;
            else if (c == ')') --depth;
            continue;
        }
        if (quoted) {
            std::string& text = inAngle ? angle : bare;
            text += c;
            if (c == '\\' && i + 1 < list.size()) {
                text += list[++i];
                if (inPhrase) phrase += list[i];
            } else if (c == '"') {
                quoted = false;
            } else if (inPhrase) {
                phrase += c;
            }
            continue;
        }
        if (c == '(') {
            depth = 1;
            if (inPhrase) phrase += ' ';
        } else if (c == '"') {
            quoted = true;
            (inAngle ? angle : bare) += c;
        } else if (inAngle) {
            if (c == '>') {
                inAngle = false;
                angleDone = true;
            } else {
                angle += c;
            }
        } else if (c == ',' || c == ';') {
            break;
        } else if (c == '<' && !angleDone) {
            inAngle = entry.angle = true;
        } else {
            bare += c;
            if (inPhrase) phrase += c;
        }
    }
    entry.text = Trim(list.substr(start, i - start));
    if (entry.angle) {
        entry.address = Trim(angle);
        // An old source route ("@relay:") names hosts on the way, not the mailbox.
        if (!entry.address.empty() && entry.address[0] == '@') {
            const std::size_t colon = entry.address.find(':');
            if (colon != std::string::npos) entry.address = Trim(std::string_view(entry.address).substr(colon + 1));
        }
        for (char c : phrase) {
            if (IsBlank(c)) {
                if (!entry.name.empty() && entry.name.back() != ' ') entry.name += ' ';
            } else {
                entry.name += c;
            }
        }
        if (!entry.name.empty() && entry.name.back() == ' ') entry.name.pop_back();
    } else {
        entry.address = Trim(bare);
    }
    return i < list.size() ? i + 1 : list.size();
}

Mailbox FirstMailbox(std::string_view value) {
    Mailbox entry;
    for (std::size_t pos = 0; pos < value.size();) {
        pos = NextMailbox(value, pos, entry);
        if (!entry.address.empty()) return entry;
    }
    return Mailbox();
}

std::string HeaderAddress(std::string_view value) { return FirstMailbox(value).address; }

std::string EncodeAddressList(std::string_view list) {
    std::string out;
    Mailbox entry;
    for (std::size_t pos = 0; pos < list.size();) {
        pos = NextMailbox(list, pos, entry);
        if (entry.text.empty()) continue;
        if (!out.empty()) out += ", ";
        if (CharsetTables::IsAscii(entry.text) || !entry.angle) {
            out += entry.text;
        } else {
            const std::string name = HeaderWords::EncodeHeaderText(entry.name);
            out += (name.empty() ? "" : name + " ") + "<" + entry.address + ">";
        }
    }
    return out;
}

std::string TidyAddressList(std::string_view value) {
    // A quoted display name goes with its quotes, so that commas inside
    // it do not split the list.
    std::string rest;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '"') {
            std::size_t close = value.find('"', i + 1);
            if (close == std::string_view::npos) continue;
            i = close;
            continue;
        }
        rest += value[i];
    }
    std::string out;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t comma = rest.find(',', start);
        std::size_t stop = comma == std::string::npos ? rest.size() : comma;
        std::string entry = Trim(std::string_view(rest).substr(start, stop - start));
        start = stop + 1;
        if (!entry.empty()) {
            // description: decoded, without <...> parts; the text in the
            // first (...) when there is one; no quotes.
            std::string d = DropEnclosed(HeaderWords::DecodeHeaderText(entry), '<', '>');
            std::size_t lp = d.find('(');
            if (lp != std::string::npos) {
                std::size_t rp = d.find(')', lp);
                d = d.substr(lp + 1, rp == std::string::npos ? std::string::npos : rp - lp - 1);
            }
            d = Trim(RemoveChars(d, "\"'"));
            // address: without (...) parts; the text in <...> when there is one.
            Mailbox mailbox;
            NextMailbox(entry, 0, mailbox);
            const std::string& a = mailbox.address;
            if (!out.empty()) out += ", ";
            out += "\"" + d + "\" <" + a + ">";
        }
        if (comma == std::string::npos) break;
    }
    return out;
}

std::string StripQuotes(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        return std::string(s.substr(1, s.size() - 2));
    return std::string(s);
}

std::string RemoveChars(std::string_view s, std::string_view chars) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (chars.find(c) == std::string_view::npos) out += c;
    return out;
}

std::string CleanFileName(std::string_view name) {
    std::string out;
    for (char c : RemoveChars(name, "\\/:*?\"<>|")) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) continue;
        out += c;
    }
    return out;
}

std::string MakeMessageId(std::string_view host, int year, int month, int day) {
    char date[32];
    std::snprintf(date, sizeof date, "%04d.%02d.%02d.", year, month, day);
    return "<QEV." + std::string(date) + RandomLetters(16, 20) + "@" + std::string(host) + ">";
}

namespace {
std::time_t (*g_now)() = nullptr;
}  // namespace

void SetNowSource(std::time_t (*now)()) { g_now = now; }

std::string MakeMessageId(std::string_view host) {
    std::time_t now = g_now ? g_now() : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return MakeMessageId(host, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::string MakeBoundary() { return "--_QEV_bound_" + RandomLetters(12, 25); }

std::string ContentTypeOfExtension(std::string_view fileName) {
    std::size_t slash = fileName.find_last_of("/\\");
    if (slash != std::string_view::npos) fileName = fileName.substr(slash + 1);
    std::size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return "application/octet-stream";
    const std::string ext = LowerCase(fileName.substr(dot));
    // The types mail users meet most, so that they do not depend on what
    // the machine's table says.
    static const std::map<std::string, std::string> builtIn = {
        {".txt", "text/plain"},       {".htm", "text/html"},         {".html", "text/html"},
        {".css", "text/css"},         {".csv", "text/csv"},          {".xml", "text/xml"},
        {".jpg", "image/jpeg"},       {".jpeg", "image/jpeg"},       {".gif", "image/gif"},
        {".png", "image/png"},        {".bmp", "image/bmp"},         {".pdf", "application/pdf"},
        {".zip", "application/zip"},  {".doc", "application/msword"}, {".xls", "application/vnd.ms-excel"},
        {".rtf", "application/rtf"},  {".eml", "message/rfc822"},    {".wav", "audio/x-wav"},
        {".mp3", "audio/mpeg"},
    };
    if (auto it = builtIn.find(ext); it != builtIn.end()) return it->second;
    const auto& sys = SystemMimeTypes();
    if (auto it = sys.find(ext); it != sys.end()) return it->second;
    return "application/octet-stream";
}

std::string GetTempPath() {
    const char* env = std::getenv("TMPDIR");
    std::string path = (env && *env) ? env : "/tmp";
    if (path.back() != '/') path += '/';
    if (path.size() > 259) path = "/tmp/";
    return path;
}

}  // namespace qev_util
