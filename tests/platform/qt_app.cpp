#include "qt_app.h"

#include <QEventLoop>
#include <QTimer>

namespace twtest {

platform::Application& App() {
    static int argc = 1;
    static char name[] = "test_platform";
    static char* argv[] = {name, nullptr};
    static platform::Application* app = new platform::Application(argc, argv);
    return *app;
}

bool RunUntil(const std::function<bool()>& done, int maxMilliseconds) {
    App();
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(maxMilliseconds);
    while (!done()) {
        if (Clock::now() >= end) return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

}  // namespace twtest
