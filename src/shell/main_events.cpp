// The main window as the engine's events sink: the engine's status, log
// lines, labels, counts, tray picture, menus and Send/Recv requests drawn
// into this window's controls, and what the window shows read back for the
// web status page.
#include "shell/main.h"

#include "platform/inifile.h"
#include "settings/setup.h"
#include "shell/logs.h"
#include "shell/procs.h"
#include "shell/splash.h"
#include "transport/globals.h"
#include "transport/servers.h"
#include "transport/settings_file.h"
#include "transport/smtp.h"

#include <QAction>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>

QLabel* TFrmMain::LabelOf(events::Label label) const {
    switch (label) {
        case events::Label::LastCollection: return LBLPOPLast;
        case events::Label::LastDelivery: return LBLSmtp;
        case events::Label::LastConnection: return LblConnectLast;
    }
    return nullptr;
}

void TFrmMain::Status(const std::string& text, bool active) { procs::SetStatus(text, active); }

void TFrmMain::StatusLine(const std::string& text, bool bold) { SetStatusLine(text, bold); }

void TFrmMain::LogLine(const std::string& fileName, const std::string& line) {
    // The viewer's pages are matched by the exact file name; a log written
    // under another spelling has no page.
    if (FrmLogs != nullptr && FrmLogs->isVisible()) FrmLogs->AddLine(fileName, line);
}

void TFrmMain::LabelText(events::Label label, const std::string& text) {
    if (QLabel* l = LabelOf(label)) l->setText(QString::fromStdString(text));
}

void TFrmMain::LabelLook(events::Label label, events::Look look) {
    QLabel* l = LabelOf(label);
    if (l == nullptr) return;
    switch (look) {
        case events::Look::Busy: SetLabelBold(l, true); break;
        case events::Look::NotBusy: SetLabelBold(l, false); break;
        case events::Look::Failed: SetLabelRed(l); break;
        case events::Look::Plain: SetParentFont(l); break;
        case events::Look::Done:
            if (IsLabelRed(l)) SetLabelBold(l, false);
            else SetParentFont(l);
            break;
    }
}

void TFrmMain::TrayImage(int image) { SetTrayImage(image); }

void TFrmMain::SendReceiveEnabled(bool enabled) {
    BtnSendRec->setEnabled(enabled);
    BtnSendRec2->setEnabled(enabled);
}

void TFrmMain::CountsChanged(const events::MailCounts& counts) {
    // 1. Mailboxes: a row per user with mail, none for an empty one.
    int image = events::kTrayNoMail;
    for (const auto& [user, total] : counts.mailboxes) {
        QString caption = QString::fromStdString(user);
        QTreeWidgetItem* row = nullptr;
        for (int i = 0; i < PopList->topLevelItemCount(); ++i)
            if (PopList->topLevelItem(i)->text(0) == caption) row = PopList->topLevelItem(i);
        if (total.count > 0) {
            if (!row) {
                row = new QTreeWidgetItem();
                PopList->addTopLevelItem(row);
            }
            row->setText(0, caption);
            row->setText(1, QString::fromStdString(std::to_string(total.count) + " (" +
                                                   servers::FormatByteSize(total.bytes) + ")"));
            image = events::kTrayMail;
        } else if (row) {
            delete row;
        }
    }

    // A row whose user is gone (renamed or deleted) would keep her old
    // count for ever: the rows are the counted users only.
    if (counts.mailboxesCounted)
        for (int i = PopList->topLevelItemCount() - 1; i >= 0; --i) {
            const std::string caption = PopList->topLevelItem(i)->text(0).toStdString();
            if (std::none_of(counts.mailboxes.begin(), counts.mailboxes.end(),
                             [&](const auto& box) { return box.first == caption; }))
                delete PopList->topLevelItem(i);
        }

    // 2. A failed collection or delivery outranks waiting mail.
    if (IsLabelRed(LBLPOPLast) || IsLabelRed(LBLSmtp)) image = events::kTrayFailed;
    SetTrayImage(image);

    // 3. While a step runs, the status owns the hint.
    if (!statusBold_) SetTrayHint(IdleTrayHint());

    // 4. The outbox, and "Send Only" with something to send.
    if (counts.outboxCounted) {
        LblsmtpCount->setText(QString::fromStdString(std::to_string(counts.outbox.count) + " (" +
                                                     servers::FormatByteSize(counts.outbox.bytes) + ")"));
        if (PopupMenu2 != nullptr)
            for (QAction* action : PopupMenu2->actions())
                if (action->property("Tag").toInt() == TagSendOnly) {
                    action->setEnabled(counts.outbox.count >= 1);
                    break;
                }
    }

    // 5. Spam folders.
    LblSpam1->setText(QString::fromStdString(std::to_string(counts.possibleSpam) + " possible"));
    LblSpam1->setProperty("Tag", static_cast<qlonglong>(counts.possibleSpam));
    LblSpam2->setText(QString::fromStdString(std::to_string(counts.probableSpam) + " probable"));
    LblSpam2->setProperty("Tag", static_cast<qlonglong>(counts.probableSpam));
}

void TFrmMain::AccountsChanged(const std::vector<std::string>& names) {
    if (PopupMenu2 == nullptr) return;
    XPMenu1.Active = false;
    BuildAccountMenu(PopupMenu2, names);
    XPMenu1.Active = platform::IniFile(settings::IniPath()).ReadBool("General", "XPMenu", true);
}

void TFrmMain::BuildAccountMenu(QMenu* menu, const std::vector<std::string>& accounts) {
    if (!menu) return;
    // The menu owns nothing of its own but the actions made here.
    for (QAction* action : menu->actions()) {
        menu->removeAction(action);
        if (action->parent() == menu) action->deleteLater();
    }
    QIcon icon;
    if (MnuSendRecvNow) icon = MnuSendRecvNow->icon();
    auto add = [&](const QString& caption, int tag) {
        QAction* action = new QAction(icon, caption, menu);
        action->setProperty("Tag", tag);
        QObject::connect(action, &QAction::triggered, menu, [action] {
            if (FrmMain) FrmMain->BtnSendRecClick(action);
        });
        menu->addAction(action);
    };
    add("Send Only", TagSendOnly);
    menu->addSeparator();
    for (const std::string& name : accounts) add(QString::fromStdString(name), TagAccount);
}

void TFrmMain::CycleEnded() { EndCycle(); }

void TFrmMain::SendReceiveRequested(events::Cycle cycle) {
    if (cycle == events::Cycle::Full) BtnSendRecClick(AlarmClock1);
    else if (FrmSMTP != nullptr) BtnSendRecClick(FrmSMTP);
}

void TFrmMain::StartupProgress(const std::string& text) { splash::Progress(text); }

events::WindowView TFrmMain::View() const {
    events::WindowView v;
    v.present = true;
    v.sendReceiveEnabled = BtnSendRec->isEnabled();
    v.settingsOpen = FrmSettings != nullptr && FrmSettings->isVisible();
    v.caption = windowTitle().toStdString();
    v.lastCollection = LBLPOPLast->text().toStdString();
    for (int i = 0; i < PopList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = PopList->topLevelItem(i);
        v.mailboxes.emplace_back(item->text(0).toStdString(), item->text(1).toStdString());
    }
    v.possibleSpam = LblSpam1->text().toStdString();
    v.probableSpam = LblSpam2->text().toStdString();
    v.outbox = LblsmtpCount->text().toStdString();
    v.lastDelivery = LBLSmtp->text().toStdString();
    v.lastConnection = LblConnectLast->text().toStdString();
    v.nextConnection = LblNextConn->text().toStdString();
    v.status = statusText_;
    return v;
}
