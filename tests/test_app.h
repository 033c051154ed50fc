// The one QApplication of a test program: created on first use, offscreen
// unless the environment names a platform, with Qt's runtime folder in a
// private temporary folder (removed at exit) instead of one of Qt's own
// under /tmp.
#pragma once

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace twtest {

inline QApplication& EnsureQtApp() {
    static QApplication* app = [] {
        if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return existing;
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
            static char runtime[] = "/tmp/tw_test_rt_XXXXXX";
            if (mkdtemp(runtime) != nullptr) {
                setenv("XDG_RUNTIME_DIR", runtime, 1);
                std::atexit([] {
                    std::error_code ec;
                    std::filesystem::remove_all(runtime, ec);
                });
            }
        }
        static int argc = 1;
        static char name[] = "tarnwick_test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

}  // namespace twtest
