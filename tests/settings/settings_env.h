// Shared set-up of the settings tests: one QApplication per process, a
// temporary program directory per test, scripted message boxes, and a
// settings window on that directory.
#pragma once

#include "platform/dialogs.h"
#include "platform/inifile.h"
#include "settings/link.h"
#include "settings/mail_act.h"
#include "settings/service.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "shell/procs.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>
#include "test_app.h"

namespace settings_test {

inline void EnsureApp() { twtest::EnsureQtApp(); }

// Users table file with the given names (password "pw" + name).
inline void WriteUsers(const std::string& dir, const std::vector<std::string>& names) {
    TvdlMemTable t;
    settings::DefineUsersTable(t);
    for (const auto& n : names) {
        t.Append();
        t.FieldByName("Name").SetAsString(n);
        t.FieldByName("Password").SetAsString("pw" + n);
        t.Post();
    }
    t.SaveToBinaryFile(dir + "users.dat");
}

class SettingsEnv : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        ASSERT_TRUE(dir_.isValid());
        savedDir_ = ProgramDir;
        ProgramDir = dir_.path().toStdString() + "/";
        savedLogging_ = procs::LogClientActivity;
        platform::SetDialogHandlerForTesting([this](platform::DialogCall& call) {
            messages.push_back(call.text);
            return call.buttons == platform::MsgButtons::YesNo ? platform::MsgResult::Yes : platform::MsgResult::Ok;
        });
        setup::hooks = setup::Hooks{};
        // Saving writes the start-up entry and may install the service:
        // both go into this test's folder, and no command runs.
        service::SetLocations({Dir() + "autostart", Dir() + "units", "/opt/tarnwick/tarnwick"});
        service::SetRunner([this](const std::vector<std::string>& argv) {
            commands.push_back(argv);
            return 0;
        });
    }
    void TearDown() override {
        service::SetLocations({});
        service::SetRunner(nullptr);
        TFrmMailAccount::ExecForTesting = nullptr;
        TFrmLink::ExecForTesting = nullptr;
        form.reset();
        account.reset();
        link.reset();
        FrmSettings = nullptr;
        FrmMailAccount = nullptr;
        FrmLink = nullptr;
        setup::hooks = setup::Hooks{};
        platform::SetDialogHandlerForTesting(nullptr);
        procs::LogClientActivity = savedLogging_;
        ProgramDir = savedDir_;
    }

    std::string Dir() const { return ProgramDir; }
    platform::IniFile Ini() const { return platform::IniFile(Dir() + "tarnwick.ini"); }

    // The settings window and its dialogs, as the start-up sequence makes them.
    TFrmSettings& Form() {
        if (!form) {
            form = std::make_unique<TFrmSettings>();
            FrmSettings = form.get();
            account = std::make_unique<TFrmMailAccount>();
            FrmMailAccount = account.get();
            link = std::make_unique<TFrmLink>();
            FrmLink = link.get();
        }
        return *form;
    }

    std::vector<std::string> messages;
    std::vector<std::vector<std::string>> commands;

private:
    QTemporaryDir dir_;
    std::string savedDir_;
    bool savedLogging_ = true;
    std::unique_ptr<TFrmSettings> form;
    std::unique_ptr<TFrmMailAccount> account;
    std::unique_ptr<TFrmLink> link;
};

}  // namespace settings_test
