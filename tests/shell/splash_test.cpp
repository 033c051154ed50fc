// The version text of the splash, the About box and the upgrade check.
#include "shell/splash.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "shell_env.h"

namespace {

TEST(SplashVersion, ShortensTrailingZeros) {
    struct Case {
        int major, minor, release, build;
        std::string text;
    } cases[] = {
        {2, 0, 8, 0, "2.0.8"},
        {1, 0, 0, 0, "1.0"},
        {1, 2, 0, 5, "1.2.0.5"},
        {3, 10, 1, 2, "3.10.1.2"},
        {0, 0, 0, 0, "0.0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splash::FormatVersion(c.major, c.minor, c.release, c.build), c.text);
}

TEST(SplashVersion, OnlyThisProgramHasOne) {
    shelltest::App();
    std::string self = QCoreApplication::applicationFilePath().toStdString();
    EXPECT_EQ(splash::GetFileVersionText(self),
              splash::FormatVersion(TARNWICK_VERSION_MAJOR, TARNWICK_VERSION_MINOR,
                                    TARNWICK_VERSION_PATCH, TARNWICK_VERSION_TWEAK + 0));
    EXPECT_EQ(splash::GetFileVersionText("/bin/sh"), "");
    EXPECT_EQ(splash::GetFileVersionText("/no/such/file"), "");
}

}  // namespace
