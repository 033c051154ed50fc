// Exception handler and fault barriers of the event loop, termination
// signals, display choice: the parts of the application object that need
// no display.
#include "platform/exceptions.h"

#include "platform/files.h"
#include "platform/process.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <atomic>
#include <mutex>
#include <typeinfo>
#include <unistd.h>
#include <cxxabi.h>

namespace platform {
namespace {

std::mutex& HandlerMutex() {
    static std::mutex m;
    return m;
}

ExceptionHandler& Handler() {
    static ExceptionHandler handler;
    return handler;
}

std::atomic<void (*)(std::exception_ptr)> g_crashOnException{nullptr};
std::atomic<void (*)()> g_crashOnFaultReturn{nullptr};
thread_local FaultBarrier* t_barrier = nullptr;

void WriteToStderr(const std::string& text) {
    std::fprintf(stderr, "Tarnwick: unhandled exception: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string TypeName(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string out = (status == 0 && name) ? name : type.name();
    std::free(name);
    return out;
}

bool EnvSet(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// Self-pipe: the signal handler only writes the signal number; the event
// loop reads it and calls the program's handler outside signal context.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(signo);
    (void)!::write(g_signalPipe[1], &b, 1);
    errno = saved;
}

std::function<void(int)>& SignalHandler() {
    static std::function<void(int)> handler;
    return handler;
}

}  // namespace

bool WatchTerminationSignals(std::function<void(int)> handler) {
    if (!handler) {
        SignalHandler() = nullptr;
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        return true;
    }
    auto* app = QCoreApplication::instance();
    if (!app) return false;
    if (g_signalPipe[0] < 0) {
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, app);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
            unsigned char buf[16];
            ssize_t n;
            while ((n = ::read(g_signalPipe[0], buf, sizeof buf)) > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    auto handler = SignalHandler();
                    if (!handler) continue;
                    try {
                        handler(buf[i]);
                    } catch (...) {
                        HandleException(std::current_exception());
                    }
                }
            }
        });
    }
    SignalHandler() = std::move(handler);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &sa, nullptr) == 0 && ::sigaction(SIGINT, &sa, nullptr) == 0;
}

void PrepareDisplayEnvironment() {
    // Qt keeps its per-user runtime files in XDG_RUNTIME_DIR; without a
    // desktop session (a service, a console) there is none and Qt would
    // make one under /tmp. The program directory holds it instead, so the
    // program writes nothing outside its home.
    if (!EnvSet("XDG_RUNTIME_DIR")) {
        const std::string runtime = ResolveProgramDir() + ".runtime";
        std::string error;
        if (CreateFolder(runtime, &error) && ::chmod(runtime.c_str(), 0700) == 0)
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    if (EnvSet("QT_QPA_PLATFORM")) return;
    // A display that is named but cannot be reached (a stale DISPLAY in a
    // service's environment) must not stop the server: offscreen is the
    // last platform Qt tries.
    if (EnvSet("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen", 1);
    else if (EnvSet("DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "xcb;offscreen", 1);
    else
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

std::string DescribeException(std::exception_ptr error) {
    if (!error) return "no exception";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return TypeName(typeid(e)) + ": " + e.what();
    } catch (const std::string& s) {
        return s;
    } catch (const char* s) {
        return s ? s : "";
    } catch (...) {
        const std::type_info* t = abi::__cxa_current_exception_type();
        return t ? "unknown exception (" + TypeName(*t) + ")" : "unknown exception";
    }
}

void SetExceptionHandler(ExceptionHandler handler) {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    Handler() = std::move(handler);
}

void SetCrashHooks(CrashHooks hooks) {
    g_crashOnException = hooks.onException;
    g_crashOnFaultReturn = hooks.onFaultReturn;
}

void RunFaultReturnHook() {
    if (auto back = g_crashOnFaultReturn.load()) back();
}

FaultBarrier* CurrentFaultBarrier() { return t_barrier; }

void EnterFaultBarrier(FaultBarrier* barrier) {
    barrier->outer = t_barrier;
    t_barrier = barrier;
}

void LeaveFaultBarrier(FaultBarrier* barrier) { t_barrier = barrier->outer; }

void HandleException(std::exception_ptr error) {
    if (auto crash = g_crashOnException.load()) crash(error);
    ExceptionHandler handler;
    {
        std::lock_guard<std::mutex> lock(HandlerMutex());
        handler = Handler();
    }
    const std::string text = DescribeException(error);
    if (!handler) {
        WriteToStderr(text);
        return;
    }
    try {
        handler(error, text);
    } catch (...) {
        // The handler is the last line of defence; if it fails too, the
        // loop must still go on.
        WriteToStderr(text);
        WriteToStderr("in the exception handler: " + DescribeException(std::current_exception()));
    }
}

}  // namespace platform
