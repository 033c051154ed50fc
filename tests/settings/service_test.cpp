// Start-up entry and service unit: their files, quoting, the commands that
// install the service, and the byte payload they are written through.
#include "settings_env.h"

#include "platform/files.h"
#include "settings/payload.h"
#include "settings/service.h"

#include <QCheckBox>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using settings_test::SettingsEnv;

std::string Read(const std::string& path) {
    std::string data;
    platform::ReadFile(path, data);
    return data;
}

// --- payload ----------------------------------------------------------------

TEST(Payload, DataStreamRoundTripsAndRefusesShortStreams) {
    const std::string withNul("a\0b\xff", 4);
    for (const std::string& bytes : {std::string("x"), withNul, std::string(70000, 'z')}) {
        TFileData d;
        d.SetData(bytes.size(), bytes.data());
        ASSERT_TRUE(d.HasData());
        std::string stream = "head";
        d.WriteData(stream);
        ASSERT_EQ(stream.size(), 4 + 4 + bytes.size());
        TFileData back;
        std::size_t pos = 4;
        ASSERT_TRUE(back.ReadData(stream, pos));
        EXPECT_EQ(back.Data(), bytes);
        EXPECT_EQ(pos, stream.size());
        // Any cut through the count or the bytes is refused, nothing read.
        for (std::size_t cut : {std::size_t{5}, std::size_t{8}, stream.size() - 1}) {
            TFileData partial;
            partial.SetData(3, "old");
            std::size_t p = 4;
            EXPECT_FALSE(partial.ReadData(stream.substr(0, cut), p)) << cut;
            EXPECT_EQ(partial.Data(), "old");
            EXPECT_EQ(p, 4u);
        }
    }
    // A count of zero: no bytes, and an empty payload is not stored at all.
    TFileData empty;
    EXPECT_FALSE(empty.HasData());
    std::string stream("\0\0\0\0", 4);
    std::size_t pos = 0;
    EXPECT_TRUE(empty.ReadData(stream, pos));
    EXPECT_EQ(empty.Size(), 0u);
    // A count far beyond the stream is not trusted.
    std::string huge("\xff\xff\xff\xff" "abc", 7);
    pos = 0;
    EXPECT_FALSE(empty.ReadData(huge, pos));
}

TEST(Payload, FilesAndOnSave) {
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString() + "/";
    ASSERT_TRUE(platform::WriteFileAtomic(dir + "source.bin", std::string("\x01\x02\x00\x03", 4)));
    TPayload p;
    EXPECT_FALSE(p.FileData.LoadFromFile(dir + "missing"));
    ASSERT_TRUE(p.FileData.LoadFromFile(dir + "source.bin"));
    EXPECT_EQ(p.FileData.FileName(), "source.bin");
    EXPECT_EQ(p.FileData.Size(), 4u);

    int saves = 0;
    p.OnSave = [&](TPayload& sender) {
        EXPECT_EQ(&sender, &p);
        ++saves;
    };
    ASSERT_TRUE(platform::WriteFileAtomic(dir + "target.bin", "previous content"));
    ASSERT_TRUE(p.SaveToFile(dir + "target.bin"));
    EXPECT_EQ(Read(dir + "target.bin"), std::string("\x01\x02\x00\x03", 4));
    EXPECT_EQ(saves, 1);
    // A write that fails fires nothing.
    EXPECT_FALSE(p.SaveToFile(dir + "no/such/folder/x"));
    EXPECT_EQ(saves, 1);

    TFileData copy;
    copy.Assign(p.FileData);
    EXPECT_EQ(copy.Data(), p.FileData.Data());
    EXPECT_EQ(copy.FileName(), "source.bin");
    copy.Clear();
    EXPECT_FALSE(copy.HasData());
}

// --- quoting ----------------------------------------------------------------

TEST(StartupQuoting, DesktopExecAndUnitArguments) {
    struct Case {
        std::string arg, desktop, unit;
    };
    const Case cases[] = {
        {"/opt/tw/tarnwick", R"("/opt/tw/tarnwick")", R"("/opt/tw/tarnwick")"},
        {"/home/a b/tw", R"("/home/a b/tw")", R"("/home/a b/tw")"},
        {"/x/50%/tw", R"("/x/50%%/tw")", R"("/x/50%%/tw")"},
        {"/x/$HOME/tw", R"("/x/\\$HOME/tw")", R"("/x/$HOME/tw")"},
        {"/x/\"q\"/tw", R"("/x/\\"q\\"/tw")", R"("/x/\"q\"/tw")"},
        {"/x/back\\slash", R"("/x/back\\\\slash")", R"("/x/back\\slash")"},
        {"/x/`cmd`", R"("/x/\\`cmd\\`")", R"("/x/`cmd`")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(service::QuoteDesktopExecArg(c.arg), c.desktop) << c.arg;
        EXPECT_EQ(service::QuoteUnitArg(c.arg), c.unit) << c.arg;
    }
}

TEST(StartupFiles, PathsWithLineBreaksAreNotWritten) {
    EXPECT_TRUE(service::AutostartEntry("/opt/tw\n[Desktop Entry]", "/home/x/").empty());
    EXPECT_TRUE(service::ServiceUnit("/opt/tw", "/home/x\nExecStartPre=/bin/evil").empty());
    EXPECT_TRUE(service::ServiceUnit("", "/home/x").empty());
}

TEST(StartupFiles, AutostartEntryStartsMinimisedOnTheSameHome) {
    const std::string e = service::AutostartEntry("/opt/tw/tarnwick", "/srv/mail home/");
    EXPECT_EQ(e.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(e.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(e.find("\nName=Tarnwick\n"), std::string::npos);
    EXPECT_NE(e.find("\nExec=env \"TARNWICK_HOME=/srv/mail home\" \"/opt/tw/tarnwick\" /m\n"), std::string::npos);
}

// The unit is read by systemd's own parser: quoting, specifiers and the
// program path must survive it.
TEST(StartupFiles, ServiceUnitPassesTheServiceManagersCheck) {
    if (!fs::exists("/usr/bin/systemd-analyze")) GTEST_SKIP() << "systemd-analyze not installed";
    QTemporaryDir tmp;
    const std::string home = tmp.path().toStdString() + "/mail home 100%$x";
    fs::create_directories(home);
    const std::string exe = home + "/tarnwick";
    ASSERT_TRUE(platform::WriteFileAtomic(exe, "#!/bin/sh\n"));
    fs::permissions(exe, fs::perms::owner_all);
    const std::string unit = service::ServiceUnit(exe, home + "/");
    ASSERT_FALSE(unit.empty());
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
    const std::string path = tmp.path().toStdString() + "/tarnwick.service";
    ASSERT_TRUE(platform::WriteFileAtomic(path, unit));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("/usr/bin/systemd-analyze", {"verify", QString::fromStdString(path)});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString() << unit;
}

// --- registration at save ---------------------------------------------------

class Startup : public SettingsEnv {
protected:
    std::string Autostart() const { return Dir() + "autostart/tarnwick.desktop"; }
    std::string Unit() const { return Dir() + "units/tarnwick.service"; }
};

TEST_F(Startup, BoxesDecideWhichEntryIsWritten) {
    struct Case {
        bool startup, service;
        bool autostart, unit, commands;
    };
    const Case cases[] = {
        {true, false, true, false, false},
        {false, false, false, false, false},
        {true, true, false, true, true},  // a service never gets the start-up entry too
        {false, true, false, true, true},
    };
    for (const Case& c : cases) {
        fs::remove_all(Dir() + "units");
        commands.clear();
        fs::create_directories(Dir() + "autostart");
        ASSERT_TRUE(platform::WriteFileAtomic(Autostart(), "old entry"));
        service::ApplyStartupEntries({c.startup, c.service}, Dir());
        SCOPED_TRACE(std::to_string(c.startup) + std::to_string(c.service));
        EXPECT_EQ(fs::exists(Autostart()), c.autostart);
        if (c.autostart) {
            EXPECT_NE(Read(Autostart()).find("\"/opt/tarnwick/tarnwick\" /m"), std::string::npos);
        }
        EXPECT_EQ(fs::exists(Unit()), c.unit);
        if (c.unit) {
            const std::string u = Read(Unit());
            EXPECT_NE(u.find("\nExecStart=\"/opt/tarnwick/tarnwick\" /m\n"), std::string::npos);
            EXPECT_NE(u.find("\nWorkingDirectory=" + Dir().substr(0, Dir().size() - 1) + "\n"), std::string::npos);
        }
        if (c.commands) {
            EXPECT_EQ(commands, (std::vector<std::vector<std::string>>{{"systemctl", "daemon-reload"},
                                                                       {"systemctl", "enable", "tarnwick.service"}}));
        } else {
            EXPECT_TRUE(commands.empty());
        }
    }
}

TEST_F(Startup, UncheckingTheServiceLeavesItInstalled) {
    service::ApplyStartupEntries({true, true}, Dir());
    ASSERT_TRUE(fs::exists(Unit()));
    commands.clear();
    service::ApplyStartupEntries({true, false}, Dir());
    EXPECT_TRUE(fs::exists(Unit()));
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(fs::exists(Autostart()));
}

TEST_F(Startup, UnwritableUnitFolderIsSkippedQuietly) {
    // A file where the unit folder should be: like a system folder without rights.
    ASSERT_TRUE(platform::WriteFileAtomic(Dir() + "units", "not a folder"));
    service::ApplyStartupEntries({true, true}, Dir());
    EXPECT_TRUE(commands.empty());
    EXPECT_TRUE(messages.empty());
    EXPECT_NE(Read(Dir() + "connect.log").find("units"), std::string::npos);
}

TEST_F(Startup, SavingTheWindowWritesTheEntry) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    f.CHBStartup->setChecked(true);
    f.SaveSettings();
    EXPECT_TRUE(fs::exists(Autostart()));
    f.CHBStartup->setChecked(false);
    f.ApplyEnableFor(f.CHBStartup);
    f.SaveSettings();
    EXPECT_FALSE(fs::exists(Autostart()));
    EXPECT_FALSE(fs::exists(Unit()));
}

}  // namespace

namespace {

// A test that forgets to inject the places still cannot reach the real
// ones: the test program points the defaults into its own temporary home,
// and no service command runs.
TEST(StartupIsolation, WithoutInjectionEntriesStayInTheTestProgramsHome) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    ASSERT_EQ(std::string(home).rfind("/tmp/tw_test_home_", 0), 0u) << home;
    service::SetLocations({});
    service::SetRunner(nullptr);
    const service::Locations where = service::CurrentLocations();
    for (const std::string& dir : {where.autostartDir, where.unitDir})
        EXPECT_EQ(dir.rfind(std::string(home) + "/", 0), 0u) << dir;
    QTemporaryDir programDir;
    service::ApplyStartupEntries({true, true}, programDir.path().toStdString());
    EXPECT_TRUE(fs::exists(where.unitDir + "/tarnwick.service"));
    service::ApplyStartupEntries({true, false}, programDir.path().toStdString());
    EXPECT_TRUE(fs::exists(where.autostartDir + "/tarnwick.desktop"));
    fs::remove(where.unitDir + "/tarnwick.service");
    fs::remove(where.autostartDir + "/tarnwick.desktop");
}

}  // namespace
