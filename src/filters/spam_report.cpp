// What surrounds the classification: spam reports into a user's mailbox,
// the release of held spam through the delivery chain, and the import of
// safe addresses from a mail or an exported address book.
#include "filters/spam.h"

#include "codecs/qev_util.h"
#include "filters/addinrule.h"
#include "filters/forward.h"
#include "filters/holiday.h"
#include "filters/shown.h"
#include "filters/virus.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/globals.h"
#include "transport/mail_settings.h"
#include "transport/settings_file.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <QDate>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

std::string BrowserAddress() { return mailsettings::Current()->browserAddress; }

// "hh:mm dd mmm yyyy" of the program clock.
std::string ReportTime() {
    auto t = platform::NowLocal();
    return platform::TwoDigits(t.hour) + ":" + platform::TwoDigits(t.minute) + " " + spam::DayMonth(t.day, t.month) + " " + std::to_string(t.year);
}

bool RemoveHeld(const std::filesystem::path& held) {
    std::error_code ec;
    std::filesystem::remove(held, ec);
    platform::SyncPath(held.parent_path().string());
    return !ec;
}

// Whether both files can be read and hold the same bytes; compared in
// pieces, as messages may be large.
bool SameContent(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        const std::streamsize na = fa.gcount(), nb = fb.gcount();
        if (na != nb || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0) return false;
        if (na == 0 || fa.eof() || fb.eof()) return fa.eof() == fb.eof() && !fa.bad() && !fb.bad();
    }
}

bool IsSpamFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    for (const char* name : {smtp::FolderSpam1, smtp::FolderSpam2}) {
        if (std::filesystem::equivalent(folder, smtp::StoreFolder(name), ec)) return true;
    }
    return false;
}

}  // namespace

// --- reports -----------------------------------------------------------------

bool spam::TSpamFilter::SendSpamReport() {
    const std::string user = settings_.reportUser;
    if (user.empty() || !settings::IsSafeUserName(user)) return false;
    const int possible = spam::HeldSpamCount(smtp::FolderSpam1);
    const int probable = spam::HeldSpamCount(smtp::FolderSpam2);
    const std::string browser = BrowserAddress();
    smtp::GeneratedMail report;
    report.to = smtp::LocalRecipient(user);
    report.subject = "Spam report";
    report.mailerHeaders = false;
    report.footer = false;
    report.body = {
        "Hello " + user,
        "",
        "Here is your spam report, generated at " + ReportTime() + ":",
        "",
        "There are currently " + std::to_string(possible) + " possible spam messages and " +
            std::to_string(probable) + " probable spam messages.",
        browser.find("http:") != std::string::npos
            ? "You can delete or save your spam at " + browser + "/spam"
            : "You don't have browser support switched on, so you cannot delete these spam messages through "
              "your browser - you should turn it on in your Tarnwick settings!",
        "", "", "", "",
        "Do not reply to this message - it was generated automatically!!!",
        "",
        "Tarnwick.",
        "", "", "",
    };
    // A new name beside any existing file: a report never replaces a message.
    const bool written =
        !smtp::WriteMailboxFile(smtp::FolderIn, user, smtp::DateTimeStamp(), smtp::GeneratedMessage(report)).empty();
    filters::MailCountsChanged();
    return written;
}

void spam::TSpamFilter::CheckDailyReport() {
    if (!settings_.report || !settings_.reportDaily) return;
    const auto now = platform::NowLocal();
    const QTime at = settings_.reportTime;
    const QTime timeOfDay(now.hour, now.minute, now.second, now.millisecond);
    if (!(timeOfDay > QTime(at.hour(), at.minute(), at.second()))) return;
    const QDate today(now.year, now.month, now.day);
    const std::string lastText = platform::IniFile(settings::IniPath()).ReadString("Spam", "LastDailyReprt", "");
    QDate last = QDate::fromString(QString::fromStdString(lastText), Qt::ISODate);
    if (!last.isValid()) last = today.addDays(-1);
    if (today > last) {
        settings::WriteState("Spam", "LastDailyReprt", today.toString(Qt::ISODate).toStdString());
        SendSpamReport();
    }
}

bool spam::TSpamFilter::ReportEveryDue(int count) const {
    const int every = settings_.reportEveryAmount;
    return settings_.report && settings_.reportEvery && every > 0 && count % every == 0;
}

// --- release -----------------------------------------------------------------

namespace spam {

bool ReleaseSpam(const std::string& spamFile) {
    namespace fs = std::filesystem;
    const fs::path held(spamFile);
    const std::string name = held.filename().string();
    const size_t us = name.find('_');
    const bool datName = name.size() > 4 && qev_util::LowerCase(name.substr(name.size() - 4)) == smtp::MailboxSuffix;
    // Only a held message names a mailbox: anything else would let a caller
    // move or delete files the spam folders do not hold.
    if (us == std::string::npos || us == 0 || !datName || !IsSpamFolder(held.parent_path()) ||
        !platform::FileExists(spamFile))
        return false;
    const std::string user = name.substr(0, us);
    const std::string stamp = name.substr(us + 1, name.size() - 4 - us - 1);
    if (stamp.empty()) return false;

    std::chrono::system_clock::time_point date;
    const bool haveDate = platform::GetFileTime(spamFile, date);

    const std::string dest = smtp::StoreFolder(smtp::FolderIn) + name;
    const bool alreadyThere = platform::FileExists(dest) && SameContent(dest, spamFile);
    bool removed = false;
    if (!alreadyThere) {
        // Written whole and synced under a name of its own before the held
        // copy goes; another message under the same name is never replaced.
        const std::string delivered =
            smtp::CopyToNewFile(spamFile, smtp::StoreFolder(smtp::FolderIn), user + "_", stamp, smtp::MailboxSuffix);
        if (delivered.empty()) return false;
        if (haveDate) platform::SetFileTime(delivered, date);
        // The mailbox copy is on disk: the held copy goes before any filter
        // runs, so a filter that fails cannot leave the message in both
        // places to be released a second time.
        removed = RemoveHeld(held);

        // The delivery chain of a mailbox copy. Rules and add-ins may move or
        // delete the file, so each later step runs only while it is there;
        // forwarding comes last because it may remove it too.
        AddInRule::ApplyRules(delivered, user, AddInRule::KindReleasedSpam, true,
                              holiday::LoadHeaderLines(delivered));
        if (platform::FileExists(delivered) && mailsettings::Current()->virusCheckIn)
            virus::CheckIncomingAttachments(delivered, user, PossibleSpam);
        if (platform::FileExists(delivered))
            holiday::AutoRespond(holiday::GetRecipientHeader(delivered), user, delivered, false);
        if (platform::FileExists(delivered)) forward::ForwardMessage(user, delivered);
        IncSpamStat("SpamSaved");
    } else {
        removed = RemoveHeld(held);
    }
    filters::MailCountsChanged();
    filters::NewMail(user);
    return removed;
}

// --- address import ------------------------------------------------------------

int ImportAddressesFromMessage(const std::string& msgFile) {
    std::ifstream in(msgFile, std::ios::binary);
    if (!in) return 0;
    std::vector<std::string> lines;
    bool body = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!body) {
            body = line.empty();
            continue;
        }
        if (line.find('@') != std::string::npos) lines.push_back(line);
    }
    return AddSpamAddresses(SafeSender, lines);
}

std::vector<std::string> AddressCandidates(const std::string& line) {
    static const std::string delimiters = "\t\n\r \"',<=>|";
    const std::string text = qev_util::LowerCase(line);
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find('@', from);
        if (at == std::string::npos) break;
        size_t left = at;
        while (left > from && delimiters.find(text[left - 1]) == std::string::npos) --left;
        size_t right = at + 1;
        while (right < text.size() && delimiters.find(text[right]) == std::string::npos) ++right;
        std::string candidate = text.substr(left, right - left);
        if (candidate.size() > 4) out.push_back(candidate);
        from = right;
    }
    return out;
}

}  // namespace spam
