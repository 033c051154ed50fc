// Mailbox counts: every local mailbox, the outgoing queue and the spam
// folders counted and sent out as one event, and the immediate Send/Recv
// that newly queued mail may start.
#include "transport/servers.h"

#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/events.h"
#include "transport/globals.h"
#include "transport/folder_index.h"
#include "transport/mail_settings.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <cstdio>

namespace servers {

std::string FormatByteSize(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    if (bytes < 1024000) return std::to_string(bytes / 1024) + " kb";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(bytes) / 1024000.0);
    return std::string(buf) + " mb";
}

}  // namespace servers

namespace {

using FolderCount = smtp::FileCount;

// Kept counts, not listings: this runs at every SMTP disconnect and POP3
// QUIT, and a listing per call grew with every queued message.
FolderCount CountSuffix(const std::string& folderName, const std::string& suffix) {
    return smtp::KeptFolder(folderName).CountSuffix(suffix);
}

}  // namespace

void TFrmServers::RefreshMailCounts(bool AutoSend, bool Unused) {
    (void)Unused;
    events::MailCounts counts;

    // 1. Mailboxes, in the users table's order.
    if (TblUsers.Active()) {
        counts.mailboxesCounted = true;
        int mark = TblUsers.GetBookmark();
        for (TblUsers.First(); !TblUsers.Eof(); TblUsers.Next()) {
            std::string user = TblUsers.FieldByName("Name").AsString();
            FolderCount c = smtp::KeptFolder(smtp::FolderIn).CountUser(user);
            counts.mailboxes.emplace_back(std::move(user), events::FolderTotal{c.count, c.bytes});
        }
        if (mark >= 0 && TblUsers.BookmarkValid(mark)) TblUsers.GotoBookmark(mark);
    }

    // 2. The outbox, unless a relay run is sending from it right now.
    bool sendNow = false;
    if (!FrmSMTP || !FrmSMTP->Delivering()) {
        if (FrmSMTP) FrmSMTP->PurgeSentMessages();
        FolderCount out = CountSuffix(smtp::FolderOut, smtp::StateQueued);
        OutboxTotalBytes = out.bytes;
        counts.outboxCounted = true;
        counts.outbox = {out.count, out.bytes};
        sendNow = AutoSend && out.count >= 1;
    }

    // 3. Spam folders.
    counts.possibleSpam = CountSuffix(smtp::FolderSpam1, smtp::MailboxSuffix).count;
    counts.probableSpam = CountSuffix(smtp::FolderSpam2, smtp::MailboxSuffix).count;

    events::TEngineEvents& shown = events::Get();
    shown.CountsChanged(counts);

    // 4. Newly queued mail may start its own Send/Recv, never a second one.
    if (sendNow && !shown.CycleRunning()) {
        int wait = mailsettings::WaitCode();
        if (wait == settings::kWaitFullCycle) shown.SendReceiveRequested(events::Cycle::Full);
        else if (wait == settings::kWaitSendOnly && FrmSMTP) shown.SendReceiveRequested(events::Cycle::SendOnly);
    }
}
