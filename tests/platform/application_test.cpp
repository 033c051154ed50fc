// The application object: exceptions escaping handlers, display choice.
#include "platform/application.h"
#include "platform/sockets.h"
#include "qt_app.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <unistd.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using platform::Application;

// Collects what reaches the exception handler; restores the default after.
class ExceptionLog {
public:
    ExceptionLog() {
        twtest::App();
        Application::SetExceptionHandler([this](std::exception_ptr e, const std::string& text) {
            EXPECT_TRUE(e != nullptr);
            texts.push_back(text);
        });
    }
    ~ExceptionLog() { Application::SetExceptionHandler({}); }
    std::vector<std::string> texts;
};

TEST(Application, ExceptionsInTimerHandlersDoNotStopTheLoop) {
    ExceptionLog log;
    QEventLoop loop;
    int ticks = 0;
    QTimer repeating;
    QObject::connect(&repeating, &QTimer::timeout, [&] {
        if (++ticks <= 3) throw std::runtime_error("tick " + std::to_string(ticks));
    });
    repeating.start(1);
    QTimer::singleShot(0, [] { throw std::string("plain text thrown"); });
    QTimer::singleShot(0, [] { throw 42; });
    bool finished = false;
    QTimer::singleShot(0, [&] {
        // Runs only if the loop survived the throws queued before it.
        QTimer::singleShot(30, [&] {
            finished = true;
            loop.quit();
        });
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);  // guard against a hang
    loop.exec();
    EXPECT_TRUE(finished);
    EXPECT_GT(ticks, 3);  // the timer kept firing after it threw
    ASSERT_EQ(log.texts.size(), 5u);
    EXPECT_EQ(log.texts[0], "plain text thrown");
    EXPECT_EQ(log.texts[1], "unknown exception (int)");
    EXPECT_EQ(log.texts[2], "std::runtime_error: tick 1");
    EXPECT_EQ(log.texts[4], "std::runtime_error: tick 3");
}

// Every event runs inside a fault barrier of its own, nested ones inside
// the outer one, and the barrier is gone again however the event ends.
// The crash reporter sees an escaped exception before the handler does.
std::vector<std::string>* g_order = nullptr;
void CrashEntry(std::exception_ptr) { g_order->push_back("crash reporter"); }

TEST(Application, FaultBarriersFollowTheEventsAndTheCrashReporterComesFirst) {
    ExceptionLog log;
    std::vector<std::string> order;
    g_order = &order;
    platform::SetExceptionHandler([&](std::exception_ptr, const std::string& text) {
        order.push_back("handler: " + text);
    });
    platform::SetCrashHooks({CrashEntry, nullptr});
    EXPECT_EQ(platform::CurrentFaultBarrier(), nullptr);

    platform::FaultBarrier* outer = nullptr;
    platform::FaultBarrier* inner = nullptr;
    bool innerReachesOuter = false;
    platform::FaultBarrier* afterInner = nullptr;
    platform::FaultBarrier* afterThrow = reinterpret_cast<platform::FaultBarrier*>(1);
    QEventLoop loop;
    QTimer::singleShot(0, [&] {
        outer = platform::CurrentFaultBarrier();
        QEventLoop nested;
        QTimer::singleShot(0, [&] {
            inner = platform::CurrentFaultBarrier();
            // The nested loop's event runs in the outer event's barrier
            // chain (looked at now: the barriers live on the stack).
            for (auto* b = inner; b; b = b->outer) innerReachesOuter |= b == outer;
            nested.quit();
        });
        nested.exec();
        afterInner = platform::CurrentFaultBarrier();
    });
    QTimer::singleShot(5, [] { throw std::runtime_error("escaped"); });
    QTimer::singleShot(10, [&] {
        QTimer::singleShot(0, [&] {
            afterThrow = platform::CurrentFaultBarrier() ? platform::CurrentFaultBarrier()->outer : nullptr;
            loop.quit();
        });
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    platform::SetCrashHooks({});
    g_order = nullptr;

    ASSERT_NE(outer, nullptr);
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner, outer);
    EXPECT_TRUE(innerReachesOuter);
    EXPECT_EQ(afterInner, outer);
    // After an event that threw, the next event's barrier sits on nothing.
    EXPECT_EQ(afterThrow, nullptr);
    EXPECT_EQ(platform::CurrentFaultBarrier(), nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"crash reporter", "handler: std::runtime_error: escaped"}));
}

TEST(Application, ExceptionInSocketHandlerLeavesServerServing) {
    ExceptionLog log;
    platform::TcpServer server;
    ASSERT_EQ(server.Open(0, "127.0.0.1"), platform::OpenResult::Ok);
    int reads = 0;
    server.OnClientRead = [&](platform::TcpConnection& c) {
        std::string text = c.ReceiveText();
        if (++reads == 1) throw std::logic_error("bad command");
        c.SendText("echo " + text);
    };
    platform::TcpClient client;
    client.SetAddress("127.0.0.1");
    client.SetPort(server.Port());
    std::string received;
    client.OnConnect = [&] { client.SendText("one"); };
    client.OnRead = [&] { received += client.ReceiveText(); };
    client.Open();
    ASSERT_TRUE(twtest::RunUntil([&] { return reads == 1; }));
    client.SendText("two");
    ASSERT_TRUE(twtest::RunUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received, "echo two");
    ASSERT_EQ(log.texts.size(), 1u);
    EXPECT_EQ(log.texts[0], "std::logic_error: bad command");
}

TEST(Application, GuardedSlotsReportWhereTheyThrow) {
    ExceptionLog log;
    QObject emitter;
    std::vector<QString> names;
    QObject::connect(&emitter, &QObject::objectNameChanged, &emitter,
                     platform::Guarded([&](const QString& name) {
                         names.push_back(name);
                         if (name == "bad") throw std::invalid_argument("bad name");
                     }));
    emitter.setObjectName("bad");  // synchronous: no event loop involved
    emitter.setObjectName("good");
    EXPECT_EQ(names, (std::vector<QString>{"bad", "good"}));
    ASSERT_EQ(log.texts.size(), 1u);
    EXPECT_EQ(log.texts[0], "std::invalid_argument: bad name");

    bool ran = false;
    QTimer::singleShot(0, platform::Guarded([&] {
        ran = true;
        throw std::runtime_error("from a timer");
    }));
    EXPECT_TRUE(twtest::RunUntil([&] { return ran; }));
    EXPECT_EQ(log.texts.size(), 2u);
}

TEST(Application, ThrowingHandlerDoesNotStopTheLoop) {
    twtest::App();
    int calls = 0;
    Application::SetExceptionHandler([&](std::exception_ptr, const std::string&) {
        ++calls;
        throw std::runtime_error("handler failed too");
    });
    bool after = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("first"); });
    QTimer::singleShot(0, [&] { after = true; });
    EXPECT_TRUE(twtest::RunUntil([&] { return after; }));
    EXPECT_EQ(calls, 1);
    Application::SetExceptionHandler({});
}

TEST(Application, TerminationSignalsArriveThroughTheLoop) {
    twtest::App();
    std::vector<int> got;
    ASSERT_TRUE(platform::WatchTerminationSignals([&](int sig) { got.push_back(sig); }));
    ::raise(SIGTERM);
    ::raise(SIGINT);
    EXPECT_TRUE(got.empty());  // never inside the signal handler
    EXPECT_TRUE(twtest::RunUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGINT}));
    platform::WatchTerminationSignals({});
}

TEST(Application, UnreachableDisplayFallsBackToHeadless) {
    // A fresh process whose environment names a display nobody serves; Qt
    // alone would abort at start. The test it runs asserts IsHeadless().
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string command = std::string("env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY=:97 ") +
                                "ASAN_OPTIONS=detect_leaks=0 '" + self +
                                "' --gtest_filter=Dialogs.HeadlessAnswersChangeNothingUnlessToldOtherwise "
                                ">/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(Application, DescribeException) {
    struct Case {
        std::exception_ptr error;
        std::string text;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(std::out_of_range("index 7")), "std::out_of_range: index 7"},
        {std::make_exception_ptr(std::string("text")), "text"},
        {std::make_exception_ptr("literal"), "literal"},
        {std::make_exception_ptr(3.5), "unknown exception (double)"},
        {nullptr, "no exception"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::DescribeException(c.error), c.text);
}

// Sets or clears environment variables for one test and puts them back.
class EnvGuard {
public:
    void Set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(Application, DisplayEnvironmentChoice) {
    struct Case {
        const char* qpa;
        const char* display;
        const char* wayland;
        const char* expected;  // QT_QPA_PLATFORM afterwards
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, "offscreen"},   // no display at all
        {nullptr, "", "", "offscreen"},             // empty counts as none
        {nullptr, ":0", nullptr, "xcb;offscreen"},  // X display, unless it is unreachable
        {nullptr, ":0", "wayland-0", "wayland;xcb;offscreen"},
        {"xcb", nullptr, nullptr, "xcb"},           // the environment's choice stands
        {"minimal", ":0", nullptr, "minimal"},
    };
    for (const auto& c : cases) {
        EnvGuard env;
        env.Set("QT_QPA_PLATFORM", c.qpa);
        env.Set("DISPLAY", c.display);
        env.Set("WAYLAND_DISPLAY", c.wayland);
        platform::PrepareDisplayEnvironment();
        const char* now = std::getenv("QT_QPA_PLATFORM");
        EXPECT_STREQ(now, c.expected) << "display " << (c.display ? c.display : "(none)");
    }
}

}  // namespace
