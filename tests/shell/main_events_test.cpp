// The main window as the engine's events sink: what the engine sends shows
// in the labels, lists, menus, tray and status line exactly as the window
// draws them itself, and the web status page reads the window back.
#include "shell/main.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "platform/inifile.h"
#include "shell_env.h"
#include "transport/smtp.h"
#include "web/http.h"

namespace {

using events::Label;
using events::Look;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class MainEvents : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        platform::SetClockForTesting([] { return shelltest::At(2026, 5, 4, 10, 0); });
        platform::IniFile(home_.Path("tarnwick.ini")).WriteString("Connect", "Regular", "1");
        main_ = std::make_unique<TFrmMain>();
    }
    void TearDown() override {
        main_.reset();
        platform::SetClockForTesting({});
    }
    TFrmMain& Main() { return *main_; }
    std::map<std::string, std::string> Rows() {
        std::map<std::string, std::string> rows;
        for (int i = 0; i < Main().PopList->topLevelItemCount(); ++i)
            rows[Main().PopList->topLevelItem(i)->text(0).toStdString()] =
                Main().PopList->topLevelItem(i)->text(1).toStdString();
        return rows;
    }
    QAction* SendOnlyItem() {
        for (QAction* a : Main().PopupMenu2->actions())
            if (a->property("Tag").toInt() == TFrmMain::TagSendOnly) return a;
        return nullptr;
    }
    static events::MailCounts Counts(std::vector<std::pair<std::string, events::FolderTotal>> boxes,
                                     events::FolderTotal outbox, int possible, int probable) {
        events::MailCounts c;
        c.mailboxesCounted = true;
        c.mailboxes = std::move(boxes);
        c.outboxCounted = true;
        c.outbox = outbox;
        c.possibleSpam = possible;
        c.probableSpam = probable;
        return c;
    }

    shelltest::Home home_;
    std::unique_ptr<TFrmMain> main_;
};

// Long names and counts are shown whole, not cut to "1 (238 byt...".
TEST_F(MainEvents, MailboxRowsAreNotCut) {
    Main().show();
    Main().CountsChanged(Counts({{"katharina.mueller", {1, 238}}, {"bob", {12, 1600000}}}, {0, 0}, 0, 0));
    QApplication::processEvents();
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < Main().PopList->topLevelItemCount(); ++i) {
            const QString text = Main().PopList->topLevelItem(i)->text(c);
            EXPECT_GT(Main().PopList->columnWidth(c), Main().PopList->fontMetrics().horizontalAdvance(text))
                << text.toStdString();
        }
}

TEST_F(MainEvents, TheWindowIsTheSinkWhileItExists) {
    EXPECT_EQ(&events::Get(), static_cast<events::TEngineEvents*>(&Main()));
    main_.reset();
    EXPECT_FALSE(events::Get().View().present);
}

TEST_F(MainEvents, CountsShowInMailboxesOutboxSpamAndTray) {
    Main().AccountsChanged({});
    Main().CountsChanged(Counts({{"alice", {2, 2100}}, {"bob", {1, 10}}, {"carol", {0, 0}}}, {2, 2200}, 2, 1));
    EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"alice", "2 (2 kb)"}, {"bob", "1 (10 bytes)"}}));
    EXPECT_EQ(Main().TrayImage(), 2);
    EXPECT_NE(Main().TrayHint().find("\ralice: 2 (2 kb)\rbob: 1 (10 bytes)"), std::string::npos)
        << Main().TrayHint();
    EXPECT_EQ(Main().LblsmtpCount->text().toStdString(), "2 (2 kb)");
    ASSERT_NE(SendOnlyItem(), nullptr);
    EXPECT_TRUE(SendOnlyItem()->isEnabled());
    EXPECT_EQ(Main().LblSpam1->text().toStdString(), "2 possible");
    EXPECT_EQ(Main().LblSpam1->property("Tag").toInt(), 2);
    EXPECT_EQ(Main().LblSpam2->text().toStdString(), "1 probable");
    EXPECT_EQ(Main().LblSpam2->property("Tag").toInt(), 1);

    // An emptied mailbox loses its row; an empty outbox disables "Send Only".
    Main().CountsChanged(Counts({{"alice", {0, 0}}, {"bob", {1, 10}}, {"carol", {0, 0}}}, {0, 0}, 2, 1));
    EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"bob", "1 (10 bytes)"}}));
    EXPECT_EQ(Main().LblsmtpCount->text().toStdString(), "0 (0 bytes)");
    EXPECT_FALSE(SendOnlyItem()->isEnabled());

    // An outbox a delivery run is sending from keeps its label.
    events::MailCounts running = Counts({{"bob", {1, 10}}}, {5, 5}, 0, 0);
    running.outboxCounted = false;
    Main().CountsChanged(running);
    EXPECT_EQ(Main().LblsmtpCount->text().toStdString(), "0 (0 bytes)");

    // A failed step shows in the tray whatever the mailboxes hold.
    TFrmMain::SetLabelRed(Main().LBLPOPLast);
    Main().CountsChanged(Counts({{"bob", {1, 10}}}, {0, 0}, 0, 0));
    EXPECT_EQ(Main().TrayImage(), 3);
    TFrmMain::SetParentFont(Main().LBLPOPLast);
    Main().CountsChanged(Counts({{"bob", {0, 0}}}, {0, 0}, 0, 0));
    EXPECT_EQ(Main().TrayImage(), 0);
    EXPECT_TRUE(Rows().empty());
}

TEST_F(MainEvents, TrayHintIsLeftToARunningStep) {
    const auto counts = Counts({{"alice", {1, 10}}}, {0, 0}, 0, 0);
    Main().SetStatusLine("work: collecting", true);
    Main().SetTrayHint("Tarnwick: active");
    Main().CountsChanged(counts);
    EXPECT_EQ(Main().TrayHint(), "Tarnwick: active");
    Main().SetStatusLine("Idle", false);
    Main().CountsChanged(counts);
    EXPECT_EQ(Main().TrayHint(), Main().IdleTrayHint());
}

TEST_F(MainEvents, LabelsTakeTextAndLook) {
    struct Case {
        Label label;
        QLabel* widget;
    } labels[] = {
        {Label::LastCollection, Main().LBLPOPLast},
        {Label::LastDelivery, Main().LBLSmtp},
        {Label::LastConnection, Main().LblConnectLast},
    };
    struct Step {
        Look look;
        bool bold, red;
    } steps[] = {
        {Look::Busy, true, false},    {Look::Failed, true, true}, {Look::NotBusy, false, true},
        {Look::Busy, true, true},     {Look::Done, false, true},  {Look::Plain, false, false},
        {Look::Busy, true, false},    {Look::Done, false, false},
    };
    for (const auto& l : labels) {
        Main().LabelText(l.label, "07-Dec 10:04");
        EXPECT_EQ(l.widget->text().toStdString(), "07-Dec 10:04");
        for (const auto& s : steps) {
            Main().LabelLook(l.label, s.look);
            EXPECT_EQ(TFrmMain::IsLabelBold(l.widget), s.bold) << l.widget->objectName().toStdString();
            EXPECT_EQ(TFrmMain::IsLabelRed(l.widget), s.red) << l.widget->objectName().toStdString();
        }
    }
}

// A status per message sent comes faster than the bar is worth painting:
// the bar may skip texts of a burst, but ends showing the last one, and a
// change of weight shows at once.
TEST_F(MainEvents, ABurstOfStatusTextsEndsWithTheLastShown) {
    Main().Status("Sending", true);
    for (int i = 1; i <= 500; ++i) Main().StatusLine("Sent message " + std::to_string(i), true);
    EXPECT_EQ(Main().StatusText(), "Sent message 500");
    QElapsedTimer waited;
    waited.start();
    while (Main().StatusBar1->text() != "Sent message 500" && waited.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(Main().StatusBar1->text().toStdString(), "Sent message 500");
    Main().StatusLine("Idle", false);
    EXPECT_EQ(Main().StatusBar1->text().toStdString(), "Idle");
    EXPECT_FALSE(TFrmMain::IsLabelBold(Main().StatusBar1));
}

TEST_F(MainEvents, StatusButtonsAndTray) {
    Main().Status("SMTP: connecting", true);
    EXPECT_EQ(Main().StatusText(), "SMTP: connecting");
    EXPECT_TRUE(TFrmMain::IsLabelBold(Main().StatusBar1));
    EXPECT_EQ(Main().TrayHint(), "Tarnwick: Active\rSMTP: connecting");

    Main().SendReceiveEnabled(false);
    EXPECT_FALSE(Main().BtnSendRec->isEnabled());
    EXPECT_FALSE(Main().BtnSendRec2->isEnabled());
    EXPECT_TRUE(Main().CycleRunning());
    Main().StatusLine("Deleting spam: 1/2", true);
    EXPECT_EQ(Main().StatusText(), "Deleting spam: 1/2");
    EXPECT_EQ(Main().TrayHint(), "Tarnwick: Active\rSMTP: connecting") << "the hint is not the status line's";
    Main().Status("Idle", false);
    EXPECT_TRUE(Main().BtnSendRec->isEnabled()) << "Idle gives the buttons back";
    EXPECT_TRUE(Main().BtnSendRec2->isEnabled());

    Main().TrayImage(events::kTrayFailed);
    EXPECT_EQ(Main().TrayImage(), 3);
}

TEST_F(MainEvents, AccountNamesBuildTheSendRecvMenu) {
    auto captions = [&] {
        std::vector<std::string> out;
        for (QAction* a : Main().PopupMenu2->actions())
            out.push_back(a->isSeparator() ? "-" : a->text().toStdString() + "/" + a->property("Tag").toString().toStdString());
        return out;
    };
    Main().AccountsChanged({"work", "home"});
    EXPECT_EQ(captions(), (std::vector<std::string>{"Send Only/898", "-", "work/899", "home/899"}));
    Main().AccountsChanged({"work", "home"});
    EXPECT_EQ(captions().size(), 4u) << "a rebuild replaces the items";
    Main().AccountsChanged({});
    EXPECT_EQ(captions(), (std::vector<std::string>{"Send Only/898", "-"}));

    platform::IniFile(home_.Path("tarnwick.ini")).WriteString("General", "XPMenu", "0");
    Main().AccountsChanged({"work"});
    EXPECT_FALSE(Main().XPMenu1.Active);
}

TEST_F(MainEvents, RequestedSendRecvStartsTheCycleOfItsKind) {
    ::SendOnly = true;
    Main().SendReceiveRequested(events::Cycle::Full);
    EXPECT_NE(Slurp(home_.Path("connect.log")).find("Starting connection"), std::string::npos);
    EXPECT_FALSE(::SendOnly);

    // Send Only needs the SMTP object; without it nothing starts.
    std::remove(home_.Path("connect.log").c_str());
    ASSERT_EQ(FrmSMTP, nullptr);
    Main().SendReceiveRequested(events::Cycle::SendOnly);
    EXPECT_EQ(Slurp(home_.Path("connect.log")), "");

    setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
    platform::IniFile(home_.Path("tarnwick.ini")).WriteString("SMTP", "LocalPort", "0");
    auto smtp = std::make_unique<TFrmSMTP>();
    FrmSMTP = smtp.get();
    Main().SendReceiveRequested(events::Cycle::SendOnly);
    EXPECT_NE(Slurp(home_.Path("connect.log")).find("Starting connection"), std::string::npos);
    EXPECT_TRUE(::SendOnly);
    smtp.reset();
    EXPECT_EQ(FrmSMTP, nullptr) << "a gone SMTP object leaves no pointer behind";
    ::SendOnly = false;
    unsetenv("TARNWICK_BIND_ADDRESS");
}

TEST_F(MainEvents, StatusPageShowsWhatTheWindowShows) {
    Main().CountsChanged(Counts({{"alice", {2, 2100}}}, {1, 10}, 3, 4));
    Main().LabelText(Label::LastCollection, "04-May 09:58");
    Main().LabelText(Label::LastDelivery, "04-May 09:59");
    Main().LabelText(Label::LastConnection, "04-May 09:57");
    Main().Status("Idle", false);
    const std::string page = http::StatusPage();
    for (const char* text : {"Tarnwick on ", "Last Check: 04-May 09:58<BR>",
                             "<A href=\"/webmail?user=alice\">alice: 2 (2 kb)</A>",
                             "Spam: <A href=\"spam\">3 possible, 4 probable</A>", "Msgs to send: 1 (10 bytes)",
                             "Last delivery: 04-May 09:59", "Last connection: 04-May 09:57",
                             "<TR><TD>Idle</TD>"}) {
        EXPECT_NE(page.find(text), std::string::npos) << text << "\n" << page;
    }
    EXPECT_EQ(page.find("http-equiv=\"refresh\""), std::string::npos) << "no cycle runs";

    Main().SendReceiveEnabled(false);
    EXPECT_NE(http::StatusPage().find("http-equiv=\"refresh\""), std::string::npos) << "a running cycle refreshes";
}

}  // namespace
