// The engine's one settings value: reading it from tarnwick.ini and
// footer.dat, and handing it from the publisher to every reader.
#include "transport/mail_settings.h"

#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "codecs/pw_codec.h"
#include "transport/globals.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>

namespace settings {

int WaitCodeToItem(int code) {
    switch (code) {
    case kWaitFullCycle: return 0;
    case kWaitForCycle: return 2;
    case kWaitReturnExternal: return 3;
    default: return 1;
    }
}

int WaitItemToCode(int item) {
    switch (item) {
    case 0: return kWaitFullCycle;
    case 1: return kWaitSendOnly;
    case 3: return kWaitReturnExternal;
    default: return kWaitForCycle;
    }
}

int IntFromText(const std::string& text, int def) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    if (b < e && text[b] == '+') ++b;
    if (b == e) return def;
    int v = 0;
    auto [p, ec] = std::from_chars(text.data() + b, text.data() + e, v, 10);
    if (ec != std::errc() || p != text.data() + e) return def;
    return v;
}

int PortFromText(const std::string& text, int def) {
    int v = IntFromText(text, -1);
    return (v >= 1 && v <= 65535) ? v : def;
}

}  // namespace settings

namespace mailsettings {

namespace {

std::atomic<std::shared_ptr<const MailSettings>> published;

// A user name kept in the file counts only while that user exists, matched
// exactly as the window's user lists match it.
std::string KnownUser(const std::string& name, const std::vector<std::string>& users) {
    return std::find(users.begin(), users.end(), name) != users.end() ? name : std::string();
}

}  // namespace

MailSettings Read(const std::string& programDir, const std::vector<std::string>& userNames,
                  const std::string& computerName) {
    platform::IniFile ini(programDir + "tarnwick.ini");
    MailSettings s;
    s.relayHost = ini.ReadString("SMTP", "Host", "");
    s.relayPort = ini.ReadString("SMTP", "Port", "25");
    s.relayStandard = ini.ReadBool("SMTP", "Standard", true);
    s.relayAuth = ini.ReadBool("SMTP", "Auth", false);
    s.relayLogin = ini.ReadString("SMTP", "Login", "");
    s.relayPassword = ini.ReadString("SMTP", "Pass", "");
    s.relayMailFrom = ini.ReadString("SMTP", "MailFrom", "");
    s.waitCode = settings::WaitItemToCode(
        settings::WaitCodeToItem(ini.ReadInteger("SMTP", "Wait", settings::kWaitForCycle)));
    s.footerAll = ini.ReadBool("SMTP", "FooterAll", true);
    std::string footer;
    if (platform::ReadFile(programDir + "footer.dat", footer)) s.footerLines = platform::TextLines(footer);
    s.smtpServerAuth = ini.ReadBool("SMTP", "ServerAuth", false);
    s.ipFilter = ini.ReadBool("SMTP", "IPFilter", false);
    s.ipFilterAddress = ini.ReadString("SMTP", "IPFilterAddress", "");
    s.alerterOn = ini.ReadBool("Alerter", "Use", false);
    s.alerterPortText = ini.ReadString("Alerter", "Port", "2601");
    s.alerterPort = settings::PortFromText(s.alerterPortText, settings::kDefaultAlerterPort);
    s.virusCheckIn = ini.ReadBool("Virus", "CheckIn", true);
    s.virusToSpam = ini.ReadBool("Virus", "Spam", false);
    s.virusCheckOut = ini.ReadBool("Virus", "CheckOut", false);
    s.virusWarnUser = KnownUser(ini.ReadString("Virus", "OutWarn", ""), userNames);
    const int patterns = ini.ReadInteger("Virus", "FileCount", -1);
    for (int i = 1; i <= patterns; ++i)
        s.virusPatterns.push_back(ini.ReadString("Virus", "File" + std::to_string(i), "*.exe"));
    s.copyOut = ini.ReadBool("Forward", "CopyOut", false);
    s.copyOutTo = KnownUser(ini.ReadString("Forward", "CopyOutTo", ""), userNames);
    s.forwardUseMailFrom = ini.ReadBool("Forward", "UseMailFrom", false);
    s.forwardMailFrom = ini.ReadString("Forward", "MailFrom", "");
    s.browserEnabled = ini.ReadBool("Remote", "Enabled", false);
    // Port 0 (any free port) is for a program run by tests; the window
    // never keeps it.
    const std::string webPort = ini.ReadString("Remote", "Port", "2600");
    s.webPort = webPort == "0" ? 0 : settings::PortFromText(webPort, settings::kDefaultWebPort);
    s.deletedDays = ini.ReadInteger("Remote", "DeletedDays", settings::kDefaultKeptDays);
    s.webLogin = PW::DecryptPassword(ini.ReadString("Remote", "Login", ""));
    s.webPassword = PW::DecryptPassword(ini.ReadString("Remote", "PW", ""));
    s.allowSendRec = ini.ReadBool("Remote", "SendRec", false);
    s.sentDays = ini.ReadInteger("Remote", "SentDays", settings::kDefaultKeptDays);
    s.connectLan = ini.ReadBool("Connect", "LAN", true);
    s.connectDun = ini.ReadBool("Connect", "DUN", false);
    s.connectUseOther = ini.ReadBool("Connect", "UseOther", false);
    s.dunEntry = ini.ReadString("Connect", "DUNEntry", "");
    s.connectRegular = ini.ReadBool("Connect", "Regular", false);
    s.connectBetween = ini.ReadBool("Connect", "ConnBetween", false);
    s.connectOnStartup = ini.ReadBool("Connect", "OnStartup", false);
    s.keepManual = ini.ReadBool("Connect", "KeepManual", true);
    s.regularTime = ini.ReadInteger("Connect", "RegularTime", s.regularTime);
    s.connStart = ini.ReadString("Connect", "ConnStart", s.connStart);
    s.connEnd = ini.ReadString("Connect", "ConnEnd", s.connEnd);
    s.smtpLocalPort = ini.ReadString("SMTP", "LocalPort", "25");
    s.popLocalPort = ini.ReadString("POP", "LocalPort", "110");
    s.settingsPassword = PW::DecodeText(ini.ReadString("SMTP", "ID", ""));
    s.startWithSession = ini.ReadBool("General", "Start", true);
    s.startService = ini.ReadBool("General", "StartService", false);
    s.startMinimised = ini.ReadBool("General", "StartMin", false);
    s.emailBugs = ini.ReadBool("General", "EmailBugs", true);
    s.viewPostboxes = ini.ReadBool("General", "ViewPostboxes", true);
    s.viewMessages = ini.ReadBool("General", "ViewMessages", true);
    s.formColor = ini.ReadInteger("General", "FormColor", s.formColor);
    s.textColor = ini.ReadInteger("General", "TextColor", s.textColor);
    if (computerName.empty()) {
        s.browserAddress.clear();
    } else if (s.browserEnabled) {
        std::string host = computerName;
        for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        s.browserAddress = "http://" + host + ":" + std::to_string(s.webPort);
    }
    return s;
}

bool WriteIni(const std::string& programDir, const MailSettings& v, std::string* error) {
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    std::vector<platform::IniValue> values = {
        {"Connect", "LAN", flag(v.connectLan)},
        {"Connect", "DUN", flag(v.connectDun)},
        {"Connect", "UseOther", flag(v.connectUseOther)},
        {"Connect", "DUNEntry", v.dunEntry},
        {"Connect", "Regular", flag(v.connectRegular)},
        {"Connect", "ConnBetween", flag(v.connectBetween)},
        {"Connect", "OnStartup", flag(v.connectOnStartup)},
        {"Connect", "KeepManual", flag(v.keepManual)},
        {"Connect", "RegularTime", std::to_string(v.regularTime)},
        {"Connect", "ConnStart", v.connStart},
        {"Connect", "ConnEnd", v.connEnd},
        {"SMTP", "Host", v.relayHost},
        {"SMTP", "Port", v.relayPort},
        {"SMTP", "Standard", flag(v.relayStandard)},
        {"SMTP", "LocalPort", v.smtpLocalPort},
        {"POP", "LocalPort", v.popLocalPort},
        {"SMTP", "ID", PW::EncodeText(v.settingsPassword)},
        {"SMTP", "Wait", std::to_string(v.waitCode)},
        {"SMTP", "FooterAll", flag(v.footerAll)},
        {"SMTP", "IPFilterAddress", v.ipFilterAddress},
        {"SMTP", "IPFilter", flag(v.ipFilter)},
        {"SMTP", "Auth", flag(v.relayAuth)},
        {"SMTP", "ServerAuth", flag(v.smtpServerAuth)},
        {"SMTP", "Login", v.relayLogin},
        {"SMTP", "Pass", v.relayPassword},
        {"SMTP", "MailFrom", v.relayMailFrom},
        {"General", "Start", flag(v.startWithSession)},
        {"General", "StartService", flag(v.startService)},
        {"General", "StartMin", flag(v.startMinimised)},
        {"General", "EmailBugs", flag(v.emailBugs)},
        {"Alerter", "Use", flag(v.alerterOn)},
        {"Alerter", "Port", v.alerterPortText},
        // File keys above the new count stay in the file, unread.
        {"Virus", "CheckIn", flag(v.virusCheckIn)},
        {"Virus", "Spam", flag(v.virusToSpam)},
        {"Virus", "CheckOut", flag(v.virusCheckOut)},
        {"Virus", "FileCount", std::to_string(v.virusPatterns.size())},
    };
    for (size_t i = 0; i < v.virusPatterns.size(); ++i)
        values.push_back({"Virus", "File" + std::to_string(i + 1), v.virusPatterns[i]});
    values.insert(values.end(), {
        {"Virus", "OutWarn", v.virusWarnUser},
        {"Forward", "CopyOut", flag(v.copyOut)},
        {"Forward", "CopyOutTo", v.copyOutTo},
        {"Forward", "UseMailFrom", flag(v.forwardUseMailFrom)},
        {"Forward", "MailFrom", v.forwardMailFrom},
        {"General", "ViewPostboxes", flag(v.viewPostboxes)},
        {"General", "ViewMessages", flag(v.viewMessages)},
        {"Remote", "Enabled", flag(v.browserEnabled)},
        {"Remote", "Port", std::to_string(v.webPort)},
        {"Remote", "DeletedDays", std::to_string(v.deletedDays)},
        {"Remote", "SentDays", std::to_string(v.sentDays)},
        {"Remote", "Login", PW::EncryptPassword(v.webLogin)},
        {"Remote", "PW", PW::EncryptPassword(v.webPassword)},
        {"Remote", "SendRec", flag(v.allowSendRec)},
        {"General", "FormColor", std::to_string(v.formColor)},
        {"General", "TextColor", std::to_string(v.textColor)},
    });
    const platform::FsStatus s =
        platform::IniFile(programDir + "tarnwick.ini").WriteValues(values, *platform::Env::Current());
    if (!s.ok() && error) *error = s.Text();
    return s.ok();
}

void Publish(std::shared_ptr<const MailSettings> value) { published.store(std::move(value)); }

std::shared_ptr<const MailSettings> Current() {
    if (auto value = published.load()) return value;
    // Without a settings window the engine has always read the file for
    // some switches and taken the window's absence as "off" for the rest.
    auto s = std::make_shared<MailSettings>(Read(ProgramDir, {}, std::string()));
    s->footerLines.clear();
    s->smtpServerAuth = false;
    s->virusToSpam = false;
    s->virusCheckOut = false;
    s->copyOut = false;
    s->deletedDays = 0;
    s->webLogin.clear();
    s->webPassword.clear();
    s->allowSendRec = false;
    return s;
}

int WaitCode() { return Current()->waitCode; }

}  // namespace mailsettings
