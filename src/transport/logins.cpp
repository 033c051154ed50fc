// The login brake shared by the mail servers and the web server, and the
// log of what it refuses.
#include "transport/logins.h"

#include "platform/clock.h"
#include "transport/globals.h"
#include "transport/logfile.h"

#include <chrono>
#include <iterator>
#include <utility>

namespace logins {

bool LoginBrake::Refused(const std::string& address, std::int64_t nowMs) {
    auto it = entries_.find(address);
    if (it == entries_.end()) return false;
    Entry& e = it->second;
    if (e.lockedUntil == 0) return false;
    if (nowMs < e.lockedUntil) return true;
    // The minute is over: the address starts afresh.
    entries_.erase(it);
    return false;
}

bool LoginBrake::Failed(const std::string& address, std::int64_t nowMs) {
    Prune(nowMs);
    Entry& e = entries_[address];
    if (e.failures > 0 && nowMs - e.lastFailure > kForgetMs) e.failures = 0;
    ++e.failures;
    e.lastFailure = nowMs;
    if (e.failures < kFreeFailures) return false;
    e.lockedUntil = nowMs + kLockMs;
    return true;
}

void LoginBrake::Succeeded(const std::string& address) { entries_.erase(address); }

void LoginBrake::Prune(std::int64_t nowMs) {
    // Bounded however many addresses guess.
    if (entries_.size() < 4096) return;
    for (auto it = entries_.begin(); it != entries_.end();) {
        const Entry& e = it->second;
        const bool over = e.lockedUntil ? nowMs >= e.lockedUntil : nowMs - e.lastFailure > kForgetMs;
        it = over ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() >= 4096) entries_.clear();
}

namespace {

// The servers and the web server run on the event loop's thread.
LoginBrake& TheBrake() {
    static LoginBrake brake;
    return brake;
}

std::function<std::int64_t()>& TestClock() {
    static std::function<std::int64_t()> clock;
    return clock;
}

std::int64_t NowMs() {
    if (TestClock()) return TestClock()();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A name from the network, fit for one log line.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 64)) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += u < 0x20 || u == 0x7f ? '?' : c;
    }
    return out;
}

void Log(const std::string& text) {
    const platform::LocalTime now = platform::NowLocal();
    const std::string line = platform::TwoDigits(now.hour) + ":" + platform::TwoDigits(now.minute) + ":" + text;
    procs::AppendLog(ProgramDir + "connect.log", line);
}

}  // namespace

bool Refused(const std::string& service, const std::string& address, const std::string& user) {
    if (!TheBrake().Refused(address, NowMs())) return false;
    Log(service + " login of " + Printable(user) + " from " + address + " refused: too many failed logins");
    return true;
}

bool Failed(const std::string& service, const std::string& address) {
    if (!TheBrake().Failed(address, NowMs())) return false;
    Log("Logins from " + address + " refused for a minute after " + std::to_string(LoginBrake::kFreeFailures) +
        " failures (the last over " + service + ")");
    return true;
}

void Succeeded(const std::string& address) { TheBrake().Succeeded(address); }

void SetClockForTesting(std::function<std::int64_t()> clock) {
    TestClock() = std::move(clock);
    TheBrake() = LoginBrake();
}

}  // namespace logins
