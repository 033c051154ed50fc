// Start-up of the engine's data tables: each table file read into its
// owner with its one layout, and an older layout brought up to date once,
// here and nowhere else. The settings window, the servers, the tools and
// the tests all start their tables through these.
#pragma once

#include "tables/memtable.h"

#include <functional>
#include <string>
#include <vector>

namespace tables {

class TableOwner;

// Reads every table the settings window edits from dir (with its trailing
// "/") into its owner, in this order: users.dat, link.dat, elink.dat (built
// from link.dat and users.dat when missing), domain.dat (made empty when
// missing), holiday.dat (an entry without a subject gets the standard one),
// pop.dat (older layouts without Leave or Default migrated, the old file
// kept as pop.old), forward.dat (its index made whatever the file holds).
// A missing file is made with its layout; an unreadable one is set aside.
void LoadEngineTables(const std::string& dir);

// The two tables the servers keep, read as LoadEngineTables reads them.
// An empty index leaves the rows in the file's order.
void LoadUsers(const std::string& dir);
void LoadPopAccounts(const std::string& dir, const char* index = "ixName");

// uidl.dat into its owner. A file that cannot be read is set aside and the
// records before the damage (kept of them; none when the layout itself is
// damaged) take its place, saved at once; setAside is the name it was
// given (empty when the rename failed), and problem the reason, or empty
// when the file was read or missing. writeError: the new record could not
// be saved.
struct UidlLoad {
    std::string problem;
    std::string setAside;
    std::string writeError;
    int kept = 0;
};
UidlLoad LoadUidl(const std::string& dir);
// Writes an empty uidl.dat; the collector reads it at its next load.
void ResetUidlFile(const std::string& dir);

// A table the engine keeps for a window (audit.dat): the file read into
// the owner with index selected; a file that is missing, unreadable or of
// another layout is removed and started anew with define. False when the
// new file could not be written either (the owner is then left as define
// made it, in memory only, when that was possible).
bool LoadOrStartAnew(TableOwner& owner, const std::string& dir, const std::string& index,
                     const std::function<void(TvdlMemTable&)>& define);

// The user names of dir's users.dat without loading it into the owner (a
// window that runs without the engine's tables); none when unreadable.
std::vector<std::string> UserNamesInFile(const std::string& dir);

}  // namespace tables
