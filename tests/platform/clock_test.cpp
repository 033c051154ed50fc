// The injectable clock and its local-time conversions.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using namespace std::chrono;

// Fixes the time zone for one test so the local times are known.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (old) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ZoneGuard() {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(Clock, InjectedClockIsWhatEveryoneSees) {
    ZoneGuard zone("UTC0");
    const auto fixed = system_clock::time_point(seconds(1700000000)) + milliseconds(123);
    platform::SetClockForTesting([fixed] { return fixed; });
    EXPECT_EQ(platform::Now(), fixed);
    platform::LocalTime lt = platform::NowLocal();
    platform::SetClockForTesting({});
    // 2023-11-14 22:13:20.123 UTC, a Tuesday.
    EXPECT_EQ(lt.year, 2023);
    EXPECT_EQ(lt.month, 11);
    EXPECT_EQ(lt.day, 14);
    EXPECT_EQ(lt.hour, 22);
    EXPECT_EQ(lt.minute, 13);
    EXPECT_EQ(lt.second, 20);
    EXPECT_EQ(lt.millisecond, 123);
    EXPECT_EQ(lt.weekday, 2);
    EXPECT_NE(platform::Now(), fixed);  // the system clock is back
}

TEST(Clock, LocalTimeRoundTrips) {
    ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const long long cases[] = {
        0,                  // the epoch
        -1500,              // before it: milliseconds must not go negative
        1711846799999,      // the last millisecond before summer time starts
        1711846800000,      // the first one after
        1729990800000,      // the hour that repeats in autumn (first pass)
        4102444800000 - 1,  // end of 2099
    };
    for (long long ms : cases) {
        const auto t = system_clock::time_point(milliseconds(ms));
        platform::LocalTime lt = platform::ToLocal(t);
        EXPECT_GE(lt.millisecond, 0) << ms;
        EXPECT_LT(lt.millisecond, 1000) << ms;
        const long long back = duration_cast<milliseconds>(platform::FromLocal(lt).time_since_epoch()).count();
        EXPECT_EQ(((back % 1000) + 1000) % 1000, ((ms % 1000) + 1000) % 1000) << ms;
        // Outside the repeated hour the round trip is exact.
        if (ms != 1729990800000) {
            EXPECT_EQ(back, ms);
        }
    }
}

}  // namespace
