// Shared set-up of the transport tests: one QApplication per process and a
// temporary program directory per test.
#pragma once

#include "platform/clock.h"
#include "shell/globals.h"
#include "transport/store.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace twtest {

inline void EnsureApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_transport";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
}

inline platform::SystemTime At(int year, int month, int day, int hour, int minute, int second, int ms) {
    platform::LocalTime lt;
    lt.year = year;
    lt.month = month;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = second;
    lt.millisecond = ms;
    return platform::FromLocal(lt);
}

// A fresh program directory with the store folders; the clock is fixed.
class TempHome : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        char tmpl[] = "/tmp/tw-transport-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ProgramDir = home_ + "/";
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        platform::SetClockForTesting([] { return At(2026, 12, 7, 10, 4, 5, 123); });
    }
    void TearDown() override {
        platform::SetClockForTesting({});
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }
    std::string Path(const std::string& rel) const { return ProgramDir + rel; }

    std::string home_;
};

}  // namespace twtest
