// Shared procedures: protocol-line splitting, entry checks, log files and
// their switches, trimming, the status line and the tray hint.
#include "shell/procs.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/files.h"
#include "shell/main.h"
#include "shell_env.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

TEST(ProcsSplitCommand, SplitsProtocolLines) {
    struct Case {
        std::string line, command, argument;
    } cases[] = {
        {"RETR 3\r\n", "retr", "3"},
        {"QUIT\r\n", "quit", ""},
        {"USER  bob\r\n", "user", " bob"},
        {"MAIL FROM:<A@B>\r\n", "mail", "FROM:<A@B>"},
        {"", "", ""},
        {"\r\n", "", ""},
        {"NoOp", "noop", ""},
        {"X\ry z\n", "xy", "z"},  // CR and LF go wherever they are
        {"CMD " + std::string(300, 'a'), "cmd", std::string(255, 'a')},
    };
    for (const auto& c : cases) {
        std::string command = "old", argument = "old";
        procs::SplitCommand(c.line, command, argument);
        EXPECT_EQ(command, c.command) << c.line;
        EXPECT_EQ(argument, c.argument) << c.line;
    }
}

TEST(ProcsValidateField, RejectsWithTheRightMessage) {
    shelltest::Home home;
    std::vector<std::string> shown;
    platform::SetDialogHandlerForTesting([&](platform::DialogCall& call) {
        EXPECT_EQ(call.kind, platform::MsgKind::Error);
        shown.push_back(call.text);
        return platform::MsgResult::Ok;
    });
    struct Case {
        std::string text;
        bool chars, empty, rejected;
        std::string message;
    } cases[] = {
        {"Bob", true, true, false, ""},
        {"bob.smith+x@dom-1", true, true, false, ""},
        {"bob smith", true, false, true, "Illegal characters (only letters and digits please) in User."},
        {"bob_smith", true, false, true, "Illegal characters (only letters and digits please) in User."},
        {"", true, true, true, "Field User cannot be empty."},
        {"", true, false, false, ""},
        {"a b", false, true, false, ""},
        {"a b", true, true, true, "Illegal characters (only letters and digits please) in User."},
    };
    for (const auto& c : cases) {
        shown.clear();
        EXPECT_EQ(procs::ValidateField(c.text, c.chars, c.empty, "User"), c.rejected) << c.text;
        if (c.rejected) {
            ASSERT_EQ(shown.size(), 1u) << c.text;
            EXPECT_EQ(shown[0], c.message);
        } else {
            EXPECT_TRUE(shown.empty()) << c.text;
        }
    }
}

TEST(ProcsReplaceChar, ReplacesEveryOccurrence) {
    std::string out;
    procs::ReplaceChar("a,b,,c", ',', "", out);
    EXPECT_EQ(out, "abc");
    procs::ReplaceChar("a.b", '.', "\\.", out);
    EXPECT_EQ(out, "a\\.b");
}

TEST(ProcsWriteLog, SwitchesChooseByFileName) {
    shelltest::Home home;
    struct Case {
        std::string name;
        bool client, server, written;
    } cases[] = {
        {"pop.log", true, false, true},
        {"pop.log", false, true, false},
        {"smtpsvr.log", true, false, false},
        {"SMTPSVR.LOG", false, true, true},
        {"popsvr.log", false, true, true},
        {"connect.log", false, false, false},
    };
    for (const auto& c : cases) {
        std::string path = home.Path(c.name);
        std::remove(path.c_str());
        procs::LogClientActivity = c.client;
        procs::LogServerActivity = c.server;
        procs::WriteLog(path, "12:00: hello");
        EXPECT_EQ(platform::FileExists(path), c.written) << c.name << c.client << c.server;
        if (c.written) {
            EXPECT_EQ(Slurp(path), "12:00: hello\r\n");
        }
    }
}

TEST(ProcsWriteLog, AppendsAndSurvivesAMissingFolder) {
    shelltest::Home home;
    std::string path = home.Path("smtp.log");
    procs::WriteLog(path, "one");
    procs::WriteLog(path, "two");
    EXPECT_EQ(Slurp(path), "one\r\ntwo\r\n");
    procs::WriteLog(home.Path("missing/smtp.log"), "lost");  // must not throw
    EXPECT_FALSE(platform::FileExists(home.Path("missing/smtp.log")));
}

TEST(ProcsTrimLogFile, KeepsTheLastLimitBytes) {
    shelltest::Home home;
    std::string path = home.Path("pop.log");
    procs::LogSizeLimit = 10;
    struct Case {
        std::string content, after;
    } cases[] = {
        {"0123456789", "0123456789"},    // exactly the limit: untouched
        {"0123456789A", "123456789A"},   // one over: the first byte goes
        {"abc", "abc"},
        {"line1\r\nline2\r\n", "1\r\nline2\r\n"},  // cut at a byte, not a line
    };
    for (const auto& c : cases) {
        WriteBytes(path, c.content);
        procs::TrimLogFile(path);
        EXPECT_EQ(Slurp(path), c.after) << c.content;
        EXPECT_FALSE(platform::FileExists(path + ".new"));
    }
    procs::TrimLogFile(home.Path("none.log"));  // a missing log stays missing
    EXPECT_FALSE(platform::FileExists(home.Path("none.log")));
}

TEST(ProcsFileSizeOf, MissingIsZero) {
    shelltest::Home home;
    EXPECT_EQ(procs::FileSizeOf(home.Path("nothing")), 0);
    WriteBytes(home.Path("five"), "12345");
    EXPECT_EQ(procs::FileSizeOf(home.Path("five")), 5);
}

TEST(ProcsDeleteFiles, DeletesByMaskIgnoringCase) {
    shelltest::Home home;
    for (const char* n : {"bob_1.dat", "BOB_2.DAT", "ann_1.dat", "bob_1.txt"}) WriteBytes(home.Path(n), "x");
    procs::DeleteFiles(home.Dir(), "bob_*.dat");
    EXPECT_FALSE(platform::FileExists(home.Path("bob_1.dat")));
    EXPECT_FALSE(platform::FileExists(home.Path("BOB_2.DAT")));
    EXPECT_TRUE(platform::FileExists(home.Path("ann_1.dat")));
    EXPECT_TRUE(platform::FileExists(home.Path("bob_1.txt")));
    procs::DeleteFiles(home.Path("no-such-folder"), "*.*");
    procs::DeleteFiles(home.Dir(), "*.*");
    EXPECT_FALSE(platform::FileExists(home.Path("ann_1.dat")));
}

TEST(ProcsDelay, RunsEventsAndWaitsItsTime) {
    shelltest::App();
    bool fired = false;
    QTimer::singleShot(10, [&] { fired = true; });
    QElapsedTimer t;
    t.start();
    procs::Delay(60);
    EXPECT_TRUE(fired);
    EXPECT_GE(t.elapsed(), 60);
}

// The wall clock may be set at any time (time service, daylight saving):
// the wait keeps its length, here with every reading an hour further on.
TEST(ProcsDelay, AWallClockPutForwardDoesNotShortenTheWait) {
    shelltest::App();
    int readings = 0;
    platform::SetClockForTesting(
        [&] { return std::chrono::system_clock::now() + std::chrono::hours(++readings); });
    QElapsedTimer t;
    t.start();
    procs::Delay(60);
    const qint64 waited = t.elapsed();
    platform::SetClockForTesting({});
    EXPECT_GE(waited, 60);
}

// A one-response HTTP server on 127.0.0.1 that keeps the last request.
class CannedHttp {
public:
    explicit CannedHttp(std::string response) : response_(std::move(response)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = server_.nextPendingConnection();
            QObject::connect(s, &QTcpSocket::readyRead, [this, s] {
                request_ += s->readAll().toStdString();
                if (request_.find("\r\n\r\n") == std::string::npos) return;
                s->write(response_.data(), static_cast<qint64>(response_.size()));
                s->disconnectFromHost();
            });
        });
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
    }
    const std::string& Request() const { return request_; }

private:
    QTcpServer server_;
    std::string response_;
    std::string request_;
};

std::string Http(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(ProcsFetchURL, ReadsTheWholeBody) {
    shelltest::App();
    std::string big(3000, 'v');
    struct Case {
        std::string body, text;
    } cases[] = {
        {"2.0.8\r\n", "2.0.8\r\n"},
        {big, big},
        {std::string("abc\0def", 7) + std::string(1025, 'x'), "abc" + std::string(7, 'x')},
    };
    for (const auto& c : cases) {
        CannedHttp server(Http("200 OK", c.body));
        std::string text = "old";
        procs::FetchURL(server.Url("/version.txt"), text);
        EXPECT_EQ(text, c.text);
        EXPECT_NE(server.Request().find("User-Agent: Tarnwick\r\n"), std::string::npos) << server.Request();
    }
}

TEST(ProcsFetchURL, FailuresRaiseCannotOpen) {
    shelltest::App();
    CannedHttp missing(Http("404 Not Found", "no such page"));
    std::string url = missing.Url("/nothing");
    std::string text;
    try {
        procs::FetchURL(url, text);
        ADD_FAILURE() << "a missing page was read";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open URL " + url);
    }
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    std::string refused = "http://127.0.0.1:" + std::to_string(closed.serverPort()) + "/";
    closed.close();
    EXPECT_THROW(procs::FetchURL(refused, text), std::runtime_error);
}

class ProcsStatus : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        main_ = new TFrmMain();
        auto* row = new QTreeWidgetItem(main_->PopList);
        row->setText(0, "bob");
        row->setText(1, "2 (3 kb)");
        row = new QTreeWidgetItem(main_->PopList);
        row->setText(0, "ann");
        row->setText(1, "1 (120 bytes)");
    }
    void TearDown() override { delete main_; }
    shelltest::Home home_;
    TFrmMain* main_ = nullptr;
};

TEST_F(ProcsStatus, ActiveAndIdleHints) {
    procs::SetStatus("Collecting", true);
    EXPECT_EQ(main_->StatusText(), "Collecting");
    EXPECT_TRUE(TFrmMain::IsLabelBold(main_->StatusBar1));
    EXPECT_EQ(main_->TrayHint(), "Tarnwick: Active\rCollecting");

    main_->AlarmClock1->SetAlarmEnabled(false);
    procs::SetStatus("Done", false);
    EXPECT_FALSE(TFrmMain::IsLabelBold(main_->StatusBar1));
    EXPECT_EQ(main_->TrayHint(), "Tarnwick: Idle\rbob: 2 (3 kb)\rann: 1 (120 bytes)");

    main_->AlarmClock1->SetAlarm(shelltest::At(2026, 3, 4, 7, 5, 30));
    main_->AlarmClock1->SetAlarmEnabled(true);
    procs::SetStatus("Done", false);
    EXPECT_EQ(main_->TrayHint(), "Tarnwick: Next Send/Recv at 07:05\rbob: 2 (3 kb)\rann: 1 (120 bytes)");
}

TEST_F(ProcsStatus, IdleGivesTheButtonsBackInEitherMode) {
    struct Case {
        std::string text;
        bool active, enabled;
    } cases[] = {
        {"Idle", false, true},
        {"Idle", true, true},
        {"Connected", true, false},
        {"idle", false, false},
    };
    for (const auto& c : cases) {
        main_->BtnSendRec->setEnabled(false);
        main_->BtnSendRec2->setEnabled(false);
        procs::SetStatus(c.text, c.active);
        EXPECT_EQ(main_->BtnSendRec->isEnabled(), c.enabled) << c.text << c.active;
        EXPECT_EQ(main_->BtnSendRec2->isEnabled(), c.enabled) << c.text << c.active;
    }
}

// Records every place and size a widget takes.
class GeometryLog : public QObject {
public:
    std::vector<QRect> frames;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Move || event->type() == QEvent::Resize) {
            const QRect now = static_cast<QWidget*>(watched)->geometry();
            if (frames.empty() || frames.back() != now) frames.push_back(now);
        }
        return false;
    }
};

QWidget* TrayOutline() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "TrayAnimation") return w;
    return nullptr;
}

// Minimising to the tray moves an outline from the window to the tray in a
// few frames (restoring the other way), and the outline goes at the end.
// Without a tray nothing is drawn.
TEST_F(ProcsStatus, TrayAnimationRunsItsFramesAndEnds) {
    main_->setGeometry(100, 120, 400, 300);
    main_->TrayIcon1->hide();
    procs::AnimateToTray(main_, true, true);
    EXPECT_EQ(TrayOutline(), nullptr);

    main_->TrayIcon1->show();
    ASSERT_TRUE(main_->TrayIcon1->isVisible());
    // The offscreen desktop names no icon place: the corner beside the panel.
    const QRect screen = main_->screen()->geometry();
    const QRect tray(screen.bottomRight() - QPoint(31, 31), QSize(32, 32));
    const QRect window = main_->frameGeometry();
    for (const bool toTray : {true, false}) {
        SCOPED_TRACE(toTray ? "to the tray" : "from the tray");
        procs::AnimateToTray(main_, toTray, false);
        QPointer<QWidget> outline = TrayOutline();
        ASSERT_NE(outline, nullptr);
        GeometryLog log;
        log.frames.push_back(outline->geometry());
        outline->installEventFilter(&log);
        QElapsedTimer t;
        t.start();
        while (outline && t.elapsed() < 10000) procs::Delay(5);
        ASSERT_TRUE(outline.isNull()) << "the animation never ended";
        const QRect from = toTray ? window : tray;
        const QRect to = toTray ? tray : window;
        EXPECT_EQ(log.frames.front(), from);
        EXPECT_EQ(log.frames.back(), to);
        EXPECT_GE(log.frames.size(), 5u);
        for (size_t i = 1; i < log.frames.size(); ++i) {
            // Every frame lies between the ends.
            const QRect& f = log.frames[i];
            EXPECT_LE(std::min(from.width(), to.width()), f.width());
            EXPECT_GE(std::max(from.width(), to.width()), f.width());
            EXPECT_LE(std::min(from.left(), to.left()), f.left());
            EXPECT_GE(std::max(from.left(), to.left()), f.left());
        }
    }
}

}  // namespace
