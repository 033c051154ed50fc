// Address book requests: the mail that asks a local user to upload an
// address book through the web server, so that the contacts become safe
// senders.
#pragma once

#include <string>
#include <vector>

namespace spam_add {

// The request mail for one user, as stored in the mailbox.
std::string AddressBookRequest(const std::string& user, const std::string& browserAddress);

// Writes the request into the mailbox of each user (names that cannot be a
// mailbox are passed over). Returns the number written.
int WriteRequests(const std::vector<std::string>& users);

}  // namespace spam_add
