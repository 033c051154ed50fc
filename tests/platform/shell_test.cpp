// Host services and the event pump behind procs::Delay.
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "qt_app.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(Shell, PumpRunsEventsForTheWholeTimeWithoutSpinning) {
    twtest::App();
    using Clock = std::chrono::steady_clock;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    platform::PumpEventsFor(300);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 1500);
    EXPECT_GE(ticks, 5);       // other events ran meanwhile
    EXPECT_LT(cpu, 0.15);      // a spinning wait burns the whole 0.3 s
}

TEST(Shell, PumpWithNothingToWaitFor) {
    twtest::App();
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    platform::PumpEventsFor(0);
    EXPECT_TRUE(ran);
    platform::PumpEventsFor(-5);  // returns at once
}

TEST(Shell, HostNameAndAddresses) {
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(platform::ComputerName(), name);
    auto addresses = platform::LocalIPv4Addresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    for (const auto& a : addresses) {
        EXPECT_EQ(std::count(a.begin(), a.end(), '.'), 3) << a;
        EXPECT_EQ(std::count(addresses.begin(), addresses.end(), a), 1) << a;
    }
}

TEST(Shell, OpenUrlHeadlessIsLoggedNotOpened) {
    twtest::App();
    ASSERT_TRUE(platform::IsHeadless());
    std::vector<std::string> lines;
    platform::SetHeadlessLogHook([&](const std::string& l) { lines.push_back(l); });
    EXPECT_TRUE(platform::OpenUrl("http://127.0.0.1:2600/spam"));
    platform::SetHeadlessLogHook({});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("http://127.0.0.1:2600/spam"), std::string::npos);
}

}  // namespace
