// Test support for the shell: one application object per process and a
// private program directory per test.
#pragma once

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "transport/globals.h"
#include "shell/procs.h"
#include "test_app.h"

namespace shelltest {

inline QApplication& App() { return twtest::EnsureQtApp(); }

// A fresh program directory (TARNWICK_HOME and ProgramDir point at it),
// default log switches, no scripted dialogs; removed afterwards.
class Home {
public:
    Home() {
        char tmpl[] = "/tmp/tw_shell_XXXXXX";
        char* made = mkdtemp(tmpl);
        dir_ = made ? made : "";
        setenv("TARNWICK_HOME", dir_.c_str(), 1);
        ProgramDir = dir_ + "/";
        procs::LogSizeLimit = 5000;
        procs::LogClientActivity = true;
        procs::LogServerActivity = false;
    }
    ~Home() {
        platform::SetClockForTesting({});
        platform::SetDialogHandlerForTesting({});
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

// Local time as the program's clock.
inline platform::SystemTime At(int year, int month, int day, int hour, int minute, int second = 0) {
    platform::LocalTime lt;
    lt.year = year;
    lt.month = month;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = second;
    return platform::FromLocal(lt);
}

}  // namespace shelltest
