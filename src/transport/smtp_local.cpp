// Local address resolution: which office users an e-mail address reaches.
#include "transport/local_address.h"
#include "codecs/qev_util.h"
#include "tables/memtable.h"
#include "transport/smtp.h"
#include "transport/table_owner.h"

#include <algorithm>
#include <cctype>

namespace settings {

namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Walks the table in its current order and puts the cursor back afterwards;
// fn returns false to stop.
void Walk(TvdlMemTable* t, const std::function<bool(TvdlMemTable&)>& fn) {
    if (t == nullptr || !t->Active()) return;
    const int keep = t->GetBookmark();
    for (t->First(); !t->Eof(); t->Next())
        if (!fn(*t)) break;
    if (keep >= 0 && t->BookmarkValid(keep)) t->GotoBookmark(keep);
    else t->First();
}

std::string Value(TvdlMemTable& t, const char* field) {
    TField* f = t.FindField(field);
    return f ? f->AsString() : std::string();
}

// The users table's own spelling of name; empty when it holds no such user.
std::string CanonicalUser(TvdlMemTable* users, const std::string& name) {
    std::string found;
    if (name.empty()) return found;
    Walk(users, [&](TvdlMemTable& t) {
        const std::string n = Value(t, "Name");
        if (!SameNoCase(n, name)) return true;
        found = n;
        return false;
    });
    return found;
}

void AddOnce(std::vector<std::string>& users, const std::string& name) {
    for (const auto& u : users)
        if (SameNoCase(u, name)) return;
    users.push_back(name);
}

}  // namespace

bool ResolveLocalAddress(const LocalTables& tables, const std::string& address, std::vector<std::string>& users) {
    users.clear();
    // Callers pass envelope addresses and header values alike.
    const std::string addr = qev_util::HeaderAddress(address);
    std::string local, domain;
    if (size_t at = addr.find('@'); at != std::string::npos) {
        local = addr.substr(0, at);
        domain = addr.substr(at + 1);
    }
    bool isLocal = false;

    // 1: aliases of this address whose user exists.
    bool aliasFound = false;
    if (!addr.empty()) {
        Walk(tables.aliases, [&](TvdlMemTable& t) {
            if (!SameNoCase(Value(t, "Email"), addr)) return true;
            const std::string user = CanonicalUser(tables.usersForAlias, Value(t, "User"));
            if (!user.empty()) {
                isLocal = aliasFound = true;
                AddOnce(users, user);
            }
            return true;
        });
    }
    // 2: a catch-all alias of the domain, taken as it stands.
    if (!aliasFound && !domain.empty()) {
        const std::string key = "*@" + domain;
        Walk(tables.aliases, [&](TvdlMemTable& t) {
            if (!SameNoCase(Value(t, "Email"), key)) return true;
            const std::string user = Value(t, "User");
            const std::string canonical = CanonicalUser(tables.usersForAlias, user);
            isLocal = true;
            AddOnce(users, canonical.empty() ? user : canonical);
            return false;
        });
    }
    // 3: a user name at a local domain.
    if (!domain.empty() && !local.empty()) {
        bool domainIsLocal = false;
        Walk(tables.domains, [&](TvdlMemTable& t) {
            domainIsLocal = SameNoCase(Value(t, "Domain"), domain);
            return !domainIsLocal;
        });
        if (domainIsLocal) {
            const std::string user = CanonicalUser(tables.usersForDomain, local);
            if (!user.empty()) {
                isLocal = true;
                AddOnce(users, user);
            }
        }
    }
    return isLocal;
}

}  // namespace settings

bool TFrmSMTP::IsLocalAddress(const std::string& address, std::vector<std::string>& users) {
    users.clear();
    // The owners' tables: one users table for alias targets and local parts.
    auto open = [](tables::TableOwner& owner) { return owner.Table().Active() ? &owner.Table() : nullptr; };
    settings::LocalTables tables{open(tables::Aliases()), open(tables::Domains()), open(tables::Users()),
                                 open(tables::Users())};
    return settings::ResolveLocalAddress(tables, address, users);
}
