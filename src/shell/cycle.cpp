// The Send/Recv cycle's control flow: scheduling the next automatic cycle,
// starting a cycle (network or dial-up), the dial-up events, and ending a
// cycle whichever way it ends. The cycle is a chain of events on the main
// thread: each step ends by starting the next one.
#include "shell/main.h"

#include "codecs/qev_util.h"
#include "platform/inifile.h"
#include "settings/pw.h"
#include "shell/dialup.h"
#include "transport/globals.h"
#include "shell/procs.h"
#include "shell/splash.h"
#include "filters/holiday.h"
#include "filters/spam.h"
#include "transport/servers.h"
#include "transport/settings_file.h"
#include "transport/smtp.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QToolButton>

#include <cctype>
#include <cstdio>

namespace {

std::string Format(const char* fmt, const platform::LocalTime& lt, bool seconds) {
    char buf[16];
    if (seconds)
        std::snprintf(buf, sizeof buf, fmt, lt.hour % 100, lt.minute % 100, lt.second % 100);
    else
        std::snprintf(buf, sizeof buf, fmt, lt.hour % 100, lt.minute % 100);
    return buf;
}

std::string MenuCaption(const QString& text) {
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') {
                out += '&';
                ++i;
            }
            continue;
        }
        out += text[i];
    }
    return out.toStdString();
}

// The dial-up credentials are kept enciphered in the settings file.
std::string DecryptStored(const std::string& text) {
    return PW::DecryptPassword(text);
}

int TagOf(QObject* sender) {
    if (sender == nullptr) return 0;
    QVariant v = sender->property("Tag");
    return v.isValid() ? v.toInt() : 0;
}

}  // namespace

void TFrmMain::ConnectLog(const std::string& line) { procs::WriteLog(ProgramDir + "connect.log", line); }

// --- scheduling ---------------------------------------------------------------

void TFrmMain::CheckRegularConnection(bool Startup) {
    platform::IniFile ini(settings::IniPath());
    schedule::Next next = schedule::NextConnection(schedule::ReadSettings(ini), Startup, platform::Now());
    std::string hint;
    if (next.Enabled) {
        platform::LocalTime lt = platform::ToLocal(next.At);
        LblNextConn->setText(QString::fromStdString(Format("%02d:%02d:%02d", lt, true)));
        AlarmClock1->SetAlarm(next.At);
        AlarmClock1->SetAlarmEnabled(true);
        hint = "Tarnwick: Next Send/Recv at " + Format("%02d:%02d", lt, false);
    } else {
        AlarmClock1->SetAlarmEnabled(false);
        LblNextConn->setText("Manual");
        hint = "Tarnwick: idle";
    }
    SetTrayHint(hint + MailboxLines());
}

// --- the cycle ----------------------------------------------------------------

bool TFrmMain::CycleRunning() const { return !BtnSendRec->isEnabled(); }

void TFrmMain::RestoreCycleControls() {
    BtnSendRec->setEnabled(true);
    BtnSendRec2->setEnabled(true);
    MnuTools->menuAction()->setEnabled(true);
    MnuSendRecvNow->setEnabled(true);
    trayDoubleClick_ = true;
    cycleActive_ = false;
}

void TFrmMain::EndCycle() {
    RestoreCycleControls();
    if (!KeepLineUp) {
        procs::SetStatus("Hanging up...", true);
        DialUp1->HangUp();
    }
    procs::SetStatus("Idle", false);
    CheckRegularConnection(false);
}

void TFrmMain::FailCycle(const std::string& text) {
    ConnectLog("Send/Recv stopped: " + text);
    if (dialing_) {
        // A dial still under way would otherwise carry on into a cycle that
        // is no longer there.
        dialing_ = false;
        DialUp1->HangUp();
    }
    EndCycle();
    procs::SetStatus(text, false);
}

void TFrmMain::AppException(const std::string& text) {
    // An exception that escapes a step of the cycle would otherwise leave
    // Send/Recv disabled until the program restarts.
    // (The buttons alone do not say so: the settings window disables them too.)
    if (cycleActive_ && ready_) {
        FailCycle(text);
        return;
    }
    procs::SetStatus(text, false);
}

void TFrmMain::StartMailSteps() {
    try {
        // Collection hands over to the relay run, whose end closes the
        // cycle (EndCycle). Without the servers window there is nothing to
        // collect or deliver.
        if (FrmServers != nullptr)
            FrmServers->StartPopCollection();
        else
            EndCycle();
    } catch (const std::exception& e) {
        FailCycle(e.what());
    } catch (...) {
        FailCycle("unknown exception");
    }
}

void TFrmMain::BtnSendRecClick(QObject* Sender) {
    if (FrmSplash != nullptr && FrmSplash->isVisible()) FrmSplash->hide();
    if (!CycleRunning()) {
        const bool byClock = Sender == AlarmClock1;
        const int tag = TagOf(Sender);
        SingleAccountName.clear();
        if (tag == TagAccount) {
            if (auto* action = qobject_cast<QAction*>(Sender)) SingleAccountName = MenuCaption(action->text());
        }
        holiday::CheckExpiry();
        SetParentFont(LblConnectLast);
        SetParentFont(LBLPOPLast);
        SetParentFont(LBLSmtp);
        SendOnly = (Sender != nullptr && Sender == FrmSMTP) || tag == TagSendOnly;

        SetTrayImage(1);
        SetTrayHint("Tarnwick: active");
        LblNextConn->setText("");
        BtnSendRec->setEnabled(false);
        BtnSendRec2->setEnabled(false);
        MnuTools->menuAction()->setEnabled(false);
        MnuSendRecvNow->setEnabled(false);
        trayDoubleClick_ = false;
        cycleActive_ = true;

        try {
            std::string log = ProgramDir + "connect.log";
            procs::TrimLogFile(log);
            platform::LocalTime now = platform::NowLocal();
            ConnectLog(Format("%02d:%02d", now, false) + ": Starting connection");
            KeepLineUp = true;

            platform::IniFile ini(settings::IniPath());
            const MailSettings connect = mailsettings::Read(ProgramDir, {}, std::string());
            if (!connect.connectDun) {
                ConnectLog("Using DSL/LAN connection...");
                StartMailSteps();
            } else {
                std::string entry = connect.dunEntry;
                Memo1->clear();
                DialUp1->GetActiveConnections();
                DialUp1->Entry = entry;

                std::string user = DialUp1->UserName();
                std::string password = user.empty() ? std::string() : DialUp1->Password();
                if (user.empty() || password.empty()) {
                    user = DecryptStored(ini.ReadString("Connect", entry + "L", ""));
                    password = DecryptStored(ini.ReadString("Connect", entry + "P", ""));
                    DialUp1->SetUserName(user);
                    DialUp1->SetPassword(password);
                }

                QStringList connected = Memo1->toPlainText().split('\n', Qt::SkipEmptyParts);
                if (connected.isEmpty()) {
                    ConnectLog("Dialing " + entry);
                    KeepLineUp = byClock ? false : connect.keepManual;
                    if (byClock && ini.ReadBool("Connect", "KeepAuto", false)) KeepLineUp = true;
                    dialing_ = true;
                    DialUp1->Dial();
                } else {
                    if (!connected.contains(QString::fromStdString(entry)))
                        ConnectLog("Using connection to " + connected.first().toStdString());
                    else
                        ConnectLog(entry + ": already connected");
                    // A line that was up before the cycle is never ours to
                    // hang up: KeepLineUp stays true.
                    procs::SetStatus("Connected", true);
                    StartMailSteps();
                }
            }
        } catch (const std::exception& e) {
            FailCycle(e.what());
        } catch (...) {
            FailCycle("unknown exception");
        }
    }
    // Also for a start refused while a cycle runs: the daily report is due
    // whatever the cycle does. It does nothing unless switched on.
    if (spam::Filter() != nullptr) spam::Filter()->CheckDailyReport();
}

// --- dial-up events ---------------------------------------------------------------

void TFrmMain::DialUp1Dialing(TDialUp*) { procs::SetStatus("Dialing", true); }

void TFrmMain::DialUp1Connect(TDialUp*) {
    if (!dialing_) return;
    dialing_ = false;
    procs::SetStatus("Connected", true);
    StartMailSteps();
}

void TFrmMain::DialUp1AsyncEvent(TDialUp* Sender, int State, const std::string& Text, int Error) {
    (void)State;
    // Reports of a dial whose cycle has already ended are not this cycle's.
    if (!dialing_) return;
    procs::SetStatus(Sender->Entry + ": " + Text, true);
    if (Error > 0) {
        // The error text alone would not say which error the dial-up
        // service gave.
        ConnectLog("Error code " + std::to_string(Error) + ": " + Text);
    } else {
        ConnectLog(Text);
        if (qev_util::LowerCase(Text) == "connected") {
            dialing_ = false;
            StartMailSteps();
        }
        return;
    }
    dialing_ = false;
    ConnectLog("Tried to login with username " + Sender->UserName());
    RestoreCycleControls();
    CheckRegularConnection(false);
    procs::SetStatus("Idle", false);
    LblConnectLast->setText("Failed");
    SetLabelRed(LblConnectLast);
    SetTrayImage(3);
    // A failed dial may leave its line half up; it is hung up whatever
    // KeepLineUp says.
    Sender->HangUp();
}

void TFrmMain::DialUp1NotConnected(TDialUp* Sender, int ErrorCode, const std::string& ErrorText) {
    if (!dialing_) return;
    dialing_ = false;
    ConnectLog("Error code " + std::to_string(ErrorCode) + ": " + ErrorText);
    ConnectLog("Tried to login with username " + Sender->UserName());
    procs::SetStatus(ErrorText, false);
    RestoreCycleControls();
    CheckRegularConnection(false);
    procs::SetStatus("Idle", false);
    LblConnectLast->setText(QString::fromStdString(ErrorText));
    SetLabelRed(LblConnectLast);
    // Nothing to hang up here: these reports come only from a dial that
    // never got under way, and the link has already torn down any line such
    // a dial half made. A line that is up belongs to someone else.
}

void TFrmMain::DialUp1ActiveConnection(const std::string& EntryName) {
    Memo1->appendPlainText(QString::fromStdString(EntryName));
}
