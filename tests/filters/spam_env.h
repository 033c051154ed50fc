// What the spam filter's tests and its windows' tests share: the clock
// times they set, the users file, reading what the filter wrote, and a
// program folder of their own with the store and a scripted dialog service.
#pragma once

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "tables/memtable.h"
#include "transport/account_tables.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace spamtest {

// A moment of 7 December 2026 (or another day of that month).
inline platform::SystemTime December(int day, int hour, int minute, int second = 0, int millisecond = 0) {
    platform::LocalTime lt;
    lt.year = 2026;
    lt.month = 12;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = second;
    lt.millisecond = millisecond;
    return platform::FromLocal(lt);
}

// users.dat with these users (password "pw"); adopt: the engine's owner
// takes them too, as start-up would.
inline void WriteUsers(const std::vector<std::string>& names, bool adopt) {
    TvdlMemTable t;
    settings::DefineUsersTable(t);
    for (const auto& n : names) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.FieldByName("Password").SetAsString("pw");
        t.Post();
    }
    t.SaveToBinaryFile(ProgramDir + "users.dat");
    if (adopt) tables::Users().Adopt(t);
}

inline std::string ReadText(const std::string& path) {
    std::string s;
    platform::ReadFile(path, s);
    return s;
}

// A temporary program folder with the store folders, for one test. Message
// boxes are recorded in dialogs and answered with answer; input boxes take
// the next of inputs, or are cancelled when none is left. The program clock
// and client logging are put back afterwards.
class SpamHome : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        savedDir_ = ProgramDir;
        ProgramDir = dir_.path().toStdString() + "/";
        savedLogging_ = procs::LogClientActivity;
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            dialogs.push_back(call.text);
            if (call.value != nullptr) {
                if (inputs.empty()) return platform::MsgResult::Cancel;
                *call.value = inputs.front();
                inputs.erase(inputs.begin());
                return platform::MsgResult::Ok;
            }
            return answer;
        });
    }
    void TearDown() override {
        platform::SetDialogHandlerForTesting(nullptr);
        platform::SetClockForTesting({});
        procs::LogClientActivity = savedLogging_;
        ProgramDir = savedDir_;
    }

    static void SetNow(platform::SystemTime t) {
        platform::SetClockForTesting([t] { return t; });
    }
    static std::vector<std::string> Files(const char* folder) {
        return platform::ListFiles(smtp::StoreFolder(folder), "*");
    }
    static std::string Held(const char* folder, const std::string& name, const std::string& content) {
        const std::string path = smtp::StoreFolder(folder) + name;
        EXPECT_TRUE(platform::WriteFileAtomic(path, content));
        return path;
    }
    static platform::IniFile Ini() { return platform::IniFile(ProgramDir + "tarnwick.ini"); }
    static std::string PopLog() { return ReadText(ProgramDir + "pop.log"); }

    std::vector<std::string> dialogs;
    std::vector<std::string> inputs;
    platform::MsgResult answer = platform::MsgResult::Ok;

private:
    QTemporaryDir dir_;
    std::string savedDir_;
    bool savedLogging_ = true;
};

}  // namespace spamtest
