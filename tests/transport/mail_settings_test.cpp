// The engine's settings value: read from the file as the settings window
// reads it, and handed out whole until the next one is published.
#include "transport/mail_settings.h"

#include "platform/env.h"
#include "platform/inifile.h"
#include "codecs/pw_codec.h"
#include "transport/transport_test_util.h"

#include <cerrno>

namespace {

class MailSettingsTest : public twtest::TempHome {
protected:
    void TearDown() override {
        mailsettings::Publish(nullptr);
        TempHome::TearDown();
    }
    platform::IniFile Ini() const { return platform::IniFile(ProgramDir + "tarnwick.ini"); }
};

TEST_F(MailSettingsTest, ValuesReadAsTheWindowShowsThem) {
    struct Case {
        const char* section;
        const char* key;
        std::string value;
        std::function<bool(const MailSettings&)> holds;
    } cases[] = {
        // The Wait code goes through the window's radio group: unknown codes wait.
        {"SMTP", "Wait", "3", [](const MailSettings& s) { return s.waitCode == settings::kWaitReturnExternal; }},
        {"SMTP", "Wait", "0", [](const MailSettings& s) { return s.waitCode == settings::kWaitFullCycle; }},
        {"SMTP", "Wait", "2", [](const MailSettings& s) { return s.waitCode == settings::kWaitSendOnly; }},
        {"SMTP", "Wait", "7", [](const MailSettings& s) { return s.waitCode == settings::kWaitForCycle; }},
        {"SMTP", "Wait", "x", [](const MailSettings& s) { return s.waitCode == settings::kWaitForCycle; }},
        // A user kept in the file who is no user any more reads as none.
        {"Virus", "OutWarn", "carol", [](const MailSettings& s) { return s.virusWarnUser == "carol"; }},
        {"Virus", "OutWarn", "mallory", [](const MailSettings& s) { return s.virusWarnUser.empty(); }},
        {"Forward", "CopyOutTo", "mallory", [](const MailSettings& s) { return s.copyOutTo.empty(); }},
        // Ports outside 1..65535 take the standard one; the web server's 0
        // (any free port) is kept for programs run by tests.
        {"Alerter", "Port", "70000", [](const MailSettings& s) { return s.alerterPort == 2601; }},
        {"Remote", "Port", "0", [](const MailSettings& s) { return s.webPort == 0; }},
        {"Remote", "Port", "abc", [](const MailSettings& s) { return s.webPort == 2600; }},
        // No list of risky names until the file has one.
        {"Virus", "File1", "*.exe", [](const MailSettings& s) { return s.virusPatterns.empty(); }},
        {"Virus", "FileCount", "2",
         [](const MailSettings& s) { return s.virusPatterns == std::vector<std::string>{"*.exe", "*.exe"}; }},
        {"Remote", "Login", PW::EncryptPassword("admin"), [](const MailSettings& s) { return s.webLogin == "admin"; }},
    };
    for (const auto& c : cases) {
        std::remove((ProgramDir + "tarnwick.ini").c_str());
        Ini().WriteString(c.section, c.key, c.value);
        const MailSettings s = mailsettings::Read(ProgramDir, {"alice", "carol"}, "Office-PC");
        EXPECT_TRUE(c.holds(s)) << c.section << "/" << c.key << "=" << c.value;
    }
}

TEST_F(MailSettingsTest, BrowserAddressFollowsTheWebServerSwitch) {
    EXPECT_EQ(mailsettings::Read(ProgramDir, {}, "Office-PC").browserAddress, "not operative");
    Ini().WriteBool("Remote", "Enabled", true);
    Ini().WriteString("Remote", "Port", "8080");
    EXPECT_EQ(mailsettings::Read(ProgramDir, {}, "Office-PC").browserAddress, "http://office-pc:8080");
}

// A published value stays what it was when published, whatever the file
// says later; withdrawn, the engine goes by the file again.
TEST_F(MailSettingsTest, APublishedValueHoldsUntilTheNextOne) {
    Ini().WriteBool("Alerter", "Use", true);
    EXPECT_TRUE(mailsettings::Current()->alerterOn) << "nothing published: the file";
    auto value = std::make_shared<MailSettings>();
    value->alerterOn = false;
    mailsettings::Publish(value);
    const auto held = mailsettings::Current();
    Ini().WriteBool("Alerter", "Use", true);
    EXPECT_FALSE(mailsettings::Current()->alerterOn);
    auto next = std::make_shared<MailSettings>();
    next->alerterOn = true;
    mailsettings::Publish(next);
    EXPECT_TRUE(mailsettings::Current()->alerterOn);
    EXPECT_FALSE(held->alerterOn) << "a reader keeps the value it took";
    mailsettings::Publish(nullptr);
    Ini().WriteBool("Alerter", "Use", false);
    EXPECT_FALSE(mailsettings::Current()->alerterOn);
}

}  // namespace

namespace {

// A value read from a file and written back leaves the file as it was (the
// window's keys in their order), and a write the disk refuses changes
// nothing at all.
TEST_F(MailSettingsTest, WrittenValueReadsBackAndAFailedWriteChangesNothing) {
    MailSettings v;
    v.relayHost = "relay.example.net";
    v.waitCode = settings::kWaitReturnExternal;
    v.virusPatterns = {"*.scr", "*.pif"};
    v.webLogin = "admin";
    v.connectDun = true;
    v.popLocalPort = "1110";
    ASSERT_TRUE(mailsettings::WriteIni(ProgramDir, v));
    const std::string first = twtest::ReadBytes(ProgramDir + "tarnwick.ini");
    const MailSettings back = mailsettings::Read(ProgramDir, {}, "");
    EXPECT_EQ(back.relayHost, "relay.example.net");
    EXPECT_EQ(back.waitCode, settings::kWaitReturnExternal);
    EXPECT_EQ(back.virusPatterns, v.virusPatterns);
    EXPECT_EQ(back.webLogin, "admin");
    EXPECT_TRUE(back.connectDun);
    EXPECT_EQ(back.popLocalPort, "1110");
    ASSERT_TRUE(mailsettings::WriteIni(ProgramDir, back));
    EXPECT_EQ(twtest::ReadBytes(ProgramDir + "tarnwick.ini"), first);

    using Op = platform::FaultInjectionEnv::Op;
    for (Op op : {Op::Open, Op::Append, Op::Sync, Op::Rename}) {
        platform::FaultInjectionEnv env;
        platform::ScopedEnv scoped(&env);
        env.FailAt(op, 1, ENOSPC);
        MailSettings changed = back;
        changed.relayHost = "other.example.net";
        std::string error;
        EXPECT_FALSE(mailsettings::WriteIni(ProgramDir, changed, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(twtest::ReadBytes(ProgramDir + "tarnwick.ini"), first);
    }
}

}  // namespace

namespace {

// The value's own defaults (what the settings window starts from) and the
// defaults of the keys (what a file without them reads as) are kept in two
// places; they must not drift apart.
TEST_F(MailSettingsTest, AFileWithoutKeysReadsAsTheValuesDefaults) {
    const MailSettings fresh;
    const MailSettings read = mailsettings::Read(ProgramDir, {}, "host");
    const struct {
        const char* field;
        bool fresh, read;
    } flags[] = {
        {"connectLan", fresh.connectLan, read.connectLan},
        {"connectDun", fresh.connectDun, read.connectDun},
        {"connectUseOther", fresh.connectUseOther, read.connectUseOther},
        {"connectRegular", fresh.connectRegular, read.connectRegular},
        {"connectBetween", fresh.connectBetween, read.connectBetween},
        {"connectOnStartup", fresh.connectOnStartup, read.connectOnStartup},
        {"keepManual", fresh.keepManual, read.keepManual},
        {"relayStandard", fresh.relayStandard, read.relayStandard},
        {"relayAuth", fresh.relayAuth, read.relayAuth},
        {"footerAll", fresh.footerAll, read.footerAll},
        {"smtpServerAuth", fresh.smtpServerAuth, read.smtpServerAuth},
        {"ipFilter", fresh.ipFilter, read.ipFilter},
        {"alerterOn", fresh.alerterOn, read.alerterOn},
        {"virusCheckIn", fresh.virusCheckIn, read.virusCheckIn},
        {"virusToSpam", fresh.virusToSpam, read.virusToSpam},
        {"virusCheckOut", fresh.virusCheckOut, read.virusCheckOut},
        {"virusPatternsInFile", fresh.virusPatternsInFile, read.virusPatternsInFile},
        {"copyOut", fresh.copyOut, read.copyOut},
        {"forwardUseMailFrom", fresh.forwardUseMailFrom, read.forwardUseMailFrom},
        {"browserEnabled", fresh.browserEnabled, read.browserEnabled},
        {"allowSendRec", fresh.allowSendRec, read.allowSendRec},
        {"startWithSession", fresh.startWithSession, read.startWithSession},
        {"startService", fresh.startService, read.startService},
        {"startMinimised", fresh.startMinimised, read.startMinimised},
        {"emailBugs", fresh.emailBugs, read.emailBugs},
        {"viewPostboxes", fresh.viewPostboxes, read.viewPostboxes},
        {"viewMessages", fresh.viewMessages, read.viewMessages},
    };
    for (const auto& f : flags) EXPECT_EQ(f.fresh, f.read) << f.field;
    const struct {
        const char* field;
        int fresh, read;
    } numbers[] = {
        {"waitCode", fresh.waitCode, read.waitCode},       {"regularTime", fresh.regularTime, read.regularTime},
        {"alerterPort", fresh.alerterPort, read.alerterPort}, {"webPort", fresh.webPort, read.webPort},
        {"deletedDays", fresh.deletedDays, read.deletedDays}, {"sentDays", fresh.sentDays, read.sentDays},
        {"formColor", fresh.formColor, read.formColor},    {"textColor", fresh.textColor, read.textColor},
    };
    for (const auto& n : numbers) EXPECT_EQ(n.fresh, n.read) << n.field;
    const struct {
        const char* field;
        std::string fresh, read;
    } texts[] = {
        {"relayHost", fresh.relayHost, read.relayHost},
        {"relayPort", fresh.relayPort, read.relayPort},
        {"relayLogin", fresh.relayLogin, read.relayLogin},
        {"relayPassword", fresh.relayPassword, read.relayPassword},
        {"relayMailFrom", fresh.relayMailFrom, read.relayMailFrom},
        {"ipFilterAddress", fresh.ipFilterAddress, read.ipFilterAddress},
        {"virusWarnUser", fresh.virusWarnUser, read.virusWarnUser},
        {"copyOutTo", fresh.copyOutTo, read.copyOutTo},
        {"forwardMailFrom", fresh.forwardMailFrom, read.forwardMailFrom},
        {"webLogin", fresh.webLogin, read.webLogin},
        {"webPassword", fresh.webPassword, read.webPassword},
        {"webPortText", fresh.webPortText, read.webPortText},
        {"dunEntry", fresh.dunEntry, read.dunEntry},
        {"connStart", fresh.connStart, read.connStart},
        {"connEnd", fresh.connEnd, read.connEnd},
        {"smtpLocalPort", fresh.smtpLocalPort, read.smtpLocalPort},
        {"popLocalPort", fresh.popLocalPort, read.popLocalPort},
        {"settingsPassword", fresh.settingsPassword, read.settingsPassword},
        {"alerterPortText", fresh.alerterPortText, read.alerterPortText},
    };
    for (const auto& t : texts) EXPECT_EQ(t.fresh, t.read) << t.field;
    EXPECT_EQ(fresh.virusPatterns, read.virusPatterns);
}

}  // namespace
