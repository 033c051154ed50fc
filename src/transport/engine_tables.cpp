// Start-up of the engine's data tables: layouts, upgrades of older files,
// and the owners that hold the rows from then on.
#include "transport/engine_tables.h"

#include "filters/holiday.h"
#include "platform/files.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"
#include "transport/table_files.h"
#include "transport/table_owner.h"

#include <cstdio>
#include <exception>

namespace tables {

namespace {

// Loads the owner's file from dir with define as the layout of a new one,
// selects index and lets upgrade bring an older layout up to date before
// the owner takes the rows.
void Load(TableOwner& owner, const std::string& dir, const tablefiles::Definer& define, const char* index,
          const std::function<void(TvdlMemTable&)>& upgrade = {}) {
    TvdlMemTable t;
    tablefiles::LoadOrCreate(t, dir + owner.FileName(), define);
    tablefiles::SelectIndex(t, index);
    if (upgrade) upgrade(t);
    owner.Adopt(t);
}

// Made on first start, after link.dat and users.dat are loaded: the engine
// and the web pages expect the file from then on.
void MakeAliasFileWhenMissing(const std::string& dir) {
    const std::string path = dir + Aliases().FileName();
    if (platform::FileExists(path)) return;
    TvdlMemTable elink;
    settings::BuildAliasTable(elink, Links().Table(), Users().Table());
    SaveTableFile(elink, path);
}

void MakeDomainFileWhenMissing(const std::string& dir) {
    const std::string path = dir + Domains().FileName();
    if (platform::FileExists(path)) return;
    TvdlMemTable domains;
    settings::DefineDomainTable(domains);
    SaveTableFile(domains, path);
}

// The User of link.dat's "[Default]" row: where unrecognised mail of the
// accounts that predate pop.dat's Default field went.
std::string LinkDefaultUser() {
    TvdlMemTable& link = Links().Table();
    std::string user;
    if (link.Active() && link.FindField("Email") && link.FindField("User")) {
        tablefiles::ForEach(link, [&] {
            if (user.empty() && link.FieldByName("Email").AsString() == "[Default]")
                user = link.FieldByName("User").AsString();
        });
    }
    return user;
}

void MigratePopTable(TvdlMemTable& pop, const std::string& dir) {
    const bool hadLeave = pop.FindField("Leave") != nullptr;
    const bool hadDefault = pop.FindField("Default") != nullptr;
    if (hadLeave && hadDefault) return;
    const std::string linkDefault = LinkDefaultUser();
    TvdlMemTable scratch;
    tablefiles::Migrate(pop, scratch, settings::DefinePopTable, dir + "pop.dat", dir + "pop.old",
                        [&](TvdlMemTable& row) {
                            if (!hadLeave) {
                                row.FieldByName("Leave").SetAsBoolean(false);
                                row.FieldByName("Leavedays").SetAsInteger(10);
                            }
                            if (!hadDefault) row.FieldByName("Default").SetAsString(linkDefault);
                        });
}

void DefineHoliday(TvdlMemTable& t) {
    if (setup::hooks.defineHolidayFields) setup::hooks.defineHolidayFields(t);
    else settings::DefineHolidayTable(t);
}

void UpgradeHoliday(TvdlMemTable& t) {
    if (t.FindField("Subject")) return;
    if (setup::hooks.upgradeHolidayTable) setup::hooks.upgradeHolidayTable(t);
    else holiday::UpgradeHolidayTable(t);
}

// forward.dat's index is made whatever the file holds.
void IndexForwards(TvdlMemTable& t) {
    t.IndexDefs().Clear();
    t.AddIndex("ixUser", "User", ixPrimary | ixCaseInsensitive);
    t.SetIndexName("ixUser");
}

}  // namespace

void LoadUsers(const std::string& dir) { Load(Users(), dir, settings::DefineUsersTable, "ixName"); }

void LoadPopAccounts(const std::string& dir, const char* index) {
    Load(PopAccounts(), dir, settings::DefinePopTable, index, [&](TvdlMemTable& t) { MigratePopTable(t, dir); });
}

void LoadEngineTables(const std::string& dir) {
    LoadUsers(dir);
    Load(Links(), dir, settings::DefineLinkTable, "ixName");
    MakeAliasFileWhenMissing(dir);
    Load(Aliases(), dir, settings::DefineAliasTable, "ixEmail");
    MakeDomainFileWhenMissing(dir);
    Load(Domains(), dir, settings::DefineDomainTable, "ixDomain");
    Load(Holidays(), dir, DefineHoliday, "ixUser", UpgradeHoliday);
    LoadPopAccounts(dir);
    {
        TvdlMemTable t;
        tablefiles::LoadOrCreate(t, dir + Forwards().FileName(), settings::DefineForwardTable);
        IndexForwards(t);
        Forwards().Adopt(t);
    }
}

UidlLoad LoadUidl(const std::string& dir) {
    UidlLoad result;
    const std::string path = dir + Uidl().FileName();
    TvdlMemTable t;
    t.KeepRecordsReadOnError = true;
    try {
        t.LoadFromBinaryFile(path);
        t.KeepRecordsReadOnError = false;
        t.SetIndexName("ixuidl");
        Uidl().Adopt(t);
        return result;
    } catch (const std::exception& e) {
        t.KeepRecordsReadOnError = false;
        if (platform::FileExists(path)) {
            // Kept for whoever wants to look at it.
            result.problem = e.what();
            result.setAside = tablefiles::SetAside(path);
        }
    }
    // The records before the damage still spare those messages a second
    // download.
    bool kept = false;
    if (!result.problem.empty() && t.Active() && t.FindField("POP") && t.FindField("UIDL")) {
        try {
            t.SetIndexName("ixuidl");
            kept = true;
            result.kept = t.RecordCount();
        } catch (const std::exception&) {
        }
    }
    if (!kept) settings::DefineUidlTable(t);
    Uidl().Adopt(t);
    try {
        SaveTableFile(Uidl().Table(), path);
    } catch (const std::exception& e) {
        result.writeError = e.what();
    }
    return result;
}

void ResetUidlFile(const std::string& dir) {
    TvdlMemTable t;
    settings::DefineUidlTable(t);
    SaveTableFile(t, dir + Uidl().FileName());
}

bool LoadOrStartAnew(TableOwner& owner, const std::string& dir, const std::string& index,
                     const std::function<void(TvdlMemTable&)>& define) {
    const std::string path = dir + owner.FileName();
    try {
        TvdlMemTable loaded;
        loaded.LoadFromBinaryFile(path);
        loaded.SetIndexName(index);
        owner.Adopt(loaded);
        return true;
    } catch (const std::exception&) {
        std::remove(path.c_str());
    }
    if (owner.Change(dir, define)) return true;
    try {
        TvdlMemTable empty;
        define(empty);
        owner.Adopt(empty);
    } catch (const std::exception&) {
    }
    return false;
}

std::vector<std::string> UserNamesInFile(const std::string& dir) {
    std::vector<std::string> names;
    const std::string path = dir + Users().FileName();
    if (!platform::FileExists(path)) return names;
    try {
        TvdlMemTable t;
        t.LoadFromBinaryFile(path);
        tablefiles::ForEach(t, [&] { names.push_back(t.FieldByName("Name").AsString()); });
    } catch (const std::exception&) {
        names.clear();
    }
    return names;
}

}  // namespace tables
