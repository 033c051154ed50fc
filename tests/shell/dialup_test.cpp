// The dial-up link with the scripted backend: state texts, the order and
// thread of its events, failures, and the bounded hang-up.
#include "shell/dialup.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/dialup_fake.h"

namespace {

using platform::FakeDialUpBackend;
using platform::FakeDialStep;

void EnsureApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_shell";
    static char* argv[] = {name, nullptr};
    new platform::Application(argc, argv);
}

bool RunUntil(const std::function<bool()>& done, int maxMilliseconds = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMilliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void RunFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// Every event the component fires, as a line, and the thread it fired on.
struct Recorder {
    std::vector<std::string> events;
    bool offMainThread = false;

    void Attach(TDialUp& d) {
        auto note = [this](const std::string& line) {
            if (QThread::currentThread() != QCoreApplication::instance()->thread()) offMainThread = true;
            events.push_back(line);
        };
        d.OnDialing = [note](TDialUp*) { note("Dialing"); };
        d.OnConnect = [note](TDialUp*) { note("Connect"); };
        d.OnAsyncEvent = [note](TDialUp*, int state, const std::string& text, int error) {
            note("Async " + std::to_string(state) + " " + text + " " + std::to_string(error));
        };
        d.OnNotConnected = [note](TDialUp*, int code, const std::string& text) {
            note("NotConnected " + std::to_string(code) + " " + text);
        };
        d.OnError = [note](TDialUp*, int code, const std::string& text) {
            note("Error " + std::to_string(code) + " " + text);
        };
    }
};

class DialUpTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        fake = std::make_shared<FakeDialUpBackend>();
        fake->AddEntry("Office ISP", {"jo", "secret"});
        fake->SetErrorText(678, "There was no answer.");
        dialUp = std::make_unique<TDialUp>();
        dialUp->SetBackend(fake);
        dialUp->Entry = "Office ISP";
        recorder.Attach(*dialUp);
    }

    std::shared_ptr<FakeDialUpBackend> fake;
    std::unique_ptr<TDialUp> dialUp;
    Recorder recorder;
};

TEST(DialUpStateTextTest, EnglishTexts) {
    const struct {
        int state;
        const char* text;
    } cases[] = {
        {0, "Opening port"},          {1, "Port opened"},
        {4, "All devices connected"}, {9, "Authentication: change password"},
        {13, "Authentication: reauthenticate"}, {14, "Authenticated"},
        {21, "Logging on network"},   {4096, "Interactive"},
        {4097, "Retry Authentication"}, {4099, "Password expired"},
        {8192, "Connected"},          {8193, "Disconnected"},
        {22, ""}, {-1, ""}, {4095, ""}, {4100, ""}, {8191, ""}, {8194, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(DialUp::StateText(English, c.state), c.text);
    }
}

TEST(DialUpStateTextTest, EveryStateHasATextInEveryLanguage) {
    const int states[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                          19, 20, 21, 4096, 4097, 4098, 4099, 8192, 8193};
    for (int s : states)
        for (TDialLanguage l : {English, Czech, Portuguese}) {
            SCOPED_TRACE(std::to_string(s) + "/" + std::to_string(l));
            EXPECT_FALSE(DialUp::StateText(l, s).empty());
        }
    EXPECT_EQ(DialUp::StateText(Czech, 77), "");
}

TEST_F(DialUpTest, AnErrorTextWinsForAnyStateAndIsCutTo100Bytes) {
    fake->SetErrorText(700, std::string(150, 'x'));
    fake->SetErrorText(701, std::string(99, 'a') + "\xC3\xA9tail");  // é across the cut
    const struct {
        int state, error;
        std::string text;
    } cases[] = {
        {8192, 678, "There was no answer."},
        {0, 678, "There was no answer."},
        {12345, 678, "There was no answer."},
        {8192, 0, "Connected"},
        {12345, 0, ""},
        {2, 700, std::string(100, 'x')},
        {2, 701, std::string(99, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + "/" + std::to_string(c.error));
        EXPECT_EQ(dialUp->StateText(c.state, c.error), c.text);
    }
}

TEST_F(DialUpTest, AsynchronousDialReportsInOrderOnTheMainThread) {
    fake->SetDialScript({{0, platform::dsOpenPort, 0},
                         {5, platform::dsConnectDevice, 0},
                         {0, platform::dsAuthenticate, 0},
                         {5, platform::dsConnected, 0}});
    ASSERT_EQ(dialUp->Dial(), 0);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"Dialing"});  // reports come later
    ASSERT_TRUE(RunUntil([&] { return recorder.events.size() >= 5; }));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"Dialing", "Async 0 Opening port 0",
                                                         "Async 2 Connecting device 0",
                                                         "Async 5 Start authenticating 0",
                                                         "Async 8192 Connected 0"}));
    EXPECT_FALSE(recorder.offMainThread);
    EXPECT_EQ(fake->LastDialParams().UserName, "jo");
    EXPECT_EQ(fake->LastDialParams().Password, "secret");
    EXPECT_TRUE(fake->IsConnected("Office ISP"));
    EXPECT_NE(dialUp->Handle(), 0u);
}

TEST_F(DialUpTest, ABurstOfReportsArrivesWholeAndInOrder) {
    std::vector<FakeDialStep> steps;
    std::vector<std::string> expected{"Dialing"};
    for (int i = 0; i < 500; ++i) {
        steps.push_back({0, i % 22, 0});
        expected.push_back("Async " + std::to_string(i % 22) + " " + DialUp::StateText(English, i % 22) + " 0");
    }
    fake->SetDialScript(steps);
    ASSERT_EQ(dialUp->Dial(), 0);
    fake->WaitForScripts();  // all reports queued before the main thread looks
    ASSERT_TRUE(RunUntil([&] { return recorder.events.size() >= expected.size(); }));
    RunFor(20);
    EXPECT_EQ(recorder.events, expected);
}

TEST_F(DialUpTest, AFailingDialReportsItsErrorAndIsHungUpByTheOwner) {
    fake->SetDialScript({{0, platform::dsOpenPort, 0},
                         {0, platform::dsConnectDevice, 0},
                         {0, platform::dsConnectDevice, 678},
                         {0, platform::dsConnected, 0}});  // never played: the error ends the dial
    bool hungUp = false;
    dialUp->OnAsyncEvent = [&](TDialUp* sender, int state, const std::string& text, int error) {
        recorder.events.push_back("Async " + std::to_string(state) + " " + text + " " + std::to_string(error));
        if (error > 0) hungUp = sender->HangUp();
    };
    ASSERT_EQ(dialUp->Dial(), 0);
    ASSERT_TRUE(RunUntil([&] { return hungUp; }));
    RunFor(20);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"Dialing", "Async 0 Opening port 0",
                                                         "Async 2 Connecting device 0",
                                                         "Async 2 There was no answer. 678"}));
    EXPECT_EQ(fake->HangUpCount(), 1);
    EXPECT_EQ(dialUp->Handle(), 0u);
    EXPECT_FALSE(fake->IsConnected("Office ISP"));
}

TEST_F(DialUpTest, FailuresBeforeAnyProgress) {
    const struct {
        const char* name;
        TDialMode mode;
        int paramsError;
        int dialResult;
        std::vector<std::string> events;
        int hangUps;
    } cases[] = {
        {"params unreadable", dmAsync, 603, 0, {"Error 603 GetEntryDialParams failed"}, 0},
        {"params unreadable, sync", dmSync, 603, 0, {"Error 603 GetEntryDialParams failed"}, 0},
        {"start fails, half made", dmAsync, 0, 678, {"Dialing", "Error 678 There was no answer."}, 1},
        {"sync dial fails", dmSync, 0, 678, {"Dialing", "NotConnected 678 There was no answer."}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakeDialUpBackend>();
        fake->AddEntry("Office ISP");
        fake->SetErrorText(678, "There was no answer.");
        fake->SetParamsError(c.paramsError);
        fake->SetDialResult(c.dialResult, true);
        dialUp->SetBackend(fake);
        dialUp->DialMode = c.mode;
        recorder.events.clear();
        EXPECT_EQ(dialUp->Dial(), c.paramsError ? c.paramsError : c.dialResult);
        RunFor(10);
        EXPECT_EQ(recorder.events, c.events);
        EXPECT_EQ(fake->HangUpCount(), c.hangUps);
        EXPECT_EQ(dialUp->Handle(), 0u);
    }
}

TEST_F(DialUpTest, SynchronousDialBlocksAndFiresConnect) {
    dialUp->DialMode = dmSync;
    fake->SetDialScript({{5, platform::dsOpenPort, 0}, {5, platform::dsConnected, 0}});
    ASSERT_EQ(dialUp->Dial(), 0);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"Dialing", "Connect"}));
    RunFor(10);
    EXPECT_EQ(recorder.events.size(), 2u);  // no progress events in this mode
    EXPECT_TRUE(fake->IsConnected("Office ISP"));
}

TEST_F(DialUpTest, DiallingAgainHangsUpTheOldConnectionFirst) {
    ASSERT_EQ(dialUp->Dial(), 0);
    fake->WaitForScripts();
    const auto first = dialUp->Handle();
    EXPECT_EQ(fake->HangUpCount(), 0);
    ASSERT_EQ(dialUp->Dial(), 0);
    EXPECT_EQ(fake->HangUpCount(), 1);
    EXPECT_EQ(fake->DialCount(), 2);
    EXPECT_NE(dialUp->Handle(), first);
}

TEST_F(DialUpTest, ReportsOfAHungUpDialAreDropped) {
    fake->SetDialScript({{0, platform::dsOpenPort, 0}, {0, platform::dsConnectDevice, 0},
                         {0, platform::dsConnected, 0}});
    ASSERT_EQ(dialUp->Dial(), 0);
    fake->WaitForScripts();  // three reports queued, none delivered yet
    EXPECT_TRUE(dialUp->HangUp());
    RunFor(20);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"Dialing"});
}

TEST_F(DialUpTest, HangUpGivesUpAfterTenSecondsAndKeepsEventsRunning) {
    ASSERT_EQ(dialUp->Dial(), 0);
    fake->WaitForScripts();
    fake->SetHangUpNeverEnds(true);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(dialUp->HangUp());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(10));
    EXPECT_LT(took, std::chrono::seconds(12));
    EXPECT_GT(ticks, 50);
    EXPECT_EQ(dialUp->Handle(), 0u);
}

TEST_F(DialUpTest, DestroyingTheComponentWhileReportsAreUnderwayIsSafe) {
    fake->SetDialScript({{0, platform::dsOpenPort, 0}, {20, platform::dsConnectDevice, 0},
                         {20, platform::dsConnected, 0}});
    ASSERT_EQ(dialUp->Dial(), 0);
    RunFor(5);
    dialUp.reset();
    fake->WaitForScripts();
    RunFor(20);
    SUCCEED();
}

TEST_F(DialUpTest, UserNameAndPasswordAreKeptWithTheEntry) {
    EXPECT_EQ(dialUp->UserName(), "jo");
    EXPECT_EQ(dialUp->Password(), "secret");
    ASSERT_EQ(dialUp->SetUserName("ann"), 0);
    EXPECT_EQ(fake->EntryParams("Office ISP").Password, "secret");
    ASSERT_EQ(dialUp->SetPassword("new"), 0);
    EXPECT_EQ(fake->EntryParams("Office ISP").UserName, "ann");
    EXPECT_EQ(dialUp->Password(), "new");

    dialUp->Entry = "Unknown";
    EXPECT_EQ(dialUp->UserName(), "");
    EXPECT_EQ(dialUp->SetUserName("x"), platform::deEntryNotFound);
}

TEST_F(DialUpTest, EntriesAndActiveConnections) {
    for (int i = 0; i < 120; ++i) fake->AddEntry("E" + std::to_string(i));
    std::vector<std::string> fired;
    dialUp->OnEntry = [&](TDialUp*, const std::string& name) { fired.push_back(name); };
    ASSERT_EQ(dialUp->GetEntries(), 0);
    ASSERT_EQ(dialUp->Entries.size(), 100u);
    EXPECT_EQ(dialUp->Entries.front(), "Office ISP");
    EXPECT_EQ(fired, dialUp->Entries);

    fake->AddActiveConnection("E5");
    std::vector<std::string> active;
    dialUp->OnActiveConnection = [&](TDialUp*, platform::DialHandle h, const std::string& entry,
                                     const std::string& type, const std::string&, int state,
                                     const std::string& text) {
        EXPECT_NE(h, 0u);
        active.push_back(entry + "|" + type + "|" + std::to_string(state) + "|" + text);
    };
    ASSERT_EQ(dialUp->GetActiveConnections(), 0);
    EXPECT_EQ(active, std::vector<std::string>{"E5|modem|8192|Connected"});
}

TEST(DialUpDefaultBackendTest, TestsCanInstallTheBackendOfLaterComponents) {
    EnsureApp();
    auto fake = std::make_shared<FakeDialUpBackend>();
    fake->AddEntry("Scripted");
    platform::SetDialUpBackendForTesting(fake);
    TDialUp dialUp;
    ASSERT_EQ(dialUp.GetEntries(), 0);
    EXPECT_EQ(dialUp.Entries, std::vector<std::string>{"Scripted"});
    platform::SetDialUpBackendForTesting(nullptr);
}

TEST(DialUpNoBackendTest, NothingConfiguredMeansNoEntriesAndFailingDials) {
    EnsureApp();
    TDialUp dialUp;
    dialUp.SetBackend(platform::MakeNoDialUpBackend());
    ASSERT_EQ(dialUp.GetEntries(), 0);
    EXPECT_TRUE(dialUp.Entries.empty());
    std::vector<int> errors;
    dialUp.OnError = [&](TDialUp*, int code, const std::string&) { errors.push_back(code); };
    dialUp.Entry = "Anything";
    EXPECT_NE(dialUp.Dial(), 0);
    EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
