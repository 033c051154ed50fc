// The address of each user's desktop: the IP address of the user's last
// POP3 login, kept in tarnwick.ini's [Users] section for the new-mail
// alerts. A login must not rewrite and sync the whole settings file on the
// event loop, so new addresses wait here and reach the file together, at
// most a second later (or when the servers window closes). A crash loses at
// most the addresses of that last second; an alert until then goes to the
// address held here.
#pragma once

#include <string>

namespace desktops {

// Notes the address of a login to iniPath (tarnwick.ini) and sees that it
// is written soon.
void SetAddress(const std::string& iniPath, const std::string& user, const std::string& address);

// The user's address: a noted one not yet written, else the file's.
std::string Address(const std::string& iniPath, const std::string& user);

// Writes every noted address now, one rewrite per file. False when a file
// could not be written; its addresses stay noted for the next try.
bool Flush();

// How long a noted address may wait for its write.
inline constexpr int kFlushDelayMs = 1000;

}  // namespace desktops
