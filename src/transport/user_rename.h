// Renaming a local user. Mailbox files are named by their user and the
// tables name users in several fields, so a new name must reach all of
// them at once, or the user's mail is left under a name nobody has.
#pragma once

#include "tables/memtable.h"

#include <string>

namespace settings {

// Re-points the rows of a table that name user `from` (in any letter case)
// to `to`. fileName is the table's file ("users.dat", "elink.dat", ...),
// which tells the fields that hold user names. Returns how many changed.
int RenameUserInRows(TvdlMemTable& t, const std::string& fileName, const std::string& from, const std::string& to);

// Gives local user `from` the name `to`. First the user's message files of
// every store folder but the outbox go over to the new name, each linked
// under the first free name and then unlinked under the old one, so that
// nothing is ever written over; then the users table and every table that
// names the user (default users of POP accounts, aliases, forwards,
// auto-responses, address book) are changed and saved; then the settings
// that name the user follow (desktop for alerts, spam report, web mail). Refused while the engine
// may be using the mailbox (TFrmServers::MailboxBusy). When a file cannot
// be moved or a table cannot be saved, what was done is taken back: false,
// with the reason in error.
bool RenameLocalUser(const std::string& from, const std::string& to, std::string* error);

}  // namespace settings
