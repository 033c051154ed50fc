// What the engine and the settings window share of the settings window's
// namespace: the points where saving and loading reach parts that are
// created later or live elsewhere (the engine registers them, the settings
// window calls them), the crash reporter's settings, and the support
// address.
#pragma once

#include <functional>
#include <string>

#include "tables/memtable.h"

namespace setup {

// Points where saving and loading reach windows that are created after the
// settings window (or that live in other subsystems). Each is optional: an
// empty function means that part is not there yet and is skipped.
struct Hooks {
    // Listening port of the POP3 / SMTP server socket now (0: not listening
    // yet), and a re-open on a new port that returns false when the port
    // cannot be had. SaveSettings calls reopen only when the port changed.
    std::function<int()> popServerPort;
    std::function<bool(int port)> reopenPopServer;
    std::function<int()> smtpServerPort;
    std::function<bool(int port)> reopenSmtpServer;
    // The web server re-checks whether it must run and on which port.
    std::function<void()> webServerRecheck;
    // Main window colours (FormColor, TextColor as TColor values).
    std::function<void(int formColor, int textColor)> mainWindowColors;
    // Out-of-office unit: (re)create an empty holiday.dat in the given table,
    // and upgrade a loaded table that has no Subject field.
    std::function<void(TvdlMemTable& table)> defineHolidayFields;
    std::function<void(TvdlMemTable& table)> upgradeHolidayTable;
    // Downloaded-message record of the collector: does it hold rows for the
    // account, and forget them.
    std::function<bool(const std::string& account)> hasDownloaded;
    std::function<void(const std::string& account)> forgetDownloaded;
    // Forwarding dialog (forward.EditForward): the row's values in and out,
    // true for OK. The dialog takes its users from tables::UserNames().
    std::function<bool(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal)> editForward;
    // Auto-response dialog (holiday.EditEntry), likewise; endDate is a
    // table date (days since 1899-12-30), 0 for none.
    std::function<bool(std::string& user, std::string& subject, std::string& message, double& endDate,
                       int& who)>
        editHoliday;
    // The out-of-office unit tells the user that auto-responding was set on
    // (an entry added) or removed (holiday.NotifyUser).
    std::function<void(bool setOn, const std::string& user, const std::string& message, double endDate,
                       int who)>
        notifyHoliday;
    // The message browser's view of deleted spam.
    std::function<void()> showDeletedSpam;
};
extern Hooks hooks;

// The crash reporter's settings as the settings window decides them.
struct CrashSettings {
    bool showDialog = false;       // not EmailBugs
    bool mailAutomatically = true; // EmailBugs
    std::string sender;            // "User <Email>" of the first alias, or empty
    int smtpPort = 25;             // the SMTP server's port after the last save
};
extern CrashSettings crashSettings;
// Hands crashSettings to the crash reporter's settings block.
void ApplyCrashSettings();

// The maker's support address, the recipient of support requests.
inline constexpr char kSupportAddress[] = "tarnwick-support@velmarsh.example";

}  // namespace setup
