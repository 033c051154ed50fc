// The engine's one settings value: reading it from tarnwick.ini and
// footer.dat, and handing it from the publisher to every reader.
#include "transport/mail_settings.h"

#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "codecs/pw_codec.h"
#include "codecs/qev_util.h"
#include "transport/globals.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <variant>

namespace settings {

int WaitCodeToItem(int code) {
    switch (code) {
    case kWaitFullCycle: return 0;
    case kWaitSendOnly: return 1;
    case kWaitReturnExternal: return 3;
    // A code this program never writes (a hand edit) waits, as a missing
    // one does, rather than sending at once.
    default: return 2;
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

// How a key's text stands for its field.
enum class Encoding {
    Flag,        // "1"/"0", read as a number: non-zero is true
    Number,      // decimal
    Text,        // as it is
    Coded,       // [SMTP] ID: the substitution code of the settings password
    Enciphered,  // Blowfish and Base64 (the web administration's login)
    WaitCode,    // [SMTP] Wait, normalised through the radio item it selects
    UserName,    // a local user's name; one that is no user any more reads as empty
    WebPort,     // [Remote] Port: the text and its number when read, the number when written
    PatternList, // [Virus] FileCount and File1..FileCount
};

using Field = std::variant<bool MailSettings::*, int MailSettings::*, std::string MailSettings::*,
                           std::vector<std::string> MailSettings::*>;

struct Key {
    const char* section;
    const char* key;
    const char* def;  // the value of a key the file does not hold, as text
    Field field;
    Encoding encoding;
};

// Every key of tarnwick.ini that the settings value carries, in the order
// and spelling the settings window has always written them.
const Key kKeys[] = {
    {"Connect", "LAN", "1", &MailSettings::connectLan, Encoding::Flag},
    {"Connect", "DUN", "0", &MailSettings::connectDun, Encoding::Flag},
    {"Connect", "UseOther", "0", &MailSettings::connectUseOther, Encoding::Flag},
    {"Connect", "DUNEntry", "", &MailSettings::dunEntry, Encoding::Text},
    {"Connect", "Regular", "0", &MailSettings::connectRegular, Encoding::Flag},
    {"Connect", "ConnBetween", "0", &MailSettings::connectBetween, Encoding::Flag},
    {"Connect", "OnStartup", "0", &MailSettings::connectOnStartup, Encoding::Flag},
    {"Connect", "KeepManual", "1", &MailSettings::keepManual, Encoding::Flag},
    {"Connect", "RegularTime", "10", &MailSettings::regularTime, Encoding::Number},
    {"Connect", "ConnStart", settings::kDefaultConnStart, &MailSettings::connStart, Encoding::Text},
    {"Connect", "ConnEnd", settings::kDefaultConnEnd, &MailSettings::connEnd, Encoding::Text},
    {"SMTP", "Host", "", &MailSettings::relayHost, Encoding::Text},
    {"SMTP", "Port", "25", &MailSettings::relayPort, Encoding::Text},
    {"SMTP", "Standard", "1", &MailSettings::relayStandard, Encoding::Flag},
    {"SMTP", "LocalPort", "25", &MailSettings::smtpLocalPort, Encoding::Text},
    {"POP", "LocalPort", "110", &MailSettings::popLocalPort, Encoding::Text},
    {"SMTP", "ID", "", &MailSettings::settingsPassword, Encoding::Coded},
    {"SMTP", "Wait", "1", &MailSettings::waitCode, Encoding::WaitCode},
    {"SMTP", "FooterAll", "1", &MailSettings::footerAll, Encoding::Flag},
    {"SMTP", "IPFilterAddress", "", &MailSettings::ipFilterAddress, Encoding::Text},
    {"SMTP", "IPFilter", "0", &MailSettings::ipFilter, Encoding::Flag},
    {"SMTP", "Auth", "0", &MailSettings::relayAuth, Encoding::Flag},
    {"SMTP", "ServerAuth", "0", &MailSettings::smtpServerAuth, Encoding::Flag},
    {"SMTP", "Login", "", &MailSettings::relayLogin, Encoding::Text},
    {"SMTP", "Pass", "", &MailSettings::relayPassword, Encoding::Text},
    {"SMTP", "MailFrom", "", &MailSettings::relayMailFrom, Encoding::Text},
    {"General", "Start", "1", &MailSettings::startWithSession, Encoding::Flag},
    {"General", "StartService", "0", &MailSettings::startService, Encoding::Flag},
    {"General", "StartMin", "0", &MailSettings::startMinimised, Encoding::Flag},
    {"General", "EmailBugs", "1", &MailSettings::emailBugs, Encoding::Flag},
    {"Alerter", "Use", "0", &MailSettings::alerterOn, Encoding::Flag},
    {"Alerter", "Port", "2601", &MailSettings::alerterPortText, Encoding::Text},
    {"Virus", "CheckIn", "1", &MailSettings::virusCheckIn, Encoding::Flag},
    {"Virus", "Spam", "0", &MailSettings::virusToSpam, Encoding::Flag},
    {"Virus", "CheckOut", "0", &MailSettings::virusCheckOut, Encoding::Flag},
    // File keys above a new count stay in the file, unread.
    {"Virus", "FileCount", "*.exe", &MailSettings::virusPatterns, Encoding::PatternList},
    {"Virus", "OutWarn", "", &MailSettings::virusWarnUser, Encoding::UserName},
    {"Forward", "CopyOut", "0", &MailSettings::copyOut, Encoding::Flag},
    {"Forward", "CopyOutTo", "", &MailSettings::copyOutTo, Encoding::UserName},
    {"Forward", "UseMailFrom", "0", &MailSettings::forwardUseMailFrom, Encoding::Flag},
    {"Forward", "MailFrom", "", &MailSettings::forwardMailFrom, Encoding::Text},
    {"General", "ViewPostboxes", "1", &MailSettings::viewPostboxes, Encoding::Flag},
    {"General", "ViewMessages", "1", &MailSettings::viewMessages, Encoding::Flag},
    {"Remote", "Enabled", "0", &MailSettings::browserEnabled, Encoding::Flag},
    {"Remote", "Port", "2600", &MailSettings::webPortText, Encoding::WebPort},
    {"Remote", "DeletedDays", "30", &MailSettings::deletedDays, Encoding::Number},
    {"Remote", "SentDays", "30", &MailSettings::sentDays, Encoding::Number},
    {"Remote", "Login", "", &MailSettings::webLogin, Encoding::Enciphered},
    {"Remote", "PW", "", &MailSettings::webPassword, Encoding::Enciphered},
    {"Remote", "SendRec", "0", &MailSettings::allowSendRec, Encoding::Flag},
    {"General", "FormColor", "-2147483633", &MailSettings::formColor, Encoding::Number},
    {"General", "TextColor", "-2147483640", &MailSettings::textColor, Encoding::Number},
};

int DefaultNumber(const Key& k) { return settings::IntFromText(k.def, 0); }

void ReadKey(const platform::IniFile& ini, const Key& k, MailSettings& s, const std::vector<std::string>& users) {
    switch (k.encoding) {
    case Encoding::Flag: s.*std::get<bool MailSettings::*>(k.field) = ini.ReadBool(k.section, k.key, DefaultNumber(k) != 0); break;
    case Encoding::Number: s.*std::get<int MailSettings::*>(k.field) = ini.ReadInteger(k.section, k.key, DefaultNumber(k)); break;
    case Encoding::Text: s.*std::get<std::string MailSettings::*>(k.field) = ini.ReadString(k.section, k.key, k.def); break;
    case Encoding::Coded:
        s.*std::get<std::string MailSettings::*>(k.field) = PW::DecodeText(ini.ReadString(k.section, k.key, k.def));
        break;
    case Encoding::Enciphered:
        s.*std::get<std::string MailSettings::*>(k.field) = PW::DecryptPassword(ini.ReadString(k.section, k.key, k.def));
        break;
    case Encoding::WaitCode:
        s.*std::get<int MailSettings::*>(k.field) =
            settings::WaitItemToCode(settings::WaitCodeToItem(ini.ReadInteger(k.section, k.key, DefaultNumber(k))));
        break;
    case Encoding::UserName:
        s.*std::get<std::string MailSettings::*>(k.field) = KnownUser(ini.ReadString(k.section, k.key, k.def), users);
        break;
    case Encoding::WebPort: {
        // Port 0 (any free port) is for a program run by tests; the window
        // never keeps it.
        const std::string text = ini.ReadString(k.section, k.key, k.def);
        s.*std::get<std::string MailSettings::*>(k.field) = text;
        s.webPort = text == "0" ? 0 : settings::PortFromText(text, DefaultNumber(k));
        break;
    }
    case Encoding::PatternList: {
        auto& list = s.*std::get<std::vector<std::string> MailSettings::*>(k.field);
        list.clear();
        const int count = ini.ReadInteger(k.section, k.key, -1);
        s.virusPatternsInFile = count >= 0;
        for (int i = 1; i <= count; ++i) list.push_back(ini.ReadString(k.section, "File" + std::to_string(i), k.def));
        break;
    }
    }
}

void WriteKey(const Key& k, const MailSettings& v, std::vector<platform::IniValue>& out) {
    auto put = [&](std::string text) { out.push_back({k.section, k.key, std::move(text)}); };
    switch (k.encoding) {
    case Encoding::Flag: put(v.*std::get<bool MailSettings::*>(k.field) ? "1" : "0"); break;
    case Encoding::Number:
    case Encoding::WaitCode: put(std::to_string(v.*std::get<int MailSettings::*>(k.field))); break;
    case Encoding::WebPort: put(std::to_string(v.webPort)); break;
    case Encoding::Text:
    case Encoding::UserName: put(v.*std::get<std::string MailSettings::*>(k.field)); break;
    case Encoding::Coded: put(PW::EncodeText(v.*std::get<std::string MailSettings::*>(k.field))); break;
    case Encoding::Enciphered: put(PW::EncryptPassword(v.*std::get<std::string MailSettings::*>(k.field))); break;
    case Encoding::PatternList: {
        // Written as they are: they count as the list from then on.
        const auto& list = v.*std::get<std::vector<std::string> MailSettings::*>(k.field);
        put(std::to_string(list.size()));
        for (size_t i = 0; i < list.size(); ++i)
            out.push_back({k.section, "File" + std::to_string(i + 1), list[i]});
        break;
    }
    }
}

}  // namespace

MailSettings Read(const std::string& programDir, const std::vector<std::string>& userNames,
                  const std::string& computerName) {
    platform::IniFile ini(programDir + settings::kIniFileName);
    MailSettings s;
    for (const Key& k : kKeys) ReadKey(ini, k, s, userNames);
    std::string footer;
    if (platform::ReadFile(programDir + "footer.dat", footer)) s.footerLines = platform::TextLines(footer);
    s.alerterPort = settings::PortFromText(s.alerterPortText, settings::kDefaultAlerterPort);
    if (computerName.empty()) {
        s.browserAddress.clear();
    } else if (s.browserEnabled) {
        s.browserAddress = "http://" + qev_util::LowerCase(computerName) + ":" + std::to_string(s.webPort);
    }
    return s;
}

bool WriteIni(const std::string& programDir, const MailSettings& v, std::string* error) {
    std::vector<platform::IniValue> values;
    for (const Key& k : kKeys) WriteKey(k, v, values);
    const platform::FsStatus s =
        platform::IniFile(programDir + settings::kIniFileName).WriteValues(values, *platform::Env::Current());
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
