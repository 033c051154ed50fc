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

#include <algorithm>
#include <cstdint>
#include <exception>
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

std::string Short(const std::string& path) {
    return path.compare(0, ProgramDir.size(), ProgramDir) == 0 ? path.substr(ProgramDir.size()) : path;
}

// Puts moved files back under their old names, the last first. A file
// that cannot go back keeps its new name: it is never lost. The failures,
// as "; "-joined text (empty when all went back and are synced).
std::string MoveBack(platform::Env& env, const std::vector<Moved>& moved) {
    std::string failed;
    auto note = [&](const std::string& what) { failed += (failed.empty() ? "" : "; ") + what; };
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        platform::FsStatus s = env.Link(it->to, it->from);
        if (s.ok()) s = env.Unlink(it->to);
        if (!s.ok()) {
            const std::string oldName = it->from.substr(it->from.find_last_of('/') + 1);
            note(Short(it->to) + " could not be given back the name " + oldName + ": " + s.Text());
            tablefiles::LogLine("Renaming a user: " + it->to + " could not be given back its name " + it->from);
        }
    }
    std::vector<std::string> folders;
    for (const auto& m : moved)
        if (std::find(folders.begin(), folders.end(), platform::FolderOf(m.from)) == folders.end())
            folders.push_back(platform::FolderOf(m.from));
    for (const auto& folder : folders)
        if (const platform::FsStatus s = env.SyncFolder(folder); !s.ok())
            note(Short(folder + "/") + " could not be synced: " + s.Text());
    return failed;
}

// Whether the message `name` of folder already has a new name beside it:
// a move that a crash cut short between the link and the unlink. The new
// name is the first free one from the stamp on, so the candidates are
// looked at in that order up to the first that is not there. Only a link
// to the very same file counts: another file with the same stamp and bytes
// may be another user's copy of a message sent to both (a user deleted
// under that name keeps their files), and is never unlinked for it.
bool AlreadyMoved(platform::Env& env, const std::string& folder, const std::string& name, const std::string& to,
                  const std::string& stamp, const std::string& suffix) {
    for (int n = 0; n < 1000; ++n) {
        const std::string candidate = folder + to + "_" + (n == 0 ? stamp : stamp + std::to_string(n)) + suffix;
        if (!platform::FileExists(candidate)) return false;
        if (env.SameFile(folder + name, candidate)) return true;
    }
    return false;
}

// Moves the user's files of one folder (with its trailing "/") to the new
// name; false, with the reason in error, at the first that cannot go. A
// file left with both names (its new one could not be unlinked again) is
// said in stuck: a user added later under the new name would read it.
bool MoveFolder(platform::Env& env, const std::string& folder, const std::string& from, const std::string& to,
                std::vector<Moved>& moved, std::string& error, std::string& stuck) {
    for (const auto& name : smtp::ListUserFiles(folder, from)) {
        // A change of case only: a file already spelled so stays.
        if (name.compare(0, from.size(), to) == 0) continue;
        const std::string suffix = name.substr(name.size() - std::string(smtp::MailboxSuffix).size());
        const std::string stamp = name.substr(from.size() + 1, name.size() - from.size() - 1 - suffix.size());
        platform::FsStatus failed;
        if (AlreadyMoved(env, folder, name, to, stamp, suffix)) {
            if (!(failed = env.Unlink(folder + name)).ok()) {
                error = Short(folder) + name + " could not be moved: " + failed.Text();
                return false;
            }
            continue;
        }
        const std::string path = smtp::LinkNewFile(folder + name, folder, to + "_", stamp, suffix, &failed);
        if (path.empty() || !(failed = env.Unlink(folder + name)).ok()) {
            error = Short(folder) + name + " could not be moved: " + failed.Text();
            if (!path.empty()) {
                if (const platform::FsStatus s = env.Unlink(path); !s.ok())
                    stuck = Short(path) + " is still a second name of " + Short(folder) + name + ": " + s.Text();
            }
            return false;
        }
        moved.push_back({folder + name, path});
    }
    return true;
}

// Moves the user's files of every store folder but the outbox, each folder
// synced before the next; false, with the reason in error, at the first
// file or folder that fails (stuck as MoveFolder's).
bool MoveFiles(platform::Env& env, const std::string& from, const std::string& to,
               std::vector<Moved>& moved, std::string& error, std::string& stuck) {
    for (const auto& folderName : smtp::StoreFolderNames()) {
        if (folderName == smtp::FolderOut || folderName == smtp::FolderAddins) continue;
        const std::string folder = smtp::StoreFolder(folderName);
        const size_t before = moved.size();
        if (!MoveFolder(env, folder, from, to, moved, error, stuck)) return false;
        if (moved.size() > before) {
            const platform::FsStatus synced = env.SyncFolder(platform::FolderOf(folder + "x"));
            if (!synced.ok()) {
                error = folderName + " could not be synced: " + synced.Text();
                return false;
            }
        }
    }
    return true;
}

std::string RecordPath() { return ProgramDir + kRenameRecord; }

// Whether the name `to` belongs to another user than `from` in a users
// table: the rename would give her the mail of `from`, and her login would
// read both. A table that names `to` but no longer `from` is this rename's
// own step, already done.
bool NameIsAnotherUsers(TvdlMemTable& users, const std::string& from, const std::string& to) {
    if (!users.Active() || qev_util::SameText(from, to)) return false;
    const int row = FindNoCase(users, "Name", from);
    return row >= 0 && FindNoCase(users, "Name", to, row) >= 0;
}

std::string NameTakenText(const std::string& to) {
    return "another user already has the name " + to + "; nothing was moved, and the rename stays recorded in " +
           kRenameRecord;
}

platform::FsStatus WriteRecord(platform::Env& env, const std::string& from, const std::string& to) {
    return env.WriteFileAtomic(RecordPath(), std::string(kRenameRecordHeader) + "\n" + from + "\n" + to + "\n");
}

platform::FsStatus DropRecord(platform::Env& env) {
    platform::FsStatus s = env.Unlink(RecordPath());
    return s.ok() ? env.SyncFolder(platform::FolderOf(RecordPath())) : s;
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

namespace {

// The settings that name the user: the desktop for new-mail alerts, the
// spam report, the web mail settings.
void RenameInSettings(const std::string& from, const std::string& to) {
    desktops::Rename(ProgramDir + kIniFileName, from, to);
    desktops::Flush();
    RenameInSpamSettings(from, to);
    RenameWebSettings(from, to);
}

// Re-points the rows of a table file that name `from`: the file as it was
// (empty when it names nobody or does not exist), or throws when it cannot
// be read or saved.
std::string RenameInTableFile(const std::string& fileName, const std::string& from, const std::string& to) {
    const std::string path = ProgramDir + fileName;
    if (!platform::FileExists(path)) return std::string();
    TvdlMemTable t;
    t.LoadFromBinaryFile(path);
    const std::string before = t.SaveToBinaryString();
    if (RenameUserInRows(t, fileName, from, to) == 0) return std::string();
    tables::SaveTableFile(t, path);
    return before;
}

}  // namespace

bool PendingRename(const std::string& dir, std::string* from, std::string* to) {
    std::string text;
    if (!platform::Env::Current()->ReadFile(dir + kRenameRecord, text).ok() || text.size() > 1024) return false;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines.size() != 3 || lines[0] != kRenameRecordHeader || !IsSafeUserName(lines[1]) ||
        !IsSafeUserName(lines[2]))
        return false;
    if (from != nullptr) *from = lines[1];
    if (to != nullptr) *to = lines[2];
    return true;
}

std::string PendingRenameRefusesAdd(const std::string& dir, const std::string& name) {
    std::string from, to;
    if (!PendingRename(dir, &from, &to) || (!qev_util::SameText(name, from) && !qev_util::SameText(name, to)))
        return std::string();
    return "User " + name + " cannot be added: the rename of user " + from + " to " + to +
           " is not complete yet, and until the next start of the program completes it, mail may lie under either "
           "name.";
}

bool RenameLocalUser(const std::string& from, const std::string& to, std::string* error, bool* leftForNextStart) {
    if (leftForNextStart != nullptr) *leftForNextStart = false;
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (!IsSafeUserName(to)) return fail("Illegal characters (only letters and digits please) in User name.");
    // The same rename asked again after it was left to the next start goes
    // on from where it stopped; another waits for that start.
    std::string pendingFrom, pendingTo;
    const bool resumed = PendingRename(ProgramDir, &pendingFrom, &pendingTo);
    if (resumed && (pendingFrom != from || pendingTo != to))
        return fail("the rename of " + pendingFrom + " to " + pendingTo +
                    " is not complete yet; it will be completed at the next start of the program");
    if (!resumed && platform::FileExists(RecordPath()))
        return fail(std::string(kRenameRecord) + " cannot be read as a rename record");
    // A user added in the settings window and renamed before it saved has
    // no row yet, only her welcome message.
    TvdlMemTable& users = tables::Users().Table();
    const int row = users.Active() ? FindNoCase(users, "Name", from) : -1;
    if (!resumed && users.Active() && FindNoCase(users, "Name", to, row) >= 0) return fail("User already exists");
    // Two users whose names differ only in case (an older users.dat) share
    // one mailbox: the mail of one cannot move without the other's.
    if (!resumed && row >= 0 && FindNoCase(users, "Name", from, row) >= 0)
        return fail("another user's name differs from " + from + " only in case, and their mail is one; delete one "
                    "of them first");
    if (resumed && NameIsAnotherUsers(users, from, to)) {
        if (leftForNextStart != nullptr) *leftForNextStart = true;
        tablefiles::LogLine("Renaming user " + from + " to " + to + " failed: " + NameTakenText(to));
        return fail(NameTakenText(to));
    }
    if (FrmServers != nullptr) {
        const std::string busy = FrmServers->MailboxBusy(from, kBusyWaitMs);
        if (!busy.empty()) return fail(busy);
    }

    // 0 the record, on disk before the first file changes.
    platform::Env& env = *platform::Env::Current();
    if (!resumed) {
        const platform::FsStatus s = WriteRecord(env, from, to);
        if (!s.ok()) return fail(std::string(kRenameRecord) + " could not be written: " + s.Text());
    }
    // What is left when the rename cannot be taken back completely: the
    // record stays and the next start completes it.
    auto leftHalfDone = [&](const std::string& why, const std::string& undoFailed) {
        if (leftForNextStart != nullptr) *leftForNextStart = true;
        tablefiles::LogLine("Renaming user " + from + " to " + to + " failed (" + why +
                            ") and is left to the next start" + (undoFailed.empty() ? "" : ": " + undoFailed));
        return fail(why + (undoFailed.empty() ? "" : ". Taking it back failed too: " + undoFailed));
    };
    // Everything was taken back: the record goes, unless an earlier try
    // left more than this one took back.
    auto undone = [&](const std::string& why) {
        if (resumed) return leftHalfDone(why, "");
        const platform::FsStatus s = DropRecord(env);
        if (!s.ok()) return leftHalfDone(why, std::string(kRenameRecord) + " could not be removed: " + s.Text());
        return fail(why);
    };

    // 1 the files, each name on disk before the tables name the new user.
    std::vector<Moved> moved;
    std::string why, stuck;
    if (!MoveFiles(env, from, to, moved, why, stuck)) {
        const std::string movedBack = MoveBack(env, moved);
        const std::string undoFailed = stuck + (stuck.empty() || movedBack.empty() ? "" : "; ") + movedBack;
        return undoFailed.empty() ? undone(why) : leftHalfDone(why, undoFailed);
    }

    // 2 the tables, the users table first. An owner with no rows loaded
    // (the address book without the web server) has its file changed.
    struct Changed {
        tables::TableOwner* owner;
        std::string rows;  // as they were
        bool inFile;
    };
    std::vector<Changed> changed;
    for (tables::TableOwner* owner : {&tables::Users(), &tables::PopAccounts(), &tables::Links(), &tables::Aliases(),
                                      &tables::Forwards(), &tables::Holidays(), &tables::Addresses()}) {
        bool ok = true;
        if (!owner->Table().Active()) {
            try {
                const std::string before = RenameInTableFile(owner->FileName(), from, to);
                if (!before.empty()) changed.push_back({owner, before, true});
            } catch (const std::exception& e) {
                why = e.what();
                ok = false;
            }
        } else if (!RowsNaming(owner->Table(), owner->FileName(), from).empty()) {
            const std::string rows = owner->Table().SaveToBinaryString();
            ok = owner->Change(
                ProgramDir, [&](TvdlMemTable& t) { RenameUserInRows(t, owner->FileName(), from, to); }, &why);
            if (ok) changed.push_back({owner, rows, false});
        }
        if (ok) continue;
        why = owner->FileName() + ": " + why;
        std::string undoFailed;
        auto note = [&](const std::string& what) { undoFailed += (undoFailed.empty() ? "" : "; ") + what; };
        // The mail follows the users table: while it names the new user,
        // the files keep the new name too.
        bool usersStillNew = false;
        for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
            std::string reason;
            bool back = true;
            if (it->inFile) {
                const platform::FsStatus s = env.WriteFileAtomic(ProgramDir + it->owner->FileName(), it->rows);
                back = s.ok();
                reason = s.Text();
            } else {
                back = it->owner->Change(
                    ProgramDir,
                    [&](TvdlMemTable& t) {
                        const std::string index = t.IndexName();
                        t.Close();
                        t.LoadFromBinaryString(it->rows);
                        if (!index.empty()) t.SetIndexName(index);
                        t.First();
                    },
                    &reason);
            }
            if (!back) {
                note(it->owner->FileName() + " still names " + to + ": " + reason);
                usersStillNew = usersStillNew || it->owner == &tables::Users();
            }
        }
        if (!usersStillNew) {
            const std::string filesFailed = MoveBack(env, moved);
            if (!filesFailed.empty()) note(filesFailed);
        } else if (!moved.empty()) {
            note("the message files keep the name " + to);
        }
        return undoFailed.empty() ? undone(why) : leftHalfDone(why, undoFailed);
    }

    // 3 the settings that name the user.
    RenameInSettings(from, to);
    if (const platform::FsStatus s = DropRecord(env); !s.ok())
        tablefiles::LogLine("Renaming a user: " + std::string(kRenameRecord) + " could not be removed: " + s.Text());
    tablefiles::LogLine("User " + from + " renamed to " + to + ": " + std::to_string(moved.size()) +
                        " message files moved");
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false);
    return true;
}

bool CompletePendingRename(std::string* problem) {
    if (!platform::FileExists(RecordPath())) return true;
    std::string from, to;
    if (!PendingRename(ProgramDir, &from, &to)) {
        // Written whole or not at all, so never by this program.
        const std::string aside = tablefiles::SetAside(RecordPath());
        tablefiles::LogLine(std::string(kRenameRecord) + " is not a rename record and was set aside as " + aside);
        return false;
    }
    // Logged, and told where the user looks: part of the mailbox may be
    // under the old name and part under the new one until it is done.
    auto cannot = [&](const std::string& why) {
        const std::string text = "The rename of user " + from + " to " + to + " could not be completed: " + why;
        tablefiles::LogLine(text);
        if (problem != nullptr) *problem = text;
        return false;
    };
    tablefiles::LogLine("Completing the rename of user " + from + " to " + to + " left unfinished");
    // Looked at before the first file moves: the name may have been given
    // to another user since the record was written.
    if (const std::string usersFile = ProgramDir + "users.dat"; platform::FileExists(usersFile)) {
        TvdlMemTable users;
        try {
            users.LoadFromBinaryFile(usersFile);
        } catch (const std::exception& e) {
            return cannot("users.dat: " + std::string(e.what()) + "; nothing was moved, it is tried again at the "
                          "next start");
        }
        if (NameIsAnotherUsers(users, from, to))
            return cannot(NameTakenText(to) + " and is tried again at the next start");
    }
    platform::Env& env = *platform::Env::Current();
    std::vector<Moved> moved;
    std::string why, stuck;
    if (!MoveFiles(env, from, to, moved, why, stuck)) {
        // What moved stays moved: the next start goes on from there.
        return cannot(why + (stuck.empty() ? "" : "; " + stuck) + "; " + std::to_string(moved.size()) +
                      " message files moved, the rest at the next start. Until then some of the user's mail is "
                      "not readable under either name.");
    }
    std::vector<std::string> files;
    for (const auto& f : kUserFields)
        if (std::find(files.begin(), files.end(), f.file) == files.end()) files.push_back(f.file);
    std::string tablesChanged;
    for (const auto& file : files) {
        try {
            if (!RenameInTableFile(file, from, to).empty()) tablesChanged += " " + file;
        } catch (const std::exception& e) {
            return cannot(file + ": " + e.what() + "; it is tried again at the next start");
        }
    }
    RenameInSettings(from, to);
    const platform::FsStatus s = DropRecord(env);
    const std::string kept =
        s.ok() ? std::string() : "; " + std::string(kRenameRecord) + " could not be removed: " + s.Text();
    tablefiles::LogLine("User " + from + " renamed to " + to + " at start-up: " + std::to_string(moved.size()) +
                        " message files moved, tables changed:" + (tablesChanged.empty() ? " none" : tablesChanged) +
                        kept);
    return true;
}

}  // namespace settings
