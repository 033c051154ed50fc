// When the next automatic Send/Recv cycle runs, and the clock that starts it.
#pragma once

#include "platform/clock.h"

#include <QObject>

#include <optional>
#include <string>

class QTimer;

namespace platform {
class IniFile;
}

namespace schedule {

// The [Connect] keys that decide the schedule.
struct Settings {
    bool Regular = false;
    bool OnStartup = false;
    int RegularTime = 10;  // minutes
    bool ConnBetween = false;
    // Seconds after midnight; absent (or unreadable in the file) means "the
    // computed time itself", which never moves it.
    std::optional<int> ConnStart;
    std::optional<int> ConnEnd;
};

Settings ReadSettings(const platform::IniFile& ini);

// "9:00", "09:00", "09:00:00", "9:00 AM", "09:00:00 pm": seconds after midnight.
std::optional<int> ParseTimeOfDay(const std::string& text);

struct Next {
    bool Enabled = false;           // false: no automatic cycle ("Manual")
    platform::SystemTime At{};      // when Enabled
};

// The next automatic cycle after now. With Startup and OnStartup it is five
// seconds away; else RegularTime minutes away, moved to the next ConnStart
// when that falls outside the ConnStart..ConnEnd window. A window whose end
// is before its start runs over midnight.
Next NextConnection(const Settings& settings, bool startup, platform::SystemTime now);

}  // namespace schedule

// The scheduler's clock. The alarm is an absolute moment: a tick that comes
// late (busy loop, suspend, a changed clock) fires the alarm late, never a
// day late, and each setting of the alarm fires at most once.
class TAlarmClock : public QObject {
    Q_OBJECT
public:
    explicit TAlarmClock(QObject* parent = nullptr);

    void SetAlarm(platform::SystemTime at);
    void SetAlarmEnabled(bool on);
    bool AlarmEnabled() const { return enabled_; }
    bool Armed() const { return armed_; }
    platform::SystemTime AlarmTime() const { return at_; }
    // Hour and minute of the alarm, local time, "hh:mm".
    std::string AlarmHourMinute() const;

    // Starts and stops the ticking. Start-up starts it once every window
    // exists, so the alarm cannot reach a window not yet created.
    void Start();
    void Stop();
    bool Running() const;

    // One tick; the timer calls it every 450 ms.
    void Tick();

signals:
    void Alarm();

private:
    QTimer* timer_;
    platform::SystemTime at_{};
    bool enabled_ = false;
    bool armed_ = false;
};
