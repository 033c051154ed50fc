// Shared set-up of the delivery filter tests: one QCoreApplication per
// process, a temporary program directory per test with the store folders, a
// fixed program clock, the engine's tables and settings with local users,
// and small file helpers.
#pragma once

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/mail_settings.h"
#include "transport/store.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include "core_app.h"
#include "engine_state.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"
#include "transport/table_owner.h"

namespace filters_test {

inline void EnsureApp() { twtest::EnsureCoreApp(); }

inline std::string Read(const std::string& path) {
    std::string data;
    platform::ReadFile(path, data);
    return data;
}

inline void Write(const std::string& path, const std::string& data) {
    ASSERT_TRUE(platform::WriteFileAtomic(path, data)) << path;
}

// Runs a shell command; its standard output, and the exit status in status.
inline std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status) *status = rc;
    return out;
}

class FiltersEnv : public ::testing::Test {
protected:
    // 2026-03-14 10:30:15.250 local time: a fixed "now" for stamps and dates.
    static platform::LocalTime FixedNow() {
        platform::LocalTime t;
        t.year = 2026;
        t.month = 3;
        t.day = 14;
        t.hour = 10;
        t.minute = 30;
        t.second = 15;
        t.millisecond = 250;
        return t;
    }

    void SetUp() override {
        EnsureApp();
        ASSERT_TRUE(dir_.isValid());
        savedDir_ = ProgramDir;
        ProgramDir = dir_.path().toStdString() + "/";
        savedLogging_ = procs::LogClientActivity;
        now_ = platform::FromLocal(FixedNow());
        platform::SetClockForTesting([this] { return now_; });
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            messages.push_back(call.text);
            return call.buttons == platform::MsgButtons::YesNo ? platform::MsgResult::No : platform::MsgResult::Ok;
        });
        ASSERT_TRUE(smtp::CreateStoreFolders(smtp::StoreFolderNames()));
        WriteUsers({"alice", "bob", "carol"});
        engine_ = std::make_unique<twtest::EngineState>();
        // office.example is the office's own domain.
        TvdlMemTable& domains = tables::Domains().Table();
        domains.Append();
        domains.FieldByName("Domain").SetAsString("office.example");
        domains.Post();
    }

    void TearDown() override {
        engine_.reset();
        setup::hooks = setup::Hooks{};
        platform::SetDialogHandlerForTesting(nullptr);
        platform::SetClockForTesting(nullptr);
        procs::LogClientActivity = savedLogging_;
        ProgramDir = savedDir_;
    }

    static void WriteUsers(const std::vector<std::string>& names) {
        TvdlMemTable t;
        settings::DefineUsersTable(t);
        for (const auto& n : names) {
            t.Append();
            t.FieldByName("Name").SetAsString(n);
            t.FieldByName("Password").SetAsString("pw" + n);
            t.Post();
        }
        t.SaveToBinaryFile(ProgramDir + "users.dat");
    }

    // The engine goes by the settings the file holds now, as after the
    // window loaded them.
    static void PublishIni() {
        mailsettings::Publish(std::make_shared<MailSettings>(mailsettings::Read(ProgramDir, tables::UserNames(), "")));
    }

    // Moves the program clock on.
    void AdvanceClock(std::chrono::milliseconds by) { now_ += by; }

    std::string Dir() const { return ProgramDir; }
    std::string In() const { return smtp::StoreFolder(smtp::FolderIn); }
    std::string Out() const { return smtp::StoreFolder(smtp::FolderOut); }
    std::string Spam1() const { return smtp::StoreFolder(smtp::FolderSpam1); }
    platform::IniFile Ini() const { return platform::IniFile(Dir() + "tarnwick.ini"); }

    // A delivered message in user's mailbox; returns its path.
    std::string Deliver(const std::string& user, const std::string& stamp, const std::string& text) {
        const std::string path = In() + user + "_" + stamp + ".dat";
        Write(path, text);
        return path;
    }

    std::vector<std::string> Files(const std::string& folder, const std::string& mask = "*") const {
        return platform::ListFiles(folder, mask);
    }

    std::vector<std::string> messages;

private:
    platform::SystemTime now_;
    QTemporaryDir dir_;
    std::string savedDir_;
    bool savedLogging_ = true;
    std::unique_ptr<twtest::EngineState> engine_;
};

}  // namespace filters_test
