// Log viewer: pages loaded from the files, lines followed while it is open,
// the logging switches stored on Close only.
#include "shell/logs.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QPushButton>
#include <QTabWidget>

#include <fstream>

#include "platform/files.h"
#include "platform/inifile.h"
#include "shell/main.h"
#include "shell_env.h"

namespace {

void WriteBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string Text(QPlainTextEdit* memo) { return memo->toPlainText().toStdString(); }

class LogViewer : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        logs_ = new TFrmLogs();
        FrmLogs = logs_;
    }
    void TearDown() override {
        delete logs_;
        FrmLogs = nullptr;
    }
    QPlainTextEdit* Memo(const std::string& file) {
        if (file == "pop.log") return logs_->MemoPOP;
        if (file == "smtp.log") return logs_->MemoSMTP;
        if (file == "popsvr.log") return logs_->MemoPOPSVR;
        if (file == "smtpsvr.log") return logs_->MemoSMTPSVR;
        return logs_->MemoConnect;
    }

    shelltest::Home home_;
    TFrmLogs* logs_ = nullptr;
};

// All five pages' tabs fit the window as it first opens.
TEST_F(LogViewer, EveryTabIsShownWhole) {
    logs_->show();
    QApplication::processEvents();
    QTabBar* bar = logs_->PageControl1->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
        EXPECT_GE(bar->tabRect(i).left(), 0) << i;
        EXPECT_LE(bar->tabRect(i).right(), bar->width()) << i;
    }
    EXPECT_LE(logs_->width(), 1024);
}

TEST_F(LogViewer, LoadsEveryPageFromItsFile) {
    // Text left from an earlier showing must go when the file has gone.
    logs_->MemoSMTP->setPlainText("stale");
    struct Case {
        const char* file;
        const char* content;  // nullptr: no file
        std::string shown;
    } cases[] = {
        {"pop.log", "10:00: Checking bob\r\n>> +OK\r\n", "10:00: Checking bob\n>> +OK\n"},
        {"smtp.log", nullptr, ""},
        {"popsvr.log", "", ""},
        {"smtpsvr.log", ">> HELO x\r\n<< 250 ok", ">> HELO x\n<< 250 ok\n"},
        // Bytes that are not UTF-8 are kept, one character each.
        {"connect.log", "Dialing Caf\xe9\r\n", "Dialing Caf\u00e9\n"},
    };
    for (const auto& c : cases)
        if (c.content) WriteBytes(home_.Path(c.file), c.content);
    logs_->ShowLogs();
    EXPECT_TRUE(logs_->isVisible());
    for (const auto& c : cases) EXPECT_EQ(Text(Memo(c.file)), c.shown) << c.file;
    // pop.log is loaded last and its page is in front, with its path shown.
    EXPECT_EQ(logs_->PageControl1->currentWidget(), logs_->MemoPOP);
    EXPECT_EQ(logs_->StatusPanel0->text().toStdString(), ProgramDir + "pop.log");
    EXPECT_EQ(logs_->MemoPOP->textCursor().position(), logs_->MemoPOP->document()->characterCount() - 1);
}

TEST_F(LogViewer, StatusBarFollowsThePage) {
    logs_->ShowLogs();
    const char* files[] = {"pop.log", "smtp.log", "popsvr.log", "smtpsvr.log", "connect.log"};
    for (int page = 4; page >= 0; --page) {
        logs_->PageControl1->setCurrentIndex(page);
        EXPECT_EQ(logs_->StatusPanel0->text().toStdString(), ProgramDir + files[page]);
    }
}

TEST_F(LogViewer, FollowsLinesOfItsOwnFilesOnly) {
    // Lines reach the viewer through the main window, the engine's sink.
    TFrmMain main;
    procs::LogServerActivity = true;
    WriteBytes(home_.Path("smtp.log"), "first\r\n");
    logs_->ShowLogs();
    struct Case {
        std::string path;
        std::string line;
        QPlainTextEdit* page;  // nullptr: no page takes it
    } cases[] = {
        {ProgramDir + "smtp.log", "<< 250 Load and clear", logs_->MemoSMTP},
        {ProgramDir + "smtpsvr.log", ">> QUIT", logs_->MemoSMTPSVR},
        {ProgramDir + "connect.log", "10:05: Starting connection", logs_->MemoConnect},
        {ProgramDir + "pop.log", "one", logs_->MemoPOP},
        {ProgramDir + "pop.log", "two", logs_->MemoPOP},
        // Another spelling of the name has no page, though the file is written.
        {ProgramDir + "SMTP.log", "upper case", nullptr},
        {ProgramDir + "./popsvr.log", "dot", nullptr},
        {ProgramDir + "other.log", "other", nullptr},
    };
    std::string before[5];
    QPlainTextEdit* memos[] = {logs_->MemoPOP, logs_->MemoSMTP, logs_->MemoPOPSVR, logs_->MemoSMTPSVR,
                               logs_->MemoConnect};
    for (const auto& c : cases) {
        for (int i = 0; i < 5; ++i) before[i] = Text(memos[i]);
        procs::WriteLog(c.path, c.line);
        for (int i = 0; i < 5; ++i) {
            if (memos[i] == c.page)
                EXPECT_EQ(Text(memos[i]), before[i] + c.line + "\n") << c.path;
            else
                EXPECT_EQ(Text(memos[i]), before[i]) << c.path << " leaked into page " << i;
        }
    }
    EXPECT_EQ(Text(logs_->MemoSMTP), "first\n<< 250 Load and clear\n");
    EXPECT_EQ(Text(logs_->MemoPOP), "one\ntwo\n");
}

TEST_F(LogViewer, NoEchoWhenTheSwitchIsOffOrTheWindowHidden) {
    procs::LogServerActivity = false;
    logs_->ShowLogs();
    procs::WriteLog(ProgramDir + "popsvr.log", ">> USER bob");
    EXPECT_EQ(Text(logs_->MemoPOPSVR), "");
    EXPECT_FALSE(platform::FileExists(home_.Path("popsvr.log")));

    logs_->hide();
    procs::WriteLog(ProgramDir + "pop.log", "while hidden");
    EXPECT_EQ(Text(logs_->MemoPOP), "");
    // Shown again, the page comes from the file, line included.
    logs_->ShowLogs();
    EXPECT_EQ(Text(logs_->MemoPOP), "while hidden\n");
}

TEST_F(LogViewer, CloseStoresTheSwitchesTitleBarDoesNot) {
    struct Case {
        bool byButton;
        bool log1, log2;
        bool expect1, expect2;
    } cases[] = {
        {true, false, true, false, true},
        {true, true, false, true, false},
        {false, false, true, true, false},  // title bar: unchanged
    };
    for (const auto& c : cases) {
        procs::LogClientActivity = true;
        procs::LogServerActivity = false;
        std::remove(home_.Path("tarnwick.ini").c_str());
        logs_->ShowLogs();
        EXPECT_TRUE(logs_->CHBLog1->isChecked());
        EXPECT_FALSE(logs_->CHBLog2->isChecked());
        logs_->CHBLog1->setChecked(c.log1);
        logs_->CHBLog2->setChecked(c.log2);
        if (c.byButton)
            logs_->BtnClose->click();
        else
            logs_->close();
        EXPECT_FALSE(logs_->isVisible());
        EXPECT_EQ(procs::LogClientActivity, c.expect1);
        EXPECT_EQ(procs::LogServerActivity, c.expect2);
        platform::IniFile ini(home_.Path("tarnwick.ini"));
        if (c.byButton) {
            EXPECT_EQ(ini.ReadBool("General", "Logging1", !c.expect1), c.expect1);
            EXPECT_EQ(ini.ReadBool("General", "Logging2", !c.expect2), c.expect2);
        } else {
            EXPECT_FALSE(platform::FileExists(home_.Path("tarnwick.ini")));
        }
    }
}

TEST_F(LogViewer, SwitchedOffLogStopsGrowingAtOnce) {
    logs_->ShowLogs();
    procs::WriteLog(ProgramDir + "pop.log", "before");
    logs_->CHBLog1->setChecked(false);
    logs_->BtnClose->click();
    procs::WriteLog(ProgramDir + "pop.log", "after");
    procs::WriteLog(ProgramDir + "connect.log", "after");
    std::string data;
    ASSERT_TRUE(platform::ReadFile(home_.Path("pop.log"), data));
    EXPECT_EQ(data, "before\r\n");
    EXPECT_FALSE(platform::FileExists(home_.Path("connect.log")));
}

TEST_F(LogViewer, MainWindowMenuOpensIt) {
    platform::SetClockForTesting([] { return shelltest::At(2026, 5, 4, 10, 0); });
    WriteBytes(home_.Path("connect.log"), "10:00: Starting connection\r\n");
    TFrmMain main;
    EXPECT_FALSE(logs_->isVisible());
    main.Menu(main.MnuViewLogs);
    EXPECT_TRUE(logs_->isVisible());
    EXPECT_EQ(Text(logs_->MemoConnect).rfind("10:00: Starting connection\n", 0), 0u);
}

}  // namespace
