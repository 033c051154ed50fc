// Where an exception that escapes an event handler ends up, and the fault
// barrier the crash reporter jumps back to. Needs no display: the socket
// layer and the engine hand their escaped exceptions here, and the
// application object (with the windows) delivers every event through it.
#pragma once

#include <setjmp.h>
#include <concepts>
#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace platform {

// Gets the escaped exception and its text (see DescribeException).
using ExceptionHandler = std::function<void(std::exception_ptr, const std::string& text)>;

// Replaces the handler; an empty function restores the default, which
// writes the text to stderr. The handler itself must not throw; if it
// does, that exception goes to stderr and the loop still goes on.
void SetExceptionHandler(ExceptionHandler handler);
// Hands an exception to the current handler (for code that catches
// outside the event barrier, e.g. the start-up sequence or a socket slot).
void HandleException(std::exception_ptr error);

// The crash reporter's entries. `onException` gets every exception that
// escapes an event first (the handler above still runs after it, so the
// program's own clean-up happens); `onFaultReturn` runs in an event
// barrier after a processor fault inside the event jumped back to it.
struct CrashHooks {
    void (*onException)(std::exception_ptr error) = nullptr;
    void (*onFaultReturn)() = nullptr;
};
void SetCrashHooks(CrashHooks hooks);
// Runs the fault-return entry, if one is set (for the event barrier).
void RunFaultReturnHook();

// The innermost event barrier of the calling thread: a fault handler may
// siglongjmp to `jump` (value 1, after restoring the signal mask itself:
// the barrier does not save it, which would cost a system call per event).
// Null outside any event. Safe to read in a signal handler.
struct FaultBarrier {
    sigjmp_buf jump;
    FaultBarrier* outer = nullptr;
};
FaultBarrier* CurrentFaultBarrier();
// Makes `barrier` the innermost one of the calling thread (entering an
// event), or its outer one again (leaving it).
void EnterFaultBarrier(FaultBarrier* barrier);
void LeaveFaultBarrier(FaultBarrier* barrier);

// Turns SIGTERM and SIGINT into a call of `handler` (with the signal number)
// from the event loop, where it may safely close windows. Needs the
// application object. An empty handler restores the default disposition
// (the process ends). False when it could not be set up.
bool WatchTerminationSignals(std::function<void(int signal)> handler);

// Wraps a slot so that an exception it throws goes to the exception handler
// right there. The event barrier catches everything anyway, but Qt's GUI
// and network libraries are built without exception clean-ups: an exception
// unwinding through them can leave a widget or socket half-updated. Use it
// for slots connected to widget signals that may throw:
//   connect(Btn, &QPushButton::clicked, this, platform::Guarded([this] { ... }));
template <typename Fn>
struct GuardedSlot {
    Fn fn;
    // Constrained, so that Qt can tell how many of a signal's arguments
    // the slot takes.
    template <typename... Args>
        requires std::invocable<Fn&, Args...>
    void operator()(Args&&... args) {
        try {
            fn(std::forward<Args>(args)...);
        } catch (...) {
            HandleException(std::current_exception());
        }
    }
};

template <typename Fn>
GuardedSlot<Fn> Guarded(Fn fn) {
    return GuardedSlot<Fn>{std::move(fn)};
}

// "<type>: <what>" for std::exception and its kin, "unknown exception" for
// anything else.
std::string DescribeException(std::exception_ptr error);

// Chooses the Qt platform before the application object exists, unless the
// environment names one (QT_QPA_PLATFORM): "offscreen" without a display,
// else the display's platform with "offscreen" as Qt's fallback. The
// application object's constructor calls it; exposed for tests and for
// programs that build a QCoreApplication themselves.
void PrepareDisplayEnvironment();

}  // namespace platform
