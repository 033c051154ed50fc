// The settings window's smaller handlers: help, the link labels, colours,
// the forwarding and auto-response buttons, the dial-up login of the
// service, the postbox repair, the hidden "Empty postboxes" group and the
// support request.
#include "settings/setup.h"

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/inifile.h"
#include "platform/shell.h"
#include "settings/mail_act.h"
#include "settings/pw.h"
#include "settings/tcolor.h"
#include "transport/settings_file.h"
#include "transport/globals.h"
#include "shell/main.h"
#include "shell/procs.h"
#include "transport/servers.h"

#include <QColorDialog>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>

std::function<QColor(const QColor&)> TFrmSettings::PickColorForTesting;

namespace {

std::string S(const QString& s) { return s.toStdString(); }

TDateTime Today() {
    const platform::LocalTime now = platform::NowLocal();
    return memtable::EncodeDate(now.year, now.month, now.day);
}

void RefreshCounts() {
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false, false);
}

// Opens a new row to fill in, or the current row for editing.
void AppendOrEdit(TvdlMemTable& t, bool adding) {
    if (adding) {
        t.Append();
    } else {
        t.GotoBookmark(t.GetBookmark());
        t.Edit();
    }
}

// Posts the row being appended or edited; a refused post (a duplicate key)
// drops the change and says why.
bool PostOrCancel(TvdlMemTable& t, QWidget* parent) {
    try {
        t.Post();
        return true;
    } catch (const std::exception& e) {
        t.Cancel();
        platform::MessageBox(e.what(), platform::MsgKind::Error, platform::MsgButtons::Ok, parent);
        return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Help
// ---------------------------------------------------------------------------

std::string TFrmSettings::HelpTopic(int pageIndex) {
    static const char* const topics[] = {"users.htm",   "pop.htm",   "distribute.htm", "smtp.htm",
                                         "connect.htm", "general.htm", "virus.htm",    "forward.htm",
                                         "holiday.htm", "remote.htm"};
    if (pageIndex < 0 || pageIndex >= static_cast<int>(std::size(topics))) return {};
    return topics[pageIndex];
}

void TFrmSettings::BtnHelpClick() {
    const std::string topic = HelpTopic(PageControl1->currentIndex());
    // The support page has no topic of its own.
    TFrmMain::ShowHelpTopic(topic.empty() ? "overview.htm" : topic);
}

void TFrmSettings::FormKeyDown(int key) {
    if (key == 112) BtnHelp->click();
}

namespace {

// Ctrl+Tab / Ctrl+PgDn: next page, Ctrl+Shift+Tab / Ctrl+PgUp: the one
// before, round the end; true when the key was one of them.
bool SwitchPageByKey(QTabWidget* pages, const QKeyEvent* key) {
    if (!(key->modifiers() & Qt::ControlModifier) || pages->count() == 0) return false;
    int step = 0;
    switch (key->key()) {
        case Qt::Key_Tab: step = key->modifiers() & Qt::ShiftModifier ? -1 : 1; break;
        case Qt::Key_Backtab: step = -1; break;
        case Qt::Key_PageDown: step = 1; break;
        case Qt::Key_PageUp: step = -1; break;
        default: return false;
    }
    const int n = pages->count();
    pages->setCurrentIndex((pages->currentIndex() + step + n) % n);
    return true;
}

}  // namespace

void TFrmSettings::keyPressEvent(QKeyEvent* event) {
    if (SwitchPageByKey(PageControl1, event)) {
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F1) {
        FormKeyDown(112);
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---------------------------------------------------------------------------
// Link labels, deleted spam, colours
// ---------------------------------------------------------------------------

bool TFrmSettings::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && SwitchPageByKey(PageControl1, static_cast<QKeyEvent*>(event)))
        return true;
    if ((watched == LblBrowserAddress || watched == LblIPAdds) && event->type() == QEvent::MouseButtonRelease) {
        LblBrowserAddressClick(watched);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TFrmSettings::LblBrowserAddressClick(QObject* sender) {
    if (sender == LblIPAdds) {
        procs::GetLocalIPList();
        return;
    }
    if (sender != LblBrowserAddress) return;
    if (setup::hooks.webServerRecheck) setup::hooks.webServerRecheck();
    const std::string address = browserAddress();
    if (address.find("http:") != std::string::npos) platform::OpenUrl(address);
}

void TFrmSettings::BtnViewDelClick() {
    // The message browser's deleted-spam view; nothing until the browser
    // window supplies it.
    if (setup::hooks.showDeletedSpam) setup::hooks.showDeletedSpam();
}

void TFrmSettings::ColorSelect(QObject* sender) {
    TColorBox* box = sender == PanelColor ? PanelColor : sender == LblColor ? LblColor : nullptr;
    if (box == nullptr) return;
    const QColor current = settings::ColorFromTColor(box->Color());
    QColor chosen;
    if (PickColorForTesting)
        chosen = PickColorForTesting(current);
    else if (platform::IsHeadless())
        platform::HeadlessLog("Colour dialog not shown: no display");
    else
        chosen = QColorDialog::getColor(current, this);
    if (!chosen.isValid()) return;
    box->SetColor(settings::TColorFromColor(chosen));
    // The main window shows the choice at once; the file gets it at OK/Apply.
    if (setup::hooks.mainWindowColors) setup::hooks.mainWindowColors(PanelColor->Color(), LblColor->Color());
    ApplyEnableFor(box);
}

// ---------------------------------------------------------------------------
// Forwarding and auto-responding
// ---------------------------------------------------------------------------

void TFrmSettings::ForwardBtns() { ForwardBtnsFor(sender()); }
void TFrmSettings::HolidayBtns() { HolidayBtnsFor(sender()); }

void TFrmSettings::ForwardBtnsFor(QObject* from) {
    if (from != BtnAddForward && from != BtnEditForward && from != BtnDelForward) return;
    TvdlMemTable& t = *TblForward;
    if (TblUsers->IsEmpty()) {
        platform::MessageBox("You need at least one user to create a forward.", platform::MsgKind::Warning,
                             platform::MsgButtons::Ok, this);
        return;
    }
    if (from == BtnDelForward) {
        if (t.IsEmpty()) return;
        t.Delete();
    } else {
        const bool adding = from == BtnAddForward;
        if (!adding && t.IsEmpty()) return;
        std::string user, forwardTo;
        bool copy = false, isLocal = false;
        if (!adding) {
            user = t.FieldByName("User").AsString();
            forwardTo = t.FieldByName("ForwardTo").AsString();
            copy = t.FieldByName("Copy").AsString() == "Yes";
            isLocal = t.FieldByName("IsLocal").AsBoolean();
        }
        // Hook: the forwarding window's dialog.
        if (!setup::hooks.editForward || !setup::hooks.editForward(user, forwardTo, copy, isLocal)) return;
        AppendOrEdit(t, adding);
        t.FieldByName("User").SetAsString(user);
        t.FieldByName("ForwardTo").SetAsString(forwardTo);
        t.FieldByName("IsLocal").SetAsBoolean(isLocal);
        t.FieldByName("Copy").SetAsString(copy ? "Yes" : "No");
        PostOrCancel(t, this);
    }
    UpdateUserButtons();
    RefreshGrids();
    ApplyEnableFor(from);
}

void TFrmSettings::HolidayBtnsFor(QObject* from) {
    if (from != BtnAddHoliday && from != BtnEditHoliday && from != BtnDelHoliday) return;
    TvdlMemTable& t = *TblHoliday;
    if (TblUsers->IsEmpty()) {
        platform::MessageBox("You need at least one user to create an auto-respond.", platform::MsgKind::Warning,
                             platform::MsgButtons::Ok, this);
        return;
    }
    if (from == BtnDelHoliday) {
        if (t.IsEmpty()) return;
        if (setup::hooks.notifyHoliday)
            setup::hooks.notifyHoliday(false, t.FieldByName("User").AsString(), "", Today(),
                                       static_cast<int>(t.FieldByName("Who").AsInteger()));
        t.Delete();
    } else {
        const bool adding = from == BtnAddHoliday;
        if (!adding && t.IsEmpty()) return;
        std::string user, subject = "Out of Office AutoReply: [Subject]", message;
        double endDate = Today();
        int who = 0;
        if (!adding) {
            user = t.FieldByName("User").AsString();
            subject = t.FieldByName("Subject").AsString();
            message = t.FieldByName("Message").AsString();
            endDate = t.FieldByName("EndDate").AsDateTime();
            who = static_cast<int>(t.FieldByName("Who").AsInteger());
        }
        // Hook: the out-of-office window's dialog.
        if (!setup::hooks.editHoliday || !setup::hooks.editHoliday(user, subject, message, endDate, who)) return;
        AppendOrEdit(t, adding);
        t.FieldByName("User").SetAsString(user);
        // No end date is an empty field, not day 0, which the grid would
        // show as a date in 1899.
        if (endDate >= 1.0) t.FieldByName("EndDate").SetAsDateTime(endDate);
        else t.FieldByName("EndDate").Clear();
        t.FieldByName("Subject").SetAsString(subject);
        t.FieldByName("Message").SetAsString(message);
        t.FieldByName("Who").SetAsInteger(who);
        if (PostOrCancel(t, this) && adding && setup::hooks.notifyHoliday)
            setup::hooks.notifyHoliday(true, user, message, endDate, who);
    }
    UpdateUserButtons();
    RefreshGrids();
    ApplyEnableFor(from);
}

// ---------------------------------------------------------------------------
// Dial-up login of the service
// ---------------------------------------------------------------------------

void TFrmSettings::BtnServiceDUNClick() {
    const std::string entry = CBXDUN->currentIndex() >= 0 ? S(CBXDUN->currentText()) : std::string();
    // Without an entry the keys would be plain "L" and "P", of no entry.
    if (entry.empty() || FrmMailAccount == nullptr) return;
    platform::IniFile ini(settings::IniPath());
    std::string user = PW::DecryptPassword(ini.ReadString("Connect", entry + "L", ""));
    std::string password = PW::DecryptPassword(ini.ReadString("Connect", entry + "P", ""));
    if (!FrmMailAccount->EditLocalUser("DUN login", user, password)) return;
    ini.WriteString("Connect", entry + "L", PW::EncryptPassword(user));
    ini.WriteString("Connect", entry + "P", PW::EncryptPassword(password));
}

// ---------------------------------------------------------------------------
// Postboxes
// ---------------------------------------------------------------------------

void TFrmSettings::BtnRepairClick() {
    const int count = setup::RepairPostboxes();
    if (count >= 1)
        platform::MessageBox("Postboxes repaired - " + std::to_string(count) + " repair(s) made",
                             platform::MsgKind::Information, platform::MsgButtons::Ok, this);
    else
        platform::MessageBox("No repairs necessary", platform::MsgKind::Information, platform::MsgButtons::Ok, this);
    RefreshCounts();
}

void TFrmSettings::EmptyPostboxes() { EmptyPostboxesFor(sender()); }

void TFrmSettings::EmptyPostboxesFor(QObject* from) {
    if (from == BtnEmptyOutbox) {
        if (platform::MessageBox("All outbox messages will be deleted.  Are you sure?", platform::MsgKind::Confirmation,
                                 platform::MsgButtons::YesNo, platform::MsgResult::No,
                                 this) != platform::MsgResult::Yes)
            return;
        setup::EmptyOutbox();
    } else if (from == BtnEmptyUser) {
        const std::string user = CBXEmpty->currentIndex() >= 0 ? S(CBXEmpty->currentText()) : std::string();
        if (user.empty()) return;
        if (platform::MessageBox("All " + user + "'s messages will be deleted.  Are you sure?",
                                 platform::MsgKind::Confirmation, platform::MsgButtons::YesNo,
                                 platform::MsgResult::No, this) != platform::MsgResult::Yes)
            return;
        setup::EmptyMailbox(user);
    } else {
        return;
    }
    RefreshCounts();
}

// ---------------------------------------------------------------------------
// Support request
// ---------------------------------------------------------------------------

void TFrmSettings::BtnSendSupportClick() {
    const std::string name = S(EditSupportName->text());
    const std::string address = S(EditSupportEmail->text());
    const QString text = MemoSupport->toPlainText();
    if (name.empty() || address.empty() || text.isEmpty()) {
        platform::MessageBox("You must complete all the boxes", platform::MsgKind::Warning, platform::MsgButtons::Ok,
                             this);
        return;
    }
    std::vector<std::string> question;
    for (const QString& line : text.split('\n')) question.push_back(S(line));
    const std::string caption = FrmMain != nullptr ? S(FrmMain->windowTitle()) : std::string("Tarnwick");
    const std::string subject =
        caption + " (" + ProgramVersion + ") support for " + procs::GetComputerName();
    setup::QueueSupportRequest(name, address, question, subject);
    RefreshCounts();
    platform::MessageBox("Support request sent.", platform::MsgKind::Information, platform::MsgButtons::Ok, this);
}
