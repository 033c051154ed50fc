// The demo home that `make run` starts the program on: trying the program
// must leave nothing on the desktop of the person who tried it.
#include "settings_env.h"

#include <QPushButton>
#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using settings_test::SettingsEnv;

class DemoHome : public SettingsEnv {
protected:
    void SetUp() override {
        SettingsEnv::SetUp();
        ASSERT_TRUE(root_.isValid());
        const char* home = std::getenv("HOME");
        savedHome_ = home ? home : "";
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        hadXdg_ = xdg != nullptr;
        savedXdg_ = xdg ? xdg : "";
    }
    void TearDown() override {
        setenv("HOME", savedHome_.c_str(), 1);
        if (hadXdg_) setenv("XDG_CONFIG_HOME", savedXdg_.c_str(), 1);
        SettingsEnv::TearDown();
    }
    std::string Root() const { return root_.path().toStdString(); }

private:
    QTemporaryDir root_;
    std::string savedHome_, savedXdg_;
    bool hadXdg_ = false;
};

// The first OK in Settings writes the start-up entry the boxes ask for: none
// for a demo, the usual one for a home of the program's own.
TEST_F(DemoHome, FirstOkInSettingsPutsNoAutostartEntryForADemo) {
    const std::string home = Root() + "/home";
    std::filesystem::create_directories(home);
    // As a desktop user's session has it.
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    service::SetLocations(service::DefaultLocations());
    ASSERT_EQ(service::CurrentLocations().autostartDir, home + "/.config/autostart");

    const bool demoCases[] = {true, false};
    for (bool demo : demoCases) {
        const std::string dir = Root() + (demo ? "/demo" : "/real");
        if (demo) {
            const std::string cmd = std::string("sh '") + TW_TEST_SOURCE_DIR + "/../scripts/demo-home' '" + dir +
                                    "' '" + TW_BINARY_DIR + "' >/dev/null";
            ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        } else {
            std::filesystem::create_directories(dir);
        }
        ProgramDir = dir + "/";
        TFrmSettings& f = Form();
        f.LoadSettings();
        f.BtnOK->click();
        std::error_code ec;
        const bool entry = std::filesystem::exists(home + "/.config/autostart/tarnwick.desktop", ec);
        EXPECT_EQ(entry, !demo) << (demo ? "the demo installed itself on the desktop"
                                         : "a real home lost its start at login");
        std::filesystem::remove_all(home + "/.config", ec);
    }
}

}  // namespace
