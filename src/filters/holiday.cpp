// Out-of-office responder: replies, expiry of entries, the notices to the
// user, the table layout and the entry dialog.
#include "filters/holiday.h"

#include "codecs/headerwords.h"
#include "codecs/qev_util.h"
#include "filters/forward.h"
#include "filters/shown.h"
#include "platform/files.h"
#include "platform/clock.h"
#include "transport/local_address.h"
#include "transport/account_tables.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/mail_settings.h"
#include "transport/smtp.h"
#include "transport/store.h"
#include "transport/table_owner.h"


#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace holiday {

namespace {

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && qev_util::LowerCase(s.substr(0, prefix.size())) == qev_util::LowerCase(prefix);
}

// Lines of a file split at LF, each without its CR, up to the first line
// for which more returns false (that line included). Only the lines asked
// for are read: a message may be far larger than its header.
std::vector<std::string> FileLines(const std::string& path,
                                   const std::function<bool(const std::string&)>& more) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (!more(lines.back())) break;
    }
    return lines;
}

std::string OneLine(std::string s) {
    for (auto& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

// Outside senders answered, by program home, user, entry and address. A
// responder elsewhere that neither marks its replies nor respects the mark
// on ours would otherwise trade replies with us at every Send/Recv cycle;
// with one reply a day per sender such an exchange dies down. Each entry of
// a user answers on its own, so the guard is kept per entry (its subject
// and text stand for it: the table gives entries no other identity).
// Replies to colleagues go straight into their mailboxes, pass no filter
// and cannot loop.
std::map<std::string, platform::SystemTime> answered;

std::string AnsweredKey(const std::string& user, const std::string& entry, const std::string& sender) {
    return ProgramDir + "\n" + qev_util::LowerCase(user) + "\n" + qev_util::LowerCase(smtp::StripAngleBrackets(sender)) + "\n" + entry;
}

bool AnsweredToday(const std::string& key) {
    const auto it = answered.find(key);
    return it != answered.end() && platform::Now() - it->second < std::chrono::hours(24);
}

void NoteAnswered(const std::string& key) {
    const platform::SystemTime now = platform::Now();
    for (auto it = answered.begin(); it != answered.end();) {
        if (now - it->second >= std::chrono::hours(24)) it = answered.erase(it);
        else ++it;
    }
    answered[key] = now;
}

bool LocalUsers(const std::string& address, std::vector<std::string>& users) {
    if (FrmSMTP != nullptr) return FrmSMTP->IsLocalAddress(address, users);
    users.clear();
    auto open = [](tables::TableOwner& owner) { return owner.Table().Active() ? &owner.Table() : nullptr; };
    if (open(tables::Aliases()) == nullptr && open(tables::Domains()) == nullptr) return false;
    settings::LocalTables local{open(tables::Aliases()), open(tables::Domains()), open(tables::Users()),
                                open(tables::Users())};
    return settings::ResolveLocalAddress(local, address, users);
}

const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string FormatDay(TDateTime date) {
    int y = 0, m = 1, d = 1;
    memtable::DecodeDate(date, y, m, d);
    return platform::TwoDigits(d) + " " + MonthNames[(m - 1) % 12] + " " + std::to_string(y);
}

// An end date of 0 (or an empty field) means the entry runs until removed.
bool HasEndDate(TDateTime date) { return date >= 1.0; }


}  // namespace

TDateTime Today() {
    const platform::LocalTime now = platform::NowLocal();
    return memtable::EncodeDate(now.year, now.month, now.day);
}

std::vector<std::string> LoadHeaderLines(const std::string& msgFile) {
    return FileLines(msgFile, [](const std::string& line) { return !line.empty(); });
}

namespace {

bool InHeader(const std::string& line) { return line.size() >= 3 && line != "Message"; }

// How much of a folded address header is read for its address.
constexpr std::size_t kMaxAddressHeader = 4096;

std::string HeaderValueOf(const std::vector<std::string>& lines, const std::string& header, bool angleOnly) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (!InHeader(line)) return "";
        if (!StartsWithNoCase(line, header)) continue;
        if (!angleOnly) {
            std::string value = line.substr(header.size(), 255);
            if (!value.empty() && value[0] == ' ') value.erase(0, 1);
            return value;
        }
        // The address as a reader takes it: from the whole (unfolded) field,
        // never a "<" inside a quoted name or a comment.
        std::string value = line.substr(header.size(), kMaxAddressHeader);
        for (std::size_t k = i + 1; k < lines.size() && value.size() < kMaxAddressHeader; ++k) {
            const std::string& next = lines[k];
            if (!InHeader(next) || (next[0] != ' ' && next[0] != '\t')) break;
            value += next.substr(0, kMaxAddressHeader - value.size());
        }
        const qev_util::Mailbox mailbox = qev_util::FirstMailbox(value);
        return (mailbox.angle ? "<" + mailbox.address + ">" : mailbox.address).substr(0, 255);
    }
    return "";
}

}  // namespace

std::string GetHeaderValue(const std::string& msgFile, const std::string& header, bool angleOnly) {
    return HeaderValueOf(FileLines(msgFile, InHeader), header, angleOnly);
}

std::string GetHeaderValue(const std::vector<std::string>& headerLines, const std::string& header, bool angleOnly) {
    return HeaderValueOf(headerLines, header, angleOnly);
}

std::string GetRecipientHeader(const std::vector<std::string>& headerLines) {
    for (const char* header : {"envelope-to:", "delivered-to:", "to:"}) {
        std::string value = HeaderValueOf(headerLines, header, true);
        if (!value.empty()) return value;
    }
    return "";
}

std::string GetRecipientHeader(const std::string& msgFile) { return GetRecipientHeader(FileLines(msgFile, InHeader)); }

namespace {

// The first word of a field value: "no" of "no (manual)", the type of a
// Content-Type with its parameters.
std::string FirstWord(const std::string& value) { return value.substr(0, value.find_first_of(" \t;(")); }

bool IsEmptyAddress(const std::string& address) {
    return smtp::TrimBlanks(smtp::StripAngleBrackets(address)).empty();
}

}  // namespace

bool IsAutomaticMessage(const std::vector<std::string>& headerLines, const std::string& sender,
                        const std::optional<std::string>& envelopeSender) {
    // Mail with an empty envelope sender must never cause mail in turn: a
    // report of it could only come back to us.
    if (envelopeSender && IsEmptyAddress(*envelopeSender)) return true;
    const std::string address = qev_util::LowerCase(smtp::TrimBlanks(smtp::StripAngleBrackets(sender)));
    if (address == smtp::NoticeSenderAddress) return true;
    if (address.rfind("mailer-daemon", 0) == 0) return true;
    // A field's value, unfolded, in lower case; absent when there is none.
    auto field = [&](std::string_view upperName) -> std::optional<std::string> {
        const std::string line = qev_util::FindHeader(headerLines, upperName);
        if (line.empty()) return std::nullopt;
        return qev_util::LowerCase(qev_util::HeaderValue(line, upperName, false));
    };
    for (const char* name : {"AUTO-SUBMITTED:", "X-AUTOREPLY:"})
        if (const auto value = field(name); value && !FirstWord(*value).empty() && FirstWord(*value) != "no")
            return true;
    if (const auto value = field("PRECEDENCE:")) {
        const std::string word = FirstWord(*value);
        if (word == "bulk" || word == "junk" || word == "list") return true;
    }
    if (const auto value = field("RETURN-PATH:"); value && IsEmptyAddress(*value)) return true;
    if (const auto value = field("CONTENT-TYPE:")) {
        const std::string type = FirstWord(*value);
        if (type == "multipart/report" || type == "message/delivery-status" ||
            type == "message/disposition-notification")
            return true;
    }
    return field("LIST-ID:").has_value();
}

std::string AutoReplyText(const std::string& fromText, const std::string& toText, bool toLocal,
                          const std::string& message, const std::string& subject) {
    smtp::GeneratedMail reply;
    reply.to = toText;
    reply.from = fromText;
    reply.subject = subject;
    // Auto-Submitted marks the reply as automatic, so other responders leave
    // it alone.
    reply.extraHeaders = {"Auto-Submitted: auto-replied"};
    reply.mailerHeaders = false;
    reply.footer = false;
    reply.body = {message, ""};
    const auto mail = mailsettings::Current();
    if (toLocal || mail->footerAll) {
        for (const auto& footer : mail->footerLines) reply.body.push_back(footer);
    }
    reply.body.push_back("");
    return smtp::GeneratedMessage(reply);
}

bool WriteAutoReply(const std::string& path, const std::string& fromText, const std::string& toText, bool toLocal,
                    const std::string& message, const std::string& subject) {
    return platform::WriteFileAtomic(path, AutoReplyText(fromText, toText, toLocal, message, subject));
}

int AutoRespond(const std::string& recipient, const std::string& user, const std::string& msgFile,
                bool isInternal, const std::optional<std::string>& envelopeSender) {
    TvdlMemTable& table = tables::Holidays().Table();
    if (!table.Active() || table.IsEmpty()) return 0;
    // Texts from the message go into the reply's header: no stray CR may
    // start a line of its own there.
    const std::string sender = OneLine(GetHeaderValue(msgFile, "from:", true));
    const std::string recipientAddress = OneLine(recipient);
    const std::string stamp = smtp::DateTimeStamp();

    struct Entry {
        std::string subject, message;
    };
    std::vector<Entry> entries;
    tablefiles::ForEach(table, [&] {
        if (qev_util::LowerCase(table.FieldByName("User").AsString()) != qev_util::LowerCase(user)) return;
        const auto who = table.FieldByName("Who").AsInteger();
        if ((isInternal && who == 2) || (!isInternal && who == 1)) return;
        entries.push_back({table.FieldByName("Subject").AsString(), table.FieldByName("Message").AsString()});
    });
    if (entries.empty()) return 0;
    // Without a sender there is nobody to answer.
    if (smtp::TrimBlanks(smtp::StripAngleBrackets(sender)).empty()) return 0;
    if (IsAutomaticMessage(LoadHeaderLines(msgFile), sender, envelopeSender)) return 0;

    int written = 0;
    const std::string plain = smtp::StripAngleBrackets(recipientAddress);
    const std::string fromText = user + " <" + plain + ">";
    for (auto& entry : entries) {
        std::string subject = entry.subject;
        const std::size_t at = qev_util::LowerCase(subject).find("[subject]");
        // The incoming subject as text, so that the reply's subject can be
        // encoded whole.
        if (at != std::string::npos)
            subject.replace(at, 9, HeaderWords::DecodeHeaderText(OneLine(GetHeaderValue(msgFile, "subject:", false))));

        std::vector<std::string> names;
        if (LocalUsers(sender, names)) {
            for (const auto& name : names) {
                if (!settings::IsSafeUserName(name)) continue;
                const std::string text = AutoReplyText(fromText, sender, true, entry.message, subject);
                if (!smtp::WriteMailboxFile(smtp::FolderIn, name, stamp, text).empty()) ++written;
                else tablefiles::LogLine("Auto-respond: cannot write the reply for " + name);
            }
        } else if (!isInternal) {
            const std::string key = AnsweredKey(user, entry.subject + "\n" + entry.message, sender);
            if (AnsweredToday(key)) continue;
            const std::string text = AutoReplyText(fromText, sender, false, entry.message, subject);
            if (!forward::QueueMessage(stamp, text, {sender}, recipientAddress).empty()) {
                ++written;
                NoteAnswered(key);
            } else {
                tablefiles::LogLine("Auto-respond: cannot queue the reply to " + sender);
            }
        }
    }
    return written;
}

void NotifyUser(bool setOn, const std::string& user, const std::string& message, TDateTime endDate, int who) {
    if (!settings::IsSafeUserName(user)) return;
    const std::string stamp = smtp::TimeStamp();
    const std::string kind = who == 1 ? "internal " : who == 2 ? "external " : "";
    smtp::GeneratedMail notice;
    notice.to = smtp::LocalRecipient(user);
    notice.subject = "Tarnwick auto-respond";
    notice.mailerHeaders = false;
    notice.footer = false;
    notice.body = {"Dear " + user, ""};
    if (setOn) {
        notice.body.push_back("Your Auto-responding is set on for any " + kind + "incoming email. ");
        if (HasEndDate(endDate) && Today() < std::floor(endDate))
            notice.body.push_back("It will run until " + FormatDay(endDate) + ". ");
        notice.body.push_back("The Auto-repsond message is as follows:");
        notice.body.push_back("");
        notice.body.push_back(message);
    } else {
        notice.body.push_back("Your Auto-responding for any " + kind +
                              "incoming email has just been removed - if you were on holiday then welcome home!");
    }
    notice.body.insert(notice.body.end(), {"", "########## Do not reply to this message ##########", ""});
    if (smtp::WriteMailboxFile(smtp::FolderIn, user, stamp, smtp::GeneratedMessage(notice)).empty())
        tablefiles::LogLine("Auto-respond: cannot write the notice for " + user);
}

void CheckExpiry() {
    tables::TableOwner& owner = tables::Holidays();
    TvdlMemTable& table = owner.Table();
    if (!table.Active()) return;
    const TDateTime today = Today();
    struct Expired {
        int mark;
        std::string user;
        int who;
    };
    std::vector<Expired> expired;
    for (table.First(); !table.Eof(); table.Next()) {
        TField& end = table.FieldByName("EndDate");
        const TDateTime date = end.IsNull() ? 0 : end.AsDateTime();
        if (!HasEndDate(date) || std::floor(date) > today) continue;
        expired.push_back({table.GetBookmark(), table.FieldByName("User").AsString(),
                           static_cast<int>(table.FieldByName("Who").AsInteger())});
    }
    table.First();
    if (expired.empty()) return;
    // The user is told only once the entry is gone for good; an entry that
    // cannot be removed stays and is tried again at the next cycle.
    std::string error;
    const bool removed = owner.Change(ProgramDir, [&](TvdlMemTable& t) {
        for (const auto& e : expired) {
            t.GotoBookmark(e.mark);
            t.Delete();
        }
    }, &error);
    table.First();
    if (!removed) {
        tablefiles::LogLine("Auto-respond: cannot save holiday.dat: " + error);
        return;
    }
    for (const auto& e : expired) {
        NotifyUser(false, e.user, "", today, e.who);
        filters::MailCountsChanged();
    }
}

void DefineHolidayFields(TvdlMemTable& table) {
    settings::DefineHolidayTable(table);
    // A file that is there but could not be read is kept for a person to
    // look at; only a missing file is made here.
    const std::string path = ProgramDir + "holiday.dat";
    if (!platform::FileExists(path)) tables::SaveTableFile(table, path);
}

void UpgradeHolidayTable(TvdlMemTable& table) {
    TvdlMemTable scratch;
    tablefiles::Migrate(table, scratch, settings::DefineHolidayTable, ProgramDir + "holiday.dat",
                        ProgramDir + "holiday.old", [](TvdlMemTable& row) {
                            row.FieldByName("Subject").SetAsString("Out of Office AutoReply: [Subject]");
                        });
    tablefiles::SelectIndex(table, "ixUser");
    std::error_code ec;
    std::filesystem::remove(ProgramDir + "holiday.old", ec);
}

}  // namespace holiday
