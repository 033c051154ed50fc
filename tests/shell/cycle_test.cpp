// The Send/Recv cycle's control flow on the main window: senders and flags,
// connect.log, the network and dial-up paths, failures, and the schedule
// that follows, all on an injected clock.
#include "shell/main.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QToolButton>

#include <fstream>
#include <sstream>

#include "filters/windows/spam_window.h"
#include "platform/dialup_fake.h"
#include "platform/inifile.h"
#include "settings/pw.h"
#include "shell/dialup.h"
#include "shell_env.h"

namespace {

using shelltest::At;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Cycle : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        platform::SetClockForTesting([this] { return now_; });
        fake_ = std::make_shared<platform::FakeDialUpBackend>();
        fake_->AddEntry("Office ISP", {"jo", "secret"});
        fake_->SetErrorText(678, "There was no answer.");
        platform::SetDialUpBackendForTesting(fake_);
    }
    void TearDown() override {
        delete main_;
        fake_->WaitForScripts();
        platform::SetDialUpBackendForTesting(nullptr);
    }
    // The main window over a settings file with these [Connect] values.
    TFrmMain& Main(std::initializer_list<std::pair<const char*, const char*>> connect) {
        platform::IniFile ini(home_.Path("tarnwick.ini"));
        for (const auto& [key, value] : connect) ini.WriteString("Connect", key, value);
        main_ = new TFrmMain();
        return *main_;
    }
    std::string Log() const { return Slurp(home_.Path("connect.log")); }
    // Runs the event loop until cond holds (at most 5 s).
    template <typename Cond>
    bool Until(Cond cond) {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 5000) procs::Delay(5);
        return cond();
    }
    void ExpectControlsRestored() {
        EXPECT_TRUE(main_->BtnSendRec->isEnabled());
        EXPECT_TRUE(main_->BtnSendRec2->isEnabled());
        EXPECT_TRUE(main_->MnuTools->menuAction()->isEnabled());
        EXPECT_TRUE(main_->MnuSendRecvNow->isEnabled());
        EXPECT_TRUE(main_->TrayDoubleClickEnabled());
        EXPECT_FALSE(main_->CycleRunning());
    }

    shelltest::Home home_;
    platform::SystemTime now_ = At(2026, 5, 4, 10, 0);
    std::shared_ptr<platform::FakeDialUpBackend> fake_;
    TFrmMain* main_ = nullptr;
};

TEST_F(Cycle, NetworkCycleLogsAndEndsWithTheNextAlarm) {
    TFrmMain& m = Main({{"Regular", "1"}});
    m.BtnSendRecClick(m.BtnSendRec);
    EXPECT_EQ(Log(), "10:00: Starting connection\r\nUsing DSL/LAN connection...\r\n");
    ExpectControlsRestored();
    EXPECT_EQ(m.StatusText(), "Idle");
    EXPECT_EQ(m.LblNextConn->text().toStdString(), "10:10:00");
    EXPECT_EQ(m.TrayHint(), "Tarnwick: Next Send/Recv at 10:10");
    EXPECT_TRUE(KeepLineUp);
    EXPECT_EQ(fake_->DialCount(), 0);
}

TEST_F(Cycle, SendersSetTheCycleFlags) {
    TFrmMain& m = Main({});
    QAction sendOnly("Send Only");
    sendOnly.setProperty("Tag", TFrmMain::TagSendOnly);
    QAction account("Home && &Office");
    account.setProperty("Tag", TFrmMain::TagAccount);
    QAction plain("Other");
    struct Case {
        const char* name;
        QObject* sender;
        bool sendOnly;
        std::string account;
    } cases[] = {
        {"button", m.BtnSendRec, false, ""},
        {"send only", &sendOnly, true, ""},
        {"one account", &account, false, "Home & Office"},
        {"clock", m.AlarmClock1, false, ""},
        {"untagged menu item", &plain, false, ""},
        {"tray", m.TrayIcon1, false, ""},
    };
    for (const auto& c : cases) {
        SendOnly = !c.sendOnly;
        SingleAccountName = "stale";
        m.BtnSendRecClick(c.sender);
        EXPECT_EQ(SendOnly, c.sendOnly) << c.name;
        EXPECT_EQ(SingleAccountName, c.account) << c.name;
    }
}

TEST_F(Cycle, BusyStartTouchesNothing) {
    TFrmMain& m = Main({{"Regular", "1"}});
    m.BtnSendRec->setEnabled(false);  // a cycle is running
    SendOnly = false;
    SingleAccountName = "acct";
    QAction sendOnly("Send Only");
    sendOnly.setProperty("Tag", TFrmMain::TagSendOnly);
    m.BtnSendRecClick(&sendOnly);
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(SendOnly);
    EXPECT_EQ(SingleAccountName, "acct");
    EXPECT_EQ(m.TrayImage(), 0);
    EXPECT_FALSE(m.BtnSendRec->isEnabled());
}

TEST_F(Cycle, BusyStartStillSendsTheDueDailyReport) {
    // Daily report at 09:00, none sent yet today; the clock says 10:00.
    platform::IniFile ini(home_.Path("tarnwick.ini"));
    ini.WriteString("Spam", "Report", "1");
    ini.WriteString("Spam", "ReportEvery", "0");
    ini.WriteString("Spam", "ReportDaily", "1");
    ini.WriteString("Spam", "ReportDailyTime", "09:00");
    ini.WriteString("Spam", "LastDailyReprt", "2026-05-03");
    TFrmMain& m = Main({{"Regular", "1"}});
    TFrmSpam spam;
    FrmSpam = &spam;
    m.BtnSendRec->setEnabled(false);  // a cycle is running
    m.BtnSendRecClick(m.BtnSendRec);
    EXPECT_EQ(Log(), "") << "no second cycle";
    EXPECT_EQ(platform::IniFile(home_.Path("tarnwick.ini")).ReadString("Spam", "LastDailyReprt", ""), "2026-05-04");
    FrmSpam = nullptr;
}

TEST_F(Cycle, AlarmRunsOneCyclePerArming) {
    TFrmMain& m = Main({{"Regular", "1"}, {"RegularTime", "10"}});
    m.StartupComplete();
    now_ = At(2026, 5, 4, 10, 9, 59);
    m.AlarmClock1->Tick();
    EXPECT_EQ(Log(), "");
    now_ = At(2026, 5, 4, 10, 10, 0);
    m.AlarmClock1->Tick();
    EXPECT_EQ(Log(), "10:10: Starting connection\r\nUsing DSL/LAN connection...\r\n");
    EXPECT_EQ(m.LblNextConn->text().toStdString(), "10:20:00");
    m.AlarmClock1->Tick();  // same moment, new arming lies ahead
    EXPECT_EQ(Log(), "10:10: Starting connection\r\nUsing DSL/LAN connection...\r\n");
}

TEST_F(Cycle, StartupOnlyScheduleBecomesManual) {
    TFrmMain& m = Main({{"OnStartup", "1"}});
    EXPECT_EQ(m.LblNextConn->text().toStdString(), "10:00:05");
    EXPECT_TRUE(m.AlarmClock1->AlarmEnabled());
    m.BtnSendRecClick(m.BtnSendRec);
    EXPECT_EQ(m.LblNextConn->text().toStdString(), "Manual");
    EXPECT_FALSE(m.AlarmClock1->AlarmEnabled());
    EXPECT_EQ(m.TrayHint(), "Tarnwick: idle");
}

TEST_F(Cycle, ConnectLogIsTrimmedBeforeTheCycleWritesToIt) {
    procs::LogSizeLimit = 8;
    {
        std::ofstream out(home_.Path("connect.log"), std::ios::binary);
        out << "0123456789abcdef";
    }
    TFrmMain& m = Main({});
    m.BtnSendRecClick(m.BtnSendRec);
    EXPECT_EQ(Log(), "89abcdef10:00: Starting connection\r\nUsing DSL/LAN connection...\r\n");
}

TEST_F(Cycle, DialThatConnectsStartsTheMailSteps) {
    TFrmMain& m = Main({{"DUN", "1"}, {"DUNEntry", "Office ISP"}, {"Regular", "1"}});
    m.BtnSendRecClick(m.BtnSendRec);
    EXPECT_TRUE(m.CycleRunning());
    ASSERT_TRUE(Until([&] { return !m.CycleRunning(); }));
    EXPECT_EQ(Log(),
              "10:00: Starting connection\r\nDialing Office ISP\r\nOpening port\r\n"
              "Connecting device\r\nConnected\r\n");
    ExpectControlsRestored();
    EXPECT_EQ(m.StatusText(), "Idle");
    EXPECT_EQ(fake_->LastDialParams().UserName, "jo");
    // A manual cycle keeps the line by default ([Connect] KeepManual).
    EXPECT_TRUE(KeepLineUp);
    EXPECT_EQ(fake_->HangUpCount(), 0);
}

TEST_F(Cycle, ScheduledDialIsHungUpUnlessKeepAuto) {
    struct Case {
        const char* keepAuto;
        int hangUps;
    } cases[] = {{"0", 1}, {"1", 0}};
    for (const auto& c : cases) {
        TFrmMain& m = Main({{"DUN", "1"}, {"DUNEntry", "Office ISP"}, {"KeepAuto", c.keepAuto}});
        fake_ = std::make_shared<platform::FakeDialUpBackend>();
        fake_->AddEntry("Office ISP", {"jo", "secret"});
        m.DialUp1->SetBackend(fake_);
        m.BtnSendRecClick(m.AlarmClock1);
        ASSERT_TRUE(Until([&] { return !m.CycleRunning(); })) << c.keepAuto;
        EXPECT_EQ(fake_->HangUpCount(), c.hangUps) << c.keepAuto;
        delete main_;
        main_ = nullptr;
    }
}

TEST_F(Cycle, DialThatFailsEndsTheCycleAndRearms) {
    fake_->SetDialScript({{0, platform::dsOpenPort, 0}, {5, platform::dsConnectDevice, 678}});
    TFrmMain& m = Main({{"DUN", "1"}, {"DUNEntry", "Office ISP"}, {"Regular", "1"}});
    m.BtnSendRecClick(m.BtnSendRec);
    ASSERT_TRUE(Until([&] { return !m.CycleRunning(); }));
    EXPECT_EQ(Log(),
              "10:00: Starting connection\r\nDialing Office ISP\r\nOpening port\r\n"
              "Error code 678: There was no answer.\r\nTried to login with username jo\r\n");
    ExpectControlsRestored();
    EXPECT_EQ(m.LblConnectLast->text().toStdString(), "Failed");
    EXPECT_TRUE(TFrmMain::IsLabelRed(m.LblConnectLast));
    EXPECT_EQ(m.TrayImage(), 3);
    EXPECT_EQ(m.StatusText(), "Idle");
    EXPECT_EQ(m.LblNextConn->text().toStdString(), "10:10:00");
    // Hung up although a manual cycle would keep a working line.
    EXPECT_GE(fake_->HangUpCount(), 1);

    // The next cycle starts with the failure marks cleared.
    fake_->SetDialScript({{0, platform::dsConnected, 0}});
    m.BtnSendRecClick(m.BtnSendRec);
    EXPECT_FALSE(TFrmMain::IsLabelRed(m.LblConnectLast));
    ASSERT_TRUE(Until([&] { return !m.CycleRunning(); }));
}

// A dial that never gets under way ends the cycle with its error, leaves the
// tray image as it is and hangs up nothing but what the dial itself half
// made.
TEST_F(Cycle, DialThatCannotStartReportsTheError) {
    struct Case {
        const char* name;
        int dialError;      // the dial's own result
        bool halfMade;      // the failed dial still left a handle
        int paramsError;    // the entry's parameters cannot be read
        const char* text;   // "" for the backend's text of dialError
        int hangUps;
    };
    const Case cases[] = {
        {"dial refused", 606, false, 0, "", 0},
        {"half-made line", 606, true, 0, "", 1},
        {"entry unreadable", 0, false, 603, "GetEntryDialParams failed", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_ = std::make_shared<platform::FakeDialUpBackend>();
        fake_->AddEntry("Office ISP", {"jo", "secret"});
        fake_->SetDialResult(c.dialError, c.halfMade);
        fake_->SetParamsError(c.paramsError);
        platform::SetDialUpBackendForTesting(fake_);
        std::remove(home_.Path("connect.log").c_str());
        TFrmMain& m = Main({{"DUN", "1"}, {"DUNEntry", "Office ISP"}, {"Regular", "1"}});
        m.BtnSendRecClick(m.BtnSendRec);
        ASSERT_TRUE(Until([&] { return !m.CycleRunning(); }));
        const std::string text = *c.text ? c.text : m.DialUp1->StateText(0, c.dialError);
        const int code = c.paramsError ? c.paramsError : c.dialError;
        const std::string user = c.paramsError ? "" : "jo";
        EXPECT_NE(Log().find("Error code " + std::to_string(code) + ": " + text +
                             "\r\nTried to login with username " + user + "\r\n"),
                  std::string::npos)
            << Log();
        EXPECT_EQ(m.LblConnectLast->text().toStdString(), text);
        EXPECT_TRUE(TFrmMain::IsLabelRed(m.LblConnectLast));
        EXPECT_EQ(m.StatusText(), "Idle");
        EXPECT_EQ(m.LblNextConn->text().toStdString(), "10:10:00");
        EXPECT_EQ(m.TrayImage(), 1);
        ExpectControlsRestored();
        EXPECT_EQ(fake_->HangUpCount(), c.hangUps);
        delete main_;
        main_ = nullptr;
    }
}

TEST_F(Cycle, CredentialsComeFromTheSettingsFileWhenThePhoneBookLacksOne) {
    struct Case {
        const char* name;
        platform::DialParams phoneBook;
        platform::DialParams dialled;
    } cases[] = {
        {"both in the phone book", {"jo", "secret"}, {"jo", "secret"}},
        {"no saved password", {"jo", ""}, {"ini-user", "ini-pass"}},
        {"nothing saved", {"", ""}, {"ini-user", "ini-pass"}},
        {"password without user", {"", "secret"}, {"ini-user", "ini-pass"}},
    };
    for (const auto& c : cases) {
        fake_ = std::make_shared<platform::FakeDialUpBackend>();
        fake_->AddEntry("Office ISP", c.phoneBook);
        platform::SetDialUpBackendForTesting(fake_);
        TFrmMain& m = Main({{"DUN", "1"},
                            {"DUNEntry", "Office ISP"},
                            {"Office ISPL", PW::EncryptPassword("ini-user").c_str()},
                            {"Office ISPP", PW::EncryptPassword("ini-pass").c_str()}});
        m.BtnSendRecClick(m.BtnSendRec);
        ASSERT_TRUE(Until([&] { return !m.CycleRunning(); })) << c.name;
        EXPECT_EQ(fake_->LastDialParams().UserName, c.dialled.UserName) << c.name;
        EXPECT_EQ(fake_->LastDialParams().Password, c.dialled.Password) << c.name;
        delete main_;
        main_ = nullptr;
    }
}

TEST_F(Cycle, LineAlreadyUpIsUsedAndKept) {
    struct Case {
        const char* active;
        std::string line;
    } cases[] = {
        {"Office ISP", "Office ISP: already connected"},
        {"Other ISP", "Using connection to Other ISP"},
    };
    for (const auto& c : cases) {
        fake_ = std::make_shared<platform::FakeDialUpBackend>();
        fake_->AddEntry("Office ISP", {"jo", "secret"});
        fake_->AddEntry("Other ISP");
        fake_->AddActiveConnection(c.active);
        platform::SetDialUpBackendForTesting(fake_);
        std::remove(home_.Path("connect.log").c_str());
        TFrmMain& m = Main({{"DUN", "1"}, {"DUNEntry", "Office ISP"}});
        m.BtnSendRecClick(m.AlarmClock1);
        EXPECT_EQ(Log(), "10:00: Starting connection\r\n" + c.line + "\r\n") << c.active;
        EXPECT_EQ(fake_->DialCount(), 0);
        EXPECT_TRUE(KeepLineUp);
        EXPECT_EQ(fake_->HangUpCount(), 0);
        ExpectControlsRestored();
        delete main_;
        main_ = nullptr;
    }
}

TEST_F(Cycle, ExceptionInAStepEndsTheCycle) {
    TFrmMain& m = Main({{"DUN", "1"}, {"DUNEntry", "Office ISP"}});
    m.StartupComplete();
    fake_->SetDialScript({{0, platform::dsOpenPort, 0}, {2000, platform::dsConnected, 0}});
    m.BtnSendRecClick(m.BtnSendRec);
    ASSERT_TRUE(m.CycleRunning());
    m.AppException("std::runtime_error: table file damaged");
    ExpectControlsRestored();
    EXPECT_NE(Log().find("Send/Recv stopped: std::runtime_error: table file damaged\r\n"),
              std::string::npos);
    EXPECT_EQ(m.StatusText(), "std::runtime_error: table file damaged");

    // With no cycle running (the settings window holds the buttons) an
    // exception is only shown.
    std::remove(home_.Path("connect.log").c_str());
    m.BtnSendRec->setEnabled(false);
    m.AppException("std::logic_error: elsewhere");
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(m.BtnSendRec->isEnabled());
    EXPECT_EQ(m.StatusText(), "std::logic_error: elsewhere");
}

}  // namespace
