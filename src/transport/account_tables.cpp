// The tables of users, POP accounts, aliases, forwards and auto-responses:
// their layouts, the user-name rule, and adding a user from outside the
// settings window.
#include "transport/account_tables.h"

#include "codecs/qev_util.h"
#include "platform/files.h"
#include "transport/table_files.h"
#include "transport/table_owner.h"

#include <cctype>

namespace settings {

int FindNoCase(TvdlMemTable& t, const std::string& field, const std::string& value, int except) {
    int found = -1;
    const std::string want = qev_util::LowerCase(value);
    tablefiles::ForEach(t, [&] {
        if (found < 0 && t.GetBookmark() != except && qev_util::LowerCase(t.FieldByName(field).AsString()) == want)
            found = t.GetBookmark();
    });
    return found;
}

int FindUserRow(TvdlMemTable& users, const std::string& name) {
    int exact = -1;
    tablefiles::ForEach(users, [&] {
        if (exact < 0 && users.FieldByName("Name").AsString() == name) exact = users.GetBookmark();
    });
    return exact >= 0 ? exact : FindNoCase(users, "Name", name);
}

std::string StoredUserName(TvdlMemTable& users, const std::string& name) {
    if (!users.Active() || name.empty()) return std::string();
    users.CancelRange();
    const int row = FindUserRow(users, name);
    if (row < 0) return std::string();
    const int keep = users.GetBookmark();
    users.GotoBookmark(row);
    std::string stored = users.FieldByName("Name").AsString();
    if (keep >= 0 && users.BookmarkValid(keep)) users.GotoBookmark(keep);
    return stored;
}

bool IsSafeUserName(const std::string& name) {
    if (name.empty()) return false;
    bool onlyDots = true;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(ch)));
        const bool ok = c == '+' || c == '-' || c == '.' || c == '@' || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9');
        if (!ok) return false;
        if (c != '.') onlyDots = false;
    }
    return !onlyDots;
}

void DefineUsersTable(TvdlMemTable& t) {
    tablefiles::Define(t, {{"Name", ftString, 64}, {"Password", ftString, 64}}, "ixName", "Name",
                       ixPrimary | ixCaseInsensitive);
}

void DefinePopTable(TvdlMemTable& t) {
    tablefiles::Define(t,
                       {{"Name", ftString, 64},
                        {"Host", ftString, 64},
                        {"Login", ftString, 64},
                        {"Password", ftString, 64},
                        {"Include", ftBoolean, 0},
                        {"Leave", ftBoolean, 0},
                        {"Leavedays", ftInteger, 0},
                        {"Default", ftString, 64}},
                       "ixName", "Name", ixPrimary);
}

void DefineLinkTable(TvdlMemTable& t) {
    tablefiles::Define(t, {{"Email", ftString, 64}, {"User", ftString, 64}}, "ixName", "Email",
                       ixPrimary | ixCaseInsensitive);
}

void DefineForwardTable(TvdlMemTable& t) {
    // Copy is text: the settings window writes "Yes"/"No" and reads it back
    // by that text, while forwarding reads it as a boolean ("Y..." is true).
    tablefiles::Define(t,
                       {{"User", ftString, 64},
                        {"IsLocal", ftBoolean, 0},
                        {"ForwardTo", ftString, 128},
                        {"Copy", ftString, 3}},
                       "ixUser", "User", ixPrimary | ixCaseInsensitive);
}

void DefineHolidayTable(TvdlMemTable& t) {
    tablefiles::Define(t,
                       {{"User", ftString, 64},
                        {"EndDate", ftDate, 0},
                        {"Subject", ftString, 240},
                        {"Message", ftMemo, 240},
                        {"Who", ftInteger, 0}},
                       "ixUser", "User", ixPrimary | ixCaseInsensitive);
}

void DefineAliasTable(TvdlMemTable& t) {
    tablefiles::Define(t, {{"Email", ftString, 64}, {"User", ftString, 64}}, "ixEmail", "Email",
                       ixPrimary | ixCaseInsensitive);
}

void DefineDomainTable(TvdlMemTable& t) {
    tablefiles::Define(t, {{"Domain", ftString, 64}}, "ixDomain", "Domain", ixPrimary | ixCaseInsensitive);
}

void DefineUidlTable(TvdlMemTable& t) {
    tablefiles::Define(t, {{"POP", ftString, 64}, {"UIDL", ftString, 64}, {"Received", ftDate, 0}}, "ixUIDL",
                       "POP;UIDL", ixPrimary);
}

void BuildAliasTable(TvdlMemTable& elink, TvdlMemTable& link, TvdlMemTable& users) {
    DefineAliasTable(elink);
    TField* email = link.Active() ? link.FindField("Email") : nullptr;
    TField* user = link.Active() ? link.FindField("User") : nullptr;
    if (email && user) {
        tablefiles::ForEach(link, [&] {
            if (email->AsString() != "[Default]") AddAlias(elink, email->AsString(), user->AsString());
        });
    }
    // Older users.dat files carry the user's own address.
    TField* userEmail = users.Active() ? users.FindField("Email") : nullptr;
    TField* userName = users.Active() ? users.FindField("Name") : nullptr;
    if (userEmail && userName)
        tablefiles::ForEach(users, [&] { AddAlias(elink, userEmail->AsString(), userName->AsString()); });
    elink.First();
}

bool AddAlias(TvdlMemTable& table, const std::string& email, const std::string& user) {
    if (email.empty() || user.empty()) return false;
    const std::string address = qev_util::LowerCase(email);
    bool present = false;
    tablefiles::ForEach(table, [&] {
        if (qev_util::LowerCase(table.FieldByName("Email").AsString()) == address &&
            qev_util::LowerCase(table.FieldByName("User").AsString()) == qev_util::LowerCase(user))
            present = true;
    });
    if (present) return false;
    table.Append();
    table.FieldByName("Email").SetAsString(address);
    table.FieldByName("User").SetAsString(user);
    table.Post();
    return true;
}

bool AddLocalUser(const std::string& programDir, const std::string& name, const std::string& password,
                  std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    if (!IsSafeUserName(name)) return fail("Illegal characters (only letters and digits please) in User name.");
    for (char c : password) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return fail("Illegal characters (only letters and digits please) in Password.");
    }
    if (name.size() > 64 || password.size() > 64) return fail("User name and password take at most 64 characters.");
    TvdlMemTable t;
    const std::string path = programDir + "users.dat";
    if (platform::FileExists(path)) {
        // A script gets a refusal rather than a repair behind its back: the
        // program itself keeps the users it can read and tells the person.
        try {
            t.LoadFromBinaryFile(path);
            if (!t.Active()) t.Open();
        } catch (const std::exception& e) {
            return fail("users.dat could not be read (" + std::string(e.what()) +
                        "); it was left as it is and no user was added. Tarnwick keeps the users it can read "
                        "at its next start.");
        }
    } else {
        DefineUsersTable(t);
    }
    try {
        if (FindNoCase(t, "Name", name) >= 0) return fail("User already exists");
        t.Append();
        t.FieldByName("Name").SetAsString(name);
        t.FieldByName("Password").SetAsString(password);
        t.Post();
        tables::SaveTableFile(t, path);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return true;
}

bool AddLocalDomain(const std::string& programDir, const std::string& domain, std::string* error) {
    if (domain.empty() || domain.find_first_of("/\\\r\n") != std::string::npos) {
        if (error) *error = "not a domain name: " + domain;
        return false;
    }
    try {
        TvdlMemTable table;
        DefineDomainTable(table);
        const std::string file = programDir + "domain.dat";
        if (platform::FileExists(file)) table.LoadFromBinaryFile(file);
        for (table.First(); !table.Eof(); table.Next())
            if (table.FieldByName("Domain").AsString() == domain) return true;
        table.Append();
        table.FieldByName("Domain").SetAsString(domain);
        table.Post();
        tables::SaveTableFile(table, file);
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

}  // namespace settings
