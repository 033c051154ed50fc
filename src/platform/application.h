// The application object and its event loop. Every event the program
// handles (socket, timer, window, menu) is delivered through
// Application::notify, which is where an exception escaping a handler is
// caught and handed to the exception handler; the loop then goes on.
//
// Construct exactly one Application in main() before anything that needs
// the event loop. Without a display (no DISPLAY or WAYLAND_DISPLAY, or one
// that cannot be reached) it runs on Qt's "offscreen" platform, so the
// program works as a headless server. It belongs with the windows: it
// installs the real message boxes and the desktop's URL opener.
#pragma once

#include "platform/exceptions.h"

#include <QApplication>

#include <exception>
#include <string>

namespace platform {

class Application : public QApplication {
public:
    Application(int& argc, char** argv);
    ~Application() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // The exception handler and crash entries live in exceptions.h; these
    // are the names the windows have always called them by.
    static void SetExceptionHandler(ExceptionHandler handler) {
        platform::SetExceptionHandler(std::move(handler));
    }
    static void HandleException(std::exception_ptr error) { platform::HandleException(error); }
    using CrashHooks = platform::CrashHooks;
    static void SetCrashHooks(CrashHooks hooks) { platform::SetCrashHooks(hooks); }
};

// Puts the real message and input boxes and the desktop's URL opener in
// place of the headless ones (the Application constructor does it; test
// programs that build a plain QApplication may call it themselves).
void InstallWidgetServices();

}  // namespace platform
