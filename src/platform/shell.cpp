// Desktop and host services: open a URL, host name and addresses, event pump.
#include "platform/shell.h"
#include "platform/dialogs.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <arpa/inet.h>
#include <chrono>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<bool (*)(const std::string&)> g_opener{nullptr};

}  // namespace

void SetUrlOpener(bool (*opener)(const std::string&)) { g_opener = opener; }

bool OpenUrl(const std::string& urlOrPath) {
    auto* opener = g_opener.load();
    if (IsHeadless() || opener == nullptr) {
        HeadlessLog("Open: " + urlOrPath);
        return true;
    }
    return opener(urlOrPath);
}

std::string ComputerName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return std::string();
    return std::string(buf);
}

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if (!::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
        if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
    ::freeifaddrs(list);
    return out;
}

void PumpEventsFor(int milliseconds) {
    using Clock = std::chrono::steady_clock;
    auto* app = QCoreApplication::instance();
    if (!app) {
        if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    if (milliseconds <= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    // The timer makes sure the blocking wait below wakes at the deadline
    // even when nothing else happens.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QObject::connect(&wake, &QTimer::timeout, [] {});
    wake.start(milliseconds);
    while (Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (!wake.isActive() && Clock::now() < end) {
            // A coarse timer woke us early: wait again for what is left.
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            wake.start(static_cast<int>(std::max<long long>(1, left.count())));
        }
    }
}

}  // namespace platform
