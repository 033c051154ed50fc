// Which local users an e-mail address belongs to, decided from the alias
// table (elink.dat), the local domains (domain.dat) and the users table.
// TFrmSMTP::IsLocalAddress is this routine on the tables' owners' tables.
#pragma once

#include <string>
#include <vector>

class TvdlMemTable;

namespace settings {

// The tables one resolution reads. usersForAlias is the users table that
// alias targets must exist in; usersForDomain the one that local parts at a
// local domain are looked up in (in the program both are the users table's
// owner's). A null table counts as empty.
struct LocalTables {
    TvdlMemTable* aliases = nullptr;
    TvdlMemTable* domains = nullptr;
    TvdlMemTable* usersForAlias = nullptr;
    TvdlMemTable* usersForDomain = nullptr;
};

// Fills users (cleared first) with the user names the address resolves to,
// each once (compared without regard to case), spelled as the users table
// has them; true when the address is local. Addresses, domains and alias
// keys compare without regard to case.
bool ResolveLocalAddress(const LocalTables& tables, const std::string& address,
                         std::vector<std::string>& users);

}  // namespace settings
