// One owner per data table. The engine reads each table through its owner,
// and every window or page that changes a table hands its change to the
// owner, which applies it to the current rows and saves the file whole. An
// editor that works on a copy for a while (the settings window until OK)
// gives back the rows it started from and the rows it ended with; only its
// own additions, changes and deletions reach the table, so rows others
// changed meanwhile are never overwritten by a stale copy.
#pragma once

#include "tables/memtable.h"

#include <functional>
#include <string>
#include <vector>

namespace platform {
class Env;
}

namespace tables {

class TableOwner {
public:
    // keyFields name a row (compared without regard to case when
    // keyNoCase); with none, a row is all its fields and may repeat.
    explicit TableOwner(std::string fileName, std::vector<std::string> keyFields = {}, bool keyNoCase = false);
    TableOwner(const TableOwner&) = delete;
    TableOwner& operator=(const TableOwner&) = delete;

    const std::string& FileName() const { return fileName_; }
    // The current rows. Readers on the event-loop thread; a reader that moves
    // the cursor puts it back.
    TvdlMemTable& Table() { return table_; }

    // Takes layout and rows of a table just loaded from this owner's file
    // (start-up, or a reload that drops unsaved edits).
    void Adopt(TvdlMemTable& loaded);
    // Gives copy the current rows, layout and index (a window's editing copy).
    void CopyTo(TvdlMemTable& copy);
    // Forgets the rows (the program directory they came from is gone).
    void Close();

    // Runs edit on the current table and saves the file under dir (with its
    // trailing "/"). When the edit throws or the file cannot be written the
    // rows are put back as they were, the file stays as it was, and false
    // comes back with the reason in error (without the file's name).
    bool Change(const std::string& dir, const std::function<void(TvdlMemTable&)>& edit,
                std::string* error = nullptr);

    // The editor's own edits: rows of `edited` that are not in `base` (a
    // SaveToBinaryString of the rows the editor started from) are added or
    // replace the current row of the same key, rows of base that edited
    // lacks are deleted; rows are matched by the owner's key fields. Saved
    // as Change saves.
    bool ApplyEdits(const std::string& dir, const std::string& base, TvdlMemTable& edited,
                    std::string* error = nullptr);

    // The file system the saves go through (tests put in a faulty one);
    // none: the current Env.
    void SetEnv(platform::Env* env) { env_ = env; }

private:
    std::string fileName_;
    std::vector<std::string> keyFields_;
    bool keyNoCase_;
    TvdlMemTable table_;
    platform::Env* env_ = nullptr;
};

// The engine's tables.
TableOwner& Users();        // users.dat, one row per Name
TableOwner& PopAccounts();  // pop.dat, one row per Name
TableOwner& Links();        // link.dat
TableOwner& Aliases();      // elink.dat: an address may name several users
TableOwner& Domains();      // domain.dat, one row per Domain
TableOwner& Forwards();     // forward.dat: a user may have several rows
TableOwner& Holidays();     // holiday.dat: a user may have several entries
TableOwner& Audit();        // audit.dat: mail events, rows may repeat
TableOwner& Uidl();         // uidl.dat: the messages collected from the provider

// Saves t's binary image as SaveToBinaryFile does, through the current Env:
// a synced temp file renamed over path, the folder synced. Throws
// EMemTableError when that fails.
void SaveTableFile(TvdlMemTable& t, const std::string& path);
TableOwner& Addresses();    // address.dat: a user's address book, one row per User and Name

// The local users' names in the table's order.
std::vector<std::string> UserNames();

}  // namespace tables
