// The settings window's users, POP accounts and aliases: the page buttons,
// the pop.dat migration and the downloaded-message reset.
#include "settings/setup.h"

#include "codecs/qev_util.h"
#include "transport/account_tables.h"
#include "transport/engine_tables.h"
#include "transport/table_owner.h"
#include "transport/user_rename.h"

#include "platform/dialogs.h"
#include "platform/files.h"
#include "settings/link.h"
#include "settings/mail_act.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "shell/procs.h"

#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

// The field check of user names: the shared check, and no name made of dots
// only, since a user name becomes part of mailbox file names.
bool UserNameFails(const std::string& name) {
    if (procs::ValidateField(name, true, true, "User name")) return true;
    if (!settings::IsSafeUserName(name)) {
        platform::MessageBox("Illegal characters (only letters and digits please) in User name.",
                             platform::MsgKind::Error, platform::MsgButtons::Ok);
        return true;
    }
    return false;
}

}  // namespace


// ---------------------------------------------------------------------------
// Users
// ---------------------------------------------------------------------------

void TFrmSettings::UserBtns() { UserBtnsFor(sender()); }
void TFrmSettings::PopBtns() { PopBtnsFor(sender()); }
void TFrmSettings::LinkBtns() { LinkBtnsFor(sender()); }

void TFrmSettings::UserBtnsFor(QObject* from) {
    TvdlMemTable& t = *TblUsers;
    auto names = [&] {
        std::vector<std::string> out;
        tablefiles::ForEach(t, [&] { out.push_back(t.FieldByName("Name").AsString()); });
        return out;
    };
    if (from == BtnAddUser) {
        std::string name, password;
        for (;;) {
            if (!FrmMailAccount->EditLocalUser("Add user", name, password)) return;
            if (UserNameFails(name) || procs::ValidateField(password, true, false, "Password")) continue;
            break;
        }
        // Mailbox files are named by the user, so two names that differ only
        // in case would share (or fight over) one mailbox.
        if (settings::FindNoCase(t, "Name", name) >= 0) {
            platform::MessageBox("User already exists", platform::MsgKind::Error, platform::MsgButtons::Ok, this);
            return;
        }
        if (NameHoldsOthersMail(name, std::string())) return;
        if (const std::string refused = settings::PendingRenameRefusesAdd(ProgramDir, name); !refused.empty()) {
            platform::MessageBox(refused, platform::MsgKind::Error, platform::MsgButtons::Ok, this);
            return;
        }
        t.Append();
        t.FieldByName("Name").SetAsString(name);
        t.FieldByName("Password").SetAsString(password);
        t.Post();
        SetUserList(names());
        // Welcome message into the new mailbox at once.
        setup::WriteWelcomeMail(name);
    } else if (from == BtnEditUser) {
        if (t.IsEmpty()) return;
        const int row = t.GetBookmark();
        const std::string oldName = t.FieldByName("Name").AsString();
        std::string name = oldName, password = t.FieldByName("Password").AsString();
        for (;;) {
            if (!FrmMailAccount->EditLocalUser("Edit user", name, password)) return;
            if (UserNameFails(name) || procs::ValidateField(password, true, false, "Password")) continue;
            break;
        }
        if (name != oldName && settings::FindNoCase(t, "Name", name, row) >= 0) {
            platform::MessageBox("User already exists", platform::MsgKind::Error, platform::MsgButtons::Ok, this);
            return;
        }
        if (name != oldName && NameHoldsOthersMail(name, oldName)) return;
        t.GotoBookmark(row);
        t.Edit();
        t.FieldByName("Name").SetAsString(name);
        t.FieldByName("Password").SetAsString(password);
        t.Post();
        if (name != oldName) NoteRename(oldName, name);
        SetUserList(names());
        t.GotoBookmark(row);
    } else if (from == BtnDelUser) {
        if (t.IsEmpty()) return;
        // A user deleted after a rename keeps her mail where it is.
        const std::string gone = t.FieldByName("Name").AsString();
        std::erase_if(renames_, [&](const auto& r) { return r.second == gone; });
        t.Delete();
        SetUserList(names());
    } else {
        return;
    }
    UpdateUserButtons();
    RefreshGrids();
    ApplyEnableFor(from);
}

void TFrmSettings::NoteRename(const std::string& from, const std::string& to) {
    auto it = std::find_if(renames_.begin(), renames_.end(), [&](const auto& r) { return r.second == from; });
    if (it == renames_.end()) renames_.emplace_back(from, to);
    else if (it->first == to) renames_.erase(it);
    else it->second = to;
    // The window's other tables and lists show the user by the new name.
    for (auto& [table, owner] : OwnedTables())
        if (table != TblUsers.get()) settings::RenameUserInRows(*table, owner->FileName(), from, to);
    for (QComboBox* c : {CBXOutWarn, CBXOutCopy})
        if (c->currentIndex() >= 0 && c->currentText().toStdString() == from)
            c->setItemText(c->currentIndex(), QString::fromStdString(to));
}

bool TFrmSettings::NameHoldsOthersMail(const std::string& name, const std::string& current) {
    std::string saved = current;
    for (const auto& [from, to] : renames_)
        if (to == current) saved = from;
    bool held = false;
    for (const auto& [from, to] : renames_) held = held || (qev_util::SameText(from, name) && !qev_util::SameText(from, saved));
    // A user the engine still has (deleted here, or added on the web).
    TvdlMemTable& users = tables::Users().Table();
    if (!current.empty() && !qev_util::SameText(name, saved) && users.Active() && settings::FindNoCase(users, "Name", name) >= 0)
        held = true;
    if (held)
        platform::MessageBox("Mail is still filed under the name " + name +
                                 " until the settings are saved: press Apply first.",
                             platform::MsgKind::Error, platform::MsgButtons::Ok, this);
    return held;
}

bool TFrmSettings::RenameUsers() {
    const auto owned = OwnedTables();
    while (!renames_.empty()) {
        const auto [from, to] = renames_.front();
        std::string error;
        bool leftForNextStart = false;
        if (!settings::RenameLocalUser(from, to, &error, &leftForNextStart)) {
            platform::MessageBox(
                "User " + from + " could not be renamed to " + to + ": " + error +
                    (leftForNextStart
                         ? ". The rename is half done: it will be completed at the next start of the program, and "
                           "until then some of the user's mail may not be readable under either name. The other "
                           "settings were not saved."
                         : ". The user keeps the old name and mail, and the other settings were not saved."),
                platform::MsgKind::Error, platform::MsgButtons::Ok, this);
            return false;
        }
        renames_.erase(renames_.begin());
        // The rows this window started from name the new user now as well,
        // so that only its own other edits reach the tables.
        for (size_t i = 0; i < owned.size() && i < tableBases_.size(); ++i) {
            if (tableBases_[i].empty()) continue;
            TvdlMemTable base;
            base.LoadFromBinaryString(tableBases_[i]);
            if (settings::RenameUserInRows(base, owned[i].second->FileName(), from, to) > 0)
                tableBases_[i] = base.SaveToBinaryString();
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// POP accounts
// ---------------------------------------------------------------------------

void TFrmSettings::PopBtnsFor(QObject* from) {
    TvdlMemTable& t = *TblPop;
    if (from == BtnDelPop) {
        if (!t.IsEmpty()) t.Delete();
    } else if (from == BtnAddPop || from == BtnEditPop) {
        if (TblUsers->IsEmpty()) {
            platform::MessageBox("You need at least one user before working on your POP accounts",
                                 platform::MsgKind::Warning, platform::MsgButtons::Ok, this);
            return;
        }
        const bool adding = from == BtnAddPop;
        if (!adding && t.IsEmpty()) return;
        const int row = adding ? -1 : t.GetBookmark();
        std::string name, host, login, password, def;
        bool include = true, leave = false;
        int leaveDays = 0;
        if (!adding) {
            name = t.FieldByName("Name").AsString();
            host = t.FieldByName("Host").AsString();
            login = t.FieldByName("Login").AsString();
            password = t.FieldByName("Password").AsString();
            include = t.FieldByName("Include").AsBoolean();
            leave = t.FieldByName("Leave").AsBoolean();
            leaveDays = static_cast<int>(t.FieldByName("Leavedays").AsInteger());
            def = t.FieldByName("Default").AsString();
        }
        const std::string oldName = name;
        auto exists = [&] {
            int other = -1;
            tablefiles::ForEach(t, [&] {
                if (other < 0 && t.GetBookmark() != row && t.FieldByName("Name").AsString() == name)
                    other = t.GetBookmark();
            });
            return other >= 0;
        };
        for (;;) {
            if (!FrmMailAccount->EditPopAccount("POP account", name, host, login, password, include, leave,
                                                leaveDays, def))
                return;
            if (procs::ValidateField(name, false, true, "Account name") ||
                procs::ValidateField(host, false, true, "Host") ||
                procs::ValidateField(login, false, true, "Login") ||
                procs::ValidateField(def, false, true, "Default user"))
                continue;
            if (adding && exists()) {
                platform::MessageBox("Account " + name + " already exists", platform::MsgKind::Information,
                                     platform::MsgButtons::Ok, this);
                continue;
            }
            break;
        }
        if (!adding && name != oldName && exists()) {
            platform::MessageBox("Account " + name + " already exists", platform::MsgKind::Error,
                                 platform::MsgButtons::Ok, this);
            return;
        }
        if (adding) {
            t.Append();
        } else {
            t.GotoBookmark(row);
            t.Edit();
        }
        t.FieldByName("Name").SetAsString(name);
        t.FieldByName("Host").SetAsString(host);
        t.FieldByName("Login").SetAsString(login);
        t.FieldByName("Password").SetAsString(password);
        t.FieldByName("Include").SetAsBoolean(include);
        t.FieldByName("Leave").SetAsBoolean(leave);
        t.FieldByName("Leavedays").SetAsInteger(leaveDays);
        t.FieldByName("Default").SetAsString(def);
        t.Post();
    } else {
        return;
    }
    UpdateUserButtons();
    RefreshGrids();
    ApplyEnableFor(from);
}

// ---------------------------------------------------------------------------
// Aliases
// ---------------------------------------------------------------------------

void TFrmSettings::LinkBtnsFor(QObject* from) {
    TvdlMemTable& t = *tbleLink;
    if (from == BtnLinkDel) {
        if (!t.IsEmpty()) t.Delete();
    } else if (from == BtnLinkAdd || from == BtnLinkEdit) {
        if (TblUsers->IsEmpty()) {
            platform::MessageBox("You need at least one user creating a local distribution link.",
                                 platform::MsgKind::Warning, platform::MsgButtons::Ok, this);
            return;
        }
        const bool adding = from == BtnLinkAdd;
        if (!adding && t.IsEmpty()) return;
        const int row = adding ? -1 : t.GetBookmark();
        std::string email = adding ? "" : t.FieldByName("Email").AsString();
        std::string user = adding ? "" : t.FieldByName("User").AsString();
        for (;;) {
            if (!FrmLink->Execute(email, user)) return;
            if (procs::ValidateField(email, false, true, "Email address") ||
                procs::ValidateField(user, false, true, "User"))
                continue;
            break;
        }
        if (adding) {
            FrmLink->AddLink(email, user);
        } else {
            t.GotoBookmark(row);
            t.Edit();
            t.FieldByName("Email").SetAsString(qev_util::LowerCase(email));
            t.FieldByName("User").SetAsString(user);
            t.Post();
        }
    } else {
        return;
    }
    RefreshGrids();
    UpdateCrashSettings();
    ApplyEnableFor(from);
}

// ---------------------------------------------------------------------------
// downloaded-message reset
// ---------------------------------------------------------------------------

void TFrmSettings::Button1Click() {
    vdlMemTable1->Close();
    tables::ResetUidlFile(ProgramDir);
}
