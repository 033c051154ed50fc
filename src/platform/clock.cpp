// Wall clock with a test hook.
#include "platform/clock.h"

#include <cstdio>
#include <ctime>

namespace platform {
namespace {
std::function<SystemTime()>& Hook() {
    static std::function<SystemTime()> hook;
    return hook;
}
}  // namespace

SystemTime Now() {
    auto& h = Hook();
    return h ? h() : std::chrono::system_clock::now();
}

LocalTime NowLocal() { return ToLocal(Now()); }

LocalTime ToLocal(SystemTime t) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    long long secs = ms / 1000;
    long long rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        --secs;
    }
    std::time_t tt = static_cast<std::time_t>(secs);
    std::tm tm{};
    localtime_r(&tt, &tm);
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    lt.millisecond = static_cast<int>(rem);
    lt.weekday = tm.tm_wday;
    lt.utcOffsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
    return lt;
}

SystemTime FromLocal(const LocalTime& lt) {
    std::tm tm{};
    tm.tm_year = lt.year - 1900;
    tm.tm_mon = lt.month - 1;
    tm.tm_mday = lt.day;
    tm.tm_hour = lt.hour;
    tm.tm_min = lt.minute;
    tm.tm_sec = lt.second;
    tm.tm_isdst = -1;
    std::time_t tt = std::mktime(&tm);
    return std::chrono::system_clock::from_time_t(tt) + std::chrono::milliseconds(lt.millisecond);
}

std::string TwoDigits(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

void SetClockForTesting(std::function<SystemTime()> clock) { Hook() = std::move(clock); }

}  // namespace platform
