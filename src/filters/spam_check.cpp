// Classification of fetched mail and the lists and counters it keeps:
// safe senders, subject words, bad users, [SpamStats].
#include "filters/spam.h"

#include "codecs/qev_util.h"
#include "filters/shown.h"

#include "platform/clock.h"
#include "platform/inifile.h"
#include "transport/globals.h"
#include "transport/settings_file.h"
#include "transport/table_files.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace spam {

namespace {

std::string IniPath() { return settings::IniPath(); }

}  // namespace

const std::vector<std::string>& BuiltInGoodWords() {
    static const std::vector<std::string> words = {"order", "booking", "flight", "travel"};
    return words;
}

const std::vector<std::string>& BuiltInBadWords() {
    static const std::vector<std::string> words = {"viagra", "pills", "prescription"};
    return words;
}

std::string LettersOnly(const std::string& text) {
    std::string out;
    for (char c : text) {
        char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (l >= 'a' && l <= 'z') out += c;
    }
    return out;
}

std::string GetDomain(const std::string& address) {
    size_t at = address.find('@');
    return at == std::string::npos ? address : address.substr(at + 1);
}

std::string CleanAddress(const std::string& address) {
    // A display name may hold a safe address in quotes: only the real
    // address counts.
    return qev_util::LowerCase(qev_util::HeaderAddress(address));
}

bool IsImportAddress(const std::string& address) {
    std::string a = qev_util::LowerCase(smtp::TrimBlanks(address));
    if (a.size() >= 2 && a.front() == '<' && a.back() == '>') a = a.substr(1, a.size() - 2);
    return a == ImportAddress;
}

namespace {

// The entry an address would become; empty when it is there already or is
// no address.
std::string NewEntry(TvdlMemTable& t, int type, const std::string& address) {
    // Lines of imported address lists come with their blanks.
    const std::string a = smtp::TrimBlanks(CleanAddress(address));
    // The table keeps the first 64 characters; the entry is looked up as
    // it will be stored.
    const std::string item = a.substr(0, ItemSize);
    bool domainPresent = false;
    if (type == SafeSender) domainPresent = t.FindKey({type, ("*@" + GetDomain(a)).substr(0, ItemSize)});
    if (a.find('@') == std::string::npos || domainPresent || t.FindKey({type, item})) return std::string();
    return item;
}

// Adds one entry to the table in memory; false when it is there already or
// is no address.
bool AppendSpamAddress(TvdlMemTable& t, int type, const std::string& address) {
    const std::string item = NewEntry(t, type, address);
    if (item.empty()) return false;
    t.Append();
    t.FieldByName("Type").SetAsInteger(type);
    t.FieldByName("Item").SetAsString(item);
    t.Post();
    return true;
}

}  // namespace

bool AddSpamAddress(int type, const std::string& address) {
    return AddSpamAddresses(type, {address}) == 1;
}

int AddSpamAddresses(int type, const std::vector<std::string>& addresses) {
    if (Filter() == nullptr) return 0;
    // One save for the lot: an uploaded address book may hold thousands.
    TvdlMemTable& list = SafeList().Table();
    if (!list.Active()) return 0;
    // Nothing new: the file stays as it is.
    const int mark = list.GetBookmark();
    const bool anyNew = std::any_of(addresses.begin(), addresses.end(),
                                    [&](const std::string& a) { return !NewEntry(list, type, a).empty(); });
    if (mark >= 0 && list.BookmarkValid(mark)) list.GotoBookmark(mark);
    if (!anyNew) return 0;
    int added = 0;
    std::string error;
    const bool saved = SafeList().Change(
        ProgramDir,
        [&](TvdlMemTable& t) {
            for (const std::string& address : addresses)
                if (AppendSpamAddress(t, type, address)) ++added;
        },
        &error);
    if (saved) return added;
    // The owner has put the list back as the file holds it.
    tablefiles::LogLine("The spam filter could not save spam.dat: " + error);
    return 0;
}

void IncSpamStat(const std::string& key) {
    if (key.empty()) {
        settings::EraseState("SpamStats");
        return;
    }
    const int stored = platform::IniFile(IniPath()).ReadInteger("SpamStats", key, -1);
    if (stored == -1) {
        auto now = platform::NowLocal();
        settings::WriteState("SpamStats", "StatsSince", DayMonth(now.day, now.month));
    }
    settings::WriteState("SpamStats", key, static_cast<long long>((stored < 0 ? 0 : stored) + 1));
}

int HeldSpamCount(const std::string& folderName) {
    return static_cast<int>(smtp::ListFiles(smtp::StoreFolder(folderName), smtp::MailboxSuffix).size());
}

int HeldSpamCount() { return HeldSpamCount(smtp::FolderSpam1) + HeldSpamCount(smtp::FolderSpam2); }

std::string DayMonth(int day, int month) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d %s", day, months[(month + 11) % 12]);
    return buf;
}

StatsTexts FormatStats(int spamIdentified, int nonSpamIdentified, int spamDeleted, int spamSaved,
                       const std::string& since) {
    auto ratio = [](long long part, long long whole) {
        if (whole == 0) return std::string("n/a ");
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f%% ", static_cast<double>(part) * 100.0 / static_cast<double>(whole));
        return std::string(buf);
    };
    const long long s = spamIdentified, n = nonSpamIdentified, d = spamDeleted, v = spamSaved;
    StatsTexts t;
    t.caption = "Spam Stats (since " + since + ")";
    t.spamCount = std::to_string(s) + "/" + std::to_string(s + n) + " ";
    t.spamRatio = ratio(s, s + n);
    t.spamDeleted = std::to_string(d) + "/" + std::to_string(d + v) + " ";
    t.successRatio = ratio(d, d + v);
    return t;
}

}  // namespace spam

namespace {

// A word matches when it occurs in the subject or in its letters. A line
// of nothing but blanks is no word: it would match nearly every subject,
// and it is not kept when the list is saved anyway.
bool WordMatches(const std::string& word, const std::string& subject, const std::string& letters) {
    std::string w;
    for (char c : word) w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (w.find_first_not_of(" \t") == std::string::npos) return false;
    return subject.find(w) != std::string::npos || letters.find(w) != std::string::npos;
}

// The filter's one way to show what it decided: a line of pop.log. Sender
// and subject come from the network: a stray CR or LF in them must not
// start a line of its own in the log.
void LogDecision(std::string line) {
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    filters::LogLine("pop.log", line);
}

}  // namespace

int spam::TSpamFilter::CheckSpam(const std::string& ToUser, const std::string& From, const std::string& Subject,
                                 int& HeldCount) {
    int result = spam::NotSpam;
    const Settings& s = settings_;
    if (s.checkSpam) {
        const std::string from = spam::CleanAddress(From);
        const auto log = LogDecision;
        result = spam::PossibleSpam;

        for (const std::string& user : s.badUsers) {
            if (QString::fromStdString(user).compare(QString::fromStdString(ToUser), Qt::CaseInsensitive) == 0) {
                result = spam::ProbableSpam;
                log("== Spamcheck: \"" + ToUser + "\" found in bad user list, probable spam.");
            }
        }

        bool safe = false;
        TvdlMemTable& list = SafeList().Table();
        if (result == spam::PossibleSpam && list.Active()) {
            const int mark = list.GetBookmark();
            if (list.FindKey({spam::SafeSender, from}) ||
                list.FindKey({spam::SafeSender, "*@" + spam::GetDomain(from)})) {
                result = spam::NotSpam;
                safe = true;
                log("== Spamcheck: <" + list.FieldByName("Item").AsString() +
                    "> found in safe address list, not spam.");
            }
            if (mark >= 0 && list.BookmarkValid(mark)) list.GotoBookmark(mark);
        }

        if (result == spam::PossibleSpam && !safe) {
            std::string subject;
            for (char c : Subject) subject += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const std::string letters = spam::LettersOnly(subject);
            for (const std::string& w : s.goodWords) {
                if (WordMatches(w, subject, letters)) {
                    result = spam::NotSpam;
                    log("== Spamcheck: (" + ToUser + ")\"" + w + "\" found in good word list, not spam.");
                }
            }
            if (result == spam::PossibleSpam) {
                for (const std::string& w : s.badWords) {
                    if (WordMatches(w, subject, letters)) {
                        result = spam::ProbableSpam;
                        log("== Spamcheck: (" + ToUser + ")\"" + w + "\" found in bad word list, probable spam.");
                    }
                }
            }
            if (result == spam::PossibleSpam)
                log("== Spamcheck: <" + from + "> unknown and no recognised words, possible spam.");
        }

        spam::IncSpamStat(result <= 0 ? "NonSpamIdentified" : "SpamIdentified");
    }
    HeldCount = spam::HeldSpamCount();
    return result;
}
