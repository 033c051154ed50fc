// The one login brake of the process: SMTP AUTH, POP3 USER/PASS and the
// web logins count their failures per remote address together, so that
// spreading guesses over protocols or over many connections gains nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace logins {

// After kFreeFailures failed logins, logins from that address are refused
// for kLockMs.
class LoginBrake {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr std::int64_t kLockMs = 60000;
    // Failures further apart than this are forgotten.
    static constexpr std::int64_t kForgetMs = 15 * 60000;

    // True while logins from address are refused.
    bool Refused(const std::string& address, std::int64_t nowMs);
    // A failed login; true when the address has now used up its free
    // failures (and is refused from here on).
    bool Failed(const std::string& address, std::int64_t nowMs);
    void Succeeded(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        std::int64_t lastFailure = 0;
        std::int64_t lockedUntil = 0;
    };
    void Prune(std::int64_t nowMs);
    std::unordered_map<std::string, Entry> entries_;
};

// The process's brake. service names the login in the log ("SMTP", "POP3",
// "Web"); user is the name the client gave. Refusals and locks go to
// connect.log whatever the log switches say: they are what an
// administrator looks for after an attack.

// True while logins from address are refused; logs the refusal.
bool Refused(const std::string& service, const std::string& address, const std::string& user);
// A failed login from address; true when it used up the free failures.
bool Failed(const std::string& service, const std::string& address);
void Succeeded(const std::string& address);

// Tests set the brake's clock (milliseconds, any origin); an empty function
// restores the steady clock. Either way the brake starts afresh.
void SetClockForTesting(std::function<std::int64_t()> clock);

}  // namespace logins
