// When the next automatic Send/Recv runs, and the clock that fires it.
#include "shell/schedule.h"

#include <gtest/gtest.h>

#include "platform/inifile.h"
#include "shell_env.h"

namespace {

using shelltest::At;

struct Count {
    explicit Count(TAlarmClock& clock) {
        QObject::connect(&clock, &TAlarmClock::Alarm, [this] { ++n; });
    }
    int count() const { return n; }
    int n = 0;
};

TEST(ScheduleNextConnection, Table) {
    constexpr int H = 3600;
    struct Case {
        const char* name;
        schedule::Settings settings;
        bool startup;
        platform::SystemTime now;
        bool enabled;
        platform::SystemTime next;
    } cases[] = {
        {"regular", {true, false, 10, false, {}, {}}, false, At(2026, 5, 4, 12, 0), true,
         At(2026, 5, 4, 12, 10)},
        {"over midnight", {true, false, 10, false, {}, {}}, false, At(2026, 5, 4, 23, 55), true,
         At(2026, 5, 5, 0, 5)},
        {"over a month end", {true, false, 10, false, {}, {}}, false, At(2026, 4, 30, 23, 55), true,
         At(2026, 5, 1, 0, 5)},
        {"window closes", {true, false, 10, true, 9 * H, 18 * H}, false, At(2026, 5, 4, 17, 55), true,
         At(2026, 5, 5, 9, 0)},
        {"window not open yet", {true, false, 10, true, 9 * H, 18 * H}, false, At(2026, 5, 4, 7, 0),
         true, At(2026, 5, 4, 9, 0)},
        {"inside the window", {true, false, 10, true, 9 * H, 18 * H}, false, At(2026, 5, 4, 12, 0),
         true, At(2026, 5, 4, 12, 10)},
        {"end of window itself", {true, false, 10, true, 9 * H, 18 * H}, false, At(2026, 5, 4, 17, 50),
         true, At(2026, 5, 4, 18, 0)},
        {"night window, late", {true, false, 10, true, 22 * H, 6 * H}, false, At(2026, 5, 4, 23, 0),
         true, At(2026, 5, 4, 23, 10)},
        {"night window, after midnight", {true, false, 10, true, 22 * H, 6 * H}, false,
         At(2026, 5, 5, 2, 0), true, At(2026, 5, 5, 2, 10)},
        {"night window, daytime", {true, false, 10, true, 22 * H, 6 * H}, false, At(2026, 5, 4, 12, 0),
         true, At(2026, 5, 4, 22, 0)},
        {"night window closes", {true, false, 10, true, 22 * H, 6 * H}, false, At(2026, 5, 5, 5, 55),
         true, At(2026, 5, 5, 22, 0)},
        {"window without times", {true, false, 10, true, {}, {}}, false, At(2026, 5, 4, 3, 0), true,
         At(2026, 5, 4, 3, 10)},
        {"on start-up", {false, true, 10, false, {}, {}}, true, At(2026, 5, 4, 8, 0), true,
         At(2026, 5, 4, 8, 0, 5)},
        {"on start-up wins over the window", {true, true, 10, true, 9 * H, 18 * H}, true,
         At(2026, 5, 4, 20, 0), true, At(2026, 5, 4, 20, 0, 5)},
        {"start-up only, later", {false, true, 10, false, {}, {}}, false, At(2026, 5, 4, 8, 0), false, {}},
        {"manual", {false, false, 10, false, {}, {}}, true, At(2026, 5, 4, 8, 0), false, {}},
    };
    for (const auto& c : cases) {
        schedule::Next next = schedule::NextConnection(c.settings, c.startup, c.now);
        EXPECT_EQ(next.Enabled, c.enabled) << c.name;
        if (c.enabled) {
            EXPECT_TRUE(next.At == c.next) << c.name;
        }
    }
}

TEST(ScheduleParseTimeOfDay, Spellings) {
    struct Case {
        const char* text;
        std::optional<int> seconds;
    } cases[] = {
        {"09:00", 9 * 3600},        {"9:00", 9 * 3600},          {"18:00:30", 18 * 3600 + 30},
        {"6:00 PM", 18 * 3600},     {"12:15 am", 15 * 60},       {"12:00 PM", 12 * 3600},
        {"", std::nullopt},         {"noon", std::nullopt},      {"25:00", std::nullopt},
        {"10:61", std::nullopt},    {"13:00 PM", std::nullopt},  {"9:00 XY", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(schedule::ParseTimeOfDay(c.text), c.seconds) << c.text;
}

TEST(ScheduleReadSettings, DefaultsAndUnreadableTimes) {
    shelltest::Home home;
    platform::IniFile ini(home.Path("tarnwick.ini"));
    schedule::Settings s = schedule::ReadSettings(ini);
    EXPECT_FALSE(s.Regular);
    EXPECT_FALSE(s.OnStartup);
    EXPECT_EQ(s.RegularTime, 10);
    EXPECT_FALSE(s.ConnBetween);
    EXPECT_FALSE(s.ConnStart.has_value());
    ini.WriteString("connect", "regular", "1");
    ini.WriteString("Connect", "ConnStart", "08:30");
    ini.WriteString("Connect", "ConnEnd", "later");
    s = schedule::ReadSettings(ini);
    EXPECT_TRUE(s.Regular);
    EXPECT_EQ(s.ConnStart, 8 * 3600 + 30 * 60);
    EXPECT_FALSE(s.ConnEnd.has_value());
}

class AlarmClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        shelltest::App();
        platform::SetClockForTesting([this] { return now_; });
    }
    void TearDown() override { platform::SetClockForTesting({}); }
    platform::SystemTime now_ = At(2026, 5, 4, 23, 55);
};

TEST_F(AlarmClockTest, FiresOncePerArming) {
    TAlarmClock clock;
    Count spy(clock);
    clock.SetAlarm(At(2026, 5, 5, 0, 5));
    clock.SetAlarmEnabled(true);
    clock.Tick();
    EXPECT_EQ(spy.count(), 0);
    now_ = At(2026, 5, 5, 0, 4, 59);
    clock.Tick();
    EXPECT_EQ(spy.count(), 0);
    now_ = At(2026, 5, 5, 0, 5);
    clock.Tick();
    clock.Tick();
    now_ = At(2026, 5, 6, 0, 5);  // the next day: not again without a new arming
    clock.Tick();
    EXPECT_EQ(spy.count(), 1);
    clock.SetAlarm(At(2026, 5, 6, 0, 15));
    now_ = At(2026, 5, 6, 0, 15, 1);
    clock.Tick();
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(AlarmClockTest, LateTickFiresLateNotADayLate) {
    TAlarmClock clock;
    Count spy(clock);
    clock.SetAlarm(At(2026, 5, 5, 0, 5));
    clock.SetAlarmEnabled(true);
    now_ = At(2026, 5, 5, 0, 9, 30);  // the whole minute went by unhandled
    clock.Tick();
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(AlarmClockTest, DisabledNeverFires) {
    TAlarmClock clock;
    Count spy(clock);
    clock.SetAlarm(At(2026, 5, 4, 23, 56));
    now_ = At(2026, 5, 4, 23, 57);
    clock.Tick();
    EXPECT_EQ(spy.count(), 0);
    EXPECT_EQ(clock.AlarmHourMinute(), "23:56");
}

}  // namespace
