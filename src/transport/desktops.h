// The address of each user's desktop (the IP address of the user's last
// POP3 login) and the mailbox count last announced to it, kept in
// tarnwick.ini's [Users] section for the new-mail alerts. A login or a
// delivery must not rewrite and sync the whole settings file on the event
// loop, so new values wait here and reach the file together, at most a
// second later (or when the servers window closes). A crash loses at most
// the values of that last second (a count lost is announced again); until
// the write, the values held here are the ones read.
#pragma once

#include <cstdint>
#include <string>

namespace desktops {

// Notes the address of a login to iniPath (tarnwick.ini) and sees that it
// is written soon.
void SetAddress(const std::string& iniPath, const std::string& user, const std::string& address);

// The user's address: a noted one not yet written, else the file's.
std::string Address(const std::string& iniPath, const std::string& user);

// The count last announced to the user's desktop, and a new one.
std::int64_t AnnouncedCount(const std::string& iniPath, const std::string& user);
void SetAnnouncedCount(const std::string& iniPath, const std::string& user, std::int64_t count);

// The user's values go over to the user's new name (a renamed user).
void Rename(const std::string& iniPath, const std::string& from, const std::string& to);

// Writes every noted value now, one rewrite per file. False when a file
// could not be written; its values stay noted for the next try.
bool Flush();

// How long a noted address may wait for its write.
inline constexpr int kFlushDelayMs = 1000;

}  // namespace desktops
