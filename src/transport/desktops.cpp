// Noted desktop addresses and their batched write; see desktops.h.
#include "transport/desktops.h"

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

// Per settings file, the users' addresses not yet written, in the order
// first noted (a user noted again keeps the place).
struct Pending {
    std::vector<std::string> order;
    std::map<std::string, std::string> address;
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

}  // namespace

void SetAddress(const std::string& iniPath, const std::string& user, const std::string& address) {
    const std::string key = platform::IniSafe(user);
    Pending& p = Noted()[iniPath];
    if (!p.address.count(key)) p.order.push_back(key);
    p.address[key] = address;
    Schedule();
}

std::string Address(const std::string& iniPath, const std::string& user) {
    const std::string key = platform::IniSafe(user);
    auto file = Noted().find(iniPath);
    if (file != Noted().end()) {
        // Keys of the file compare without regard to case; so do these.
        for (const auto& [noted, address] : file->second.address)
            if (noted.size() == key.size() &&
                std::equal(noted.begin(), noted.end(), key.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                }))
                return address;
    }
    return platform::IniFile(iniPath).ReadString("Users", key, "");
}

bool Flush() {
    bool allWritten = true;
    for (auto it = Noted().begin(); it != Noted().end();) {
        std::vector<platform::IniValue> values;
        for (const auto& key : it->second.order) values.push_back({"Users", key, it->second.address[key]});
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
