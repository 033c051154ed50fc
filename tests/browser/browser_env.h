// Shared set-up of the message browser tests: one QApplication per process,
// a temporary program directory with the store folders per test, a fixed
// clock, scripted message boxes and helpers to lay out message files.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "transport/store.h"
#include "test_app.h"

namespace browsertest {

inline void EnsureApp() { twtest::EnsureQtApp(); }

inline platform::SystemTime At(int year, int month, int day, int hour, int minute) {
    platform::LocalTime lt;
    lt.year = year;
    lt.month = month;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    return platform::FromLocal(lt);
}

// The fixed "now" of every test.
inline platform::SystemTime Now() { return At(2026, 12, 7, 10, 0); }

inline std::chrono::hours Days(int n) { return std::chrono::hours(24 * n); }

// A small stored message with the given headers.
inline std::string Message(const std::string& from, const std::string& to, const std::string& subject,
                           const std::string& body = "Hello.") {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\n\r\n" + body + "\r\n.\r\n";
}

class BrowserEnv : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        char tmpl[] = "/tmp/tw-browser-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        savedDir_ = ProgramDir;
        ProgramDir = home_ + "/";
        savedSettings_ = FrmSettings;
        FrmSettings = nullptr;
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        platform::SetClockForTesting([] { return Now(); });
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs.push_back(call.text);
            return answer;
        });
    }
    void TearDown() override {
        platform::SetDialogHandlerForTesting({});
        platform::SetClockForTesting({});
        FrmSettings = savedSettings_;
        ProgramDir = savedDir_;
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    std::string Path(const std::string& rel) const { return ProgramDir + rel; }

    // Writes a file below the program directory, dated `age` before now.
    std::string Put(const std::string& rel, const std::string& content,
                    std::chrono::system_clock::duration age = std::chrono::minutes(0)) {
        const std::string path = Path(rel);
        EXPECT_TRUE(platform::WriteFileAtomic(path, content)) << path;
        EXPECT_TRUE(platform::SetFileTime(path, Now() - age)) << path;
        return path;
    }
    std::string Read(const std::string& rel) const {
        std::string data;
        platform::ReadFile(Path(rel), data);
        return data;
    }
    bool Exists(const std::string& rel) const { return platform::FileExists(Path(rel)); }
    std::vector<std::string> Files(const std::string& folder) const {
        return platform::ListFiles(Path(folder), "*");
    }
    platform::SystemTime DateOf(const std::string& rel) const {
        platform::SystemTime t{};
        platform::GetFileTime(Path(rel), t);
        return t;
    }

    // Answer of every message box, and the texts shown.
    platform::MsgResult answer = platform::MsgResult::Yes;
    std::vector<std::string> dialogs;
    std::string home_;

private:
    std::string savedDir_;
    TFrmSettings* savedSettings_ = nullptr;
};

}  // namespace browsertest
