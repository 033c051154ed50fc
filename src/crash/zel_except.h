// The crash library's core: it catches every exception nobody else handles
// (thrown objects escaping an event, processor faults, aborts, terminate)
// in any thread, hands it to its own exception thread, and carries out the
// actions the settings block orders (handlers, report, mail, dialog,
// continue, restart, close).
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "zel_settings.h"

namespace zelExcept {

// Where an action handler runs: 0 in the exception thread, 1 in the main
// thread, 2 in the main thread and, when that does not answer, in the
// exception thread.
enum TSyncMode : std::uint8_t { smExceptionThread = 0, smMainThread = 1, smMainOrExceptionThread = 2 };

struct THandlerInfo {
    bool Frozen = false;
    std::uint64_t ExceptionAddress = 0;
    pid_t ThreadId = 0;
    std::string ClassName;  // empty without an exception object
};

// An action handler: setting `handled` cancels the action (mail, save,
// print); the report and screenshot texts may be changed.
using TActionHandler = std::function<void(TAction action, const THandlerInfo& info, std::string& report,
                                          std::string& screenshot, bool& handled)>;

// One registered method: the object and the method's code.
struct THandlerKey {
    const void* Object = nullptr;
    std::string Code;
    bool operator==(const THandlerKey&) const = default;
};

template <typename T, typename Method>
THandlerKey MethodKey(const T* object, Method method) {
    THandlerKey key;
    key.Object = object;
    key.Code.assign(reinterpret_cast<const char*>(&method), sizeof method);
    return key;
}

// Registering the same key again replaces its handler and sync mode.
void RegisterExceptionHandler(const THandlerKey& key, TActionHandler handler, TSyncMode mode);
// True when an entry of that key was removed.
bool UnregisterExceptionHandler(const THandlerKey& key);

// Start-up and finalisation of the whole library (main() brackets the
// program with them). Startup keeps argv for the restart action and takes
// over the exception history of a process that restarted into this one.
void Startup(int argc, char** argv);
void Finalize();
bool Active();

// The entry of every intercepted exception in normal context: `error` is
// the thrown object (null: none). Returns when the program may go on.
void HandleException(std::exception_ptr error, bool canContinue);

// Exception-time history, newest first: whole seconds since 1601-01-01 UTC,
// 0 where empty. It survives a restart.
using THistory = std::array<std::int64_t, 10>;
THistory History();

// Whether an auto-restart / auto-close value applies now (0 never, 1
// always, N: all ten history entries lie within N seconds of now).
bool RuleApplies(int seconds, const THistory& history, std::int64_t now);

// Thread names: "-" hides a thread from reports; an empty name removes it.
void SetThreadName(pid_t tid, const std::string& name);
std::string ThreadDisplayName(pid_t tid);

// How long the exception thread may take over one exception before the
// process is ended with exit code 1 (tests shorten it).
void SetReportingBound(int milliseconds);

// Threads taken by a fault (ended, or waiting for their report to end
// them). A pool that ran one still counts it busy and would wait for it
// for ever.
int ThreadsEndedByFault();

// Ends the process with `code` when it has not ended by itself within
// `seconds`: an orderly exit must not hang on a thread that is gone or
// stuck. Called once the event loop has ended, and by an exit() from
// inside the run.
void BoundExit(int seconds, int code);

// exit() while the library is active (a library ending the program from
// inside the run, as the X display's does when its server goes away) runs
// no exit handlers: `handler` (null: none) runs first, with the exit code,
// and the process ends within 10 seconds in any case.
void SetUnplannedExitHandler(void (*handler)(int code));

// When the library started: the report's "program up time" counts from it.
std::chrono::system_clock::time_point ProgramStartTime();

// How many characters of a report of `reportSize` the thread report puts
// into a shared memory of `mapSize` bytes for the requested `length`
// (>= 1): the text is cut to length - 1 when it is not shorter than the
// length, and always leaves room for the closing zero byte.
std::size_t TraceCopyLength(std::size_t reportSize, int length, std::size_t mapSize);

}  // namespace zelExcept

// The thread report another process asks for (see tarnwick-trace): builds
// a report as for a frozen main thread and puts it into the shared memory
// "/zelTraceProcessMap" (length >= 1, cut to length - 1 characters) or on
// the clipboard (length < 1). Always returns 0.
extern "C" int zelTraceProcess(int length);
