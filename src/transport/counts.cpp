// Mailbox counts: every local mailbox, the outgoing queue and the spam
// folders counted into the main window and the tray, and the immediate
// Send/Recv that newly queued mail may start.
#include "transport/servers.h"

#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "shell/globals.h"
#include "shell/main.h"
#include "shell/procs.h"
#include "transport/folder_index.h"
#include "transport/mail_settings.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <QAction>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>

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

int WaitCode() { return mailsettings::Current()->waitCode; }

QAction* SendOnlyItem() {
    if (!FrmMain || !FrmMain->PopupMenu2) return nullptr;
    for (QAction* action : FrmMain->PopupMenu2->actions())
        if (action->property("Tag").toInt() == TFrmMain::TagSendOnly) return action;
    return nullptr;
}

}  // namespace

void TFrmServers::RefreshMailCounts(bool AutoSend, bool Unused) {
    (void)Unused;
    if (!FrmMain) return;
    TFrmMain& main = *FrmMain;

    // 1. Mailboxes, in the users table's order.
    int image = 0;
    if (TblUsers.Active()) {
        int mark = TblUsers.GetBookmark();
        for (TblUsers.First(); !TblUsers.Eof(); TblUsers.Next()) {
            std::string user = TblUsers.FieldByName("Name").AsString();
            FolderCount c = smtp::KeptFolder(smtp::FolderIn).CountUser(user);
            QString caption = QString::fromStdString(user);
            QTreeWidgetItem* row = nullptr;
            for (int i = 0; i < main.PopList->topLevelItemCount(); ++i)
                if (main.PopList->topLevelItem(i)->text(0) == caption) row = main.PopList->topLevelItem(i);
            if (c.count > 0) {
                if (!row) {
                    row = new QTreeWidgetItem();
                    main.PopList->addTopLevelItem(row);
                }
                row->setText(0, caption);
                row->setText(1, QString::fromStdString(std::to_string(c.count) + " (" +
                                                       servers::FormatByteSize(c.bytes) + ")"));
                image = 2;
            } else if (row) {
                delete row;
            }
        }
        if (mark >= 0 && TblUsers.BookmarkValid(mark)) TblUsers.GotoBookmark(mark);
    }

    // 2. A failed collection or delivery outranks waiting mail.
    if (TFrmMain::IsLabelRed(main.LBLPOPLast) || TFrmMain::IsLabelRed(main.LBLSmtp)) image = 3;
    main.SetTrayImage(image);

    // 3. While a step runs, the status owns the hint.
    if (!TFrmMain::IsLabelBold(main.StatusBar1)) main.SetTrayHint(main.IdleTrayHint());

    // 4. The outbox, unless a relay run is sending from it right now.
    if (!FrmSMTP || !FrmSMTP->Delivering()) {
        if (FrmSMTP) FrmSMTP->PurgeSentMessages();
        FolderCount out = CountSuffix(smtp::FolderOut, smtp::StateQueued);
        OutboxTotalBytes = out.bytes;
        main.LblsmtpCount->setText(
            QString::fromStdString(std::to_string(out.count) + " (" + servers::FormatByteSize(out.bytes) + ")"));
        if (QAction* sendOnly = SendOnlyItem()) sendOnly->setEnabled(out.count >= 1);
        if (AutoSend && out.count >= 1 && !main.CycleRunning()) {
            int wait = WaitCode();
            if (wait == settings::kWaitFullCycle) main.BtnSendRecClick(main.AlarmClock1);
            else if (wait == settings::kWaitSendOnly && FrmSMTP) main.BtnSendRecClick(FrmSMTP);
        }
    }

    // 5. Spam folders.
    FolderCount spam1 = CountSuffix(smtp::FolderSpam1, smtp::MailboxSuffix);
    FolderCount spam2 = CountSuffix(smtp::FolderSpam2, smtp::MailboxSuffix);
    main.LblSpam1->setText(QString::fromStdString(std::to_string(spam1.count) + " possible"));
    main.LblSpam1->setProperty("Tag", static_cast<qlonglong>(spam1.count));
    main.LblSpam2->setText(QString::fromStdString(std::to_string(spam2.count) + " probable"));
    main.LblSpam2->setProperty("Tag", static_cast<qlonglong>(spam2.count));
}
