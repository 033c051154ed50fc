// The installed events sink, and log lines going out as events.
#include "transport_test_util.h"

#include "platform/files.h"

namespace {

TEST(EventsSink, OnlyTheInstalledSinkCanUninstallItself) {
    twtest::RecordingEvents first, second;
    EXPECT_FALSE(events::Get().View().present) << "nothing installed: the silent sink";
    events::Set(&first);
    EXPECT_EQ(&events::Get(), &first);
    events::Set(&second);
    events::Unset(&first);  // an earlier window going away
    EXPECT_EQ(&events::Get(), &second);
    events::Unset(&second);
    EXPECT_NE(&events::Get(), &second);
    EXPECT_FALSE(events::Get().CycleRunning());
    events::Get().Status("nobody listens", true);  // and nothing breaks
}

class LogLines : public twtest::TempHome {
protected:
    void TearDown() override {
        procs::LogClientActivity = true;
        procs::LogServerActivity = false;
        TempHome::TearDown();
    }
};

TEST_F(LogLines, AWrittenLineGoesOutAsAnEvent) {
    struct Case {
        const char* file;
        bool client, server;
        bool written;
    } cases[] = {
        {"pop.log", true, false, true},       {"pop.log", false, true, false},
        {"smtpsvr.log", false, true, true},   {"smtpsvr.log", true, false, false},
        {"popsvr.log", true, true, true},     {"connect.log", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " client=" + std::to_string(c.client) + " server=" +
                     std::to_string(c.server));
        twtest::RecordedEvents shown;
        procs::LogClientActivity = c.client;
        procs::LogServerActivity = c.server;
        std::remove(Path(c.file).c_str());
        procs::WriteLog(Path(c.file), "10:04: a line");
        EXPECT_EQ(platform::FileExists(Path(c.file)), c.written);
        if (c.written) {
            EXPECT_EQ(twtest::ReadBytes(Path(c.file)), "10:04: a line\r\n");
            ASSERT_EQ(shown->logLines.size(), 1u);
            EXPECT_EQ(shown->logLines[0], (std::pair<std::string, std::string>{Path(c.file), "10:04: a line"}));
        } else {
            EXPECT_TRUE(shown->logLines.empty());
        }
    }
}

}  // namespace
