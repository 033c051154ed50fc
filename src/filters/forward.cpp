// Forwarding of delivered mail: copies into other mailboxes and the
// outgoing queue, and the forwarding dialog.
#include "filters/forward.h"

#include "codecs/qev_util.h"
#include "filters/holiday.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/mail_settings.h"
#include "transport/store.h"
#include "transport/table_owner.h"


#include <cctype>
#include <cstdio>
#include <functional>

namespace forward {

namespace {

bool IsLocalUser(const std::string& name) {
    for (const auto& user : tables::UserNames())
        if (qev_util::LowerCase(user) == qev_util::LowerCase(name)) return true;
    return false;
}

struct Target {
    bool isLocal;
    std::string to;
    bool copy;
};

}  // namespace

std::string EnsureAngleBrackets(const std::string& address) {
    std::string out = address;
    if (out.empty() || out.front() != '<') out.insert(0, "<");
    if (out.size() < 2 || out.back() != '>') out += ">";
    return out;
}

bool ReadsAsCopy(const std::string& text) {
    if (text.empty()) return true;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (c == 'N' || c == 'F' || text == "0") return false;
    return true;
}

std::string GetForwardSender(const std::string& msgFile) {
    const auto mail = mailsettings::Current();
    if (mail->forwardUseMailFrom && !mail->forwardMailFrom.empty()) return mail->forwardMailFrom;
    return holiday::GetHeaderValue(msgFile, "from:", true);
}

namespace {

// QueueMessage with the file made by write (given the name to write).
std::string QueueWritten(const std::string& stamp, const std::function<bool(const std::string&)>& write,
                         const std::vector<std::string>& recipients, const std::string& from,
                         std::optional<std::chrono::system_clock::time_point> date) {
    // The file is built in the receiving state, which no relay run picks
    // up, and becomes .txt only when file and record are both complete.
    const std::string id = smtp::CreateQueueFile(stamp, smtp::StateReceiving);
    if (id.empty()) return "";
    const std::string folder = smtp::StoreFolder(smtp::FolderOut);
    const std::string building = folder + id + smtp::StateReceiving;
    const std::string queued = folder + id + smtp::StateQueued;
    bool ok = write(building);
    if (ok && date) platform::SetFileTime(building, *date);
    ok = ok && smtp::WritePortsValue(id, std::string("Rcpt"), std::to_string(recipients.size()));
    for (std::size_t i = 0; ok && i < recipients.size(); ++i)
        ok = smtp::WritePortsValue(id, "To" + std::to_string(i + 1), recipients[i]);
    ok = ok && smtp::WritePortsValue(id, std::string("From"), from);
    platform::Env& env = *platform::Env::Current();
    const bool renamed = ok && env.Rename(building, queued).ok();
    // Queued only once the name is on disk: a crash must not take back a
    // forward its sender's copy was dropped for.
    if (renamed && env.SyncFolder(platform::FolderOf(queued)).ok()) return id;
    env.Unlink(renamed ? queued : building);
    smtp::WritePortsValue(id, std::nullopt);
    return "";
}

}  // namespace

std::string QueueMessage(const std::string& stamp, const std::string& content,
                         const std::vector<std::string>& recipients, const std::string& from,
                         std::optional<std::chrono::system_clock::time_point> date) {
    return QueueWritten(
        stamp, [&](const std::string& building) { return platform::WriteFileAtomic(building, content); },
        recipients, from, date);
}

int ForwardMessage(const std::string& user, const std::string& msgFile,
                   const std::optional<std::string>& envelopeSender) {
    TvdlMemTable& table = tables::Forwards().Table();
    if (!table.Active()) return 0;
    std::vector<Target> targets;
    tablefiles::ForEach(table, [&] {
        if (qev_util::LowerCase(table.FieldByName("User").AsString()) != qev_util::LowerCase(user)) return;
        targets.push_back({table.FieldByName("IsLocal").AsBoolean(), table.FieldByName("ForwardTo").AsString(),
                           ReadsAsCopy(table.FieldByName("Copy").AsString())});
    });
    if (targets.empty()) return 0;

    // The message is copied by streaming, never held whole: it may be large.
    if (!platform::FileExists(msgFile)) return 0;
    const std::vector<std::string> header = holiday::LoadHeaderLines(msgFile);
    if (holiday::IsAutomaticMessage(header, holiday::GetHeaderValue(header, "from:", true), envelopeSender)) {
        tablefiles::LogLine("Forward: " + user + "'s message is automatic mail (a report, list mail or an "
                            "automatic reply); kept, not forwarded");
        return 0;
    }
    std::optional<std::chrono::system_clock::time_point> date;
    std::chrono::system_clock::time_point mtime;
    if (platform::GetFileTime(msgFile, mtime)) date = mtime;

    const std::string stamp = smtp::DateTimeStamp();
    bool dropOriginal = false, allCopied = true;
    int copies = 0;
    std::vector<std::string> external;
    for (const auto& target : targets) {
        if (!target.copy) dropOriginal = true;
        if (!target.isLocal) {
            external.push_back(EnsureAngleBrackets(target.to));
            continue;
        }
        if (!settings::IsSafeUserName(target.to)) {
            tablefiles::LogLine("Forward: " + target.to + " cannot name a mailbox; " + user + "'s message kept");
            allCopied = false;
            continue;
        }
        const std::string path = smtp::CopyToNewFile(msgFile, smtp::StoreFolder(smtp::FolderIn), target.to + "_",
                                                     stamp, smtp::MailboxSuffix);
        if (path.empty()) {
            tablefiles::LogLine("Forward: cannot write the copy for " + target.to);
            allCopied = false;
            continue;
        }
        if (date) platform::SetFileTime(path, *date);
        ++copies;
        // A copy for a name that is no mailbox would be read by nobody.
        if (!IsLocalUser(target.to)) {
            tablefiles::LogLine("Forward: " + target.to + " is not a local user; " + user + "'s message kept");
            allCopied = false;
        }
    }
    if (!external.empty()) {
        const std::string from = EnsureAngleBrackets(GetForwardSender(msgFile));
        const auto copy = [&](const std::string& building) {
            return platform::FileExists(msgFile) && smtp::CopyFileKeepDate(msgFile, building);
        };
        if (!QueueWritten(stamp, copy, external, from, date).empty()) {
            ++copies;
        } else {
            tablefiles::LogLine("Forward: cannot queue " + user + "'s message for outside addresses");
            allCopied = false;
        }
    }
    if (dropOriginal && allCopied) platform::Env::Current()->Unlink(msgFile);
    return copies;
}

}  // namespace forward
