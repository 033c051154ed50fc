// The tables of users, POP accounts, aliases, forwards and auto-responses:
// their layouts, the user-name rule, and adding a user or a domain from
// outside the settings window (the web administration, tarnwick-adduser).
#pragma once

#include <string>

#include "tables/memtable.h"

namespace settings {

// Adds a local user to users.dat in programDir (with trailing "/") through
// the table code, creating the file when missing. False (and no change)
// when the name is unsafe or already taken (without regard to case), or
// when users.dat cannot be read.
bool AddLocalUser(const std::string& programDir, const std::string& name,
                  const std::string& password, std::string* error = nullptr);

// Adds a local domain to domain.dat in programDir, creating the file when
// missing; a domain already there is no change. False with the reason when
// the name is no domain name or the file cannot be read or written.
bool AddLocalDomain(const std::string& programDir, const std::string& domain, std::string* error = nullptr);

// A user name that can safely name mailbox files: the field-check alphabet
// (letters, digits, "+", "-", ".", "@"), not empty, not only dots.
bool IsSafeUserName(const std::string& name);

// Table layouts of the settings window's files.
void DefineUsersTable(TvdlMemTable& t);
void DefinePopTable(TvdlMemTable& t);
void DefineLinkTable(TvdlMemTable& t);
void DefineForwardTable(TvdlMemTable& t);
void DefineHolidayTable(TvdlMemTable& t);
// elink.dat: Email String 64, User String 64; index ixEmail on Email.
void DefineAliasTable(TvdlMemTable& t);
// domain.dat: Domain String 64; index ixDomain on Domain.
void DefineDomainTable(TvdlMemTable& t);
// uidl.dat: POP String 64, UIDL String 64, Received Date; index ixUIDL on
// POP;UIDL.
void DefineUidlTable(TvdlMemTable& t);

// A new alias table from link.dat's rows (but its "[Default]" row) and the
// addresses that older users.dat files carry for their users.
void BuildAliasTable(TvdlMemTable& elink, TvdlMemTable& link, TvdlMemTable& users);

// Adds email -> user to an alias table unless either is empty or the same
// address already goes to that user (addresses and user names compared
// without regard to case). The address is stored in lower case. The table
// is left on the new row; true when a row was added.
bool AddAlias(TvdlMemTable& table, const std::string& email, const std::string& user);

// The record (by bookmark) whose field equals value without regard to case,
// other than the record `except`; -1 when none.
int FindNoCase(TvdlMemTable& t, const std::string& field, const std::string& value, int except = -1);

// The row (by bookmark) of user `name` in a users table: the row of that
// very spelling when there is one (a table from before names were unique
// without case may hold two), else the one that differs only in case; -1
// when none. Not by the index: users.dat brings its own, and an older one
// compares names with case, while mailboxes and logins never do.
int FindUserRow(TvdlMemTable& users, const std::string& name);

// The name as the users table holds it for `name`, found so; empty when no
// user has it. The table's cursor stays where it was.
std::string StoredUserName(TvdlMemTable& users, const std::string& name);

}  // namespace settings
