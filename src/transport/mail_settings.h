// The settings the mail engine works by, as one immutable value. The
// settings window publishes a new value whole when it loads or saves; the
// engine takes the current value once per step and never looks at a
// control or re-reads tarnwick.ini while mail moves. A value is shared as
// std::shared_ptr<const MailSettings> and swapped atomically, so a reader on
// another thread keeps a consistent value for as long as it holds it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace settings {

// [SMTP] Wait codes.
enum WaitCode { kWaitFullCycle = 0, kWaitForCycle = 1, kWaitSendOnly = 2, kWaitReturnExternal = 3 };

// The settings file, in the program directory.
inline constexpr char kIniFileName[] = "tarnwick.ini";

// Defaults of the keys that more than one place reads.
inline constexpr int kDefaultSmtpPort = 25;
inline constexpr int kDefaultPopPort = 110;
inline constexpr int kDefaultAlerterPort = 2601;
inline constexpr int kDefaultWebPort = 2600;
inline constexpr int kDefaultKeptDays = 30;
inline constexpr int kDefaultRegularTime = 10;
inline constexpr int kDefaultFormColor = static_cast<int>(0x8000000Fu);  // button face
inline constexpr int kDefaultTextColor = static_cast<int>(0x80000008u);  // window text
inline constexpr const char* kDefaultConnStart = "09:00";
inline constexpr const char* kDefaultConnEnd = "18:00";

// The Wait code is not the radio index: 0 -> item 0, 2 -> item 1, 3 -> item 3,
// anything else -> item 2 (wait, the default); saving maps back, an unknown
// item counts as 1 (wait).
int WaitCodeToItem(int code);
int WaitItemToCode(int item);

// A port text as a number; text that is not a whole number in 1..65535
// gives def.
int PortFromText(const std::string& text, int def);
// A whole decimal number, or def.
int IntFromText(const std::string& text, int def);

}  // namespace settings

struct MailSettings {
    // [SMTP]: the provider's server, as typed (the relay trims them)
    std::string relayHost;
    std::string relayPort = "25";
    bool relayStandard = true;  // port 25 whatever relayPort says
    bool relayAuth = false;
    std::string relayLogin, relayPassword, relayMailFrom;
    // [SMTP]: the local server
    int waitCode = settings::kWaitForCycle;  // normalised as the window keeps it
    bool footerAll = true;
    std::vector<std::string> footerLines;    // footer.dat
    bool smtpServerAuth = false;
    bool ipFilter = false;
    std::string ipFilterAddress;
    // [Alerter]
    bool alerterOn = false;
    int alerterPort = settings::kDefaultAlerterPort;
    // [Virus]
    bool virusCheckIn = true;
    bool virusToSpam = false;
    bool virusCheckOut = false;
    std::string virusWarnUser;  // a local user's name, or empty
    // Names of risky attachments; none until the file has a FileCount.
    std::vector<std::string> virusPatterns;
    bool virusPatternsInFile = false;  // the file has a FileCount (the window keeps its list otherwise)
    // [Forward]
    bool copyOut = false;
    std::string copyOutTo;      // a local user's name, or empty
    bool forwardUseMailFrom = false;
    std::string forwardMailFrom;
    // [Remote]
    bool browserEnabled = false;
    int webPort = settings::kDefaultWebPort;
    std::string webPortText = "2600";  // as the file holds it (webPort is its number)
    int deletedDays = settings::kDefaultKeptDays;
    std::string webLogin, webPassword;
    bool allowSendRec = false;
    // "http://<computer>:<port>" while the web server is on, else "not operative".
    std::string browserAddress = "not operative";

    // The rest of tarnwick.ini as the settings window keeps it. The mail
    // path never reads these; they are here so that the file is written
    // from one value.
    // [Connect]
    bool connectLan = true;
    bool connectDun = false;
    bool connectUseOther = false;
    std::string dunEntry;
    bool connectRegular = false;
    bool connectBetween = false;
    bool connectOnStartup = false;
    bool keepManual = true;
    int regularTime = settings::kDefaultRegularTime;
    std::string connStart = settings::kDefaultConnStart, connEnd = settings::kDefaultConnEnd;  // "hh:mm"
    // [SMTP], [POP]: the local servers' ports as typed; the password that
    // guards the settings (stored encoded)
    std::string smtpLocalPort = "25";
    std::string popLocalPort = "110";
    std::string settingsPassword;
    // [General]
    bool startWithSession = true;
    bool startService = false;
    bool startMinimised = false;
    bool emailBugs = true;
    bool viewPostboxes = true;
    bool viewMessages = true;
    int formColor = settings::kDefaultFormColor;  // system colours, as stored
    int textColor = settings::kDefaultTextColor;
    // [Alerter] Port as typed (alerterPort is its number)
    std::string alerterPortText = "2601";
    // [Remote]
    int sentDays = settings::kDefaultKeptDays;
};

namespace mailsettings {

// Reads the value from tarnwick.ini and footer.dat in programDir (with its
// trailing "/"). userNames are the local users: a user name kept in the
// file that is no user any more reads as empty, as the window shows it.
MailSettings Read(const std::string& programDir, const std::vector<std::string>& userNames,
                  const std::string& computerName);

// Writes the settings window's keys of tarnwick.ini in programDir from the
// value, in one replacement of the file: its other sections, keys and
// comments stay, and the keys come out in the order and spelling the
// window has always written them. virusPatterns are written as they are
// (they count as the list from then on). On failure the file is as it was.
bool WriteIni(const std::string& programDir, const MailSettings& value, std::string* error = nullptr);

// Replaces the current value whole. nullptr withdraws it (the window that
// published it is gone).
void Publish(std::shared_ptr<const MailSettings> value);

// The value to work by. Before anything was published (the engine run on
// its own, by a tool or a test) it is read from ProgramDir on each call.
std::shared_ptr<const MailSettings> Current();

// [SMTP] Wait of the current value: what queued outgoing mail waits for.
int WaitCode();
// Whether external mail goes back to its sender instead of out.
inline bool ReturnsExternalMail() { return WaitCode() == settings::kWaitReturnExternal; }

}  // namespace mailsettings
