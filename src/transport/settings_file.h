// The settings file tarnwick.ini: where it lives, the defaults of its keys,
// the value encodings that more than one reader needs (the [SMTP] Wait code,
// ports, times of day) and readers for the keys that have no
// control in the settings window.
//
// Catalogue (L = loaded into the settings window's control, S = saved from it;
// "file" = read straight from the file by its user):
//
//  [Connect]  LAN=1 L/S RBTConnectLAN        DUN=0 L/S RBTConnectDUN
//             UseOther=0 L/S CHBPiggyBack      DUNEntry= L/S CBXDUN
//             <entry>L, <entry>P  enciphered dial-up login, DUN login button
//             Regular=0 L/S CBXConnRegular      ConnBetween=0 L/S CBXConnBetween
//             OnStartup=0 L/S CBXConnStartUp    KeepManual=1 L/S CHBManDisconnect
//             RegularTime=10 L/S SpinRegular    ConnStart=09:00 L/S TimeEdit1
//             ConnEnd=18:00 L/S TimeEdit2       KeepAuto=0 file (scheduler)
//  [SMTP]     Host= L/S EditSMTPHost            Port=25 L/S EditSMTPPort
//             Standard=1 L/S CHBSMTPStandard    ID= L/S EditPassword (substitution code)
//             Wait=1 L/S RGPWhen (code, below)  FooterAll=1 L/S RBTFooterAll
//             IPFilter=0 L/S CHBSMTPIP          IPFilterAddress= L/S EditSMTPIP
//             LocalPort=25 L/S EdiTSMTPLANPort  ServerAuth=0 L/S CHBSMTPServerAuth
//             Auth=0 L/S CHBSMTPAuth            Login=, Pass=, MailFrom= L/S relay account (window member)
//  [POP]      LocalPort=110 L/S EditPOPLANPort  Timeout=60 file (servers window)
//             <account>_port=110, <account>_size=0 file (collector)
//  [General]  Start=1 CHBStartup  StartService=0 CHBService  StartMin=0 CHBMin
//             EmailBugs=1 CHBBugMail  ViewPostboxes=1  ViewMessages=1 (L/S each)
//             LogSize=5000 L (written back), Logging1=1, Logging2=0 L only
//             FormColor=-2147483633 L/S PanelColor  TextColor=-2147483640 L/S LblColor
//             XPMenu=1, ConfirmExit=1 file
//  [Alerter]  Use=0 L/S CHBAlerter              Port=2601 L/S EditAlerterPort
//  [Virus]    CheckIn=1 CHBInVirus  Spam=0 CHBVirusSpam  CheckOut=0 CHBOutVirus
//             FileCount (absent) + File1..FileN L/S MemoViruses  OutWarn= L/S CBXOutWarn
//  [Forward]  CopyOut=0 CHBOutCopy  CopyOutTo= CBXOutCopy
//             UseMailFrom=0 CHBForwardMailFrom  MailFrom= EditForwardFrom
//  [Remote]   Enabled=0 CHBBrowser  Port=2600 EditBPort  DeletedDays=30  SentDays=30
//             Login=, PW= enciphered, EditWebSetsLogin/EditWebSetsPW  SendRec=0 CHBAllowSendRec
//  [Users], [Spam], [SpamWords], [SpamUsers], [SpamStats], [Rules], [AddIns], ...
//             belong to their features; the settings window never touches them.
#pragma once

#include <QTime>

#include <string>

#include "transport/mail_settings.h"

namespace settings {

// Program directory + the settings file's name.
std::string IniPath();

// Defaults of the keys that only the windows and the scheduler read (the
// ones the settings value carries are in transport/mail_settings.h, with the
// Wait code and ports).
inline constexpr int kDefaultPopTimeout = 60;
// How long a POP3 client may stay silent before the server hangs up. No key
// holds it: [POP] Timeout is the collector's wait for the provider.
inline constexpr int kPopIdleSeconds = 10 * 60;
inline constexpr int kDefaultLogSize = 5000;

// Times of day as the settings file keeps them ("09:00"); readers accept
// the usual spellings with or without seconds and AM/PM; unparsable text
// gives an invalid QTime.
std::string TimeToText(const QTime& t);
QTime TimeFromText(const std::string& text);

// Keys that no control shows, read where they are used.
bool KeepAuto();        // [Connect] KeepAuto
int PopTimeout();       // [POP] Timeout, seconds
bool XPMenu();          // [General] XPMenu
bool ConfirmExit();     // [General] ConfirmExit

// Running state the engine keeps in the settings file beside the settings
// ([POP] <account>_size, [SpamStats], [Spam] LastDailyReprt): written here,
// key by key, never through the settings value, which would write every
// setting back. The [Users] login addresses and _count are batched by
// desktops:: and written in one go. False when the file could not be written.
bool WriteState(const std::string& section, const std::string& key, const std::string& value);
bool WriteState(const std::string& section, const std::string& key, long long value);
bool EraseState(const std::string& section);

}  // namespace settings
