// Set-up of the web server tests: one application object per process, a
// private program directory per test with the store folders, and a fixed
// clock.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
#include "transport/globals.h"
#include "transport/store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <utime.h>
#include "core_app.h"

inline QCoreApplication& WebApp() { return twtest::EnsureCoreApp(); }

class WebHome : public ::testing::Test {
protected:
    void SetUp() override {
        WebApp();
        char tmpl[] = "/tmp/tw_web_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        ProgramDir = home_ + "/";
        setenv("TARNWICK_HOME", home_.c_str(), 1);
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        platform::SetClockForTesting([] {
            platform::LocalTime lt;
            lt.year = 2026, lt.month = 12, lt.day = 7, lt.hour = 10, lt.minute = 4, lt.second = 5;
            return platform::FromLocal(lt);
        });
    }
    void TearDown() override {
        platform::SetClockForTesting({});
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    void Write(const std::string& rel, const std::string& data, long mtime = 0) const {
        std::filesystem::create_directories(std::filesystem::path(ProgramDir + rel).parent_path());
        ASSERT_TRUE(platform::WriteFileAtomic(ProgramDir + rel, data)) << rel;
        if (mtime) {
            struct utimbuf t {mtime, mtime};
            ::utime((ProgramDir + rel).c_str(), &t);
        }
    }
    std::string Read(const std::string& rel) const {
        std::string data;
        platform::ReadFile(ProgramDir + rel, data);
        return data;
    }
    bool Exists(const std::string& rel) const { return platform::FileExists(ProgramDir + rel); }

    std::string home_;
};
