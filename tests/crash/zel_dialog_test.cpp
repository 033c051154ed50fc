// The exception dialog on the offscreen platform, built directly on the
// test's main thread: its buttons, focus and countdown by case, Escape, the
// widening to the report, and the console variant without a main thread.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "crash/zel_dialog.h"
#include "crash/zel_report.h"
#include "crash_test_util.h"
#include "test_app.h"

using namespace zelExcept;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kReport = "date/time         : 2026-12-07\r\nexception class   : E\r\nexception message : Disk full.";

class ZelDialog : public ::testing::Test {
protected:
    void SetUp() override {
        twtest::EnsureQtApp();
        InstallExceptionWindows();
        saved_ = Settings();
    }
    void TearDown() override { Settings() = saved_; }

    std::unique_ptr<TExceptionBox> Make(const TExceptionRecord& e) {
        return std::make_unique<TExceptionBox>(e, kReport, [this](TAction a) { runs_.push_back(a); },
                                               [this] { return now_; });
    }

    std::vector<TAction> runs_;
    Clock::time_point now_{};

private:
    TSettingsBlock saved_;
};

void Pump(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

TExceptionRecord Exception(bool canContinue, bool autoClose = false, bool autoRestart = false) {
    TExceptionRecord e;
    e.HasObject = true;
    e.ClassName = "E";
    e.Message = "Disk full";
    e.CanContinue = canContinue;
    e.AutoCloseApplies = autoClose;
    e.AutoRestartApplies = autoRestart;
    return e;
}

}  // namespace

TEST_F(ZelDialog, ButtonsFocusAndCountdownByCase) {
    struct Case {
        const char* what;
        bool canContinue, autoClose, autoRestart;
        void (*settings)(TSettingsBlock&);
        std::vector<int> buttons;
        int focus, countdown;
    } cases[] = {
        {"can continue", true, false, false, [](TSettingsBlock&) {}, {0, 3, 4, 5, 6}, actContinue, actContinue},
        {"cannot continue", false, false, false, [](TSettingsBlock&) {}, {0, 3, 4, 5, 6}, actMail, -1},
        {"auto-close applies", true, true, false, [](TSettingsBlock&) {}, {0, 3, 4, 5, 6}, actClose, actClose},
        {"auto-restart applies", false, false, true, [](TSettingsBlock&) {}, {0, 3, 4, 5, 6}, actRestart, actRestart},
        {"continue left from an earlier exception", false, false, false,
         [](TSettingsBlock& s) { s.FocusButton = actContinue; }, {0, 3, 4, 5, 6}, actMail, -1},
        {"stored close", false, false, false, [](TSettingsBlock& s) { s.FocusButton = actClose; },
         {0, 3, 4, 5, 6}, actClose, -1},
        {"continue not the default", true, false, false, [](TSettingsBlock& s) { s.ContinueIsDefault = false; },
         {0, 3, 4, 5, 6}, actMail, -1},
        {"plain buttons have no countdown", true, false, false, [](TSettingsBlock& s) { s.ButtonLook = false; },
         {0, 3, 4, 5, 6}, actContinue, -1},
        {"save and print captions", true, false, false,
         [](TSettingsBlock& s) { s.ButtonTexts[actSave] = "save"; s.ButtonTexts[actPrint] = "print"; },
         {0, 1, 2, 3, 4, 5, 6}, actContinue, actContinue},
        {"no continue button", true, false, false, [](TSettingsBlock& s) { s.ButtonTexts[actContinue].clear(); },
         {0, 3, 5, 6}, actMail, -1},
        {"details at once", false, false, false, [](TSettingsBlock& s) { s.DetailsAtOnce = true; },
         {0, 4, 5, 6}, actMail, -1},
    };
    for (const Case& c : cases) {
        TSettingsBlock fresh;
        c.settings(fresh);
        Settings() = fresh;
        auto box = Make(Exception(c.canContinue, c.autoClose, c.autoRestart));
        std::vector<int> buttons;
        for (int i = 0; i < 7; ++i)
            if (box->Button(i)) buttons.push_back(i);
        EXPECT_EQ(buttons, c.buttons) << c.what;
        EXPECT_EQ(box->FocusAction(), c.focus) << c.what;
        EXPECT_EQ(Settings().FocusButton, c.focus) << c.what;
        ASSERT_NE(box->Button(c.focus), nullptr) << c.what;
        EXPECT_TRUE(box->Button(c.focus)->isDefault()) << c.what;
        EXPECT_EQ(box->CountdownAction(), c.countdown) << c.what;
        EXPECT_EQ(box->ReportShown(), fresh.DetailsAtOnce) << c.what;
        for (int i : buttons) {
            EXPECT_EQ(box->Button(i)->height(), 22) << c.what;
            EXPECT_EQ(box->Button(i)->text().toStdString(), fresh.ButtonTexts[std::size_t(i)]) << c.what;
        }
    }
}

TEST_F(ZelDialog, TitleAndTextWithPlaceholders) {
    Settings().DialogTitle = "%appname% trouble";
    Settings().DialogText = "Sorry: %exceptMsg%%LF%We are on it.";
    auto box = Make(Exception(false));
    EXPECT_EQ(box->windowTitle().toStdString(), AppName() + " trouble");
    EXPECT_EQ(box->MessageLabel()->text().toStdString(), "Sorry: Disk full.\nWe are on it.");
    TExceptionRecord frozen = Exception(true);
    frozen.Frozen = true;
    auto frozenBox = Make(frozen);
    EXPECT_EQ(frozenBox->MessageLabel()->text().toStdString(), "The application seems to be frozen.");
}

TEST_F(ZelDialog, CountdownRunsOutAndContinues) {
    auto box = Make(Exception(true));
    box->Start();
    now_ += std::chrono::seconds(30);
    box->CountdownTick();
    EXPECT_DOUBLE_EQ(box->Button(actContinue)->Progress(), 0.5);
    QCoreApplication::processEvents();
    EXPECT_TRUE(runs_.empty());
    now_ += std::chrono::milliseconds(29990);
    box->CountdownTick();
    QCoreApplication::processEvents();
    EXPECT_TRUE(runs_.empty());
    now_ += std::chrono::milliseconds(10);
    box->CountdownTick();
    QCoreApplication::processEvents();
    ASSERT_EQ(runs_, std::vector<TAction>{actContinue});
    EXPECT_TRUE(box->Busy());
    box->ActionDone(actContinue, true, kReport);
    EXPECT_EQ(box->result(), int(actContinue));
    EXPECT_FALSE(box->isVisible());
}

TEST_F(ZelDialog, AnyButtonStopsTheCountdown) {
    auto box = Make(Exception(true));
    box->Start();
    now_ += std::chrono::seconds(20);
    box->CountdownTick();
    box->Button(actMail)->click();
    EXPECT_EQ(runs_, std::vector<TAction>{actMail});
    EXPECT_EQ(box->CountdownAction(), -1);
    EXPECT_LT(box->Button(actContinue)->Progress(), 0);
    // While the mail is out, nothing else can be pressed.
    EXPECT_FALSE(box->Button(actClose)->isEnabled());
    box->ActionDone(actMail, false, kReport);
    EXPECT_TRUE(box->Button(actClose)->isEnabled());
    now_ += std::chrono::seconds(60);
    box->CountdownTick();
    QCoreApplication::processEvents();
    EXPECT_EQ(runs_, std::vector<TAction>{actMail});
    EXPECT_TRUE(box->isVisible());
}

TEST_F(ZelDialog, EscapeAndTitleBarCloseByCase) {
    struct Case {
        bool canContinue;
        int storedFocus;
        TAction expected;
    } cases[] = {
        {false, actMail, actClose},
        {true, actMail, actContinue},
        {false, actRestart, actRestart},
        {false, actContinue, actClose},
    };
    for (const Case& c : cases) {
        Settings() = TSettingsBlock{};
        Settings().FocusButton = c.storedFocus;
        runs_.clear();
        auto box = Make(Exception(c.canContinue));
        box->Start();
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(box.get(), &escape);
        EXPECT_EQ(runs_, std::vector<TAction>{c.expected}) << c.canContinue << " " << c.storedFocus;
    }
    // The title bar's close asks the same.
    Settings() = TSettingsBlock{};
    runs_.clear();
    auto box = Make(Exception(false));
    box->Start();
    box->close();
    EXPECT_EQ(runs_, std::vector<TAction>{actClose});
    EXPECT_TRUE(box->isVisible());

    // Nothing to close with: the request is ignored.
    TButtonSet none{};
    none[actMail] = true;
    EXPECT_EQ(CloseRequestAction(actMail, none, true), -1);
}

TEST_F(ZelDialog, ShowWidensToTheReportAndDropsItsButton) {
    auto box = Make(Exception(false));
    box->Start();
    const int narrow = box->width();
    ASSERT_LT(narrow, 538);
    const int closeLeft = box->Button(actClose)->x();
    box->Button(actShow)->click();
    EXPECT_EQ(runs_, std::vector<TAction>{actShow});
    box->ActionDone(actShow, true, kReport + " (handled)");
    EXPECT_EQ(box->width(), 538);
    EXPECT_EQ(box->Button(actShow), nullptr);
    EXPECT_TRUE(box->ReportShown());
    EXPECT_EQ(box->ReportView()->toPlainText().toStdString().find("Disk full. (handled)") != std::string::npos,
              true);
    EXPECT_EQ(box->Button(actClose)->x(), closeLeft + 538 - narrow);
    EXPECT_GT(box->height(), box->ReportView()->y() + box->ReportView()->height() - 1);
    EXPECT_TRUE(box->isVisible());
}

// Shows the dialog for kReport with standard output captured into `out`;
// the actions its handlers are asked for go to `fired`.
TAction ShowCapturingStdout(const TExceptionRecord& e, std::vector<TAction>& fired, std::string& out) {
    std::string report = kReport;
    std::fflush(stdout);
    crashtest::TempDir dir;
    FILE* capture = std::fopen(dir.File("out.txt").c_str(), "w+");
    int saved = dup(1);
    dup2(fileno(capture), 1);
    const TAction result = ShowExceptionDialog(e, report, [&](TAction a, std::string&) {
        fired.push_back(a);
        return false;
    });
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(capture);
    out = crashtest::ReadFile(dir.File("out.txt"));
    return result;
}

TEST_F(ZelDialog, ConsoleVariantWithoutAMainThread) {
    struct Case {
        TExceptionRecord e;
        bool showCaption;
        TAction expected;
        std::string out;
    } cases[] = {
        {Exception(false), true, actClose,
         "An error occurred in the application.\ndate/time         : 2026-12-07\nexception class   : E\n"
         "exception message : Disk full.\n"},
        {Exception(true), true, actContinue,
         "An error occurred in the application.\ndate/time         : 2026-12-07\nexception class   : E\n"
         "exception message : Disk full.\n"},
        {Exception(true, false, true), false, actRestart, "An error occurred in the application.\n"},
        {Exception(true, true, false), false, actClose, "An error occurred in the application.\n"},
    };
    for (const Case& c : cases) {
        Settings() = TSettingsBlock{};
        if (!c.showCaption) Settings().ButtonTexts[actShow].clear();
        std::vector<TAction> fired;
        std::string out;
        EXPECT_EQ(ShowCapturingStdout(c.e, fired, out), c.expected);
        EXPECT_EQ(fired, std::vector<TAction>{c.expected});
        EXPECT_EQ(out, c.out);
    }
}

// A program without the windows (the engine alone) has no dialog to show:
// even with a display and an answering main thread the console variant
// decides, and the main thread is never asked to build a window.
TEST_F(ZelDialog, WithoutTheWindowsTheConsoleDecides) {
    SetWindowHooks({});
    int mainThreadCalls = 0;
    DialogEnvironment().Headless = [] { return false; };
    DialogEnvironment().MainThreadCall = [&](const std::function<void()>& call) {
        ++mainThreadCalls;
        call();
        return true;
    };
    const struct {
        TExceptionRecord e;
        TAction expected;
    } cases[] = {
        {Exception(false), actClose},
        {Exception(true), actContinue},
        {Exception(true, false, true), actRestart},
    };
    for (const auto& c : cases) {
        Settings() = TSettingsBlock{};
        std::vector<TAction> fired;
        std::string out;
        EXPECT_EQ(ShowCapturingStdout(c.e, fired, out), c.expected);
        EXPECT_EQ(fired, std::vector<TAction>{c.expected});
        EXPECT_EQ(out.rfind("An error occurred in the application.\n", 0), 0u);
    }
    EXPECT_EQ(mainThreadCalls, 0);
    DialogEnvironment() = TDialogEnvironment{};
    InstallExceptionWindows();
}

// Not a check: saves a picture of the dialog for a person to look at, when
// TW_DIALOG_SHOT names the file; TW_DIALOG_SHOW_REPORT adds one with the
// report shown. On a real X server, from the build folder:
//   TW_DIALOG_SHOT=/tmp/box.png QT_QPA_PLATFORM=xcb xvfb-run -a
//   tests/test_crash --gtest_filter=ZelDialog.Screenshot
TEST_F(ZelDialog, Screenshot) {
    const char* path = std::getenv("TW_DIALOG_SHOT");
    if (path == nullptr) GTEST_SKIP() << "TW_DIALOG_SHOT not set";
    auto box = Make(Exception(true));
    box->Start();
    now_ += std::chrono::seconds(21);
    box->CountdownTick();
    Pump(300);
    box->grab().save(path);
    if (std::getenv("TW_DIALOG_SHOW_REPORT")) {
        box->ActionDone(actShow, true, kReport);
        Pump(300);
        box->grab().save(QString(path) + ".report.png");
    }
}

namespace {

TExceptionBox* OpenBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = dynamic_cast<TExceptionBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

template <typename Cond>
bool PumpUntil(Cond cond, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!cond() && timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return cond();
}

}  // namespace

// The way the exception thread uses it: the dialog opens on the main
// thread, which goes on pumping, and each button's handlers and action run
// back in the exception thread.
TEST_F(ZelDialog, ButtonsAreCarriedOutInTheExceptionThread) {
    DialogEnvironment().Headless = [] { return false; };
    DialogEnvironment().MainThreadCall = [](const std::function<void()>& call) {
        return QMetaObject::invokeMethod(qApp, call, Qt::BlockingQueuedConnection);
    };
    const std::thread::id mainThread = std::this_thread::get_id();
    std::mutex lock;
    std::vector<std::pair<TAction, bool>> fired;  // action, in the main thread
    std::atomic<bool> finished{false};
    TAction result = actMail;
    std::string report = kReport;
    std::thread exceptionThread([&] {
        result = ShowExceptionDialog(Exception(false), report, [&](TAction a, std::string& r) {
            std::lock_guard<std::mutex> guard(lock);
            fired.emplace_back(a, std::this_thread::get_id() == mainThread);
            r += "\r\nnote from the handler";
            return a == actMail;  // the mail limiter says no
        });
        finished = true;
    });
    TExceptionBox* box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = OpenBox()) != nullptr; }));
    EXPECT_EQ(box->FocusAction(), actMail);
    box->Button(actMail)->click();
    EXPECT_TRUE(PumpUntil([&] { return !box->Busy(); }));
    box->Button(actShow)->click();
    EXPECT_TRUE(PumpUntil([&] { return box->ReportShown(); }));
    EXPECT_NE(box->ReportView()->toPlainText().indexOf("note from the handler"), -1);
    box->Button(actClose)->click();
    EXPECT_TRUE(PumpUntil([&] { return finished.load(); }));
    exceptionThread.join();
    EXPECT_EQ(result, actClose);
    EXPECT_EQ(fired, (std::vector<std::pair<TAction, bool>>{{actMail, false}, {actShow, false}, {actClose, false}}));
    EXPECT_TRUE(PumpUntil([] { return OpenBox() == nullptr; }));
    DialogEnvironment() = TDialogEnvironment{};
}

// The progress popup of a long report: posted from the exception thread,
// shown on the main thread with its percentage, gone at the end; headless
// there is none.
TEST_F(ZelDialog, ReportProgressPopup) {
    auto popup = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* p = dynamic_cast<TProgressPopup*>(w); p != nullptr && p->isVisible()) return p;
        return static_cast<TProgressPopup*>(nullptr);
    };
    const auto progress = WindowHooks().ReportProgress;
    ASSERT_NE(progress, nullptr);

    DialogEnvironment().Headless = [] { return true; };
    std::thread([&] { progress(100); }).join();
    Pump(100);
    EXPECT_EQ(popup(), nullptr);

    DialogEnvironment().Headless = [] { return false; };
    std::thread([&] {
        progress(0);
        progress(344);
    }).join();
    ASSERT_TRUE(PumpUntil([&] { return popup() != nullptr; }));
    EXPECT_EQ(popup()->Text(), "34%");
    EXPECT_EQ(popup()->height(), 23);
    std::thread([&] { progress(-1); }).join();
    EXPECT_TRUE(PumpUntil([&] { return popup() == nullptr; }));
    DialogEnvironment() = TDialogEnvironment{};
}
