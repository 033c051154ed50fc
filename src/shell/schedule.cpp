// Next-cycle computation and the scheduler clock.
#include "shell/schedule.h"

#include "platform/inifile.h"

#include <QTimer>

#include <cctype>
#include <cstdio>

namespace schedule {

namespace {
constexpr int kDay = 24 * 3600;

int SecondsOfDay(const platform::LocalTime& lt) { return lt.hour * 3600 + lt.minute * 60 + lt.second; }

// The first moment after now whose local time of day is tod.
platform::SystemTime NextTimeOfDay(platform::SystemTime now, int tod) {
    platform::LocalTime lt = platform::ToLocal(now);
    platform::LocalTime at = lt;
    at.hour = tod / 3600;
    at.minute = tod / 60 % 60;
    at.second = tod % 60;
    at.millisecond = 0;
    if (tod <= SecondsOfDay(lt)) ++at.day;  // mktime carries into the next month
    return platform::FromLocal(at);
}

bool InWindow(int tod, int start, int end) {
    if (start <= end) return tod >= start && tod <= end;
    return tod >= start || tod <= end;
}
}  // namespace

std::optional<int> ParseTimeOfDay(const std::string& text) {
    int h = 0, m = 0, s = 0;
    char rest[8] = {0};
    int n = std::sscanf(text.c_str(), " %d:%d:%d %7s", &h, &m, &s, rest);
    if (n < 3) {
        s = 0;
        rest[0] = 0;
        n = std::sscanf(text.c_str(), " %d:%d %7s", &h, &m, rest);
        if (n < 2) return std::nullopt;
    }
    std::string suffix;
    for (char* p = rest; *p; ++p) suffix += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    if (suffix == "PM" || suffix == "AM") {
        if (h < 1 || h > 12) return std::nullopt;
        if (suffix == "PM" && h != 12) h += 12;
        if (suffix == "AM" && h == 12) h = 0;
    } else if (!suffix.empty()) {
        return std::nullopt;
    }
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return std::nullopt;
    return h * 3600 + m * 60 + s;
}

Settings ReadSettings(const platform::IniFile& ini) {
    Settings s;
    s.Regular = ini.ReadBool("Connect", "Regular", false);
    s.OnStartup = ini.ReadBool("Connect", "OnStartup", false);
    s.RegularTime = ini.ReadInteger("Connect", "RegularTime", 10);
    s.ConnBetween = ini.ReadBool("Connect", "ConnBetween", false);
    s.ConnStart = ParseTimeOfDay(ini.ReadString("Connect", "ConnStart", ""));
    s.ConnEnd = ParseTimeOfDay(ini.ReadString("Connect", "ConnEnd", ""));
    return s;
}

Next NextConnection(const Settings& settings, bool startup, platform::SystemTime now) {
    Next next;
    if (!settings.Regular && !(startup && settings.OnStartup)) return next;
    next.Enabled = true;
    if (startup && settings.OnStartup) {
        next.At = now + std::chrono::seconds(5);
        return next;
    }
    next.At = now + std::chrono::minutes(settings.RegularTime);
    if (settings.ConnBetween) {
        int tod = SecondsOfDay(platform::ToLocal(next.At));
        int start = settings.ConnStart.value_or(tod);
        int end = settings.ConnEnd.value_or(tod);
        if (!InWindow(tod, start, end)) next.At = NextTimeOfDay(now, start % kDay);
    }
    return next;
}

}  // namespace schedule

TAlarmClock::TAlarmClock(QObject* parent) : QObject(parent), timer_(new QTimer(this)) {
    setObjectName("AlarmClock1");
    timer_->setInterval(450);
    connect(timer_, &QTimer::timeout, this, &TAlarmClock::Tick);
}

void TAlarmClock::SetAlarm(platform::SystemTime at) {
    at_ = at;
    armed_ = true;
}

void TAlarmClock::SetAlarmEnabled(bool on) { enabled_ = on; }

std::string TAlarmClock::AlarmHourMinute() const {
    platform::LocalTime lt = platform::ToLocal(at_);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d:%02d", lt.hour % 100, lt.minute % 100);
    return buf;
}

void TAlarmClock::Start() { timer_->start(); }
void TAlarmClock::Stop() { timer_->stop(); }
bool TAlarmClock::Running() const { return timer_->isActive(); }

void TAlarmClock::Tick() {
    if (!enabled_ || !armed_) return;
    if (platform::Now() < at_) return;
    armed_ = false;
    emit Alarm();
}
