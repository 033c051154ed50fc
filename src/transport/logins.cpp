// The login brake shared by the mail servers and the web server, and the
// log of what it refuses.
#include "transport/logins.h"

#include "codecs/qev_util.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "transport/globals.h"
#include "transport/logfile.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <limits>
#include <utility>

namespace logins {

namespace {

// Who a failure counted against; names differing in case are one login.
std::size_t NameDigest(const std::string& user) { return std::hash<std::string>{}(qev_util::LowerCase(user)); }

// The key under which the failures of addresses without room of their own
// are counted; no client address is empty.
const std::string kShared;

}  // namespace

std::string LoginBrake::Key(const std::string& address) const {
    std::string client = platform::ClientAddress(address);
    if (client.empty()) client = "?";
    if (entries_.size() < kMaxTracked || entries_.count(client)) return client;
    return kShared;
}

bool LoginBrake::Refused(const std::string& address, std::int64_t nowMs) {
    Prune(nowMs);
    auto it = entries_.find(Key(address));
    if (it == entries_.end()) return false;
    Entry& e = it->second;
    if (e.lockedUntil == 0) return false;
    if (nowMs < e.lockedUntil) return true;
    // The minute is over: the address starts afresh.
    entries_.erase(it);
    return false;
}

bool LoginBrake::Failed(const std::string& address, const std::string& user, std::int64_t nowMs) {
    Prune(nowMs);
    Entry& e = entries_[Key(address)];
    if (e.lockedUntil != 0) {
        if (nowMs < e.lockedUntil) return true;
        e = Entry();
    }
    if (e.failures > 0 && nowMs - e.lastFailure > kForgetMs) e = Entry();
    ++e.failures;
    e.lastFailure = nowMs;
    const std::size_t name = NameDigest(user);
    auto counted = std::find_if(e.byName.begin(), e.byName.end(), [&](const auto& n) { return n.first == name; });
    if (counted == e.byName.end()) e.byName.emplace_back(name, 1);
    else ++counted->second;
    if (e.failures < kFreeFailures) return false;
    e.lockedUntil = nowMs + kLockMs;
    e.byName.clear();
    return true;
}

void LoginBrake::Succeeded(const std::string& address, const std::string& user) {
    auto it = entries_.find(Key(address));
    // A running lock stays, whoever logs on.
    if (it == entries_.end() || it->second.lockedUntil != 0) return;
    Entry& e = it->second;
    const std::size_t name = NameDigest(user);
    auto counted = std::find_if(e.byName.begin(), e.byName.end(), [&](const auto& n) { return n.first == name; });
    if (counted == e.byName.end()) return;
    e.failures -= counted->second;
    e.byName.erase(counted);
    if (e.failures <= 0) entries_.erase(it);
}

void LoginBrake::Prune(std::int64_t nowMs) {
    // Bounded however many addresses guess, and no lock is lifted early:
    // what is over goes first, then the failures that locked nothing.
    if (entries_.size() < kMaxTracked || nowMs < pruneAfter_) return;
    auto dropIf = [&](auto over) {
        for (auto it = entries_.begin(); it != entries_.end();) it = over(it->second) ? entries_.erase(it) : std::next(it);
    };
    dropIf([&](const Entry& e) {
        return e.lockedUntil ? nowMs >= e.lockedUntil : nowMs - e.lastFailure > kForgetMs;
    });
    if (entries_.size() >= kMaxTracked) dropIf([](const Entry& e) { return e.lockedUntil == 0; });
    // Full of running locks: nothing to gain before the first one ends.
    pruneAfter_ = 0;
    if (entries_.size() >= kMaxTracked) {
        pruneAfter_ = std::numeric_limits<std::int64_t>::max();
        for (const auto& [key, e] : entries_) pruneAfter_ = std::min(pruneAfter_, e.lockedUntil);
    }
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

bool Failed(const std::string& service, const std::string& address, const std::string& user) {
    if (!TheBrake().Failed(address, user, NowMs())) return false;
    Log("Logins from " + address + " refused for a minute after " + std::to_string(LoginBrake::kFreeFailures) +
        " failures (the last over " + service + ")");
    return true;
}

void Succeeded(const std::string& address, const std::string& user) { TheBrake().Succeeded(address, user); }

void SetClockForTesting(std::function<std::int64_t()> clock) {
    TestClock() = std::move(clock);
    TheBrake() = LoginBrake();
}

}  // namespace logins
