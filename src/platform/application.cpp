// Application object: exception barrier around every event; installs the
// widget implementations of the dialog and desktop services.
#include "platform/application.h"

namespace platform {
namespace {

// Runs before QApplication's constructor reads the environment.
int& PrepareArgc(int& argc) {
    PrepareDisplayEnvironment();
    return argc;
}

}  // namespace

Application::Application(int& argc, char** argv) : QApplication(PrepareArgc(argc), argv) {
    InstallWidgetServices();
}

Application::~Application() = default;

bool Application::notify(QObject* receiver, QEvent* event) {
    FaultBarrier barrier;
    barrier.outer = CurrentFaultBarrier();
    if (sigsetjmp(barrier.jump, 0) != 0) {
        // A fault inside the event: its handler has taken the thread's
        // state and jumped back here; the rest of the event is lost.
        LeaveFaultBarrier(&barrier);
        RunFaultReturnHook();
        return false;
    }
    EnterFaultBarrier(&barrier);
    try {
        const bool result = QApplication::notify(receiver, event);
        LeaveFaultBarrier(&barrier);
        return result;
    } catch (...) {
        LeaveFaultBarrier(&barrier);
        HandleException(std::current_exception());
        return false;
    }
}

}  // namespace platform
