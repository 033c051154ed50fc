// The crash reporter's settings block: every switch and text that decides
// what happens to an exception. The values are this program's; start-up and
// the settings window change the few entries noted below.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace zelExcept {

// Action codes, shared by the handlers, the dialog's buttons and the actions.
enum TAction : std::uint8_t {
    actMail = 0,
    actSave = 1,
    actPrint = 2,
    actShow = 3,
    actContinue = 4,
    actRestart = 5,
    actClose = 6,
};

struct TSettingsBlock {
    pid_t MainThreadId = 0;                // set at start-up
    bool ShowDialog = true;                // not [General] EmailBugs, at every settings load and save
    bool SuspendThreads = false;
    bool AutoSave = false;
    bool AutoMail = true;                  // [General] EmailBugs, at every settings load and save
    bool CopyOnShow = false;
    bool ContinueIsDefault = true;
    int AutoRestart = 0;                   // 0 never, 1 always, N: ten exceptions within N seconds
    int AutoClose = 0;
    int Countdown = 60;                    // seconds
    std::string Sender;                    // empty: "zelExcept <first recipient>"
    std::string Recipient = "bugs@velmarsh.example";
    std::string Subject = "tarnwick error report";
    bool AttachReportFile = false;
    bool DeleteAfterMail = false;
    int Screenshot = 0;
    bool RouteDirectMx = false;
    bool RouteSmtpServer = true;
    bool RouteSystemMail = false;          // no counterpart here
    bool RouteMailto = false;
    std::string SmtpHost = "127.0.0.1";
    int SmtpPort = 25;                     // the SMTP server's port after a settings save
    std::string SmtpAccount;
    std::string SmtpPassword;              // at most 75 characters
    std::string ExtraAttachments;          // "|"-separated
    std::string MailSentText = "The mail was sent successfully.";
    std::string MailFailedText = "Sorry, sending the mail didn't work.";
    std::string ReportFile = "bugreport.txt";
    int ReportFileLimit = 50000;           // 0: each report overwrites the file
    std::string DialogTitle = "%appname%";
    std::string DialogText = "An error occurred in the application.";
    std::string FrozenText = "The application seems to be frozen.";
    // Captions in action-code order; an empty caption removes the button.
    std::array<std::string, 7> ButtonTexts = {"mail bug report", "", "", "show bug report",
                                              "continue application", "restart application",
                                              "close application"};
    int FocusButton = 0;
    bool DetailsAtOnce = false;
    bool AllThreads = true;
    bool ModulesSection = false;
    bool HardwareSection = false;
    std::array<bool, 3> WalkSwitches = {false, true, true};
    bool DisassemblySwitch = false;
    int DisassemblyCount = 5;
    bool CommandLine = true;
    bool ButtonLook = true;
    bool ConsoleOutput = true;
    bool FpuReset = false;
    bool WalkSwitch = false;
    std::string ClassesWithoutReport;      // comma-separated
    bool WebProgram = false;
    bool Enabled1 = true;
    int FreezeInterval = 0;                // ms; below 1 = no watchdog
    std::string VersionText;               // empty: the program's own version
    bool Enabled2 = true;
};

// The process's one block. The settings window changes it on the main
// thread while the exception thread reads it: both go through the lock
// (the exception thread works on a copy).
TSettingsBlock& Settings();
std::mutex& SettingsLock();
TSettingsBlock SettingsCopy();

// The four entries the settings window decides at every load and save.
void ApplyWindowSettings(bool showDialog, bool autoMail, const std::string& sender, int smtpPort);

// Turns the stored (scrambled) SMTP password into plain text in place,
// cut to 75 characters; an empty password stays empty.
void UnscrambleSmtpPassword(TSettingsBlock& block);

}  // namespace zelExcept
