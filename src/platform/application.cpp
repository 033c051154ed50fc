// Application object: exception barrier around every event, display choice.
#include "platform/application.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <typeinfo>
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

// Runs before QApplication's constructor reads the environment.
int& PrepareArgc(int& argc) {
    PrepareDisplayEnvironment();
    return argc;
}

}  // namespace

void PrepareDisplayEnvironment() {
    if (EnvSet("QT_QPA_PLATFORM")) return;
    if (EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY")) return;
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

Application::Application(int& argc, char** argv) : QApplication(PrepareArgc(argc), argv) {}

Application::~Application() = default;

void Application::SetExceptionHandler(ExceptionHandler handler) {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    Handler() = std::move(handler);
}

void Application::HandleException(std::exception_ptr error) {
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

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException(std::current_exception());
        return false;
    }
}

}  // namespace platform
