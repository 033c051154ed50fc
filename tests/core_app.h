// The one QCoreApplication of a test program that needs an event loop but
// no window (the engine's tests): created on first use. A program that
// already has an application object (a widget one included) keeps it.
#pragma once

#include <QCoreApplication>

namespace twtest {

inline QCoreApplication& EnsureCoreApp() {
    static QCoreApplication* app = [] {
        if (QCoreApplication* existing = QCoreApplication::instance()) return existing;
        static int argc = 1;
        static char name[] = "tarnwick_test";
        static char* argv[] = {name, nullptr};
        return new QCoreApplication(argc, argv);
    }();
    return *app;
}

}  // namespace twtest
