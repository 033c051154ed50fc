// Profile-file reader and writer; see inifile.h for the rules it keeps.
#include "platform/inifile.h"
#include "platform/env.h"
#include "platform/files.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>

namespace platform {

namespace inisyntax {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool SectionName(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyLine(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return !key.empty();
}

std::string Unquote(const std::string& v) {
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') ||
                          (v.front() == '\'' && v.back() == '\'')))
        return v.substr(1, v.size() - 2);
    return v;
}

}  // namespace inisyntax

namespace {

using namespace inisyntax;

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    // A byte-order mark left by an editor would hide the first section.
    if (!lines.empty() && lines[0].compare(0, 3, "\xEF\xBB\xBF") == 0) lines[0].erase(0, 3);
    return lines;
}

// Index range [begin, end) of the first section of that name, begin being
// the header line; begin == npos when there is none.
struct Span {
    size_t header = std::string::npos;
    size_t end = 0;
};

Span FindSection(const std::vector<std::string>& lines, const std::string& section) {
    Span s;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (!SectionName(lines[i], name)) continue;
        if (s.header != std::string::npos) {
            s.end = i;
            return s;
        }
        if (EqualNoCase(name, section)) s.header = i;
    }
    if (s.header != std::string::npos) s.end = lines.size();
    return s;
}

std::string FileText(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) {
        text += l;
        text += "\r\n";
    }
    return text;
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    return WriteFileAtomic(path, FileText(lines));
}

}  // namespace

std::string IniSafe(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return out;
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    auto lines = ReadLines(path_);
    Span s = FindSection(lines, section);
    if (s.header == std::string::npos) return def;
    for (size_t i = s.header + 1; i < s.end; ++i) {
        std::string k, v;
        if (KeyLine(lines[i], k, v) && EqualNoCase(k, key)) return Unquote(v);
    }
    return def;
}

long long IniFile::ReadInt64(const std::string& section, const std::string& key, long long def) const {
    std::string v = Trim(ReadString(section, key, ""));
    if (v.empty()) return def;
    bool neg = false;
    size_t pos = 0;
    if (v[0] == '-' || v[0] == '+') {
        neg = v[0] == '-';
        pos = 1;
    }
    int base = 10;
    if (v.compare(pos, 1, "$") == 0) {
        base = 16;
        pos += 1;
    } else if (v.size() > pos + 1 && v[pos] == '0' && (v[pos + 1] == 'x' || v[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    if (pos >= v.size()) return def;
    unsigned long long n = 0;
    auto [p, ec] = std::from_chars(v.data() + pos, v.data() + v.size(), n, base);
    if (ec != std::errc() || p != v.data() + v.size()) return def;
    const unsigned long long limit = static_cast<unsigned long long>(INT64_MAX) + (neg ? 1 : 0);
    if (n > limit) return def;
    if (neg) return n == limit ? INT64_MIN : -static_cast<long long>(n);
    return static_cast<long long>(n);
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    long long v = ReadInt64(section, key, def);
    if (v < INT32_MIN || v > INT32_MAX) return def;
    return static_cast<int>(v);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInt64(section, key, def ? 1 : 0) != 0;
}

namespace {

// Sets one value in the file's lines as a single write would.
void SetValue(std::vector<std::string>& lines, const std::string& section, const std::string& key,
              const std::string& value) {
    const std::string sec = IniSafe(section), k = IniSafe(key), v = IniSafe(value);
    Span s = FindSection(lines, sec);
    if (s.header == std::string::npos) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
        lines.push_back("[" + sec + "]");
        lines.push_back(k + "=" + v);
        return;
    }
    size_t insertAt = s.header + 1;
    for (size_t i = s.header + 1; i < s.end; ++i) {
        std::string lk, lv;
        if (KeyLine(lines[i], lk, lv)) {
            if (EqualNoCase(lk, k)) {
                lines[i] = lk + "=" + v;
                return;
            }
            insertAt = i + 1;
        }
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), k + "=" + v);
}

}  // namespace

bool IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    auto lines = ReadLines(path_);
    SetValue(lines, section, key, value);
    return WriteLines(path_, lines);
}

FsStatus IniFile::WriteValues(const std::vector<IniValue>& values, Env& env) {
    auto lines = ReadLines(path_);
    for (const auto& v : values) SetValue(lines, v.section, v.key, v.value);
    return env.WriteFileAtomic(path_, FileText(lines));
}

bool IniFile::WriteInteger(const std::string& section, const std::string& key, long long value) {
    return WriteString(section, key, std::to_string(value));
}

bool IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    return WriteString(section, key, value ? "1" : "0");
}

bool IniFile::SectionExists(const std::string& section) const {
    return FindSection(ReadLines(path_), section).header != std::string::npos;
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const {
    auto keys = ReadSection(section);
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& k) { return EqualNoCase(k, key); });
}

std::vector<std::string> IniFile::ReadSections() const {
    std::vector<std::string> out;
    for (const auto& l : ReadLines(path_)) {
        std::string name;
        if (!SectionName(l, name)) continue;
        bool seen = std::any_of(out.begin(), out.end(), [&](const std::string& n) { return EqualNoCase(n, name); });
        if (!seen) out.push_back(name);
    }
    return out;
}

std::vector<std::string> IniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> out;
    for (auto& kv : ReadSectionValues(section)) out.push_back(kv.first);
    return out;
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSectionValues(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> out;
    auto lines = ReadLines(path_);
    Span s = FindSection(lines, section);
    if (s.header == std::string::npos) return out;
    for (size_t i = s.header + 1; i < s.end; ++i) {
        std::string k, v;
        if (!KeyLine(lines[i], k, v)) continue;
        bool seen = std::any_of(out.begin(), out.end(), [&](const auto& kv) { return EqualNoCase(kv.first, k); });
        if (!seen) out.emplace_back(k, Unquote(v));
    }
    return out;
}

bool IniFile::EraseSection(const std::string& section) {
    auto lines = ReadLines(path_);
    bool changed = false;
    for (;;) {
        Span s = FindSection(lines, section);
        if (s.header == std::string::npos) break;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(s.header),
                    lines.begin() + static_cast<std::ptrdiff_t>(s.end));
        changed = true;
    }
    return changed ? WriteLines(path_, lines) : true;
}

bool IniFile::DeleteKey(const std::string& section, const std::string& key) {
    auto lines = ReadLines(path_);
    Span s = FindSection(lines, section);
    if (s.header == std::string::npos) return true;
    // Every copy of the key goes: removing only the first would bring a
    // later duplicate back to life.
    bool changed = false;
    for (size_t i = s.end; i-- > s.header + 1;) {
        std::string k, v;
        if (KeyLine(lines[i], k, v) && EqualNoCase(k, key)) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            changed = true;
        }
    }
    return changed ? WriteLines(path_, lines) : true;
}

}  // namespace platform

namespace platform {

std::string IniFile::Problem() const {
    if (!FileExists(path_)) return std::string();
    std::string text;
    if (!ReadFile(path_, text)) return "it cannot be read";
    if (text.empty()) return "it is empty";
    if (text.find('\0') != std::string::npos) return kHoldsNulBytes;
    bool inSection = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos) continue;
        if (line[start] == '[') inSection = line.find(']', start) != std::string::npos;
        else if (inSection && line[start] != ';' && line.find('=', start) != std::string::npos) return std::string();
    }
    return "it holds no settings";
}

}  // namespace platform
