// Attachment check: defusing risky attachment names in delivered mail and
// the notices about them.
#include "filters/virus.h"

#include "codecs/headerwords.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "settings/setup.h"
#include "settings/table_files.h"
#include "shell/globals.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

namespace virus {

namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

// Every name parameter of one header line of a part ("name=", "filename=",
// and their RFC 2231 "*=" forms). A value ends at its closing quote or, when
// unquoted, at ";": a parameter that follows the name cannot hide it.
void DefuseNameParameters(std::string& line, bool isApplication, DefuseState& st) {
    std::size_t from = 0;
    while (true) {
        const std::string lower = Lower(line);
        const std::size_t p = lower.find("name", from);
        if (p == std::string::npos) return;
        std::size_t q = p + 4;
        bool extended = false;
        if (q < lower.size() && lower[q] == '*') {
            extended = true;
            ++q;
        }
        if (q >= lower.size() || lower[q] != '=') {
            from = p + 4;
            continue;
        }
        std::size_t start = q + 1, end;
        bool quoted = start < line.size() && line[start] == '"';
        if (quoted) {
            ++start;
            end = line.find('"', start);
            if (end == std::string::npos) end = line.size();
        } else {
            end = line.find(';', start);
            if (end == std::string::npos) end = line.size();
            while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
        }
        // Names longer than 255 characters are judged by their first 255.
        const std::string raw = line.substr(start, std::min<std::size_t>(end - start, 255));
        from = end;
        if (raw.empty()) continue;

        std::string name = raw;
        std::string replacement;  // empty: change the last character in place
        std::size_t tail = 0;     // extended form: where the encoded name starts
        if (extended) {
            const std::size_t a = raw.find('\'');
            const std::size_t b = a == std::string::npos ? a : raw.find('\'', a + 1);
            if (b != std::string::npos) {
                tail = b + 1;
                name = PercentDecode(raw.substr(tail));
            }
        } else if (raw.find("=?") != std::string::npos && raw.find("?=") != std::string::npos) {
            name = HeaderWords::DecodeHeaderText(raw);
            replacement = HeaderSafe(name);
            if (!replacement.empty()) replacement.back() = '_';
            if (!quoted) replacement = "\"" + replacement + "\"";
        }
        if (name.empty() || !IsRiskyName(name)) continue;
        Note(st, name, isApplication);

        if (!replacement.empty()) {
            line.replace(start, raw.size(), replacement);
            from = start + replacement.size();
        } else if (extended && raw.size() >= tail + 3 && raw[raw.size() - 3] == '%' &&
                   HexValue(raw[raw.size() - 2]) >= 0 && HexValue(raw[raw.size() - 1]) >= 0) {
            // The last character is written as %XX: the whole escape goes.
            line.replace(start + raw.size() - 3, 3, "_");
            from = start + raw.size() - 2;
        } else {
            line[start + raw.size() - 1] = '_';
        }
    }
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
    platform::IniFile ini(ProgramDir + "tarnwick.ini");
    const int count = ini.ReadInteger("Virus", "FileCount", -1);
    bool risky = false;
    for (int i = 1; i <= count; ++i) {
        if (WildcardMatch(name, ini.ReadString("Virus", "File" + std::to_string(i), "*.exe"))) risky = true;
    }
    return risky;
}

std::string RiskLabel(const std::string& name, bool isApplication) {
    // Positions as a person counts them: the first character is 1, no dot 0.
    const std::size_t dot = name.find('.');
    const long long firstDot = dot == std::string::npos ? 0 : static_cast<long long>(dot) + 1;
    if (firstDot < static_cast<long long>(name.size()) - 3 || !isApplication) return "(95%)";
    const std::string lower = Lower(name);
    static const std::pair<const char*, const char*> table[] = {
        {".pif", "(90%)"}, {".com", "(90%)"}, {".bat", "(85%)"}, {".scr", "(80%)"}, {"sex", "(90%)"},
        {"love", "(85%)"}, {"you", "(80%)"},  {".js", "(70%)"},  {".exe", "(25%)"},
    };
    for (const auto& [part, label] : table)
        if (lower.find(part) != std::string::npos) return label;
    return "(20%)";
}

std::string DefuseText(const std::string& text, std::vector<std::string>& notice) {
    DefuseState st{&notice, {}};
    std::string out;
    out.reserve(text.size());
    int lineNo = 1, partLine = -99;
    bool isApplication = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t next = nl == std::string::npos ? text.size() : nl + 1;
        // Lines are examined without their line end, which is written back
        // as it was: CR LF, a bare LF or none.
        std::size_t bodyEnd = nl == std::string::npos ? text.size() : nl;
        if (bodyEnd > pos && text[bodyEnd - 1] == '\r') --bodyEnd;
        std::string line = text.substr(pos, bodyEnd - pos);
        const std::string ending = text.substr(bodyEnd, next - bodyEnd);
        pos = next;

        ++lineNo;
        const std::string lower = Lower(line);
        if (IsUuBegin(lower)) {
            const std::string name = line.substr(10);
            if (!name.empty() && IsRiskyName(name)) {
                Note(st, name, true);
                line[10 + name.size() - 1] = '_';
            }
            partLine = -99;
        }
        if (StartsWith(lower, "content-type:")) {
            partLine = lineNo;
            isApplication = false;
            std::size_t v = 13;
            while (v < lower.size() && (lower[v] == ' ' || lower[v] == '\t')) ++v;
            if (lower.compare(v, 11, "application") == 0) {
                // An application part's name may follow further down its header.
                partLine = lineNo + 3;
                isApplication = true;
            }
        }
        if (lineNo - partLine < 6) {
            if (line.empty()) partLine = -99;
            else DefuseNameParameters(line, isApplication, st);
        }
        out += line;
        out += ending;
    }
    return out;
}

bool CheckIncomingAttachments(const std::string& msgFile, const std::string& user, int spamLevel) {
    if (!platform::FileExists(msgFile)) return false;
    const std::string stamp = smtp::TimeStamp();
    std::string text;
    if (!platform::ReadFile(msgFile, text)) {
        tablefiles::LogLine("Attachment check: cannot read " + msgFile);
        return false;
    }
    std::vector<std::string> defused;
    const std::string out = DefuseText(text, defused);
    const bool found = !defused.empty();
    const bool toSpam = found && spamLevel == 0 && FrmSettings != nullptr && FrmSettings->virusToSpam();

    bool moved = false;
    if (toSpam) {
        // The defused copy is on disk in Spam1 before the inbox copy goes.
        const std::filesystem::path path(msgFile);
        const std::string written = smtp::WriteNewFile(smtp::StoreFolder(smtp::FolderSpam1), "",
                                                       path.stem().string(), path.extension().string(), out);
        if (!written.empty()) {
            moved = std::remove(msgFile.c_str()) == 0 || !platform::FileExists(msgFile);
            if (!moved) tablefiles::LogLine("Attachment check: cannot remove " + msgFile + " after moving it to spam");
        }
    }
    // Nothing to change: the file keeps its bytes and its date.
    if (!toSpam && out != text && !smtp::RewriteFile(msgFile, out))
        tablefiles::LogLine("Attachment check: cannot rewrite " + msgFile);
    if (toSpam && !moved && !smtp::RewriteFile(msgFile, out))
        tablefiles::LogLine("Attachment check: cannot rewrite " + msgFile);

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
    if (FrmSettings == nullptr || !FrmSettings->virusCheckOut()) return false;
    const std::string warnUser = FrmSettings->virusWarnUser();
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
