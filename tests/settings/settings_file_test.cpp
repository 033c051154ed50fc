// tarnwick.ini through the settings window: load, save, defaults, encodings.
#include "settings_env.h"

#include "platform/files.h"
#include "settings/pw.h"
#include "settings/tcolor.h"
#include "transport/settings_file.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QCheckBox>
#include <QPushButton>
#include <QTimeEdit>

#include <filesystem>

namespace {

using settings_test::SettingsEnv;

struct Key {
    const char* section;
    const char* key;
    std::string value;
};

// Every key the settings window loads and saves, each away from its default.
std::vector<Key> NonDefaultCatalogue() {
    return {
        {"Connect", "LAN", "0"},
        {"Connect", "DUN", "1"},
        {"Connect", "UseOther", "1"},
        {"Connect", "DUNEntry", "Office line"},
        {"Connect", "Regular", "1"},
        {"Connect", "ConnBetween", "1"},
        {"Connect", "OnStartup", "1"},
        {"Connect", "KeepManual", "0"},
        {"Connect", "RegularTime", "45"},
        {"Connect", "ConnStart", "07:30"},
        {"Connect", "ConnEnd", "19:15"},
        {"SMTP", "Host", "relay.example.net"},
        {"SMTP", "Port", "587"},
        {"SMTP", "Standard", "0"},
        {"SMTP", "ID", PW::EncodeText("Secret9")},
        {"SMTP", "Wait", "3"},
        {"SMTP", "FooterAll", "0"},
        {"SMTP", "IPFilter", "1"},
        {"SMTP", "IPFilterAddress", "192.168.1."},
        {"SMTP", "LocalPort", "2525"},
        {"SMTP", "ServerAuth", "1"},
        {"SMTP", "Auth", "1"},
        {"SMTP", "Login", "relayuser"},
        {"SMTP", "Pass", "relaypass"},
        {"SMTP", "MailFrom", "office@example.net"},
        {"POP", "LocalPort", "1110"},
        {"General", "Start", "0"},
        {"General", "StartService", "1"},
        {"General", "StartMin", "1"},
        {"General", "EmailBugs", "0"},
        {"General", "ViewPostboxes", "0"},
        {"General", "ViewMessages", "0"},
        {"General", "LogSize", "12000"},
        {"General", "Logging1", "0"},
        {"General", "Logging2", "1"},
        {"General", "FormColor", "255"},
        {"General", "TextColor", "16711680"},
        {"Alerter", "Use", "1"},
        {"Alerter", "Port", "2700"},
        {"Virus", "CheckIn", "0"},
        {"Virus", "Spam", "1"},
        {"Virus", "CheckOut", "1"},
        {"Virus", "FileCount", "2"},
        {"Virus", "File1", "*.scr"},
        {"Virus", "File2", "*.pif"},
        {"Virus", "OutWarn", "carol"},
        {"Forward", "CopyOut", "1"},
        {"Forward", "CopyOutTo", "bob"},
        {"Forward", "UseMailFrom", "1"},
        {"Forward", "MailFrom", "fwd@example.net"},
        {"Remote", "Enabled", "1"},
        {"Remote", "Port", "8080"},
        {"Remote", "DeletedDays", "7"},
        {"Remote", "SentDays", "90"},
        {"Remote", "Login", PW::EncryptPassword("admin")},
        {"Remote", "PW", PW::EncryptPassword("s3cret")},
        {"Remote", "SendRec", "1"},
    };
}

// tarnwick.ini after a save of the catalogue above; see
// SavedFileIsByteForByteWhatEarlierReleasesWrote. The pieces a save writes
// the same way whatever the file held before come first.
const std::string kSavedConnect =
    "[Connect]\r\n"
    "LAN=0\r\n"
    "DUN=1\r\n"
    "UseOther=1\r\n"
    "DUNEntry=Office line\r\n"
    "Regular=1\r\n"
    "ConnBetween=1\r\n"
    "OnStartup=1\r\n"
    "KeepManual=0\r\n"
    "RegularTime=45\r\n"
    "ConnStart=07:30\r\n"
    "ConnEnd=19:15\r\n";
const std::string kSavedGeneralKeys =
    "Start=0\r\n"
    "StartService=1\r\n"
    "StartMin=1\r\n"
    "EmailBugs=0\r\n"
    "ViewPostboxes=0\r\n"
    "ViewMessages=0\r\n"
    "FormColor=255\r\n"
    "TextColor=16711680\r\n";
const std::string kSavedLastSections =
    "[Alerter]\r\n"
    "Use=1\r\n"
    "Port=2700\r\n"
    "\r\n"
    "[Virus]\r\n"
    "CheckIn=0\r\n"
    "Spam=1\r\n"
    "CheckOut=1\r\n"
    "FileCount=2\r\n"
    "File1=*.scr\r\n"
    "File2=*.pif\r\n"
    "OutWarn=carol\r\n"
    "\r\n"
    "[Forward]\r\n"
    "CopyOut=1\r\n"
    "CopyOutTo=bob\r\n"
    "UseMailFrom=1\r\n"
    "MailFrom=fwd@example.net\r\n"
    "\r\n"
    "[Remote]\r\n"
    "Enabled=1\r\n"
    "Port=8080\r\n"
    "DeletedDays=7\r\n"
    "SentDays=90\r\n"
    "Login=LmNehiQ=\r\n"
    "PW=PPvq4Qn9\r\n"
    "SendRec=1\r\n";
const std::string kSavedFromNothing = kSavedConnect +
    "\r\n"
    "[SMTP]\r\n"
    "Host=relay.example.net\r\n"
    "Port=587\r\n"
    "Standard=0\r\n"
    "LocalPort=2525\r\n"
    "ID=tpJPpQb\r\n"
    "Wait=3\r\n"
    "FooterAll=0\r\n"
    "IPFilterAddress=192.168.1.\r\n"
    "IPFilter=1\r\n"
    "Auth=1\r\n"
    "ServerAuth=1\r\n"
    "Login=relayuser\r\n"
    "Pass=relaypass\r\n"
    "MailFrom=office@example.net\r\n"
    "\r\n"
    "[POP]\r\n"
    "LocalPort=1110\r\n"
    "\r\n"
    "[General]\r\n" +
    kSavedGeneralKeys + "\r\n" + kSavedLastSections;
const std::string kSavedOverHandWritten =
    "; office settings\r\n"
    "[smtp]\r\n"
    "HOST=relay.example.net\r\n"
    "wait=3\r\n"
    "Port=587\r\n"
    "Standard=0\r\n"
    "LocalPort=2525\r\n"
    "ID=tpJPpQb\r\n"
    "FooterAll=0\r\n"
    "IPFilterAddress=192.168.1.\r\n"
    "IPFilter=1\r\n"
    "Auth=1\r\n"
    "ServerAuth=1\r\n"
    "Login=relayuser\r\n"
    "Pass=relaypass\r\n"
    "MailFrom=office@example.net\r\n"
    "\r\n"
    "[Users]\r\n"
    "alice=10.0.0.4\r\n"
    "[General]\r\n"
    "LogSize=12000\r\n"
    "Logging1=0\r\n"
    "Logging2=1\r\n" +
    kSavedGeneralKeys +
    "[MyAddIn]\r\n"
    "Option=x y z\r\n"
    "[SMTP]\r\n"
    "Host=second\r\n"
    "\r\n" +
    kSavedConnect + "\r\n[POP]\r\nLocalPort=1110\r\n\r\n" + kSavedLastSections;

class SettingsFile : public SettingsEnv {
protected:
    void WriteKeys(const std::vector<Key>& keys) {
        auto ini = Ini();
        for (const auto& k : keys) ini.WriteString(k.section, k.key, k.value);
    }
    TFrmSettings& Loaded() {
        TFrmSettings& f = Form();
        // The main window fills the dial-up entries before loading.
        f.CBXDUN->addItems({"Home", "Office line"});
        f.LoadSettings();
        return f;
    }
};

TEST_F(SettingsFile, FullRoundTripKeepsEveryValueAndForeignSections) {
    settings_test::WriteUsers(Dir(), {"alice", "bob", "carol"});
    const auto keys = NonDefaultCatalogue();
    WriteKeys(keys);
    auto ini = Ini();
    ini.WriteString("Spam", "Threshold", "7");
    ini.WriteString("Users", "alice", "192.168.1.20");
    ini.WriteString("MyAddIn", "Option", "x y z");

    TFrmSettings& f = Loaded();
    EXPECT_EQ(f.RGPWhen->ItemIndex(), 3);
    EXPECT_EQ(f.settingsPassword(), "Secret9");
    EXPECT_EQ(f.webLogin(), "admin");
    EXPECT_EQ(f.webPassword(), "s3cret");
    EXPECT_EQ(f.SettingsValue().relayLogin, "relayuser");
    EXPECT_TRUE(f.SettingsValue().smtpServerAuth);
    EXPECT_EQ(procs::LogSizeLimit, 12000);
    EXPECT_FALSE(procs::LogClientActivity);
    EXPECT_TRUE(procs::LogServerActivity);
    EXPECT_EQ(f.virusPatterns(), (std::vector<std::string>{"*.scr", "*.pif"}));
    EXPECT_EQ(f.webPort(), 8080);
    EXPECT_FALSE(f.footerForAll());

    // Overwrite the file with defaults, then save: the window brings every
    // value back.
    std::filesystem::remove(Dir() + "tarnwick.ini");
    ini.WriteString("Spam", "Threshold", "7");
    ini.WriteString("Users", "alice", "192.168.1.20");
    ini.WriteString("MyAddIn", "Option", "x y z");
    ini.WriteInteger("General", "LogSize", 12000);
    ini.WriteBool("General", "Logging1", false);
    ini.WriteBool("General", "Logging2", true);
    f.SaveSettings();
    for (const auto& k : keys)
        EXPECT_EQ(ini.ReadString(k.section, k.key, "<absent>"), k.value) << k.section << "/" << k.key;
    EXPECT_EQ(ini.ReadString("Spam", "Threshold", ""), "7");
    EXPECT_EQ(ini.ReadString("Users", "alice", ""), "192.168.1.20");
    EXPECT_EQ(ini.ReadString("MyAddIn", "Option", ""), "x y z");

    // And a second load of the saved file shows the same controls.
    settings_test::EnsureApp();
    f.LoadSettings();
    EXPECT_EQ(f.RGPWhen->ItemIndex(), 3);
    EXPECT_EQ(f.CBXDUN->currentText().toStdString(), "Office line");
    EXPECT_EQ(f.TimeEdit2->time(), QTime(19, 15));
    EXPECT_EQ(f.copyOutTo(), "bob");
    EXPECT_EQ(f.virusWarnUser(), "carol");
}

TEST_F(SettingsFile, EmptyFileLoadsDefaultsAndSavesThem) {
    TFrmSettings& f = Loaded();
    f.SaveSettings();
    auto ini = Ini();
    const std::vector<Key> defaults = {
        {"Connect", "LAN", "1"},         {"Connect", "DUN", "0"},
        {"Connect", "DUNEntry", ""},     {"Connect", "KeepManual", "1"},
        {"Connect", "RegularTime", "10"}, {"Connect", "ConnStart", "09:00"},
        {"Connect", "ConnEnd", "18:00"}, {"SMTP", "Port", "25"},
        {"SMTP", "Standard", "1"},       {"SMTP", "Wait", "1"},
        {"SMTP", "FooterAll", "1"},      {"SMTP", "LocalPort", "25"},
        {"POP", "LocalPort", "110"},     {"General", "Start", "1"},
        {"General", "EmailBugs", "1"},   {"General", "ViewPostboxes", "1"},
        {"General", "LogSize", "5000"},  {"Alerter", "Port", "2601"},
        {"Virus", "CheckIn", "1"},       {"Virus", "FileCount", "1"},
        {"Virus", "File1", "*.exe"},     {"Remote", "Port", "2600"},
        {"Remote", "DeletedDays", "30"}, {"Remote", "SentDays", "30"},
        // System colours are stored as negative TColor values.
        {"General", "FormColor", "-2147483633"},
        {"General", "TextColor", "-2147483640"},
    };
    for (const auto& k : defaults)
        EXPECT_EQ(ini.ReadString(k.section, k.key, "<absent>"), k.value) << k.section << "/" << k.key;
    EXPECT_FALSE(ini.ValueExists("General", "Logging1"));
}

TEST_F(SettingsFile, WaitCodeMapsToTheRadioItems) {
    struct Case {
        const char* stored;
        int item;
        std::string saved;
    };
    const Case cases[] = {
        {"0", 0, "0"}, {"1", 2, "1"}, {"2", 1, "2"}, {"3", 3, "3"},
        // A code never written (a hand edit) waits, as a missing one does.
        {"7", 2, "1"}, {"-1", 2, "1"}, {"abc", 2, "1"},
    };
    TFrmSettings& f = Form();
    for (const auto& c : cases) {
        std::filesystem::remove(Dir() + "tarnwick.ini");
        // Keys match without regard to case: older files write "wait".
        Ini().WriteString("smtp", "wait", c.stored);
        f.LoadSettings();
        EXPECT_EQ(f.RGPWhen->ItemIndex(), c.item) << c.stored;
        f.SaveSettings();
        EXPECT_EQ(Ini().ReadString("SMTP", "Wait", ""), c.saved) << c.stored;
    }
    Ini().WriteString("smtp", "wait", "2");
    f.LoadSettings();
    EXPECT_EQ(f.smtpWaitCode(), settings::kWaitSendOnly);
}

TEST_F(SettingsFile, VirusPatternListFollowsFileCount) {
    TFrmSettings& f = Form();
    f.MemoViruses->setPlainText("*.bat\n*.com");
    f.LoadSettings();  // no FileCount: the list stays
    EXPECT_EQ(f.virusPatterns(), (std::vector<std::string>{"*.bat", "*.com"}));
    Ini().WriteString("Virus", "FileCount", "0");
    Ini().WriteString("Virus", "File1", "*.old");
    f.LoadSettings();
    EXPECT_TRUE(f.virusPatterns().empty());
    // A shorter list leaves the higher keys in the file, where nothing reads them.
    Ini().WriteString("Virus", "FileCount", "3");
    Ini().WriteString("Virus", "File2", "*.two");
    Ini().WriteString("Virus", "File3", "*.three");
    f.LoadSettings();
    f.MemoViruses->setPlainText("*.vbs\n");
    f.SaveSettings();
    EXPECT_EQ(Ini().ReadString("Virus", "FileCount", ""), "1");
    EXPECT_EQ(Ini().ReadString("Virus", "File1", ""), "*.vbs");
    EXPECT_EQ(Ini().ReadString("Virus", "File3", ""), "*.three");
    f.LoadSettings();
    EXPECT_EQ(f.virusPatterns(), (std::vector<std::string>{"*.vbs"}));
}

TEST_F(SettingsFile, SavedValuesThatAreCheckedOrConverted) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    struct Case {
        const char* port;
        std::string saved;
    };
    // A web port that is not a port saves as the default.
    for (const Case& c : {Case{"abc", "2600"}, Case{"70000", "2600"}, Case{"0", "2600"}, Case{"8081", "8081"}}) {
        f.EditBPort->setText(c.port);
        f.CHBForwardMailFrom->setChecked(true);
        f.EditForwardFrom->clear();
        f.SaveSettings();
        EXPECT_EQ(Ini().ReadString("Remote", "Port", ""), c.saved) << c.port;
        // MAIL FROM without an address is not switched on.
        EXPECT_EQ(Ini().ReadString("Forward", "UseMailFrom", ""), "0");
    }
    f.EditForwardFrom->setText("x@example.net");
    f.SaveSettings();
    EXPECT_EQ(Ini().ReadString("Forward", "UseMailFrom", ""), "1");
}

TEST_F(SettingsFile, PortReadersFallBackToDefaults) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    struct Case {
        const char* text;
        int pop, smtp, web, alert;
    };
    const Case cases[] = {
        {"1110", 1110, 1110, 1110, 1110}, {"abc", 110, 25, 2600, 2601}, {"65536", 110, 25, 2600, 2601},
        {"0", 110, 25, 2600, 2601},       {"-5", 110, 25, 2600, 2601},  {"65535", 65535, 65535, 65535, 65535},
    };
    for (const auto& c : cases) {
        for (auto* e : {f.EditPOPLANPort, f.EdiTSMTPLANPort, f.EditBPort, f.EditAlerterPort}) e->setText(c.text);
        EXPECT_EQ(f.popLocalPort(), c.pop) << c.text;
        EXPECT_EQ(f.smtpLocalPort(), c.smtp) << c.text;
        EXPECT_EQ(f.webPort(), c.web) << c.text;
        EXPECT_EQ(f.alerterPort(), c.alert) << c.text;
    }
}

TEST_F(SettingsFile, ListeningSocketsAreReopenedOnlyWhenTheirPortChanged) {
    int popPort = 110, smtpPort = 25;
    std::vector<std::string> reopened;
    bool smtpFree = true;
    setup::hooks.popServerPort = [&] { return popPort; };
    setup::hooks.reopenPopServer = [&](int p) {
        reopened.push_back("pop " + std::to_string(p));
        popPort = p;
        return true;
    };
    setup::hooks.smtpServerPort = [&] { return smtpPort; };
    setup::hooks.reopenSmtpServer = [&](int p) {
        reopened.push_back("smtp " + std::to_string(p));
        if (smtpFree) smtpPort = p;
        return smtpFree;
    };
    TFrmSettings& f = Form();
    f.LoadSettings();
    f.SaveSettings();
    EXPECT_TRUE(reopened.empty());
    EXPECT_TRUE(messages.empty());

    f.EditPOPLANPort->setText("1110");
    f.SaveSettings();
    EXPECT_EQ(reopened, (std::vector<std::string>{"pop 1110"}));
    f.SaveSettings();
    EXPECT_EQ(reopened.size(), 1u);

    smtpFree = false;
    f.EdiTSMTPLANPort->setText("2525");
    f.SaveSettings();
    EXPECT_EQ(reopened.back(), "smtp 2525");
    EXPECT_EQ(setup::crashSettings.smtpPort, 2525);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              "There is already an application or service using port 2525, necessary for the SMTP server.\r\n"
              "If you want to use Tarnwick as your SMTP server then you will have to stop the other "
              "application and restart Tarnwick.");
}

TEST_F(SettingsFile, FooterLinesRoundTripAndMissingFileClears) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    f.MemFooter->setPlainText("Tarnwick Office\n\nCall 555-0100");
    f.SaveSettings();
    std::string data;
    ASSERT_TRUE(platform::ReadFile(Dir() + "footer.dat", data));
    EXPECT_EQ(data, "Tarnwick Office\r\n\r\nCall 555-0100\r\n");
    f.MemFooter->setPlainText("changed");
    f.LoadSettings();
    EXPECT_EQ(f.footerLines(), (std::vector<std::string>{"Tarnwick Office", "", "Call 555-0100"}));
    std::filesystem::remove(Dir() + "footer.dat");
    f.LoadSettings();
    EXPECT_TRUE(f.footerLines().empty());
}

TEST_F(SettingsFile, LoadingLeavesApplyOffAndCrashSettingsFollowEmailBugs) {
    Ini().WriteString("General", "EmailBugs", "0");
    TFrmSettings& f = Form();
    f.LoadSettings();
    EXPECT_FALSE(f.BtnApply->isEnabled());
    EXPECT_TRUE(setup::crashSettings.showDialog);
    EXPECT_FALSE(setup::crashSettings.mailAutomatically);
    f.CHBAlerter->click();
    EXPECT_TRUE(f.BtnApply->isEnabled());
}

TEST_F(SettingsFile, TimesAndColoursParse) {
    struct TimeCase {
        const char* text;
        QTime want;
    };
    for (const auto& c : {TimeCase{"09:00", QTime(9, 0)}, TimeCase{"9:05", QTime(9, 5)},
                          TimeCase{"18:00:00", QTime(18, 0)}, TimeCase{"6:30 PM", QTime(18, 30)},
                          TimeCase{"noon", QTime()}, TimeCase{"25:00", QTime()}})
        EXPECT_EQ(settings::TimeFromText(c.text), c.want) << c.text;
    EXPECT_EQ(settings::TColorFromColor(settings::ColorFromTColor(0x0080FF)), 0x0080FF);
    EXPECT_EQ(settings::ColorFromTColor(0x0000FF), QColor(255, 0, 0));
}

TEST_F(SettingsFile, UnparsableTimeFallsBackToDefault) {
    Ini().WriteString("Connect", "ConnStart", "soon");
    TFrmSettings& f = Form();
    f.LoadSettings();
    EXPECT_EQ(f.TimeEdit1->time(), QTime(9, 0));
}

}  // namespace

namespace {

class SettingsEnabling : public settings_test::SettingsEnv {};

TEST_F(SettingsEnabling, StartupServiceAndMinimisedBoxesFollowEachOther) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    f.CHBStartup->setChecked(true);
    f.CHBService->setChecked(true);
    f.ApplyEnableFor(f.CHBService);
    EXPECT_FALSE(f.CHBMin->isEnabled());
    EXPECT_TRUE(f.CHBMin->isChecked());  // a service always starts minimised
    EXPECT_TRUE(f.BtnApply->isEnabled());

    f.CHBStartup->setChecked(false);
    f.ApplyEnableFor(f.CHBStartup);
    EXPECT_FALSE(f.CHBService->isEnabled());
    EXPECT_FALSE(f.CHBService->isChecked());
    EXPECT_FALSE(f.CHBMin->isEnabled());
    EXPECT_FALSE(f.CHBMin->isChecked());
}

TEST_F(SettingsEnabling, ServiceWithDialUpAsksForTheLoginOncePerRun) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    f.CHBStartup->setChecked(true);
    f.CHBService->setChecked(true);
    f.ApplyEnableFor(f.CHBService);  // LAN chosen: nothing to ask
    EXPECT_TRUE(messages.empty());
    f.CBXDUN->addItem("Office line");
    f.CBXDUN->setCurrentIndex(0);
    f.RBTConnectDUN->setChecked(true);
    f.ApplyEnableFor(f.CHBService);
    f.ApplyEnableFor(f.CHBService);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              "Run as a service:\r\rTarnwick will run as a service but you must provide the Dial-up networking "
              "username and password.\rPlease select the connection tab and then click on the button marked "
              "\"Edit DUN login\" and enter the username and password for the selected DUN entry (Office line).");
}

TEST_F(SettingsEnabling, BrowserAddressAndClearedCompanions) {
    TFrmSettings& f = Form();
    f.LoadSettings();
    EXPECT_EQ(f.browserAddress(), "not operative");
    f.EditBPort->setText("abc");
    f.CHBBrowser->setChecked(true);
    f.ApplyEnableFor(f.CHBBrowser);
    EXPECT_FALSE(f.EditBPort->isEnabled());
    EXPECT_EQ(f.browserAddress().rfind("http://", 0), 0u);
    EXPECT_EQ(f.browserAddress().substr(f.browserAddress().size() - 5), ":2600");

    settings_test::WriteUsers(Dir(), {"ann"});
    f.LoadSettings();
    f.CHBOutCopy->setChecked(true);
    f.CBXOutCopy->setCurrentIndex(0);
    f.CHBOutCopy->setChecked(false);
    f.ApplyEnableFor(f.CHBOutCopy);
    EXPECT_EQ(f.copyOutTo(), "");
    f.EditForwardFrom->setText("x@example.net");
    f.ApplyEnableFor(f.CHBForwardMailFrom);
    EXPECT_EQ(f.forwardMailFrom(), "");
}

}  // namespace

namespace {

// The saved file, byte for byte, as earlier releases wrote it: keys found
// in any case keep their spelling, new keys follow the last key of their
// section, new sections go at the end after a blank line, foreign lines and
// comments stay. Also the file a first save makes from nothing.
TEST_F(SettingsFile, SavedFileIsByteForByteWhatEarlierReleasesWrote) {
    settings_test::WriteUsers(Dir(), {"alice", "bob", "carol"});
    WriteKeys(NonDefaultCatalogue());
    TFrmSettings& f = Loaded();
    struct Case {
        const char* name;
        std::string start;
        std::string saved;
    } cases[] = {
        {"from nothing", "", kSavedFromNothing},
        {"a file written by hand",
         "; office settings\r\n[smtp]\r\nHOST = old.example.net\r\nwait=0\r\n\r\n[Users]\r\nalice=10.0.0.4\r\n"
         "[General]\r\nLogSize=12000\r\nLogging1=0\r\nLogging2=1\r\n[MyAddIn]\r\nOption=x y z\r\n[SMTP]\r\nHost=second\r\n",
         kSavedOverHandWritten},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(Dir() + "tarnwick.ini");
        if (!c.start.empty()) platform::WriteFileAtomic(Dir() + "tarnwick.ini", c.start);
        f.SaveSettings();
        std::string saved;
        ASSERT_TRUE(platform::ReadFile(Dir() + "tarnwick.ini", saved));
        EXPECT_EQ(saved, c.saved) << c.name;
    }
}

}  // namespace
