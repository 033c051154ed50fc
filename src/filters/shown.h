// What the filters show: their log lines, the mail counts after they filed
// or removed a message, the new-mail alert and warnings to the person at
// the machine. Every such call of the filters goes through here, so that
// the filters follow wherever the program's display moves.
#pragma once

#include <string>

namespace filters {

// A line of the log file of that name in the program directory.
void LogLine(const std::string& logName, const std::string& line);
// The mailboxes changed: counts, tray and labels are brought up to date.
void MailCountsChanged();
// New mail in user's mailbox, for the new-mail alert.
void NewMail(const std::string& user);
// A warning with an OK button (headless: logged).
void Warn(const std::string& text);

}  // namespace filters
