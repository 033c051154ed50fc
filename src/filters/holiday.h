// Out-of-office responder: automatic replies for local users who are away,
// from the entries of holiday.dat (tables::Holidays(): User, EndDate,
// Subject, Message, Who).
//
// Entry points:
//   holiday::AutoRespond(recipientAddress, user, msgFile, isInternal)
//       delivery chain, after the rules and the attachment check, before
//       forwarding, for messages filed in the inbox (not for spam).
//       SMTP local delivery: isInternal true, the envelope recipient;
//       fetched mail and released spam: isInternal false, the address from
//       holiday::GetRecipientHeader(msgFile).
//   holiday::LoadHeaderLines(msgFile)    header lines for AddInRule::ApplyRules.
//   holiday::CheckExpiry()               start of every Send/Recv cycle.
//   holiday::EditEntry(...)              settings window, Add/Edit of the
//       "Auto-responding" page (also registered as setup::hooks.editHoliday);
//       the dialog is in filters/windows/holiday_window.h.
//   holiday::NotifyUser(...)             settings window after an Add and
//       before a Delete (setup::hooks.notifyHoliday).
//   holiday::DefineHolidayFields / UpgradeHolidayTable
//       settings window's load (setup::hooks.defineHolidayFields /
//       upgradeHolidayTable).
//
// A reply to a local sender goes straight into the sender's mailbox; a reply
// to an outside sender is queued. Replies carry "Auto-Submitted:
// auto-replied", and messages without a sender or that are themselves
// automatic (IsAutomaticMessage) get no reply, so two responders cannot keep
// answering each other. An outside sender is
// answered at most once a day per user (kept in memory), which ends an
// exchange with a responder elsewhere that ignores those marks; colleagues
// are answered every time.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tables/memtable.h"


namespace holiday {

// The file's lines from the first up to and including the first empty line
// (every line when there is none), without their line ends.
std::vector<std::string> LoadHeaderLines(const std::string& msgFile);

// The value of the first header line that begins with header (with its
// colon, any case), at most 255 characters, one leading blank removed; with
// angleOnly the address of the whole (unfolded) field as
// qev_util::FirstMailbox reads it, in angle brackets when written in them.
// Empty when absent. The scan stops at the end of the header block.
std::string GetHeaderValue(const std::string& msgFile, const std::string& header, bool angleOnly);
// The same, of a header already read (LoadHeaderLines).
std::string GetHeaderValue(const std::vector<std::string>& headerLines, const std::string& header, bool angleOnly);

// The address the message was delivered for: Envelope-To, else
// Delivered-To, else To, reduced to its address as GetHeaderValue does.
std::string GetRecipientHeader(const std::string& msgFile);
// The same of header lines already read (as a file's lines, without their
// ends): a message's header need not be read again for each recipient.
std::string GetRecipientHeader(const std::vector<std::string>& headerLines);

// True when the message is itself automatic mail, which is neither answered
// nor forwarded: an empty envelope sender (envelopeSender when the caller
// knows it, and any "Return-Path: <>"), Auto-Submitted other than "no",
// Precedence bulk/junk/list, a delivery or read report, List-Id,
// X-Autoreply, or a From (sender) of a mailer daemon or of our own notices.
// headerLines as LoadHeaderLines gives them.
bool IsAutomaticMessage(const std::vector<std::string>& headerLines, const std::string& sender,
                        const std::optional<std::string>& envelopeSender = std::nullopt);

// Answers msgFile for every matching entry of user. envelopeSender: the
// MAIL FROM of mail taken by the SMTP server (fetched mail has only its
// Return-Path). Returns the number of replies written.
int AutoRespond(const std::string& recipientAddress, const std::string& user, const std::string& msgFile,
                bool isInternal, const std::optional<std::string>& envelopeSender = std::nullopt);

// The text of one reply (header, message, footer when due, end marker).
std::string AutoReplyText(const std::string& fromText, const std::string& toText, bool toLocal,
                          const std::string& message, const std::string& subject);
// Writes that text as path (replacing it whole). False on failure.
bool WriteAutoReply(const std::string& path, const std::string& fromText, const std::string& toText, bool toLocal,
                    const std::string& message, const std::string& subject);

// Removes the entries whose end date has come, telling their users.
void CheckExpiry();

// Tells user that auto-responding was set on (setOn) or removed. endDate as
// the table holds it; 0 means no end. who: 0 all, 1 internal, 2 external.
void NotifyUser(bool setOn, const std::string& user, const std::string& message, TDateTime endDate, int who);

// (Re)creates holiday.dat in the table's layout, empty.
void DefineHolidayFields(TvdlMemTable& table);
// Converts a loaded table of the layout without Subject, keeping its rows;
// the old entries get the standard subject.
void UpgradeHolidayTable(TvdlMemTable& table);

// Today as a table date (the program clock's local day).
TDateTime Today();

}  // namespace holiday
