// Web administration: local users, the local distribution list and the
// log files, for the administrator logged in from a browser.
#pragma once

#include <string>

namespace web_sets {

// The whole administration page after applying the changes a request asks
// for (empty arguments change nothing).
std::string SettingsPage(const std::string& PwUser, const std::string& PwPassword, const std::string& DelUser,
                         const std::string& NewLdEmail, const std::string& NewLdUser, std::string DelLdEmail,
                         std::string DelLdUser);
// Adds or changes PwUser, deletes DelUser; saves users.dat after a change.
std::string UsersTable(const std::string& PwUser, const std::string& PwPassword, const std::string& DelUser);
// Adds an entry, deletes entries of DelLdUser (every address when
// DelLdEmail is "*"); saves elink.dat after a change.
std::string DistributionListTable(const std::string& NewLdEmail, const std::string& NewLdUser,
                                  const std::string& DelLdEmail, const std::string& DelLdUser);
std::string LogFilesTable();

}  // namespace web_sets
