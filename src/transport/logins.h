// The one login brake of the process: SMTP AUTH, POP3 USER/PASS and the
// web logins count their failures per client address together, so that
// spreading guesses over protocols, over many connections or over the
// addresses of one machine gains nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace logins {

// After kFreeFailures failed logins, logins from that client address
// (platform::ClientAddress) are refused for kLockMs. A good login clears
// only the failures of its own name: anyone who knows one password must
// not win fresh guesses at the others by logging on in between.
class LoginBrake {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr std::int64_t kLockMs = 60000;
    // Failures further apart than this are forgotten.
    static constexpr std::int64_t kForgetMs = 15 * 60000;
    // Client addresses tracked at most. When every one of them is locked,
    // the failures of any further address are counted together.
    static constexpr std::size_t kMaxTracked = 4096;

    // True while logins from address are refused.
    bool Refused(const std::string& address, std::int64_t nowMs);
    // A failed login as user; true when the address has now used up its
    // free failures (and is refused from here on).
    bool Failed(const std::string& address, const std::string& user, std::int64_t nowMs);
    // A good login as user.
    void Succeeded(const std::string& address, const std::string& user);

private:
    struct Entry {
        int failures = 0;
        std::int64_t lastFailure = 0;
        std::int64_t lockedUntil = 0;
        // Failures per login name (a digest of the name in lower case);
        // at most kFreeFailures names, since the lock comes then.
        std::vector<std::pair<std::size_t, int>> byName;
    };
    // The key of address's entry: its client address, or the shared one
    // when the table has no room for it.
    std::string Key(const std::string& address) const;
    void Prune(std::int64_t nowMs);
    std::unordered_map<std::string, Entry> entries_;
    std::int64_t pruneAfter_ = 0;  // a table full of locks is not scanned again before
};

// The process's brake. service names the login in the log ("SMTP", "POP3",
// "Web"); user is the name the client gave. Refusals and locks go to
// connect.log whatever the log switches say: they are what an
// administrator looks for after an attack.

// True while logins from address are refused; logs the refusal.
bool Refused(const std::string& service, const std::string& address, const std::string& user);
// A failed login as user from address; true when it used up the free failures.
bool Failed(const std::string& service, const std::string& address, const std::string& user);
void Succeeded(const std::string& address, const std::string& user);

// Tests set the brake's clock (milliseconds, any origin); an empty function
// restores the steady clock. Either way the brake starts afresh.
void SetClockForTesting(std::function<std::int64_t()> clock);

}  // namespace logins
