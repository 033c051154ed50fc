// The main window: folder tree, closing, the "/m" start, the dispatcher,
// tray restore, help topics and the hover highlight.
#include "shell/main.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <fstream>
#include <sstream>

#include "platform/dialup_fake.h"
#include "platform/files.h"
#include "settings/setup.h"
#include "platform/inifile.h"
#include "shell/splash.h"
#include "shell_env.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        platform::SetClockForTesting([] { return shelltest::At(2026, 5, 4, 10, 0); });
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs_.push_back(call.text);
            return answer_;
        });
        platform::SetHeadlessLogHook([this](const std::string& line) { headless_.push_back(line); });
    }
    void TearDown() override {
        delete main_;
        delete FrmSplash;
        FrmSplash = nullptr;
        platform::SetHeadlessLogHook({});
    }
    TFrmMain& Main() {
        main_ = new TFrmMain();
        return *main_;
    }
    void Ini(const char* section, const char* key, const char* value) {
        platform::IniFile(home_.Path("tarnwick.ini")).WriteString(section, key, value);
    }

    shelltest::Home home_;
    TFrmMain* main_ = nullptr;
    std::vector<std::string> dialogs_;
    std::vector<std::string> headless_;
    platform::MsgResult answer_ = platform::MsgResult::Ok;
};

TEST_F(MainWindow, CreatesTheFolderTree) {
    Main();
    EXPECT_EQ(ProgramDir, home_.Dir() + "/");
    for (const char* f : {"Addins", "in", "out", "Spam1", "Spam2", "Deleted", "WebDeleted", "WebSent", "WebSaved"})
        EXPECT_TRUE(platform::FolderExists(home_.Path(f))) << f;
    EXPECT_EQ(main_->StatusText(), "Idle...");
}

TEST_F(MainWindow, BringsBackMessagesOfTheOldLayout) {
    std::filesystem::create_directories(home_.Path("bob_0815"));
    std::ofstream(home_.Path("bob_0815/raw.dat")) << "Subject: old\r\n\r\nbody\r\n.\r\n";
    Main();
    EXPECT_TRUE(platform::FileExists(home_.Path("in/bob_0815.dat")));
    EXPECT_FALSE(platform::FolderExists(home_.Path("bob_0815")));
}

TEST_F(MainWindow, FolderThatCannotBeMadeIsReported) {
    std::ofstream(home_.Path("Spam2")) << "in the way";
    Main();
    EXPECT_EQ(main_->StatusText().rfind("Cannot create folder Spam2", 0), 0u) << main_->StatusText();
    EXPECT_NE(Slurp(home_.Path("connect.log")).find("Cannot create folder Spam2"), std::string::npos);
    // The folders after it are still made.
    EXPECT_TRUE(platform::FolderExists(home_.Path("WebSaved")));
}

TEST_F(MainWindow, CloseAsksUnlessTold) {
    const std::string question =
        "If you close the program then you will no longer be able to Send/Receive through "
        "Tarnwick.\rClose application?";
    struct Case {
        const char* name;
        int tag;
        const char* confirmExit;  // nullptr: not in the file
        bool signal;
        platform::MsgResult answer;
        bool asked, closed;
    } cases[] = {
        {"default asks, yes", 0, nullptr, false, platform::MsgResult::Yes, true, true},
        {"default asks, no", 0, nullptr, false, platform::MsgResult::No, true, false},
        {"upgrade install", TFrmMain::TagUpgradeClose, nullptr, false, platform::MsgResult::No, false, true},
        {"confirmation off", 0, "0", false, platform::MsgResult::No, false, true},
        {"stop signal", 0, "1", true, platform::MsgResult::No, false, true},
    };
    for (const auto& c : cases) {
        if (c.confirmExit) Ini("General", "ConfirmExit", c.confirmExit);
        TFrmMain& m = Main();
        m.Tag = c.tag;
        m.show();
        dialogs_.clear();
        answer_ = c.answer;
        if (c.signal)
            m.CloseWithoutAsking();
        else
            m.close();
        EXPECT_EQ(!dialogs_.empty(), c.asked) << c.name;
        if (!dialogs_.empty()) {
            EXPECT_EQ(dialogs_[0], question);
        }
        EXPECT_EQ(!m.isVisible(), c.closed) << c.name;
        delete main_;
        main_ = nullptr;
    }
}

TEST_F(MainWindow, StartsMinimisedOnlyWithSlashMAndStartMin) {
    struct Case {
        const char* parameter;
        const char* startMin;
        bool minimised;
    } cases[] = {
        {"/m", "1", true},
        {"/M", "1", false},
        {"/m", "0", false},
        {"", "1", false},
    };
    for (const auto& c : cases) {
        Ini("General", "StartMin", c.startMin);
        char prog[] = "tarnwick";
        std::string p = c.parameter;
        char* argv[] = {prog, p.data(), nullptr};
        TFrmSplash::SetCommandLine(p.empty() ? 1 : 2, argv);
        FrmSplash = new TFrmSplash();
        FrmSplash->show();
        TFrmMain& m = Main();
        EXPECT_TRUE(FrmSplash->Timer1->isActive());
        m.show();
        m.move(TFrmMain::DesignedPosition() + QPoint(150, 70));
        FrmSplash->Timer1Timer();
        EXPECT_FALSE(FrmSplash->isVisible());
        EXPECT_EQ(m.isMinimized() || m.InTray, c.minimised) << c.parameter << c.startMin;
        // Wherever the window was put, "/m" brings it back to where it was designed.
        if (c.minimised) {
            EXPECT_EQ(m.pos(), TFrmMain::DesignedPosition());
        }
        delete main_;
        main_ = nullptr;
        delete FrmSplash;
        FrmSplash = nullptr;
    }
}

TEST_F(MainWindow, DispatcherMessages) {
    TFrmMain& m = Main();
    m.SetStatusLine("Error code 5: a long status text", false);
    m.Menu(m.StatusBar1);
    m.Menu(m.BtnSpam);
    ASSERT_EQ(dialogs_.size(), 2u);
    EXPECT_EQ(dialogs_[0], "Error code 5: a long status text");
    EXPECT_EQ(dialogs_[1],
              "You need to set \"control through browser\" ON in the remote setup.  Click on Tools, "
              "Settings and select the Remote tab.");
}

TEST_F(MainWindow, TrayRestoreBringsTheWindowBack) {
    TFrmMain& m = Main();
    m.InTray = true;
    m.Menu(m.MnuRestore);
    EXPECT_FALSE(m.InTray);
    EXPECT_TRUE(m.isVisible());
    m.Menu(m.MnuRestore);  // not in the tray: nothing to do
    EXPECT_TRUE(m.isVisible());
}

TEST_F(MainWindow, F1OpensTheOverviewTopic) {
    std::filesystem::create_directories(home_.Path("help"));
    std::ofstream(home_.Path("help/overview.htm")) << "<html></html>";
    TFrmMain& m = Main();
    headless_.clear();
    m.FormKeyDown(113);  // F2: nothing
    EXPECT_TRUE(headless_.empty());
    m.FormKeyDown(112);
    ASSERT_EQ(headless_.size(), 1u);
    EXPECT_NE(headless_[0].find("file://" + home_.Dir() + "/help/overview.htm"), std::string::npos)
        << headless_[0];
}

// A desktop that cannot open a page leaves the click without an answer
// unless the window says what to open by hand.
TEST_F(MainWindow, PagesTheDesktopCannotOpenAreNamedInABox) {
    std::filesystem::create_directories(home_.Path("help"));
    std::ofstream(home_.Path("help/overview.htm")) << "<html></html>";
    TFrmMain& m = Main();
    static std::vector<std::string> asked;
    for (bool opens : {true, false}) {
        asked.clear();
        dialogs_.clear();
        TFrmMain::OpenForTesting = opens ? +[](const std::string& u) { asked.push_back(u); return true; }
                                         : +[](const std::string& u) { asked.push_back(u); return false; };
        m.FormKeyDown(112);
        m.WebClick(m.MnuWebGuide);
        TFrmMain::OpenForTesting = nullptr;
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0], "file://" + home_.Dir() + "/help/overview.htm");
        if (opens) {
            EXPECT_TRUE(dialogs_.empty());
            continue;
        }
        ASSERT_EQ(dialogs_.size(), 2u);
        // The help file as a path, the page as its address.
        EXPECT_EQ(dialogs_[0], "The desktop could not open this for you. Open it by hand:\n\n" + home_.Dir() +
                                   "/help/overview.htm");
        EXPECT_EQ(dialogs_[1], "The desktop could not open this for you. Open it by hand:\n\n" + asked[1]);
    }
}

TEST_F(MainWindow, HoverHighlightsOneCounter) {
    TFrmMain& m = Main();
    auto underlined = [](QLabel* l) { return l->font().underline(); };
    m.LblsmtpCountMouseMove(m.LblSpam1);
    EXPECT_TRUE(underlined(m.LblSpam1));
    EXPECT_FALSE(underlined(m.LblSpam2));
    m.LblsmtpCountMouseMove(m.LblSpam2);
    EXPECT_FALSE(underlined(m.LblSpam1));
    EXPECT_TRUE(underlined(m.LblSpam2));
    m.LblsmtpCountMouseMove(m.LBLPOPLast);
    EXPECT_FALSE(underlined(m.LblSpam1));
    EXPECT_FALSE(underlined(m.LblSpam2));
    EXPECT_FALSE(underlined(m.LblsmtpCount));
}

// The settings' colours reach the labels, and a label that was red for a
// failure goes back to the chosen text colour, not to the default one.
TEST_F(MainWindow, ColoursFromTheSettingsOutliveARedLabel) {
    TFrmMain& m = Main();
    ASSERT_TRUE(setup::hooks.mainWindowColors);
    setup::hooks.mainWindowColors(0x00C0C0C0, 0x00800000);  // silver, navy (TColor is BGR)
    const QColor navy(0, 0, 0x80);
    EXPECT_EQ(m.palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_EQ(m.LBLSmtp->palette().color(QPalette::WindowText), navy);
    TFrmMain::SetLabelRed(m.LBLSmtp);
    EXPECT_TRUE(TFrmMain::IsLabelRed(m.LBLSmtp));
    TFrmMain::SetParentFont(m.LBLSmtp);
    EXPECT_EQ(m.LBLSmtp->palette().color(QPalette::WindowText), navy);
}

TEST_F(MainWindow, GuardedSettingsStayClosedButTheControlsReturn) {
    Ini("SMTP", "ID", "zA9");
    TFrmMain& m = Main();
    answer_ = platform::MsgResult::Cancel;
    m.BtnSendRec2->setEnabled(false);
    m.BtnSetupClick();
    EXPECT_TRUE(m.BtnSendRec->isEnabled());
    EXPECT_TRUE(m.BtnSendRec2->isEnabled());
    EXPECT_TRUE(m.MnuTools->menuAction()->isEnabled());
}

}  // namespace

namespace {

TEST_F(MainWindow, SettingsWindowGetsTheEntriesAndOkReschedules) {
    auto fake = std::make_shared<platform::FakeDialUpBackend>();
    fake->AddEntry("Zeta line");
    fake->AddEntry("alpha line");
    platform::SetDialUpBackendForTesting(fake);
    TFrmMain& m = Main();
    FrmSettings = new TFrmSettings();
    struct Case {
        bool ok;
        std::string next;
    } cases[] = {{false, "Manual"}, {true, "10:10:00"}};
    for (const auto& c : cases) {
        QTimer::singleShot(0, [&] {
            // What saving the connection page would have written.
            Ini("Connect", "Regular", "1");
            if (c.ok)
                FrmSettings->accept();
            else
                FrmSettings->reject();
        });
        m.BtnSetupClick();
        EXPECT_EQ(m.LblNextConn->text().toStdString(), c.next) << c.ok;
        ASSERT_EQ(FrmSettings->CBXDUN->count(), 2);
        EXPECT_EQ(FrmSettings->CBXDUN->itemText(0).toStdString(), "alpha line");
        EXPECT_EQ(FrmSettings->CBXDUN->itemText(1).toStdString(), "Zeta line");
        EXPECT_TRUE(m.BtnSendRec->isEnabled());
        EXPECT_TRUE(m.MnuTools->menuAction()->isEnabled());
        Ini("Connect", "Regular", "0");
    }
    delete FrmSettings;
    FrmSettings = nullptr;
    platform::SetDialUpBackendForTesting(nullptr);
}

}  // namespace

namespace {

TEST_F(MainWindow, SettingsWindowEmptiesTheMailboxesShown) {
    TFrmMain& m = Main();
    FrmSettings = new TFrmSettings();
    struct Case {
        std::vector<std::string> users;
        const char* outbox;
        bool outboxButton;
    } cases[] = {
        {{"bob", "alice", "carol"}, "3", true},
        {{"bob"}, "12 messages", true},  // only the first character counts
        {{}, "0", false},
        {{"dave"}, "none", false},       // not a number: 0
        {{}, "", false},
    };
    for (const auto& c : cases) {
        m.PopList->clear();
        for (const auto& u : c.users) new QTreeWidgetItem(m.PopList, {QString::fromStdString(u), "1"});
        m.LblsmtpCount->setText(c.outbox);
        QTimer::singleShot(0, [] { FrmSettings->reject(); });
        m.BtnSetupClick();
        QComboBox* box = FrmSettings->CBXEmpty;
        ASSERT_EQ(box->count(), static_cast<int>(c.users.size())) << c.outbox;
        for (int i = 0; i < box->count(); ++i)
            EXPECT_EQ(box->itemText(i).toStdString(), c.users[static_cast<std::size_t>(i)]);
        EXPECT_EQ(box->currentIndex(), c.users.empty() ? -1 : 0);
        EXPECT_EQ(FrmSettings->BtnEmptyUser->isEnabled(), !c.users.empty()) << c.outbox;
        EXPECT_EQ(FrmSettings->BtnEmptyOutbox->isEnabled(), c.outboxButton) << c.outbox;
    }
    delete FrmSettings;
    FrmSettings = nullptr;
}

}  // namespace
