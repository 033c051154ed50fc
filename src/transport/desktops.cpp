// Noted desktop addresses and their batched write; see desktops.h.
#include "transport/desktops.h"

#include "codecs/qev_util.h"
#include "platform/env.h"
#include "platform/inifile.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <vector>

namespace desktops {

namespace {

// Per settings file, the [Users] values not yet written, in the order
// first noted (a key noted again keeps the place).
struct Pending {
    std::vector<std::string> order;
    std::map<std::string, std::string> value;
};

std::map<std::string, Pending>& Noted() {
    static std::map<std::string, Pending> noted;
    return noted;
}

bool flushScheduled = false;

void Schedule() {
    QCoreApplication* app = QCoreApplication::instance();
    if (flushScheduled || !app) return;
    static bool atQuit = false;
    if (!atQuit) {
        atQuit = true;
        QObject::connect(app, &QCoreApplication::aboutToQuit, [] { Flush(); });
    }
    flushScheduled = true;
    QTimer::singleShot(kFlushDelayMs, QCoreApplication::instance(), [] {
        flushScheduled = false;
        if (!Flush()) Schedule();
    });
}

void Note(const std::string& iniPath, const std::string& key, const std::string& value) {
    Pending& p = Noted()[iniPath];
    if (!p.value.count(key)) p.order.push_back(key);
    p.value[key] = value;
    Schedule();
}

const std::string* NotedValue(const std::string& iniPath, const std::string& key) {
    auto file = Noted().find(iniPath);
    if (file == Noted().end()) return nullptr;
    // Keys of the file compare without regard to case; so do these.
    for (const auto& [noted, value] : file->second.value)
        if (noted.size() == key.size() && std::equal(noted.begin(), noted.end(), key.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return &value;
    return nullptr;
}

}  // namespace

void SetAddress(const std::string& iniPath, const std::string& user, const std::string& address) {
    Note(iniPath, platform::IniSafe(user), address);
}

std::string Address(const std::string& iniPath, const std::string& user) {
    const std::string key = platform::IniSafe(user);
    if (const std::string* noted = NotedValue(iniPath, key)) return *noted;
    return platform::IniFile(iniPath).ReadString("Users", key, "");
}

void SetAnnouncedCount(const std::string& iniPath, const std::string& user, std::int64_t count) {
    Note(iniPath, platform::IniSafe(user) + "_count", std::to_string(count));
}

std::int64_t AnnouncedCount(const std::string& iniPath, const std::string& user) {
    const std::string key = platform::IniSafe(user) + "_count";
    if (const std::string* noted = NotedValue(iniPath, key)) return std::stoll(*noted);
    return platform::IniFile(iniPath).ReadInt64("Users", key, 0);
}

void Rename(const std::string& iniPath, const std::string& from, const std::string& to) {
    const std::string address = Address(iniPath, from);
    const std::int64_t count = AnnouncedCount(iniPath, from);
    // Nothing noted for the old name may come back with a later write.
    Flush();
    // Keys compare without regard to case: a change of case keeps them.
    if (!qev_util::SameText(from, to)) {
        platform::IniFile ini(iniPath);
        ini.DeleteKey("Users", platform::IniSafe(from));
        ini.DeleteKey("Users", platform::IniSafe(from) + "_count");
    }
    if (!address.empty()) SetAddress(iniPath, to, address);
    if (count != 0) SetAnnouncedCount(iniPath, to, count);
}

bool Flush() {
    bool allWritten = true;
    for (auto it = Noted().begin(); it != Noted().end();) {
        std::vector<platform::IniValue> values;
        for (const auto& key : it->second.order) values.push_back({"Users", key, it->second.value[key]});
        const platform::FsStatus s = platform::IniFile(it->first).WriteValues(values, *platform::Env::Current());
        // A program folder that is gone takes its settings with it.
        if (s.ok() || s.error == ENOENT) {
            it = Noted().erase(it);
        } else {
            allWritten = false;
            ++it;
        }
    }
    return allWritten;
}

}  // namespace desktops
