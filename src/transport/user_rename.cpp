// A local user's new name for the files and the tables together; see
// user_rename.h.
#include "transport/user_rename.h"

#include "codecs/qev_util.h"
#include "filters/spam.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/account_tables.h"
#include "transport/desktops.h"
#include "transport/globals.h"
#include "transport/mail_settings.h"
#include "transport/servers.h"
#include "transport/store.h"
#include "transport/table_files.h"
#include "transport/table_owner.h"

#include <utility>
#include <vector>

namespace settings {

namespace {

// The fields that hold a user name, by table file; onlyWhen: a boolean
// field that must be set for the row to name a user (ForwardTo is an
// address unless the forward goes to a local user).
struct UserField {
    const char* file;
    const char* field;
    const char* onlyWhen;
};
constexpr UserField kUserFields[] = {
    {"users.dat", "Name", nullptr},       {"pop.dat", "Default", nullptr},     {"link.dat", "User", nullptr},
    {"elink.dat", "User", nullptr},       {"forward.dat", "User", nullptr},    {"forward.dat", "ForwardTo", "IsLocal"},
    {"holiday.dat", "User", nullptr},     {"address.dat", "User", nullptr},
};

// The rows (bookmark and field) of t that name user.
std::vector<std::pair<int, const char*>> RowsNaming(TvdlMemTable& t, const std::string& fileName,
                                                    const std::string& user) {
    std::vector<std::pair<int, const char*>> rows;
    if (!t.Active()) return rows;
    if (t.RangeActive()) t.CancelRange();
    for (const auto& f : kUserFields) {
        if (fileName != f.file || t.FindField(f.field) == nullptr) continue;
        if (f.onlyWhen != nullptr && t.FindField(f.onlyWhen) == nullptr) continue;
        tablefiles::ForEach(t, [&] {
            if (f.onlyWhen != nullptr && !t.FieldByName(f.onlyWhen).AsBoolean()) return;
            if (qev_util::SameText(t.FieldByName(f.field).AsString(), user)) rows.emplace_back(t.GetBookmark(), f.field);
        });
    }
    return rows;
}

// How long a rename waits for message files still being written.
constexpr int kBusyWaitMs = 5000;

struct Moved {
    std::string from, to;
};

// Puts moved files back under their old names, the last first. A file
// that cannot go back keeps its new name: it is never lost.
void MoveBack(platform::Env& env, const std::vector<Moved>& moved) {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        if (env.Link(it->to, it->from).ok()) env.Unlink(it->to);
        else tablefiles::LogLine("Renaming a user: " + it->to + " could not be given back its name " + it->from);
    }
    for (const auto& m : moved) env.SyncFolder(platform::FolderOf(m.from));
}

// Moves the user's files of one folder (with its trailing "/") to the new
// name; false, with the reason in error, at the first that cannot go.
bool MoveFolder(platform::Env& env, const std::string& folder, const std::string& from, const std::string& to,
                std::vector<Moved>& moved, std::string& error) {
    for (const auto& name : smtp::ListUserFiles(folder, from)) {
        // A change of case only: a file already spelled so stays.
        if (name.compare(0, from.size(), to) == 0) continue;
        const std::string suffix = name.substr(name.size() - std::string(smtp::MailboxSuffix).size());
        const std::string stamp = name.substr(from.size() + 1, name.size() - from.size() - 1 - suffix.size());
        platform::FsStatus failed;
        const std::string path = smtp::LinkNewFile(folder + name, folder, to + "_", stamp, suffix, &failed);
        if (path.empty() || !(failed = env.Unlink(folder + name)).ok()) {
            if (!path.empty()) env.Unlink(path);
            error = folder.substr(ProgramDir.size()) + name + " could not be moved: " + failed.Text();
            return false;
        }
        moved.push_back({folder + name, path});
    }
    return true;
}

// The user's web mail settings, a section of websets.dat named by the user.
void RenameWebSettings(const std::string& from, const std::string& to) {
    platform::IniFile websets(ProgramDir + "websets.dat");
    if (qev_util::SameText(from, to) || !websets.SectionExists(from) || websets.SectionExists(to)) return;
    std::vector<platform::IniValue> values;
    for (const auto& [key, value] : websets.ReadSectionValues(from)) values.push_back({to, key, value});
    if (websets.WriteValues(values, *platform::Env::Current()).ok()) websets.EraseSection(from);
}

// The spam report's user and the bad users, in tarnwick.ini key by key
// (the spam window's unsaved edits stay unsaved) and in the running filter.
void RenameInSpamSettings(const std::string& from, const std::string& to) {
    platform::IniFile ini(ProgramDir + kIniFileName);
    if (qev_util::SameText(ini.ReadString("Spam", "ReportUser", ""), from)) ini.WriteString("Spam", "ReportUser", to);
    if (!qev_util::SameText(from, to) && ini.ReadBool("SpamUsers", from, false)) {
        ini.DeleteKey("SpamUsers", from);
        ini.WriteBool("SpamUsers", to, true);
    }
    spam::TSpamFilter* filter = spam::Filter();
    if (filter == nullptr) return;
    spam::Settings s = filter->settings();
    if (qev_util::SameText(s.reportUser, from)) s.reportUser = to;
    for (auto& u : s.badUsers)
        if (qev_util::SameText(u, from)) u = to;
    filter->SetSettings(std::move(s));
}

}  // namespace

int RenameUserInRows(TvdlMemTable& t, const std::string& fileName, const std::string& from, const std::string& to) {
    const auto rows = RowsNaming(t, fileName, from);
    for (const auto& [bookmark, field] : rows) {
        t.GotoBookmark(bookmark);
        t.Edit();
        t.FieldByName(field).SetAsString(to);
        t.Post();
    }
    if (!rows.empty()) t.First();
    return static_cast<int>(rows.size());
}

bool RenameLocalUser(const std::string& from, const std::string& to, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (!IsSafeUserName(to)) return fail("Illegal characters (only letters and digits please) in User name.");
    // A user added in the settings window and renamed before it saved has
    // no row yet, only her welcome message.
    TvdlMemTable& users = tables::Users().Table();
    if (users.Active() && FindNoCase(users, "Name", to, FindNoCase(users, "Name", from)) >= 0)
        return fail("User already exists");
    if (FrmServers != nullptr) {
        const std::string busy = FrmServers->MailboxBusy(from, kBusyWaitMs);
        if (!busy.empty()) return fail(busy);
    }

    // 1 the files, each name on disk before the tables name the new user.
    platform::Env& env = *platform::Env::Current();
    std::vector<Moved> moved;
    std::string why;
    for (const auto& folderName : smtp::StoreFolderNames()) {
        if (folderName == smtp::FolderOut || folderName == smtp::FolderAddins) continue;
        const std::string folder = smtp::StoreFolder(folderName);
        const size_t before = moved.size();
        bool ok = MoveFolder(env, folder, from, to, moved, why);
        if (ok && moved.size() > before) {
            const platform::FsStatus synced = env.SyncFolder(platform::FolderOf(folder + "x"));
            if (!synced.ok()) why = folderName + " could not be synced: " + synced.Text();
            ok = synced.ok();
        }
        if (!ok) {
            MoveBack(env, moved);
            return fail(why);
        }
    }

    // 2 the tables, the users table first.
    std::vector<std::pair<tables::TableOwner*, std::string>> changed;  // with the rows they had
    for (tables::TableOwner* owner : {&tables::Users(), &tables::PopAccounts(), &tables::Links(), &tables::Aliases(),
                                      &tables::Forwards(), &tables::Holidays(), &tables::Addresses()}) {
        // An owner with no rows loaded (the address book without the web
        // server) keeps its file until it is loaded.
        if (RowsNaming(owner->Table(), owner->FileName(), from).empty()) continue;
        const std::string rows = owner->Table().SaveToBinaryString();
        if (owner->Change(ProgramDir, [&](TvdlMemTable& t) { RenameUserInRows(t, owner->FileName(), from, to); },
                          &why)) {
            changed.emplace_back(owner, rows);
            continue;
        }
        why = owner->FileName() + ": " + why;
        for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
            it->first->Change(ProgramDir, [&](TvdlMemTable& t) {
                const std::string index = t.IndexName();
                t.Close();
                t.LoadFromBinaryString(it->second);
                if (!index.empty()) t.SetIndexName(index);
                t.First();
            });
        }
        MoveBack(env, moved);
        return fail(why);
    }

    // 3 the settings that name the user: the desktop for new-mail alerts,
    // the spam report, the web mail settings.
    desktops::Rename(ProgramDir + kIniFileName, from, to);
    RenameInSpamSettings(from, to);
    RenameWebSettings(from, to);
    tablefiles::LogLine("User " + from + " renamed to " + to + ": " + std::to_string(moved.size()) +
                        " message files moved");
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false);
    return true;
}

}  // namespace settings
