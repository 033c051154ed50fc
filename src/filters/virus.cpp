// Attachment check: defusing risky attachment names in delivered mail and
// the notices about them.
#include "filters/virus.h"

#include "codecs/charsettables.h"
#include "codecs/headerwords.h"
#include "codecs/qev_util.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/mail_settings.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

namespace virus {

namespace {

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// "begin 644 name": the start of a uuencoded file. Any three-digit mode is
// taken, not only the usual 6xx ones, so a mode of 755 cannot smuggle a
// program past the check.
bool IsUuBegin(const std::string& lower) {
    return lower.size() > 10 && StartsWith(lower, "begin ") && IsOctal(lower[6]) && IsOctal(lower[7]) &&
           IsOctal(lower[8]) && lower[9] == ' ';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// A decoded name put back into a header: printable ASCII only, no quotes.
std::string HeaderSafe(const std::string& s) {
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') ? '_' : c;
    }
    return out;
}

std::string WithoutLast(const std::string& s) { return s.empty() ? s : s.substr(0, s.size() - 1); }

struct DefuseState {
    std::vector<std::string>* notice;
    std::string lastName;
};

void Note(DefuseState& st, const std::string& name, bool isApplication) {
    if (name == st.lastName) return;
    st.notice->push_back(name + " was renamed " + WithoutLast(name) + "_ " + RiskLabel(name, isApplication));
    st.lastName = name;
}

// --- Names as a mail client reads them --------------------------------------
//
// A part's file name may sit in its Content-Type ("name") or its
// Content-Disposition ("filename"), in either order and anywhere in the
// part's header, folded over lines, split into RFC 2231 sections
// (filename*0, filename*1*, ...), percent-encoded with a charset, or written
// as RFC 2047 words. Mail clients join all of that before they show or save
// the file, so the check does the same and judges the joined name.

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One parameter of a header field, with its place in the field's raw text
// (the field's lines with their line ends, folding included).
struct Param {
    std::string attr;           // lower case, blanks trimmed
    std::size_t begin = 0;      // the ";" before the parameter
    std::size_t valueBegin = 0; // the value, quotes included
    std::size_t valueEnd = 0;
    bool quoted = false;
};

// Splits at ";" outside quoted text, as the common readers do; the first
// piece is the field's own value and is not a parameter.
std::vector<Param> ParseParams(const std::string& raw, std::size_t from) {
    std::vector<Param> out;
    std::size_t pos = from;
    bool first = true;
    while (pos <= raw.size()) {
        std::size_t end = pos;
        bool inQuote = false;
        for (; end < raw.size(); ++end) {
            if (inQuote && raw[end] == '\\' && end + 1 < raw.size()) {
                ++end;
                continue;
            }
            if (raw[end] == '"') inQuote = !inQuote;
            else if (raw[end] == ';' && !inQuote) break;
        }
        if (!first) {
            Param p;
            p.begin = pos - 1;
            const std::size_t eq = raw.find('=', pos);
            if (eq != std::string::npos && eq < end) {
                std::size_t a = pos, b = eq;
                while (a < b && IsBlank(raw[a])) ++a;
                while (b > a && IsBlank(raw[b - 1])) --b;
                p.attr = qev_util::LowerCase(raw.substr(a, b - a));
                std::size_t v = eq + 1, w = end;
                while (v < w && IsBlank(raw[v])) ++v;
                while (w > v && IsBlank(raw[w - 1])) --w;
                p.valueBegin = v;
                p.valueEnd = w;
                p.quoted = w - v >= 2 && raw[v] == '"' && raw[w - 1] == '"';
                out.push_back(p);
            }
        }
        first = false;
        pos = end + 1;
    }
    return out;
}

// The value of a parameter without its quotes, escapes undone, folding
// line ends dropped.
std::string Unquoted(const std::string& raw, const Param& p) {
    std::string v;
    const std::size_t a = p.quoted ? p.valueBegin + 1 : p.valueBegin;
    const std::size_t b = p.quoted ? p.valueEnd - 1 : p.valueEnd;
    for (std::size_t i = a; i < b; ++i) {
        if (raw[i] == '\r' || raw[i] == '\n') continue;
        if (p.quoted && raw[i] == '\\' && i + 1 < b) ++i;
        v += raw[i];
    }
    return v;
}

// RFC 2231 section of attr for base ("filename*", "filename*0",
// "filename*1*"): its number (-1 for the unnumbered form) and whether it is
// percent-encoded. False when attr is no section of base.
bool SectionOf(const std::string& attr, const std::string& base, int& number, bool& encoded) {
    if (attr.size() <= base.size() || attr.compare(0, base.size(), base) != 0 || attr[base.size()] != '*')
        return false;
    std::string rest = attr.substr(base.size() + 1);
    if (rest.empty()) {
        number = -1;
        encoded = true;
        return true;
    }
    encoded = rest.back() == '*';
    if (encoded) rest.pop_back();
    if (rest.empty() || rest.size() > 4) return false;
    for (char c : rest)
        if (c < '0' || c > '9') return false;
    number = std::stoi(rest);
    return true;
}

struct Section {
    const Param* param;
    int number;
    bool encoded;
    std::string text;  // its contribution to the name, still in bytes
};

// The name of a set of sections: joined in order, decoded, with its
// charset applied.
std::string JoinSections(std::vector<Section>& sections) {
    std::stable_sort(sections.begin(), sections.end(),
                     [](const Section& a, const Section& b) { return a.number < b.number; });
    std::string joined;
    bool encoded = false;
    for (const auto& s : sections) {
        joined += s.encoded ? PercentDecode(s.text) : s.text;
        encoded = encoded || s.encoded;
    }
    if (!encoded) return HeaderWords::DecodeHeaderText(joined);
    const std::size_t a = joined.find('\'');
    const std::size_t b = a == std::string::npos ? a : joined.find('\'', a + 1);
    if (b == std::string::npos) return joined;
    const std::string charset = joined.substr(0, a);
    const std::string bytes = joined.substr(b + 1);
    return charset.empty() ? bytes : CharsetTables::ToUtf8(bytes, charset);
}

// A decoded name put back as a plain quoted parameter value.
std::string SafeQuoted(const std::string& name) {
    std::string v = HeaderSafe(name);
    if (!v.empty()) v.back() = '_';
    return "\"" + v + "\"";
}

struct Edit {
    std::size_t begin, end;
    std::string text;
};

// The edits that defuse one risky name given by a set of sections (one
// plain parameter is a set of one): the name's last character becomes "_"
// where it is written; a name made of encoded words, or one whose last
// character cannot be found in place, is written out again as one plain
// parameter.
void DefuseSections(const std::string& raw, std::vector<Section>& sections, const std::string& base,
                    std::vector<Edit>& edits) {
    // The section that holds the last character of the name.
    const Section* last = nullptr;
    for (const auto& s : sections) {
        std::string piece = s.encoded ? PercentDecode(s.text) : s.text;
        if (s.encoded && (s.number == -1 || s.number == 0)) {
            const std::size_t a = piece.find('\'');
            const std::size_t b = a == std::string::npos ? a : piece.find('\'', a + 1);
            if (b != std::string::npos) piece = piece.substr(b + 1);
        }
        if (!piece.empty()) last = &s;
    }
    const bool words = !last || (!last->encoded && last->text.find("=?") != std::string::npos &&
                                 last->text.find("?=") != std::string::npos);
    if (!words) {
        const Param& p = *last->param;
        const std::size_t end = p.quoted ? p.valueEnd - 1 : p.valueEnd;
        if (last->encoded && end >= p.valueBegin + 3 && raw[end - 3] == '%' && HexValue(raw[end - 2]) >= 0 &&
            HexValue(raw[end - 1]) >= 0) {
            edits.push_back({end - 3, end, "_"});
            return;
        }
        if (end > p.valueBegin && raw[end - 1] != '\\' && raw[end - 1] != '"' && !IsBlank(raw[end - 1])) {
            edits.push_back({end - 1, end, "_"});
            return;
        }
    }
    // Written out again: the first section becomes the whole name, the
    // others go.
    const std::string name = JoinSections(sections);
    const Param& first = *sections.front().param;
    edits.push_back({first.begin + 1, first.valueEnd, " " + base + "=" + SafeQuoted(name)});
    for (std::size_t i = 1; i < sections.size(); ++i)
        edits.push_back({sections[i].param->begin, sections[i].param->valueEnd, ""});
}

// The names of one Content-Type or Content-Disposition field (raw: the
// whole field, from) where its value starts): every plain "name" and
// "filename" parameter on its own, and the RFC 2231 sections of each joined.
// Risky ones are noted and defused in raw. Returns whether one was found.
bool DefuseField(std::string& raw, std::size_t from, bool isApplication, DefuseState& st) {
    bool found = false;
    for (int round = 0; round < 2; ++round) {
        const std::vector<Param> params = ParseParams(raw, from);
        std::vector<Edit> edits;
        for (const char* base : {"name", "filename"}) {
            std::vector<Section> sections;
            for (const auto& p : params) {
                int number = 0;
                bool encoded = false;
                if (p.attr == base) {
                    std::vector<Section> one{{&p, 0, false, Unquoted(raw, p)}};
                    const std::string name = JoinSections(one);
                    if (name.empty() || !IsRiskyName(name)) continue;
                    found = true;
                    Note(st, name, isApplication);
                    DefuseSections(raw, one, base, edits);
                } else if (SectionOf(p.attr, base, number, encoded)) {
                    sections.push_back({&p, number, encoded, Unquoted(raw, p)});
                }
            }
            if (sections.empty()) continue;
            const std::string name = JoinSections(sections);
            if (name.empty() || !IsRiskyName(name)) continue;
            found = true;
            Note(st, name, isApplication);
            DefuseSections(raw, sections, base, edits);
        }
        if (edits.empty()) break;
        std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin > b.begin; });
        std::size_t limit = std::string::npos;
        for (const auto& e : edits) {
            if (e.end > limit) continue;  // overlaps one already made
            raw.replace(e.begin, e.end - e.begin, e.text);
            limit = e.begin;
        }
        // A second round finds what the first left risky (a name whose
        // last character was not where it seemed) and writes it out again.
    }
    return found;
}

// One line of the text, without its line end, which is kept as it was: CR
// LF, a bare LF or none.
struct Line {
    std::string text;
    std::string ending;
    bool dropped = false;  // joined into the line of its field
};

using Field = DefuseStream::Field;

std::string FieldValue(const std::vector<Line>& lines, const Field& f) {
    std::string v = lines[f.first].text.substr(lines[f.first].text.find(':') + 1);
    for (std::size_t i = f.first + 1; i <= f.last; ++i) v += lines[i].text;
    return v;
}

// The media type of a part: its Content-Type value before any parameter.
std::string MediaType(const std::vector<Line>& lines, const std::vector<Field>& fields) {
    for (const auto& f : fields) {
        if (f.name != "content-type") continue;
        std::string v = qev_util::LowerCase(FieldValue(lines, f));
        v = v.substr(0, v.find(';'));
        std::size_t a = 0, b = v.size();
        while (a < b && IsBlank(v[a])) ++a;
        while (b > a && IsBlank(v[b - 1])) --b;
        return v.substr(a, b - a);
    }
    return "";
}

// Defuses the names of one header block. True when it introduces a nested
// message, whose own header block follows the empty line.
bool DefuseHeaderBlock(std::vector<Line>& lines, const std::vector<Field>& fields, DefuseState& st) {
    const std::string type = MediaType(lines, fields);
    const bool isApplication = type.rfind("application", 0) == 0;
    for (const auto& f : fields) {
        if (f.name != "content-type" && f.name != "content-disposition") continue;
        // The field as one text with its line ends, so that every change
        // lands on its own line again.
        std::string raw;
        std::vector<std::size_t> starts;
        for (std::size_t i = f.first; i <= f.last; ++i) {
            starts.push_back(raw.size());
            raw += lines[i].text;
            if (i < f.last) raw += "\n";
        }
        const std::size_t from = raw.find(':') + 1;
        const std::string before = raw;
        if (!DefuseField(raw, from, isApplication, st) || raw == before) continue;
        // Put the field back: a parameter written out again may have taken
        // a fold with it, so the field becomes its first line, which carries
        // the remaining folds.
        std::string joined;
        for (char c : raw) {
            if (c == '\n') joined += lines[f.first].ending;
            else joined += c;
        }
        lines[f.first].text = joined;
        lines[f.first].ending = lines[f.last].ending;
        for (std::size_t i = f.first + 1; i <= f.last; ++i) lines[i].dropped = true;
    }
    return type.rfind("message/", 0) == 0;
}

// Both attachment notices end with the footer line, an empty line and the
// end marker.
std::string NoticeText(const std::string& user, const std::string& subject, std::vector<std::string> body) {
    smtp::GeneratedMail mail;
    mail.to = smtp::LocalRecipient(user);
    mail.subject = subject;
    body.push_back(smtp::GeneratedFooterLine);
    body.push_back("");
    mail.body = std::move(body);
    mail.footer = false;
    return smtp::GeneratedMessage(mail);
}

}  // namespace

std::string StripChar(const std::string& text, char character, const std::string& replacement) {
    std::string out;
    for (char c : text) {
        if (c == character) out += replacement;
        else out += c;
    }
    return out;
}

bool WildcardMatch(const std::string& name, const std::string& pattern) {
    // Greedy match with one back-track point: linear in practice, and never
    // exponential however many "*" a pattern holds.
    std::size_t n = 0, p = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Upper(pattern[p]) == Upper(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool IsRiskyName(const std::string& name) {
    bool risky = false;
    for (const auto& pattern : mailsettings::Current()->virusPatterns)
        if (WildcardMatch(name, pattern)) risky = true;
    return risky;
}

std::string RiskLabel(const std::string& name, bool isApplication) {
    // Positions as a person counts them: the first character is 1, no dot 0.
    const std::size_t dot = name.find('.');
    const long long firstDot = dot == std::string::npos ? 0 : static_cast<long long>(dot) + 1;
    if (firstDot < static_cast<long long>(name.size()) - 3 || !isApplication) return "(95%)";
    const std::string lower = qev_util::LowerCase(name);
    static const std::pair<const char*, const char*> table[] = {
        {".pif", "(90%)"}, {".com", "(90%)"}, {".bat", "(85%)"}, {".scr", "(80%)"}, {"sex", "(90%)"},
        {"love", "(85%)"}, {"you", "(80%)"},  {".js", "(70%)"},  {".exe", "(25%)"},
    };
    for (const auto& [part, label] : table)
        if (lower.find(part) != std::string::npos) return label;
    return "(20%)";
}

std::string DefuseText(const std::string& text, std::vector<std::string>& notice) {
    std::string out;
    out.reserve(text.size());
    DefuseStream defuse(notice, [&](const char* p, size_t n) {
        out.append(p, n);
        return true;
    });
    defuse.Feed(text.data(), text.size());
    defuse.Finish();
    return out;
}

// Header blocks: the message's own, the one after every line that starts
// with "--" (every boundary does, so no part's header is missed whatever its
// boundary), and that of a message enclosed in a part. Only the block being
// read is held; body lines go straight through.
DefuseStream::DefuseStream(std::vector<std::string>& notice, Sink sink)
    : notice_(notice), sink_(std::move(sink)) {}

void DefuseStream::Feed(const char* data, size_t size) {
    size_t pos = 0;
    while (pos < size) {
        const char* nl = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
        const size_t next = nl ? static_cast<size_t>(nl - data) + 1 : size;
        partial_.append(data + pos, next - pos);
        pos = next;
        if (nl) {
            TakeLine(partial_);
            partial_.clear();
        } else if (partial_.size() > kMaxHeld) {
            // A line longer than any a sender writes is judged in pieces;
            // a CR is kept back, as it may belong to the line end.
            std::string piece = std::move(partial_);
            partial_.clear();
            if (piece.back() == '\r') {
                piece.pop_back();
                partial_ = "\r";
            }
            TakeLine(piece);
        }
    }
}

bool DefuseStream::Finish() {
    if (!partial_.empty()) TakeLine(partial_);
    partial_.clear();
    if (inHeader_) EndBlock();
    return ok_;
}

void DefuseStream::Emit(const std::string& text, const std::string& ending) {
    if (!ok_) return;
    ok_ = sink_(text.data(), text.size()) && sink_(ending.data(), ending.size());
}

bool DefuseStream::EndBlock() {
    std::vector<Line> lines;
    lines.reserve(block_.size());
    for (auto& [text, ending] : block_) lines.push_back({text, ending, false});
    DefuseState st{&notice_, lastName_};
    const bool nested = DefuseHeaderBlock(lines, fields_, st);
    lastName_ = st.lastName;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].dropped) {
            changed_ = true;
            continue;
        }
        if (lines[i].text != block_[i].first || lines[i].ending != block_[i].second) changed_ = true;
        Emit(lines[i].text, lines[i].ending);
    }
    block_.clear();
    fields_.clear();
    held_ = 0;
    return nested;
}

void DefuseStream::TakeLine(const std::string& raw) {
    std::size_t bodyEnd = raw.size();
    if (bodyEnd > 0 && raw[bodyEnd - 1] == '\n') --bodyEnd;
    if (bodyEnd > 0 && raw[bodyEnd - 1] == '\r') --bodyEnd;
    std::string line = raw.substr(0, bodyEnd);
    const std::string ending = raw.substr(bodyEnd);
    if (inHeader_) {
        if (line.empty()) {
            inHeader_ = EndBlock();
            Emit(line, ending);
            return;
        }
        if (line.rfind("--", 0) == 0) {
            EndBlock();
            Emit(line, ending);
            return;
        }
        // A header block larger than any real one is judged in pieces, so
        // that what is held stays bounded.
        if (held_ + raw.size() > kMaxHeld && !block_.empty()) EndBlock();
        const std::size_t i = block_.size();
        if ((line[0] == ' ' || line[0] == '\t') && !fields_.empty()) {
            fields_.back().last = i;
        } else {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = qev_util::LowerCase(line.substr(0, colon));
                while (!name.empty() && IsBlank(name.back())) name.pop_back();
                fields_.push_back({name, i, i});
            }
        }
        held_ += raw.size();
        block_.emplace_back(std::move(line), ending);
        return;
    }
    if (line.rfind("--", 0) == 0) {
        inHeader_ = true;
        Emit(line, ending);
        return;
    }
    if (line.size() > 10 && IsUuBegin(qev_util::LowerCase(line.substr(0, 10)) + "x")) {
        const std::string name = line.substr(10);
        if (IsRiskyName(name)) {
            DefuseState st{&notice_, lastName_};
            Note(st, name, true);
            lastName_ = st.lastName;
            changed_ = changed_ || line.back() != '_';
            line.back() = '_';
        }
    }
    Emit(line, ending);
}

namespace {

// Feeds the bytes of msgFile to defuse; false when it could not be read.
bool StreamFile(const std::string& msgFile, DefuseStream& defuse) {
    std::FILE* in = std::fopen(msgFile.c_str(), "rb");
    if (!in) return false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0) defuse.Feed(buffer.data(), n);
        if (n < buffer.size()) break;
    }
    const bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

}  // namespace

bool NeedsDefusing(const std::string& msgFile, const std::string& tail) {
    std::vector<std::string> found;
    DefuseStream look(found, [](const char*, size_t) { return true; });
    if (!StreamFile(msgFile, look)) return true;
    look.Feed(tail.data(), tail.size());
    look.Finish();
    return !found.empty() || look.Changed();
}

bool CheckIncomingAttachments(const std::string& msgFile, const std::string& user, int spamLevel) {
    if (!platform::FileExists(msgFile)) return false;
    const std::string stamp = smtp::TimeStamp();
    // Nearly every message has nothing to defuse: a first pass that writes
    // nothing spares them a temp file made, synced and removed again.
    {
        std::vector<std::string> found;
        DefuseStream look(found, [](const char*, size_t) { return true; });
        if (!StreamFile(msgFile, look)) {
            tablefiles::LogLine("Attachment check: cannot read " + msgFile);
            return false;
        }
        look.Finish();
        if (found.empty() && !look.Changed()) return false;
    }
    // The message may be far larger than we care to hold: it is streamed
    // through a temp file that only replaces it when something changed.
    // That file is made where it may end up, so that it can be linked
    // there; every store folder is on one file system.
    const bool spamMove = spamLevel == 0 && mailsettings::Current()->virusToSpam;
    const std::string spamFolder = spamMove ? smtp::StoreFolder(smtp::FolderSpam1) : std::string();
    // Without a spam folder to write in, the message is still defused in
    // the inbox.
    std::optional<smtp::TempFileWriter> temp;
    if (spamMove) temp.emplace(spamFolder + "x");
    if (!temp || !temp->Ok()) temp.emplace(msgFile);
    std::vector<std::string> defused;
    DefuseStream defuse(defused, [&](const char* p, size_t n) { return temp->Write(p, n); });
    if (!StreamFile(msgFile, defuse)) {
        tablefiles::LogLine("Attachment check: cannot read " + msgFile);
        return false;
    }
    const bool written = defuse.Finish() && temp->Finish();
    const bool found = !defused.empty();
    const bool toSpam = found && spamMove;

    bool moved = false;
    if (toSpam && written) {
        // The defused copy is on disk in Spam1 before the inbox copy goes.
        const std::filesystem::path path(msgFile);
        const std::string published =
            smtp::PublishNewFile(temp->Path(), spamFolder, "", path.stem().string(), path.extension().string());
        if (!published.empty()) {
            moved = platform::Env::Current()->Unlink(msgFile).ok() || !platform::FileExists(msgFile);
            if (!moved) tablefiles::LogLine("Attachment check: cannot remove " + msgFile + " after moving it to spam");
        }
    }
    // Nothing to change: the file keeps its bytes and its date.
    if (toSpam ? !moved : defuse.Changed()) {
        bool replaced = false;
        if (written) {
            temp->Keep();  // renamed over the message, or removed when that fails
            replaced = smtp::ReplaceWithTemp(temp->Path(), msgFile);
        }
        if (!replaced) tablefiles::LogLine("Attachment check: cannot rewrite " + msgFile);
    }

    if (!found) return false;
    if (!settings::IsSafeUserName(user)) return true;
    std::vector<std::string> body = {
        "You have just received an email which contained file(s) which might have contained a virus.",
        "",
        "For this reason the following files have been renamed by your email server, Tarnwick:",
        "",
    };
    body.insert(body.end(), defused.begin(), defused.end());
    body.push_back("");
    body.push_back("The figure in brackets is the probability of the file containing a virus.");
    body.push_back(
        "It is recommended that unless you are certain of the safety of these file(s) you delete the email in "
        "question.");
    const std::string notice = NoticeText(user, "Virus Possibility", body);
    const std::string folder = moved ? smtp::FolderSpam1 : smtp::FolderIn;
    if (smtp::WriteMailboxFile(folder, user, stamp, notice).empty())
        tablefiles::LogLine("Attachment check: cannot write the notice for " + user);
    return true;
}

bool NotifyOutgoingRisk(const std::string& sender, const std::vector<std::string>& attachmentNames) {
    const auto mail = mailsettings::Current();
    if (!mail->virusCheckOut) return false;
    const std::string warnUser = mail->virusWarnUser;
    if (warnUser.empty() || !settings::IsSafeUserName(warnUser)) return false;
    const std::string stamp = smtp::TimeStamp();
    bool risky = false;
    for (const auto& name : attachmentNames)
        if (IsRiskyName(name)) risky = true;
    if (!risky) return false;
    std::vector<std::string> body = {
        "An email has just been sent from " + sender + " which contained file(s) which might have contained a virus.",
        "",
        "The following files were attached:",
        "",
    };
    body.insert(body.end(), attachmentNames.begin(), attachmentNames.end());
    body.push_back("");
    const std::string notice = NoticeText(warnUser, "Outgoing Virus Possibility", body);
    if (smtp::WriteMailboxFile(smtp::FolderIn, warnUser, stamp, notice).empty()) {
        tablefiles::LogLine("Attachment check: cannot write the outgoing warning for " + warnUser);
        return false;
    }
    return true;
}

}  // namespace virus
