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

// Gives local user `from` the name `to`, as one step that a crash cannot
// leave half done. First a rename record (see below) is written and synced;
// then the user's message files of every store folder but the outbox go
// over to the new name, each linked under the first free name and then
// unlinked under the old one, so that nothing is ever written over; then
// the users table and every table that names the user (default users of
// POP accounts, aliases, forwards, auto-responses, address book) are
// changed and saved; then the settings that name the user follow (desktop
// for alerts, spam report, web mail); last the record goes. Refused while
// the engine may be using the mailbox (TFrmServers::MailboxBusy), and while
// another user's rename is left to the next start. When a file cannot be
// moved or a table cannot be saved, what was done is taken back: false,
// with the reason in error. When taking it back fails as well, the record
// stays, *leftForNextStart is set and error says what still names whom:
// the next start completes the rename. Asked again while its record stays,
// the same rename carries on from where it stopped.
bool RenameLocalUser(const std::string& from, const std::string& to, std::string* error,
                     bool* leftForNextStart = nullptr);

// The rename record: the file kRenameRecord in the program directory,
// created 0600, written whole (temp file, fsync, rename, folder sync) and
// small: the line kRenameRecordHeader, the old name, the new name, each
// line ending in LF. It exists exactly while a rename may be half done.
inline constexpr char kRenameRecord[] = "rename.pending";
inline constexpr char kRenameRecordHeader[] = "tarnwick user rename 1";

// The rename a record in dir (with its trailing "/") names; false when
// there is none or it cannot be read as one.
bool PendingRename(const std::string& dir, std::string* from, std::string* to);

// Why no user may be added as `name` now: a rename left to the next start
// names it, as its old or its new name (in any letter case), and mail may
// lie under either name until that start. Empty when nothing stands in the
// way. dir: the program directory with its trailing "/".
std::string PendingRenameRefusesAdd(const std::string& dir, const std::string& name);

// At start-up, before any server listens: a rename that a crash (or a
// failed undo) left half done is carried through to the end from its
// record: the files still under the old name move, every table file and
// setting that names the old user is re-pointed, and the record goes. Each
// step is logged. A new name that another user holds is not taken: nothing
// moves and the record stays. False (logged, record kept for the next
// start, and in *problem what the user must be told) when it cannot be
// completed; true when there was nothing to do or it is done.
bool CompletePendingRename(std::string* problem = nullptr);

}  // namespace settings
